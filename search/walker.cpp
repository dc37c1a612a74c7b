#include "walker.h"

#include "budgets.h"
#include "errorcatalogue.h"
#include "pseudofs.h"
#include "readahead.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace fotarik::search {

namespace {

// Levels up to this depth keep their listing open while a sub-folder is walked. Deeper
// levels read their whole listing first: a tree thousands of levels deep must not run
// out of descriptors.
constexpr size_t MaxKeepOpenDepth = 96;
constexpr size_t ListingBufferSize = 64 * 1024;

// Without /proc the type names are unknown; the magic numbers still tell the worst ones.
bool isPseudoMagic(long magic)
{
    switch (static_cast<unsigned long>(magic)) {
    case 0x9fa0:     // proc
    case 0x62656572: // sysfs
    case 0x1cd1:     // devpts
    case 0x27e0eb:   // cgroup
    case 0x63677270: // cgroup2
    case 0x73636673: // securityfs
    case 0x64626720: // debugfs
    case 0x74726163: // tracefs
    case 0xcafe4a11: // bpf
    case 0x6165676c: // pstore
    case 0x62656570: // configfs
    case 0x0187:     // autofs
        return true;
    default:
        return false;
    }
}

enum class EntryKind { File, Folder, LinkedFolder, Gone };

struct Listing
{
    // Shared with a listing call in flight, which may outlive a wait that gave it up.
    std::shared_ptr<std::vector<char>> buffer;
};

// How many read-ahead threads, how many folders they may have queued or waiting, and
// how much of their listings may be held at once.
constexpr int DefaultReadAheadThreads = 4;
constexpr size_t MaxReadAheadRequests = 256;
constexpr size_t ReadAheadMemory = 32 * 1024 * 1024;
constexpr size_t MaxReadAheadListing = 4 * 1024 * 1024;
// Folders deeper than the levels that keep their listing open hold their descriptor only
// while they are among the last few entered; an older one is opened again, step by step
// from the nearest open ancestor, when it is needed.
constexpr size_t DeepWindow = 8;
// Entries tested between two looks at the clock.
constexpr unsigned EntriesPerClockLook = 64;

// Runs the walk's calls into the file system. Unguarded they run on the walking thread.
// Guarded they run on a helper thread while the walking thread waits, serving events at
// screen pace: a cancel ends the wait at once, and a call that has not returned within
// budget::HungFolderWait (a folder on a mount that does not answer) is given up. A call
// given up is left to its thread, which is let go; it holds only its own copies and
// shares of what the call needs, so nothing the walk goes on with waits for it.
class CallGuard
{
public:
    CallGuard(WalkSink& sink, bool guarded, std::function<void(std::string_view)> hook)
        : m_sink(sink), m_guarded(guarded), m_hook(std::move(hook))
    {
    }
    ~CallGuard()
    {
        if (!m_channel)
            return;
        {
            std::lock_guard lock(m_channel->mutex);
            m_channel->stop = true;
        }
        m_channel->wake.notify_all();
        m_thread.join(); // idle: its last call has returned
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

    // The call's result; none when it was given up. what names the path concerned.
    template <class R, class F> std::optional<R> run(F&& call, std::string_view what)
    {
        if (!m_guarded) {
            if (m_hook)
                m_hook(what);
            return std::optional<R>(call());
        }
        if (!m_channel) {
            m_channel = std::make_shared<Channel>();
            m_thread = std::thread([channel = m_channel] { serve(*channel); });
        }
        auto result = std::make_shared<std::optional<R>>();
        std::unique_lock lock(m_channel->mutex);
        m_channel->job = [result, call = std::forward<F>(call), hook = m_hook,
                          path = std::string(what)]() mutable {
            if (hook)
                hook(path);
            result->emplace(call());
        };
        m_channel->finished = false;
        m_channel->hasJob = true;
        m_channel->wake.notify_one();
        const auto start = std::chrono::steady_clock::now();
        while (!m_channel->finished) {
            m_channel->done.wait_for(lock, budget::WalkEventInterval);
            if (m_channel->finished)
                break;
            lock.unlock();
            m_sink.serveEventsWhileListing();
            const bool cancel = m_sink.cancelRequested();
            lock.lock();
            if (m_channel->finished)
                break;
            if (cancel || std::chrono::steady_clock::now() - start >= budget::HungFolderWait) {
                m_channel->stop = true;
                lock.unlock();
                m_channel->wake.notify_all();
                m_thread.detach();
                m_channel.reset();
                return std::nullopt;
            }
        }
        return std::move(*result);
    }

private:
    struct Channel
    {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable done;
        std::function<void()> job;
        bool hasJob = false;
        bool finished = false;
        bool stop = false;
    };

    static void serve(Channel& channel)
    {
        std::unique_lock lock(channel.mutex);
        while (true) {
            channel.wake.wait(lock, [&] { return channel.stop || channel.hasJob; });
            if (!channel.hasJob)
                return;
            std::function<void()> job = std::move(channel.job);
            channel.hasJob = false;
            lock.unlock();
            job();
            job = nullptr; // what the call held goes now, outside the lock
            lock.lock();
            channel.finished = true;
            channel.done.notify_all();
            if (channel.stop)
                return;
        }
    }

    WalkSink& m_sink;
    const bool m_guarded;
    const std::function<void(std::string_view)> m_hook;
    std::shared_ptr<Channel> m_channel;
    std::thread m_thread;
};

// A folder opened by a call: its descriptor, what fstat said of it, and errno.
struct Opened
{
    UniqueFd fd;
    int error = 0;
    bool statOk = false;
    struct stat st
    {
    };
};

class Walker
{
public:
    Walker(const PatternList& patterns, bool withSubFolders, int32_t& runningTotal, WalkSink& sink,
           const WalkOptions& options)
        : m_patterns(patterns), m_withSubFolders(withSubFolders), m_total(runningTotal), m_sink(sink),
          m_statistics(options.statistics), m_calls(sink, options.guardCalls, options.onCall)
    {
        if (m_statistics)
            *m_statistics = {};
        // Beyond 64 descriptors left to the rest of the program, the walk's own levels
        // take at most half of the limit, the read-ahead the other half (a queued folder
        // holds its parent's descriptor, one read ahead its own). Should the process run
        // out all the same, the walk lets go of what it can and tries again.
        size_t spare = 4 * MaxReadAheadRequests;
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            spare = limit.rlim_cur > 64 ? size_t(limit.rlim_cur - 64) : 0;
        m_keepOpenDepth = std::clamp<size_t>(spare / 2, 4, MaxKeepOpenDepth);
        const size_t requests = std::min(spare / 4, MaxReadAheadRequests);
        if (!withSubFolders || options.readAheadThreads == 0 || requests < 8 || options.guardCalls)
            return;
        m_readAheadRequests = requests;
        if (options.readAheadThreads > 0) {
            m_readAheadThreads = options.readAheadThreads;
            startReadAhead();
        } else {
            // Chosen by the machine: readers only pay off while the disk is read. With
            // every listing in the cache they would only cost time, so they start when a
            // listing the walk reads itself has to come from the disk.
            m_readAheadThreads = DefaultReadAheadThreads;
            m_watchDisk = true;
        }
    }

    ~Walker()
    {
        if (m_statistics && m_readAhead)
            m_statistics->peakReadAheadBytes = m_readAhead->peakBytes();
        if (m_readAhead)
            m_readAhead->stop();
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    int32_t walkStart(std::string folder)
    {
        m_path = std::move(folder);
        serveEvents();
        if (!enterLevel(0, 0))
            return 0;
        // The levels live in m_levels, not on the call stack, so that the depth of the
        // tree is bounded by memory only: a level costs its part of the path, its place
        // in the walk key and what is left of its listing.
        size_t depth = 0;
        while (true) {
            Level& level = m_levels[depth];
            const dirent64* entry = nextEntry(depth);
            bool levelDone = entry == nullptr;
            if (entry) {
                if (!level.folderShown) {
                    m_sink.folderEntered(m_path);
                    level.folderShown = true;
                }
                serveEventsWhileListing();
                levelDone = m_sink.cancelRequested();
            }
            if (levelDone) {
                const int32_t hits = level.hits;
                endLevel(depth);
                if (depth == 0)
                    return hits;
                --depth;
                m_key.pop_back();
                Level& parent = m_levels[depth];
                m_path.resize(parent.pathLength);
                // The inner walk has advanced the running total itself.
                if (__builtin_add_overflow(parent.hits, hits, &parent.hits))
                    raiseOverflow();
                continue;
            }
            const uint32_t index = level.index++;
            const std::string_view name(entry->d_name);
            const EntryKind kind = classify(entry->d_type, depth, entry->d_name);
            switch (kind) {
            case EntryKind::Gone:
                break;
            case EntryKind::File:
                if (m_patterns.matches(name)) {
                    addHit(level.hits, 1);
                    m_path.append(name);
                    m_sink.hitFound(m_path, m_total);
                    m_path.resize(level.pathLength);
                }
                break;
            case EntryKind::Folder:
            case EntryKind::LinkedFolder:
                if (detail::isSkippedFolderName(name))
                    break;
                if (!m_withSubFolders) {
                    addHit(level.hits, 1);
                } else if (kind == EntryKind::Folder) {
                    m_path.append(name);
                    m_key.push_back(index);
                    serveEvents();
                    if (enterLevel(depth + 1, level.device)) {
                        ++depth;
                    } else {
                        m_key.pop_back();
                        m_path.resize(level.pathLength);
                    }
                }
                break;
            }
        }
    }

private:
    struct Level
    {
        size_t nameOffset = 0; // where the folder's name starts in m_path
        size_t pathLength = 0; // length of its path with the trailing "/"
        dev_t device = 0;
        ino_t inode = 0;
        detail::SharedDir dir; // its descriptor, when held
        size_t readAheadBytes = 0;
        // The listing: read ahead or read whole (bytes), or read block by block into the
        // level's buffer while the descriptor stays open.
        std::vector<char> bytes;
        const char* data = nullptr;
        size_t filled = 0;
        size_t pos = 0;
        bool atEnd = false;
        bool folderShown = false;
        uint32_t index = 0; // listing index of the next entry
        int32_t hits = 0;
    };

    void serveEvents()
    {
        m_sink.serveEvents();
        m_lastServed = std::chrono::steady_clock::now();
    }

    // Inside a long listing events are served at screen pace too. The clock is looked at
    // every few entries only.
    void serveEventsWhileListing()
    {
        if (++m_entriesSinceClock < EntriesPerClockLook)
            return;
        m_entriesSinceClock = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastServed < budget::WalkEventInterval)
            return;
        m_sink.serveEventsWhileListing();
        m_lastServed = std::chrono::steady_clock::now();
    }

    // The next entry of the folder at depth, reading the next block of its listing when
    // needed; null at its end.
    const dirent64* nextEntry(size_t depth)
    {
        Level& level = m_levels[depth];
        if (level.pos >= level.filled) {
            if (level.atEnd || !level.dir)
                return nullptr;
            Listing& own = listingAt(depth);
            if (m_watchDisk)
                m_listStart = std::chrono::steady_clock::now();
            const std::optional<ssize_t> read = m_calls.run<ssize_t>(
                [dir = level.dir, buffer = own.buffer] {
                    return ::getdents64(dir->get(), buffer->data(), buffer->size());
                },
                m_path);
            if (!read)
                own.buffer.reset(); // the call given up may still write into it
            const ssize_t n = read.value_or(-1);
            if (n <= 0) {
                level.atEnd = true;
                return nullptr;
            }
            level.data = own.buffer->data();
            level.filled = size_t(n);
            level.pos = 0;
            queueSubFolders(depth, level.data, level.filled, level.index);
        }
        const auto* entry = reinterpret_cast<const dirent64*>(level.data + level.pos);
        level.pos += entry->d_reclen;
        return entry;
    }

    // Opens the folder m_path names (below the start: its parent's path and its name)
    // and makes it the level at depth. False when it cannot be listed or is not to be
    // entered.
    bool enterLevel(size_t depth, dev_t parentDevice)
    {
        if (m_watchDisk)
            m_listStart = std::chrono::steady_clock::now();
        const bool isStart = depth == 0;
        size_t nameOffset = 0;
        int fd = -1;
        struct stat st;
        // A listing read ahead, and the descriptor its reader read it from.
        std::optional<detail::ReadListing> ahead;
        detail::SharedDir dir;
        if (isStart) {
            if (m_path.empty() || m_path.back() != '/')
                m_path.push_back('/');
            Opened start = openFolder(nullptr, m_path);
            if (start.statOk) {
                st = start.st;
                fd = start.fd.get();
                dir = std::make_shared<const UniqueFd>(std::move(start.fd));
            }
        } else {
            // Always by the bare name, relative to the parent and never through a link:
            // no path length limit applies, and an ancestor or the folder itself swapped
            // for a link since it was listed leads nowhere else.
            nameOffset = m_levels[depth - 1].pathLength;
            const char* name = m_path.c_str() + nameOffset;
            const detail::SharedDir parent = dirOf(depth - 1);
            if (parent && m_readAhead) {
                ahead = m_readAhead->take(m_key, std::string_view(name, m_path.size() - nameOffset));
                // Used only while the name still leads to that very folder, unchanged
                // since shortly before it was read: otherwise it is read anew, as if
                // nothing had been read ahead.
                if (ahead && ::fstatat(parent->get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode) && ahead->standsFor(st)) {
                    dir = std::move(ahead->dir);
                    fd = dir->get();
                } else if (ahead) {
                    m_readAhead->release(ahead->bytes.size());
                    ahead.reset();
                }
                if (!ahead)
                    m_readAhead->dropBelow(m_key);
            }
            if (parent && !dir) {
                Opened child = openChild(parent, name);
                if (child.statOk) {
                    st = child.st;
                    fd = child.fd.get();
                    dir = std::make_shared<const UniqueFd>(std::move(child.fd));
                }
            }
            m_path.push_back('/');
        }
        if (fd < 0 || !dir)
            return false;
        if (ahead && m_statistics)
            ++m_statistics->listingsReadAhead;
        // Bytes read ahead stay counted until the level ends.
        const size_t aheadBytes = ahead ? ahead->bytes.size() : 0;
        if (!isStart && st.st_dev != parentDevice && isPseudoMount(dir, st.st_dev)) {
            if (aheadBytes > 0)
                m_readAhead->release(aheadBytes);
            return false;
        }

        if (m_levels.size() <= depth)
            m_levels.emplace_back();
        Level& level = m_levels[depth];
        level.nameOffset = nameOffset;
        level.pathLength = m_path.size();
        level.device = st.st_dev;
        level.inode = st.st_ino;
        // The level holds the descriptor from here on; a deep level may let it go.
        level.dir = std::move(dir);
        level.readAheadBytes = aheadBytes;
        level.data = nullptr;
        level.filled = 0;
        level.pos = 0;
        level.atEnd = false;
        level.folderShown = false;
        level.index = 0;
        level.hits = 0;

        const bool keepOpen = depth < m_keepOpenDepth;
        if (!keepOpen)
            holdDeep(depth);
        if (ahead) {
            level.bytes = std::move(ahead->bytes);
            level.atEnd = true;
        } else if (!keepOpen) {
            // Read whole at once, so that the descriptor may go before the sub-folders
            // are walked; the level keeps a copy of just the size of its listing.
            level.bytes =
                m_calls.run<std::vector<char>>([dir = level.dir] { return readAll(dir->get()); }, m_path)
                    .value_or(std::vector<char>());
            level.atEnd = true;
            queueSubFolders(depth, level.bytes.data(), level.bytes.size(), 0);
        }
        if (level.atEnd) {
            level.data = level.bytes.data();
            level.filled = level.bytes.size();
        }
        return true;
    }

    // Opens a folder and looks at it: the start folder by its path (parent null), any
    // other by its name relative to its parent, never through a link.
    Opened openFolder(const detail::SharedDir& parent, const std::string& name)
    {
        std::optional<Opened> opened = m_calls.run<Opened>(
            [parent, name] {
                Opened o;
                const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (parent ? O_NOFOLLOW : 0);
                o.fd.reset(::openat(parent ? parent->get() : AT_FDCWD, name.c_str(), flags));
                o.error = errno;
                o.statOk = o.fd && ::fstat(o.fd.get(), &o.st) == 0;
                return o;
            },
            m_path);
        if (!opened) {
            Opened none;
            none.error = ETIMEDOUT;
            return none;
        }
        return std::move(*opened);
    }

    // Opens a sub-folder by its name. When the process runs out of descriptors, the
    // deep levels' descriptors and those held for reading ahead are let go (the caller
    // holds the parent's) and the open is tried once more.
    Opened openChild(const detail::SharedDir& parent, const char* name)
    {
        Opened o = openFolder(parent, name);
        if (!o.fd && (o.error == EMFILE || o.error == ENFILE)) {
            for (size_t depth : m_deepOpen)
                m_levels[depth].dir.reset();
            m_deepOpen.clear();
            if (m_readAhead)
                m_readAhead->dropAll();
            o = openFolder(parent, name);
        }
        return o;
    }

    void endLevel(size_t depth)
    {
        Level& level = m_levels[depth];
        level.dir.reset();
        std::vector<char>().swap(level.bytes);
        level.data = nullptr;
        level.filled = level.pos = 0;
        if (!m_deepOpen.empty() && m_deepOpen.back() == depth)
            m_deepOpen.pop_back();
        if (level.readAheadBytes > 0 && m_readAhead)
            m_readAhead->release(level.readAheadBytes);
        level.readAheadBytes = 0;
    }

    void startReadAhead()
    {
        m_watchDisk = false;
        m_readAhead = detail::ReadAhead::start(m_readAheadThreads, m_readAheadRequests, ReadAheadMemory,
                                               MaxReadAheadListing);
    }

    // After a block of the listing at depth, read by the walk itself. A listing that took
    // longer than a cached one can (per block of it, from the open on) came from the disk
    // or over a network or a FUSE file system: the readers start at the second such one.
    void queueSubFolders(size_t depth, const char* data, size_t size, uint32_t firstIndex)
    {
        if (m_watchDisk) {
            const auto took = std::chrono::steady_clock::now() - m_listStart;
            if (took > budget::UncachedListing * (1 + size / ListingBufferSize) && ++m_slowListings >= 2)
                startReadAhead();
        }
        if (m_readAhead && m_levels[depth].dir)
            m_readAhead->requestSubFolders(m_key, data, size, firstIndex, m_levels[depth].dir,
                                           m_levels[depth].device);
    }

    // A deep level's descriptor joins the last few held; the oldest of them is let go.
    void holdDeep(size_t depth)
    {
        m_deepOpen.push_back(depth);
        while (m_deepOpen.size() > DeepWindow) {
            m_levels[m_deepOpen.front()].dir.reset();
            m_deepOpen.pop_front();
        }
    }

    // The descriptor of the folder at depth; a deep one that was let go is opened again
    // name by name from the nearest ancestor still open, each step checked to be the
    // very folder walked before. Null when that no longer holds (moved, removed, swapped).
    detail::SharedDir dirOf(size_t depth)
    {
        if (m_levels[depth].dir)
            return m_levels[depth].dir;
        size_t open = depth;
        while (open > 0 && !m_levels[open].dir)
            --open;
        detail::SharedDir current = m_levels[open].dir;
        for (size_t i = open + 1; current && i <= depth; ++i) {
            const Level& level = m_levels[i];
            const std::string name(m_path, level.nameOffset, level.pathLength - 1 - level.nameOffset);
            Opened o = openChild(current, name.c_str());
            if (!o.statOk || o.st.st_dev != level.device || o.st.st_ino != level.inode)
                return nullptr;
            current = std::make_shared<const UniqueFd>(std::move(o.fd));
            m_levels[i].dir = current;
            holdDeep(i);
        }
        return current;
    }

    void addHit(int32_t& hits, int32_t n)
    {
        if (__builtin_add_overflow(hits, n, &hits) || __builtin_add_overflow(m_total, n, &m_total))
            raiseOverflow();
    }

    EntryKind classify(unsigned char type, size_t depth, const char* name)
    {
        if (type == DT_DIR)
            return EntryKind::Folder;
        if (type != DT_LNK && type != DT_UNKNOWN)
            return EntryKind::File;
        // Only links and file systems without entry types cost a look at the inode.
        const detail::SharedDir dir = dirOf(depth);
        if (!dir)
            return type == DT_LNK ? EntryKind::File : EntryKind::Gone;
        return m_calls
            .run<EntryKind>(
                [type, dir, n = std::string(name)] { return classifyAt(type, dir->get(), n.c_str()); },
                m_path)
            .value_or(EntryKind::Gone);
    }

    static EntryKind classifyAt(unsigned char type, int at, const char* name)
    {
        struct stat st;
        if (type == DT_UNKNOWN) {
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return EntryKind::Gone;
            if (S_ISDIR(st.st_mode))
                return EntryKind::Folder;
            if (!S_ISLNK(st.st_mode))
                return EntryKind::File;
        }
        // A link to a folder is never entered; any other link, dangling ones included,
        // is a name like a file's.
        const bool toFolder = ::fstatat(at, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        return toFolder ? EntryKind::LinkedFolder : EntryKind::File;
    }

    Listing& listingAt(size_t depth)
    {
        while (m_listings.size() <= depth)
            m_listings.push_back(std::make_unique<Listing>());
        Listing& l = *m_listings[depth];
        if (!l.buffer)
            l.buffer = std::make_shared<std::vector<char>>(ListingBufferSize);
        return l;
    }

    // The whole listing, in a vector of just its size.
    static std::vector<char> readAll(int fd)
    {
        std::vector<char> buffer(ListingBufferSize);
        size_t filled = 0;
        while (true) {
            if (buffer.size() - filled < ListingBufferSize / 2)
                buffer.resize(buffer.size() * 2);
            const ssize_t n = ::getdents64(fd, buffer.data() + filled, buffer.size() - filled);
            if (n <= 0)
                break;
            filled += size_t(n);
        }
        return std::vector<char>(buffer.begin(), buffer.begin() + ptrdiff_t(filled));
    }

    bool isPseudoMount(const detail::SharedDir& dir, dev_t device)
    {
        if (!m_mountsRead) {
            readMountTypes();
            m_mountsRead = true;
        }
        if (!m_mountTypes.empty()) {
            const auto it = m_mountTypes.find(device);
            if (it != m_mountTypes.end())
                return isPseudoFileSystem(it->second);
        }
        // A mount that does not say what it is is not entered.
        return m_calls
            .run<bool>(
                [dir] {
                    struct statfs fs;
                    return ::fstatfs(dir->get(), &fs) == 0 && isPseudoMagic(fs.f_type);
                },
                m_path)
            .value_or(true);
    }

    // Device number -> file-system type of every mount, read once per walk and only when
    // the walk crosses a mount point.
    void readMountTypes()
    {
        const UniqueFile f(std::fopen("/proc/self/mountinfo", "re"));
        if (!f)
            return;
        char* line = nullptr;
        size_t capacity = 0;
        while (::getline(&line, &capacity, f.get()) > 0) {
            unsigned major = 0;
            unsigned minor = 0;
            if (std::sscanf(line, "%*s %*s %u:%u", &major, &minor) != 2)
                continue;
            const char* sep = std::strstr(line, " - ");
            if (!sep)
                continue;
            const char* type = sep + 3;
            const char* typeEnd = std::strchr(type, ' ');
            if (!typeEnd)
                continue;
            m_mountTypes.emplace(makedev(major, minor), std::string(type, typeEnd));
        }
        std::free(line);
    }

    const PatternList& m_patterns;
    const bool m_withSubFolders;
    int32_t& m_total;
    WalkSink& m_sink;
    WalkStatistics* const m_statistics;
    std::string m_path;
    std::deque<Level> m_levels;
    std::deque<size_t> m_deepOpen;
    detail::WalkKey m_key;
    std::vector<std::unique_ptr<Listing>> m_listings;
    std::chrono::steady_clock::time_point m_lastServed;
    unsigned m_entriesSinceClock = 0;
    std::unordered_map<dev_t, std::string> m_mountTypes;
    bool m_mountsRead = false;
    size_t m_keepOpenDepth = MaxKeepOpenDepth;
    size_t m_readAheadRequests = 0;
    int m_readAheadThreads = 0;
    bool m_watchDisk = false;
    std::chrono::steady_clock::time_point m_listStart;
    int m_slowListings = 0;
    CallGuard m_calls;
    // Last, so that it stops its readers before anything they might touch goes.
    std::shared_ptr<detail::ReadAhead> m_readAhead;
};

} // namespace

int32_t SearchFolder(std::string folderPath, const PatternList& patterns, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options)
{
    Walker walker(patterns, withSubFolders != 0, runningTotal, sink, options);
    return walker.walkStart(std::move(folderPath));
}

int32_t SearchFolder(std::string folderPath, std::string_view patternList, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options)
{
    const PatternList patterns(patternList);
    return SearchFolder(std::move(folderPath), patterns, withSubFolders, runningTotal, sink, options);
}

} // namespace fotarik::search
