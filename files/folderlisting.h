#pragma once
// Reading a folder's listing as the system hands it out: in blocks of raw entries, in the
// file system's order, each entry with the type the listing gives it. The one place that
// knows the system's call for it and the layout of its entries; a walk keeps the raw
// blocks, so that a folder's listing costs its bytes and not a string per name.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace fotarik {

// What the listing says an entry is, without a look at the entry itself. Unknown where the
// file system does not tell.
enum class ListedType : unsigned char { Folder, Link, Unknown, Other };

struct ListedEntry
{
    std::string_view name; // followed by a NUL byte: name.data() is a C string
    ListedType type = ListedType::Unknown;
};

// Reads the next block of the listing of the open folder fd into buffer: the number of
// bytes filled, 0 at the end of the listing, -1 on an error (errno tells).
ssize_t readListingBlock(int fd, char* buffer, size_t size);

// The entry that starts at pos of a block filled by readListingBlock; pos moves on to the
// next one (the block ends where pos reaches its size).
ListedEntry nextListedEntry(const char* block, size_t& pos);

// The space a block is read into at least: the buffer grows by doubling while less is free.
inline constexpr size_t ListingBlockRoom = 32 * 1024;

struct ListingRead
{
    size_t size = 0;       // the bytes read into the buffer
    bool complete = false; // the end of the listing was reached
    bool failed = false;   // a block could not be read (errno tells)
};

// Reads what is left of the listing of fd into buffer, from the buffer's start, block by
// block: the buffer doubles while less than ListingBlockRoom is free, but not beyond
// limit (with limit at its size it is filled and no more). Asks stop() before every
// block; true ends the reading there.
template <class Stop> ListingRead readListing(int fd, std::vector<char>& buffer, size_t limit, Stop&& stop)
{
    ListingRead read;
    if (buffer.size() < 2 * ListingBlockRoom)
        buffer.resize(2 * ListingBlockRoom);
    while (!stop()) {
        if (buffer.size() - read.size < ListingBlockRoom) {
            if (buffer.size() >= limit)
                return read;
            buffer.resize(buffer.size() * 2);
        }
        const ssize_t n = readListingBlock(fd, buffer.data() + read.size, buffer.size() - read.size);
        if (n <= 0) {
            read.complete = n == 0;
            read.failed = n < 0;
            return read;
        }
        read.size += size_t(n);
    }
    return read;
}

} // namespace fotarik
