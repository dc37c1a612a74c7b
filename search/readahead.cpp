#include "readahead.h"

#include "budgets.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace fotarik::search::detail {

namespace {

// What a reader keeps to read listings into between folders.
constexpr size_t ScratchSize = 2 * ListingBlockRoom;
// The most steps of all queued keys together (4 bytes each).
constexpr size_t MaxKeySteps = 256 * 1024;

int64_t nanoseconds(const struct timespec& t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool startsWith(const WalkKey& key, const WalkKey& prefix)
{
    return key.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), key.begin());
}

} // namespace

bool ReadListing::standsFor(const struct stat& st) const
{
    constexpr int64_t Margin = 50 * 1000 * 1000;
    return st.st_dev == device && st.st_ino == inode && nanoseconds(st.st_mtim) < readStart - Margin;
}

bool isSkippedFolderName(std::string_view name)
{
    return name == "." || name == ".." || name == "$RECYCLE.BIN";
}

ReadAhead::ReadAhead(size_t maxRequests, size_t memoryBudget, size_t maxListing)
    : m_maxRequests(maxRequests), m_memoryBudget(memoryBudget), m_maxListing(maxListing)
{
}

std::shared_ptr<ReadAhead> ReadAhead::start(int threads, size_t maxRequests, size_t memoryBudget,
                                            size_t maxListing)
{
    auto readAhead = std::make_shared<ReadAhead>(maxRequests, memoryBudget, maxListing);
    readAhead->m_threads.reserve(size_t(threads));
    for (int i = 0; i < threads; ++i) {
        {
            std::lock_guard lock(readAhead->m_mutex);
            ++readAhead->m_running;
        }
        readAhead->m_threads.emplace_back([self = readAhead] {
            self->run();
            std::lock_guard lock(self->m_mutex);
            --self->m_running;
            self->m_stopped.notify_all();
        });
    }
    return readAhead;
}

void ReadAhead::stop()
{
    Map gone; // let go outside the lock
    {
        std::unique_lock lock(m_mutex);
        m_stop = true;
        m_work.notify_all();
        gone.swap(m_requests);
        m_stopped.wait_for(lock, budget::StuckReaderWait, [&] { return m_running == 0; });
        if (m_running > 0) {
            // A reader is stuck in the kernel: it and the others are let go; each keeps
            // the object alive until it returns.
            for (std::thread& t : m_threads)
                t.detach();
        }
    }
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.join();
    m_threads.clear();
}

ReadAhead::~ReadAhead()
{
    // Only the last reader or stop() gets here: no reader runs any more.
    for (std::thread& t : m_threads)
        if (t.joinable())
            t.detach();
}

void ReadAhead::requestSubFolders(const WalkKey& parentKey, const char* data, size_t size,
                                  uint32_t firstIndex, const SharedDir& dir, dev_t device)
{
    std::lock_guard lock(m_mutex);
    forEachSubFolder(data, size, firstIndex, [&](uint32_t index, std::string_view name) {
        WalkKey key;
        key.reserve(parentKey.size() + 1);
        key = parentKey;
        key.push_back(index);
        add(std::move(key), name, dir, device);
    });
}

// Called with the lock held.
void ReadAhead::add(WalkKey key, std::string_view name, const SharedDir& parent, dev_t device)
{
    if (m_stop)
        return;
    // In a very deep tree the keys themselves grow long: their total length is bounded
    // as well, so that fewer folders are read ahead there.
    if (m_requests.size() >= m_maxRequests || (m_requests.size() + 1) * key.size() > MaxKeySteps) {
        // Full: a folder the walk reaches sooner takes the place of the one it reaches
        // last, unless that one is being read right now.
        auto it = m_requests.end();
        while (true) {
            if (it == m_requests.begin())
                return;
            --it;
            if (!(key < it->first))
                return;
            if (it->second->state != State::Reading)
                break;
        }
        erase(it);
    }
    auto request = std::make_shared<Request>();
    request->key = key;
    request->name.assign(name);
    request->parent = parent;
    request->device = device;
    m_requests.emplace(std::move(key), std::move(request));
    ++m_pending;
    m_work.notify_one();
}

// Called with the lock held.
ReadAhead::Map::iterator ReadAhead::erase(Map::iterator it)
{
    Request& r = *it->second;
    switch (r.state) {
    case State::Pending:
        --m_pending;
        break;
    case State::Reading:
        r.dropped = true; // its reader lets go of it when done
        break;
    case State::Done:
        m_bytes -= r.listing.bytes.size();
        break;
    case State::Failed:
        break;
    }
    return m_requests.erase(it);
}

std::optional<ReadListing> ReadAhead::take(const WalkKey& key, std::string_view name)
{
    std::unique_lock lock(m_mutex);
    for (auto it = m_requests.begin(); it != m_requests.end() && it->first < key;)
        it = erase(it);
    auto it = m_requests.find(key);
    if (it == m_requests.end())
        return std::nullopt;
    std::shared_ptr<Request> request = it->second;
    if (request->state == State::Pending || request->state == State::Reading) {
        // Not read yet: the walk reads it itself at once rather than wait for a reader
        // to be woken (on a busy machine that takes longer than the reading; a reader in
        // the middle of it has brought the folder into the cache either way).
        erase(it);
        return std::nullopt;
    }
    if (request->state != State::Done || request->name != name) {
        erase(it);
        return std::nullopt;
    }
    ReadListing listing = std::move(request->listing);
    request->listing.bytes.clear();
    m_requests.erase(it); // its bytes stay counted until the walk releases them
    return listing;
}

void ReadAhead::release(size_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_bytes -= bytes;
    m_work.notify_all();
}

void ReadAhead::dropBelow(const WalkKey& key)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_requests.upper_bound(key); it != m_requests.end() && startsWith(it->first, key);)
        it = erase(it);
}

void ReadAhead::dropAll()
{
    std::vector<std::shared_ptr<Request>> gone; // let go outside the lock
    std::lock_guard lock(m_mutex);
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        gone.push_back(it->second);
        it = erase(it);
    }
}

size_t ReadAhead::peakBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_peakBytes;
}

void ReadAhead::run()
{
    std::vector<char> scratch(ScratchSize);
    std::unique_lock lock(m_mutex);
    while (true) {
        m_work.wait(lock, [&] { return m_stop || (m_pending > 0 && m_bytes < m_memoryBudget); });
        if (m_stop)
            return;
        // The folder the walk reaches first.
        std::shared_ptr<Request> request;
        for (auto& [key, r] : m_requests) {
            if (r->state == State::Pending) {
                request = r;
                break;
            }
        }
        if (!request)
            continue;
        request->state = State::Reading;
        --m_pending;

        lock.unlock();
        SharedDir opened;
        read(*request, scratch, opened);
        // The sub-folders are queued from the reader's own listing, relative to the
        // descriptor it read it from; the parent is no longer needed.
        request->parent.reset();
        lock.lock();

        if (request->dropped || m_stop) {
            request->listing.bytes.clear();
            request->state = State::Failed;
            lock.unlock();
            request.reset();
            opened.reset();
            lock.lock();
            continue;
        }
        if (opened) {
            request->state = State::Done;
            m_bytes += request->listing.bytes.size();
            m_peakBytes = std::max(m_peakBytes, m_bytes);
            const std::vector<char>& bytes = request->listing.bytes;
            forEachSubFolder(bytes.data(), bytes.size(), 0, [&](uint32_t index, std::string_view name) {
                WalkKey key = request->key;
                key.push_back(index);
                add(std::move(key), name, opened, request->listing.device);
            });
        } else {
            request->state = State::Failed;
        }
        // Descriptors are closed outside the lock.
        lock.unlock();
        opened.reset();
        request.reset();
        lock.lock();
    }
}

// Lists one folder into request.listing; opened is its descriptor when it was read whole.
// Anything unusual (gone, a link, another device, too large, a stop) leaves it to the walk.
void ReadAhead::read(Request& request, std::vector<char>& scratch, SharedDir& opened)
{
    const int fd = ::openat(request.parent->get(), request.name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    auto dir = std::make_shared<const UniqueFd>(fd);
    struct timespec start;
    ::clock_gettime(CLOCK_REALTIME, &start);
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_dev != request.device)
        return;
    const ListingRead read = readListing(fd, scratch, m_maxListing, [&] {
        std::lock_guard lock(m_mutex);
        return m_stop || request.dropped;
    });
    if (!read.complete)
        return;
    request.listing.bytes.assign(scratch.data(), scratch.data() + read.size);
    request.listing.device = st.st_dev;
    request.listing.inode = st.st_ino;
    request.listing.readStart = nanoseconds(start);
    request.listing.dir = dir;
    if (scratch.size() > ScratchSize) {
        scratch.resize(ScratchSize);
        scratch.shrink_to_fit();
    }
    opened = std::move(dir);
}

} // namespace fotarik::search::detail
