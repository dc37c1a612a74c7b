#include "folderlisting.h"

#include <dirent.h>
#include <sys/resource.h>

namespace fotarik {

ssize_t readListingBlock(int fd, char* buffer, size_t size)
{
    return ::getdents64(fd, buffer, size);
}

std::optional<uint64_t> waitsOfThisThread()
{
    struct rusage usage;
    if (::getrusage(RUSAGE_THREAD, &usage) != 0)
        return std::nullopt;
    return uint64_t(usage.ru_nvcsw);
}

ListedEntry nextListedEntry(const char* block, size_t& pos)
{
    const auto* entry = reinterpret_cast<const dirent64*>(block + pos);
    pos += entry->d_reclen;
    ListedEntry listed;
    listed.name = std::string_view(entry->d_name);
    switch (entry->d_type) {
    case DT_DIR:
        listed.type = ListedType::Folder;
        break;
    case DT_LNK:
        listed.type = ListedType::Link;
        break;
    case DT_UNKNOWN:
        listed.type = ListedType::Unknown;
        break;
    default:
        listed.type = ListedType::Other;
        break;
    }
    return listed;
}

} // namespace fotarik
