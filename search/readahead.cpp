#include "readahead.h"

#include "budgets.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

namespace fotarik::search::detail {

namespace {

// What a reader keeps to read listings into between folders.
constexpr size_t ScratchSize = 2 * ListingBlockRoom;
// What the walk lets go of is closed by a reader once this much has gathered.
constexpr size_t DisposeBatch = 32;
// A folder changed less than this before its reading began may have changed while it was
// read: time stamps move in clock ticks of a few milliseconds.
constexpr int64_t ChangeMargin = 50 * 1000 * 1000;

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
    return st.st_dev == device && st.st_ino == inode && nanoseconds(st.st_mtim) < readStart - ChangeMargin;
}

bool ReadListing::unchangedSinceRead()
{
    // Cached attributes only: on a local file system they are the inode's own, on a network
    // or FUSE one what the last answer said, as a plain look would mostly get too.
    struct statx sx;
    constexpr unsigned wanted = STATX_CTIME | STATX_NLINK | STATX_INO;
    if (!dir || ::statx(dir->get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, wanted, &sx) != 0)
        return false;
    if (sx.stx_mask & STATX_INO) {
        identified = true;
        device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        inode = sx.stx_ino;
    }
    if ((sx.stx_mask & wanted) != wanted || sx.stx_nlink == 0)
        return false;
    const int64_t changed = int64_t(sx.stx_ctime.tv_sec) * 1000000000 + sx.stx_ctime.tv_nsec;
    return changed < readStart - ChangeMargin;
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
                                            size_t maxListing, std::function<void(std::string_view)> hook,
                                            int growTo, bool walkListsNext)
{
    auto readAhead = std::make_shared<ReadAhead>(maxRequests, memoryBudget, maxListing);
    readAhead->m_hook = std::move(hook);
    readAhead->m_growTo = growTo;
    readAhead->m_leftToWalk = walkListsNext ? 1 : 0;
    readAhead->m_threads.reserve(size_t(std::max(threads, growTo)));
    for (int i = 0; i < threads; ++i)
        readAhead->startReader();
    readAhead->m_readers = threads;
    return readAhead;
}

// On the walk's thread, like every start of a reader.
void ReadAhead::grow()
{
    // Asked at every folder: a plain load while there is nothing to do, so that the walk
    // does not write to what the readers write.
    if (m_readers >= m_growTo || !m_growWanted.load(std::memory_order_relaxed))
        return;
    m_growWanted = false;
    for (; m_readers < m_growTo; ++m_readers)
        startReader();
}

void ReadAhead::startReader()
{
    size_t index = 0;
    {
        std::lock_guard lock(m_mutex);
        ++m_running;
        index = m_returned.size();
        m_returned.emplace_back();
    }
    m_threads.emplace_back([self = shared_from_this(), index] {
        ::pthread_setname_np(::pthread_self(), "walk reader");
        self->run(index);
        std::lock_guard lock(self->m_mutex);
        --self->m_running;
        self->m_stopped.notify_all();
    });
}

void ReadAhead::stop()
{
    stop(std::chrono::duration_cast<std::chrono::milliseconds>(budget::StuckReaderWait));
}

void ReadAhead::stop(std::chrono::milliseconds wait)
{
    Map gone; // let go outside the lock
    std::vector<std::shared_ptr<const void>> disposing;
    {
        std::unique_lock lock(m_mutex);
        m_stop = true;
        m_work.notify_all();
        gone.swap(m_requests);
        m_firstPending = m_requests.end();
        disposing.swap(m_dispose);
        returnedLocked(disposing);
        m_stopped.wait_for(lock, wait, [&] { return m_running == 0; });
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

void ReadAhead::requestSubFolders(const WalkKey& parentKey, std::string_view parentPath, const char* data,
                                  size_t size, uint32_t firstIndex, const SharedDir& dir, dev_t device)
{
    if (parentKey.size() >= MaxReadAheadDepth)
        return;
    Map batch = prepare(parentKey, parentPath, data, size, firstIndex, dir, device);
    size_t added = 0;
    {
        std::lock_guard lock(m_mutex);
        added = insertLocked(batch);
    }
    wakeReaders(added);
}

// Off the lock: what it costs to make the requests is paid before they are queued.
ReadAhead::Map ReadAhead::prepare(const WalkKey& parentKey, std::string_view parentPath, const char* data,
                                  size_t size, uint32_t firstIndex, const SharedDir& dir, dev_t device) const
{
    Map batch;
    if (parentKey.size() >= MaxReadAheadDepth)
        return batch;
    forEachSubFolder(data, size, firstIndex, [&](uint32_t index, std::string_view name) {
        auto request = std::make_shared<Request>();
        request->key.reserve(parentKey.size() + 1);
        request->key = parentKey;
        request->key.push_back(index);
        request->name.assign(name);
        request->parent = dir;
        request->device = device;
        if (m_hook) {
            request->path.assign(parentPath);
            if (!request->path.empty() && request->path.back() != '/')
                request->path.push_back('/');
            request->path.append(name);
        }
        WalkKey key = request->key;
        batch.emplace_hint(batch.end(), std::move(key), std::move(request));
    });
    return batch;
}

// Called with the lock held: moves the requests of batch into the queue, where there is
// room and they are not queued yet; the number queued. Whatever is left in batch was not.
size_t ReadAhead::insertLocked(Map& batch, bool* complete_)
{
    size_t added = 0;
    bool complete = true;
    for (auto it = batch.begin(); it != batch.end();) {
        if (m_stop || m_requests.count(it->first) > 0) {
            complete = complete && !m_stop;
            ++it;
            continue;
        }
        if (!makeRoomLocked(it->first)) {
            m_roomLost.fetch_add(1, std::memory_order_relaxed);
            complete = false;
            ++it;
            continue;
        }
        auto next = std::next(it);
        auto inserted = m_requests.insert(batch.extract(it));
        notePendingLocked(inserted.position);
        ++added;
        it = next;
    }
    if (complete_)
        *complete_ = complete;
    return added;
}

// Called with the lock held. A pending request at it: readers look for work from there.
void ReadAhead::notePendingLocked(Map::iterator it)
{
    ++m_pending;
    if (m_firstPending == m_requests.end() || it->first < m_firstPending->first)
        m_firstPending = it;
}

// Called with the lock held. Whether there is room for a request at key: when full, a folder
// the walk reaches sooner takes the place of the one it reaches last, unless that one is
// being read right now.
bool ReadAhead::makeRoomLocked(const WalkKey& key)
{
    if (m_requests.size() < m_maxRequests)
        return true;
    auto it = m_requests.end();
    while (true) {
        if (it == m_requests.begin())
            return false;
        --it;
        if (!(key < it->first))
            return false;
        if (it->second->state != State::Reading)
            break;
    }
    erase(it);
    m_roomLost.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Off the lock: readers waiting for work are woken for added requests queued (a reader that
// queued them takes one itself).
void ReadAhead::wakeReaders(size_t added)
{
    if (added > 1)
        m_work.notify_all();
    else if (added == 1)
        m_work.notify_one();
}

// Called with the lock held. False when there is no room for it. Readers are not woken:
// the caller does that once the lock is let go.
bool ReadAhead::add(WalkKey key, std::string_view name, const SharedDir& parent, dev_t device,
                    std::string_view path)
{
    if (m_stop || key.size() > MaxReadAheadDepth)
        return false;
    if (m_requests.count(key) > 0)
        return true;
    if (!makeRoomLocked(key)) {
        m_roomLost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    auto request = std::make_shared<Request>();
    request->key = key;
    request->name.assign(name);
    request->parent = parent;
    request->device = device;
    if (m_hook)
        request->path.assign(path);
    notePendingLocked(m_requests.emplace(std::move(key), std::move(request)).first);
    return true;
}

// Called with the lock held.
ReadAhead::Map::iterator ReadAhead::erase(Map::iterator it)
{
    Request& r = *it->second;
    if (m_awaited == &r)
        m_awaited = nullptr;
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
    // Its descriptors are closed by a reader, not by the walk.
    disposeLocked(std::move(it->second));
    return eraseNode(it);
}

// Called with the lock held: takes the node out of the queue, keeping where readers look for
// work valid.
ReadAhead::Map::iterator ReadAhead::eraseNode(Map::iterator it)
{
    const bool first = m_firstPending == it;
    const auto next = m_requests.erase(it);
    if (first)
        m_firstPending = next;
    return next;
}

// Called with the lock held. A reader is woken for each batch, so that what waits to be let
// go stays a batch or so (unless every reader is stuck in the kernel).
void ReadAhead::disposeLocked(std::shared_ptr<const void> held)
{
    m_dispose.push_back(std::move(held));
    if (m_dispose.size() % DisposeBatch == 0)
        m_work.notify_one();
}

std::optional<ReadListing> ReadAhead::take(const WalkKey& key, std::string_view name)
{
    grow();
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
    eraseNode(it); // its bytes stay counted until the walk releases them
    return listing;
}

void ReadAhead::release(size_t bytes, std::shared_ptr<const void> held, int reader)
{
    std::lock_guard lock(m_mutex);
    if (held) {
        // To its reader, unless that one does not come for what it has (stuck in a call).
        if (reader >= 0 && size_t(reader) < m_returned.size() &&
            m_returned[size_t(reader)].size() < 4 * DisposeBatch) {
            std::vector<std::shared_ptr<const void>>& returned = m_returned[size_t(reader)];
            returned.push_back(std::move(held));
            // A reader busy listing takes them between two folders; one waiting is woken
            // for a batch.
            if (returned.size() == DisposeBatch)
                m_work.notify_all();
        } else {
            disposeLocked(std::move(held));
        }
    }
    const bool wasFull = m_bytes >= m_memoryBudget;
    m_bytes -= bytes;
    // Readers wait on the budget only when it was spent.
    if (wasFull && m_bytes < m_memoryBudget)
        m_work.notify_all();
}

ReadAhead::Awaited ReadAhead::await(const WalkKey& key, std::string_view name, const SharedDir& parent,
                                    dev_t device, std::string_view path, std::chrono::milliseconds wait,
                                    std::optional<ReadListing>& listing)
{
    grow();
    std::unique_lock lock(m_mutex);
    for (auto it = m_requests.begin(); it != m_requests.end() && it->first < key;)
        it = erase(it);
    auto it = m_requests.find(key);
    if (it == m_requests.end()) {
        // Not queued (there was no room when its parent was listed): first in line now.
        if (!add(key, name, parent, device, path))
            return Awaited::Failed;
        m_work.notify_one();
        it = m_requests.find(key);
    }
    std::shared_ptr<Request> request = it->second;
    if (request->name != name) {
        erase(it);
        return Awaited::Failed;
    }
    // With the budget spent no reader takes it on: the walk lists it itself.
    if (request->state == State::Pending && m_bytes >= m_memoryBudget) {
        erase(it);
        return Awaited::Failed;
    }
    if (request->state == State::Pending || request->state == State::Reading) {
        m_awaited = request.get();
        m_handed.wait_for(lock, wait, [&] {
            return m_stop || request->dropped ||
                   (request->state != State::Pending && request->state != State::Reading);
        });
        if (m_awaited == request.get())
            m_awaited = nullptr;
        if (m_stop || request->dropped)
            return Awaited::Failed;
        if (request->state == State::Pending || request->state == State::Reading)
            return Awaited::Pending;
        it = m_requests.find(key);
        if (it == m_requests.end() || it->second != request)
            return Awaited::Failed;
    }
    if (request->state != State::Done) {
        erase(it);
        return Awaited::Failed;
    }
    listing = std::move(request->listing);
    request->listing.bytes.clear();
    eraseNode(it); // its bytes stay counted until the walk releases them
    return Awaited::Ready;
}

void ReadAhead::abandon(const WalkKey& key)
{
    std::unique_lock lock(m_mutex);
    auto it = m_requests.find(key);
    if (it == m_requests.end())
        return;
    const bool stuck = it->second->state == State::Reading;
    erase(it);
    lock.unlock();
    // The reader stuck on it comes back, if ever, as one more reader.
    if (stuck)
        startReader();
}

void ReadAhead::dropBelow(const WalkKey& key)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_requests.upper_bound(key); it != m_requests.end() && startsWith(it->first, key);)
        it = erase(it);
}

void ReadAhead::dropAll()
{
    std::vector<std::shared_ptr<const void>> gone; // let go outside the lock, at once
    std::lock_guard lock(m_mutex);
    for (auto it = m_requests.begin(); it != m_requests.end();)
        it = erase(it);
    gone.swap(m_dispose);
    returnedLocked(gone);
}

void ReadAhead::setMountPointNames(std::shared_ptr<const std::unordered_set<std::string>> names)
{
    std::lock_guard lock(m_mutex);
    m_mountPointNames.swap(names);
}

// Called with the lock held: moves everything handed back to the readers to gone.
void ReadAhead::returnedLocked(std::vector<std::shared_ptr<const void>>& gone)
{
    for (std::vector<std::shared_ptr<const void>>& returned : m_returned) {
        std::move(returned.begin(), returned.end(), std::back_inserter(gone));
        returned.clear();
    }
}

bool ReadAhead::subFoldersStillQueued(const ReadListing& listing) const
{
    return listing.subFoldersQueued && listing.roomLost == m_roomLost.load(std::memory_order_relaxed);
}

size_t ReadAhead::peakBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_peakBytes;
}

void ReadAhead::run(size_t index)
{
    std::vector<char> scratch(ScratchSize);
    SlowCalls slow;
    std::unique_lock lock(m_mutex);
    std::vector<std::shared_ptr<const void>> disposing;
    while (true) {
        m_work.wait(lock, [&] {
            return m_stop || m_dispose.size() >= DisposeBatch || m_returned[index].size() >= DisposeBatch ||
                   (m_pending > m_leftToWalk && m_bytes < m_memoryBudget);
        });
        if (m_stop)
            return;
        if (!m_returned[index].empty()) {
            disposing.swap(m_returned[index]);
            lock.unlock();
            disposing.clear();
            lock.lock();
            continue;
        }
        if (!m_dispose.empty()) {
            disposing.swap(m_dispose);
            lock.unlock();
            disposing.clear();
            lock.lock();
            continue;
        }
        // The folder the walk reaches first, of those not left to it.
        std::shared_ptr<Request> request = firstPendingLocked();
        if (!request)
            continue;
        request->state = State::Reading;
        --m_pending;

        lock.unlock();
        SharedDir opened;
        request->listing.reader = int(index);
        read(*request, scratch, opened, slow);
        // The sub-folders are queued from the reader's own listing, relative to the
        // descriptor it read it from; the parent is no longer needed.
        request->parent.reset();
        Map batch;
        if (opened && !request->dropped && !m_stop)
            batch = prepare(request->key, request->path, request->listing.bytes.data(),
                            request->listing.bytes.size(), 0, opened, request->listing.device);
        lock.lock();

        const bool awaited = m_awaited == request.get();
        size_t added = 0;
        if (request->dropped || m_stop) {
            request->listing.bytes.clear();
            request->state = State::Failed;
        } else if (opened) {
            request->state = State::Done;
            m_bytes += request->listing.bytes.size();
            m_peakBytes = std::max(m_peakBytes, m_bytes);
            // The walk queues them again only where some found no room, then or since.
            added = insertLocked(batch, &request->listing.subFoldersQueued);
            request->listing.roomLost = m_roomLost.load(std::memory_order_relaxed);
        } else {
            request->state = State::Failed;
        }
        // Descriptors are closed, requests let go and others woken outside the lock.
        lock.unlock();
        if (awaited)
            m_handed.notify_one();
        wakeReaders(added);
        batch.clear();
        opened.reset();
        request.reset();
        lock.lock();
    }
}

// Called with the lock held: the first pending request the readers may take (the walk
// keeps the first for itself when it lists folders), taken from where pending ones begin.
std::shared_ptr<ReadAhead::Request> ReadAhead::firstPendingLocked()
{
    size_t skip = m_leftToWalk;
    auto it = m_firstPending;
    while (it != m_requests.end() && it->second->state != State::Pending)
        ++it;
    m_firstPending = it;
    for (; it != m_requests.end(); ++it) {
        Request& r = *it->second;
        if (r.state == State::Pending && skip-- == 0) {
            r.look = !m_mountPointNames || m_mountPointNames->count(r.name) > 0;
            return it->second;
        }
    }
    return nullptr;
}

// Lists one folder into request.listing; opened is its descriptor when it was read whole.
// Anything unusual (gone, a link, another device, too large, a stop) leaves it to the walk.
void ReadAhead::read(Request& request, std::vector<char>& scratch, SharedDir& opened, SlowCalls& slow)
{
    // Timed with the hook: a test plays a slow drive there.
    const auto began = SlowCalls::Clock::now();
    if (m_hook)
        m_hook(request.path);
    // The clock before the open: whatever changed the folder or its name after it shows a
    // later time stamp.
    struct timespec start;
    ::clock_gettime(CLOCK_REALTIME, &start);
    const int fd = ::openat(request.parent->get(), request.name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    auto dir = std::make_shared<const UniqueFd>(fd);
    struct stat st;
    if (request.look) {
        if (::fstat(fd, &st) != 0 || st.st_dev != request.device)
            return;
        request.listing.identified = true;
        request.listing.device = st.st_dev;
        request.listing.inode = st.st_ino;
    } else {
        request.listing.device = request.device; // as its parent's; the walk looks at it
    }
    const ListingRead read =
        readListing(fd, scratch, m_maxListing, [&] { return m_stop.load() || request.dropped.load(); });
    // More readers once the folders turn out slow to list.
    if (m_growTo > 0 && slow.note(began, read.size))
        m_growWanted = true;
    if (!read.complete)
        return;
    request.listing.bytes.assign(scratch.data(), scratch.data() + read.size);
    request.listing.readStart = nanoseconds(start);
    request.listing.dir = dir;
    if (scratch.size() > ScratchSize) {
        scratch.resize(ScratchSize);
        scratch.shrink_to_fit();
    }
    opened = std::move(dir);
}

} // namespace fotarik::search::detail
