#include "walker.h"

#include "budgets.h"
#include "callguard.h"
#include "errorcatalogue.h"
#include "filesystems.h"
#include "folderlisting.h"
#include "pseudofs.h"
#include "readahead.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fotarik::search {

namespace {

using detail::CallGuard;
using detail::ReadListing;
using detail::SharedDir;

// Levels up to this depth keep their listing open while a sub-folder is walked. Deeper
// levels read their whole listing first: a tree thousands of levels deep must not run
// out of descriptors.
constexpr size_t MaxKeepOpenDepth = 96;
constexpr size_t ListingBufferSize = 64 * 1024;

enum class EntryKind { File, Folder, LinkedFolder, Gone };

// The cores this process may run on.
int usableCores()
{
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(CPU_COUNT(&set), 1);
    return std::max(int(std::thread::hardware_concurrency()), 1);
}

struct Listing
{
    // Shared with a listing call in flight, which may outlive a wait that gave it up.
    std::shared_ptr<std::vector<char>> buffer;
};

// How many read-ahead threads, how many folders they may have queued or waiting, and
// how much of their listings may be held at once. Four keep a disk, a network or a FUSE
// file system busy with several listings at a time.
constexpr int DefaultReadAheadThreads = 4;
// With every listing in the cache, two readers keep ahead of the window's walk, whose
// thread mostly waits for them; more only fight over the lock and the cores.
constexpr int GuardedReadersAtFirst = 2;
// A walk that lists folders itself gains from readers only where they run beside it, on a
// core of their own: from the cache, a reader that takes a core from the walk costs more
// than it reads ahead.
constexpr int UnguardedReadersAtMost = 2;
constexpr size_t MaxReadAheadRequests = 256;
constexpr size_t ReadAheadMemory = 32 * 1024 * 1024;
constexpr size_t MaxReadAheadListing = 4 * 1024 * 1024;
// Folders deeper than the levels that keep their listing open hold their descriptor only
// while they are among the last few entered; an older one is opened again, step by step
// from the nearest open ancestor, when it is needed.
constexpr size_t DeepWindow = 8;
// Entries tested between two looks at the clock.
constexpr unsigned EntriesPerClockLook = 64;
// The window's walk ends at once: readers that take longer than this to stop (one stuck
// in a call that does not return) are let go. A pace, not a budget.
constexpr std::chrono::milliseconds GuardedReadersStop{20};
// How often the walk asks whether the mount table changed while it runs.
constexpr auto MountTableLook = std::chrono::milliseconds(50);

// A folder opened by a call: its descriptor and errno and, when it was looked at, what
// fstat said of it. ok: opened, and looked at when that was asked for.
struct Opened
{
    UniqueFd fd;
    int error = 0;
    bool ok = false;
    bool looked = false;
    struct stat st
    {
    };
};

// One walk. Its levels live in m_levels, not on the call stack, so that the depth of the
// tree is bounded by memory only: a level costs its part of the path, its place in the
// walk key and what is left of its listing.
class Walker
{
public:
    Walker(const PatternList& patterns, bool withSubFolders, int32_t& runningTotal, WalkSink& sink,
           const WalkOptions& options)
        : m_patterns(patterns), m_withSubFolders(withSubFolders), m_total(runningTotal), m_sink(sink),
          m_statistics(options.statistics), m_guarded(options.guardCalls), m_hook(options.onCall),
          m_calls(sink, options.guardCalls, options.onCall)
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
        if (!withSubFolders || options.readAheadThreads == 0 || requests < 8)
            return;
        m_readAheadRequests = requests;
        m_readAheadThreads =
            options.readAheadThreads > 0 ? options.readAheadThreads : DefaultReadAheadThreads;
        // The readers start with the walk, as many as pay with every listing in the cache,
        // and the rest once their calls turn out slow (detail::SlowCalls), where the walk
        // would wait for a disk, a network or a FUSE file system. The window's walk never
        // lists a folder itself while a reader can: it starts two. Any other walk starts one
        // fewer than the cores it may run on (at least one, at most two), and its readers
        // leave the folder the walk enters next to the walk. A number asked for is started
        // at once.
        if (options.readAheadThreads > 0)
            startReadAhead(m_readAheadThreads, 0);
        else if (m_guarded)
            startReadAhead(std::min(GuardedReadersAtFirst, m_readAheadThreads), m_readAheadThreads);
        else
            startReadAhead(
                std::clamp(usableCores() - 1, 1, std::min(UnguardedReadersAtMost, m_readAheadThreads)),
                m_readAheadThreads);
    }

    ~Walker()
    {
        if (m_statistics && m_readAhead)
            m_statistics->peakReadAheadBytes = m_readAhead->peakBytes();
        if (m_readAhead) {
            if (m_guarded)
                m_readAhead->stop(GuardedReadersStop);
            else
                m_readAhead->stop();
        }
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    int32_t walk(std::string folder)
    {
        m_path = std::move(folder);
        serveEvents();
        if (!enterStart())
            return 0;
        size_t depth = 0;
        while (true) {
            const std::optional<ListedEntry> entry = nextEntry(depth);
            if (!entry) {
                if (depth == 0) {
                    const int32_t hits = m_levels[0].hits;
                    endLevel(0);
                    return hits;
                }
                leaveLevel(depth--);
            } else if (testEntry(depth, *entry)) {
                ++depth;
            }
        }
    }

private:
    struct Level
    {
        size_t nameOffset = 0; // where the folder's name starts in m_path
        size_t pathLength = 0; // length of its path with the trailing "/"
        dev_t device = 0;
        ino_t inode = 0;     // known when looked
        bool looked = false; // whether the folder's own fstat gave device and inode
        SharedDir dir;       // its descriptor, when held
        size_t readAheadBytes = 0;
        int reader = -1; // the reader that read its listing, if one did
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

    // --- Serving events

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

    // --- Entering and leaving a folder

    // Opens the start folder (m_path, given a trailing "/") as level 0.
    bool enterStart()
    {
        if (m_path.empty() || m_path.back() != '/')
            m_path.push_back('/');
        Opened start = openFolder(nullptr, m_path, true);
        if (!start.ok)
            return false;
        findMountsBelow(start.fd.get());
        beginLevel(0, 0, start.st, true, std::make_shared<const UniqueFd>(std::move(start.fd)), std::nullopt);
        return true;
    }

    // Opens the sub-folder m_path names (its parent's path and its name) as the level at
    // depth, taking its listing from the readers when they have it. False when it cannot
    // be listed or is not to be entered.
    bool enterSubFolder(size_t depth)
    {
        // Always by the bare name, relative to the parent and never through a link: no
        // path length limit applies, and an ancestor or the folder itself swapped for a
        // link since it was listed leads nowhere else.
        const size_t nameOffset = m_levels[depth - 1].pathLength;
        const std::string_view name(m_path.c_str() + nameOffset, m_path.size() - nameOffset);
        const SharedDir parent = dirOf(depth - 1);
        if (!parent)
            return false;
        struct stat st
        {
        };
        bool looked = true;
        std::optional<ReadListing> ahead;
        if (m_guarded && m_readAhead) {
            noticeMountChanges();
            if (!awaitReadAhead(parent, name, depth, st, ahead))
                return false;
        } else {
            ahead = takeReadAhead(*parent, name, st);
        }
        SharedDir dir;
        if (ahead) {
            dir = std::move(ahead->dir);
        } else {
            // A folder is looked at only where that tells something: where it may be a
            // mount point (another file system begins there), and deep down, where its
            // descriptor may be let go and the folder opened again must be known to be
            // the same. Elsewhere it lives on its parent's file system.
            looked = depth >= m_keepOpenDepth || mayBeMountPoint();
            Opened child = openChild(parent, name.data(), looked);
            if (!child.ok)
                return false;
            if (looked)
                st = child.st;
            else
                st.st_dev = m_levels[depth - 1].device;
            dir = std::make_shared<const UniqueFd>(std::move(child.fd));
        }
        m_path.push_back('/');
        if (st.st_dev != m_levels[depth - 1].device && isPseudoMount(dir, st.st_dev)) {
            if (ahead) {
                m_readAhead->release(ahead->bytes.size());
                m_readAhead->dropBelow(m_key);
            }
            return false;
        }
        if (ahead && m_statistics)
            ++m_statistics->listingsReadAhead;
        beginLevel(depth, nameOffset, st, looked, std::move(dir), std::move(ahead));
        return true;
    }

    // Makes the folder just opened the level at depth, with its listing when it was read
    // ahead. A deep level reads its whole listing now, so that its descriptor may go.
    void beginLevel(size_t depth, size_t nameOffset, const struct stat& st, bool looked, SharedDir dir,
                    std::optional<ReadListing> ahead)
    {
        if (m_levels.size() <= depth)
            m_levels.emplace_back();
        Level& level = m_levels[depth];
        level = Level();
        level.nameOffset = nameOffset;
        level.pathLength = m_path.size();
        level.device = st.st_dev;
        level.inode = st.st_ino;
        level.looked = looked;
        level.dir = std::move(dir);
        const bool keepOpen = depth < m_keepOpenDepth;
        if (!keepOpen)
            holdDeep(depth);
        if (ahead) {
            // Its bytes stay counted until the level ends.
            level.readAheadBytes = ahead->bytes.size();
            level.reader = ahead->reader;
            level.bytes = std::move(ahead->bytes);
            // Its sub-folders are queued again where there was no room for them.
            if (level.dir && !m_readAhead->subFoldersStillQueued(*ahead))
                m_readAhead->requestSubFolders(m_key, m_path, level.bytes.data(), level.bytes.size(), 0,
                                               level.dir, level.device);
        } else if (!keepOpen) {
            readWholeListing(depth);
        } else {
            return;
        }
        level.atEnd = true;
        level.data = level.bytes.data();
        level.filled = level.bytes.size();
    }

    // The folder at depth is done: it lets go of what it held and its hits count for its
    // parent (the running total has been advanced hit by hit).
    void leaveLevel(size_t depth)
    {
        const int32_t hits = m_levels[depth].hits;
        endLevel(depth);
        m_key.pop_back();
        Level& parent = m_levels[depth - 1];
        m_path.resize(parent.pathLength);
        if (__builtin_add_overflow(parent.hits, hits, &parent.hits))
            raiseOverflow();
    }

    void endLevel(size_t depth)
    {
        Level& level = m_levels[depth];
        if (m_readAhead && (level.dir || level.readAheadBytes > 0))
            m_readAhead->release(level.readAheadBytes, std::move(level.dir), level.reader);
        level.reader = -1;
        level.readAheadBytes = 0;
        level.dir.reset();
        std::vector<char>().swap(level.bytes);
        level.data = nullptr;
        level.filled = level.pos = 0;
        if (!m_deepOpen.empty() && m_deepOpen.back() == depth)
            m_deepOpen.pop_back();
    }

    // --- Descriptors: opened by name, held, let go and opened again

    // Opens a folder, and looks at it when asked to: the start folder by its path (parent
    // null), any other by its name relative to its parent, never through a link.
    Opened openFolder(const SharedDir& parent, const std::string& name, bool look)
    {
        std::optional<Opened> opened = m_calls.run<Opened>(
            [parent, name, look] {
                Opened o;
                const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (parent ? O_NOFOLLOW : 0);
                o.fd.reset(::openat(parent ? parent->get() : AT_FDCWD, name.c_str(), flags));
                o.error = errno;
                o.looked = look && o.fd && ::fstat(o.fd.get(), &o.st) == 0;
                o.ok = o.fd && (o.looked || !look);
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
    Opened openChild(const SharedDir& parent, const char* name, bool look)
    {
        Opened o = openFolder(parent, name, look);
        if (!o.fd && (o.error == EMFILE || o.error == ENFILE)) {
            for (size_t depth : m_deepOpen)
                m_levels[depth].dir.reset();
            m_deepOpen.clear();
            if (m_readAhead)
                m_readAhead->dropAll();
            o = openFolder(parent, name, look);
        }
        return o;
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
    SharedDir dirOf(size_t depth)
    {
        if (m_levels[depth].dir)
            return m_levels[depth].dir;
        size_t open = depth;
        while (open > 0 && !m_levels[open].dir)
            --open;
        SharedDir current = m_levels[open].dir;
        for (size_t i = open + 1; current && i <= depth; ++i) {
            const Level& level = m_levels[i];
            const std::string name(m_path, level.nameOffset, level.pathLength - 1 - level.nameOffset);
            // Every level that may have to be opened again was looked at when entered.
            Opened o = openChild(current, name.c_str(), true);
            if (!o.ok || !level.looked || o.st.st_dev != level.device || o.st.st_ino != level.inode)
                return nullptr;
            current = std::make_shared<const UniqueFd>(std::move(o.fd));
            m_levels[i].dir = current;
            holdDeep(i);
        }
        return current;
    }

    // --- Reading the listing

    // The next entry of the folder at depth, reading the next block of its listing when
    // needed; none at its end or when a cancel is asked for.
    std::optional<ListedEntry> nextEntry(size_t depth)
    {
        Level& level = m_levels[depth];
        if (level.pos >= level.filled && !readNextBlock(depth))
            return std::nullopt;
        const ListedEntry entry = nextListedEntry(level.data, level.pos);
        if (!level.folderShown) {
            m_sink.folderEntered(m_path);
            level.folderShown = true;
        }
        serveEventsWhileListing();
        if (m_sink.cancelRequested())
            return std::nullopt;
        return entry;
    }

    // Reads the next part of the listing at depth into its level's buffer, as much as it
    // takes (a small folder's listing and its end in one call); false at its end, or when
    // it cannot be read further.
    bool readNextBlock(size_t depth)
    {
        Level& level = m_levels[depth];
        if (level.atEnd || !level.dir)
            return false;
        Listing& own = listingAt(depth);
        const std::optional<ListingRead> read = m_calls.run<ListingRead>(
            [dir = level.dir, buffer = own.buffer] {
                return readListing(dir->get(), *buffer, buffer->size(), [] { return false; });
            },
            m_path);
        if (!read)
            own.buffer.reset(); // the call given up may still write into it
        level.atEnd = !read || read->complete || read->failed;
        if (!read || read->size == 0)
            return false;
        level.data = own.buffer->data();
        level.filled = read->size;
        level.pos = 0;
        queueSubFolders(depth, level.data, level.filled, level.index);
        return true;
    }

    // Reads the whole listing at depth at once, into a copy of just its size.
    void readWholeListing(size_t depth)
    {
        Level& level = m_levels[depth];
        level.bytes = m_calls
                          .run<std::vector<char>>(
                              [dir = level.dir] {
                                  std::vector<char> buffer;
                                  const ListingRead read =
                                      readListing(dir->get(), buffer, SIZE_MAX, [] { return false; });
                                  buffer.resize(read.size);
                                  buffer.shrink_to_fit();
                                  return buffer;
                              },
                              m_path)
                          .value_or(std::vector<char>());
        queueSubFolders(depth, level.bytes.data(), level.bytes.size(), 0);
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

    // --- Reading ahead

    void startReadAhead(int threads, int growTo)
    {
        m_readAhead = detail::ReadAhead::start(threads, m_readAheadRequests, ReadAheadMemory,
                                               MaxReadAheadListing, m_hook, growTo, !m_guarded);
    }

    // After a block of the listing at depth, read by the walk itself: its sub-folders go to
    // the readers.
    void queueSubFolders(size_t depth, const char* data, size_t size, uint32_t firstIndex)
    {
        if (m_readAhead && m_levels[depth].dir)
            m_readAhead->requestSubFolders(m_key, m_path, data, size, firstIndex, m_levels[depth].dir,
                                           m_levels[depth].device);
    }

    // The listing of the sub-folder name of parent (at m_key), when a reader has it and it
    // still stands for that very folder, unchanged since shortly before it was read; st
    // is then what the name leads to. Otherwise the walk reads it anew, as if nothing
    // had been read ahead.
    std::optional<ReadListing> takeReadAhead(const UniqueFd& parent, std::string_view name, struct stat& st)
    {
        if (!m_readAhead)
            return std::nullopt;
        std::optional<ReadListing> ahead = m_readAhead->take(m_key, name);
        if (ahead && ::fstatat(parent.get(), name.data(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode) && ahead->standsFor(st))
            return ahead;
        if (ahead)
            m_readAhead->release(ahead->bytes.size());
        m_readAhead->dropBelow(m_key);
        return std::nullopt;
    }

    // The listing of the sub-folder name of parent (at m_key and m_path) for a walk that must
    // not wait in the kernel: taken from the readers, which are waited for while events are
    // served. It is checked like any listing read ahead, first by what the folder says of
    // itself (no call that waits), and only where that cannot tell (it changed lately, or it
    // is a mount point) by looking the name up anew, with a guarded call. False when the
    // folder is given up (a cancel, or no answer within budget::HungFolderWait): it then
    // counts as one that cannot be listed.
    // True with no listing when the walk is to list it itself.
    bool awaitReadAhead(const SharedDir& parent, std::string_view name, size_t depth, struct stat& st,
                        std::optional<ReadListing>& ahead)
    {
        using Awaited = detail::ReadAhead::Awaited;
        const auto start = std::chrono::steady_clock::now();
        while (true) {
            const Awaited awaited = m_readAhead->await(
                m_key, name, parent, m_levels[depth - 1].device, m_path,
                std::chrono::duration_cast<std::chrono::milliseconds>(budget::WalkEventInterval), ahead);
            if (awaited == Awaited::Ready)
                break;
            if (awaited == Awaited::Failed)
                return true;
            m_sink.serveEventsWhileListing();
            m_lastServed = std::chrono::steady_clock::now();
            if (m_sink.cancelRequested() || m_lastServed - start >= budget::HungFolderWait) {
                m_readAhead->abandon(m_key);
                return false;
            }
        }
        // A folder that is a mount point now may have become one since it was read: what
        // its name leads to is looked up again.
        if (!mayBeMountPoint() && ahead->unchangedSinceRead()) {
            st = {};
            st.st_dev = ahead->device;
            st.st_ino = ahead->inode;
            return true;
        }
        // The name looked up again, and the folder the reader opened too where its identity
        // is not known yet.
        struct Looks
        {
            std::optional<struct stat> name;
            std::optional<struct stat> opened;
        };
        const std::optional<Looks> looked = m_calls.run<Looks>(
            [parent, dir = ahead->dir, name = std::string(name), identified = ahead->identified] {
                Looks l;
                struct stat now;
                if (::fstatat(parent->get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0)
                    l.name = now;
                if (!identified && ::fstat(dir->get(), &now) == 0)
                    l.opened = now;
                return l;
            },
            m_path);
        if (looked && !ahead->identified && looked->opened) {
            ahead->identified = true;
            ahead->device = looked->opened->st_dev;
            ahead->inode = looked->opened->st_ino;
        }
        if (looked && looked->name && ahead->identified && S_ISDIR(looked->name->st_mode) &&
            ahead->standsFor(*looked->name)) {
            st = *looked->name;
            return true;
        }
        m_readAhead->release(ahead->bytes.size());
        ahead.reset();
        m_readAhead->dropBelow(m_key);
        return looked.has_value();
    }

    // --- Testing the entries

    // Tests one entry of the folder at depth: a hit is reported, a sub-folder counted or
    // entered. True when it was entered (it is then the level at depth + 1).
    bool testEntry(size_t depth, const ListedEntry& entry)
    {
        Level& level = m_levels[depth];
        const uint32_t index = level.index++;
        const EntryKind kind = classify(entry, depth);
        if (kind == EntryKind::File) {
            if (m_patterns.matches(entry.name)) {
                addHit(level.hits);
                m_path.append(entry.name);
                m_sink.hitFound(m_path, m_total);
                m_path.resize(level.pathLength);
            }
            return false;
        }
        if (kind == EntryKind::Gone || detail::isSkippedFolderName(entry.name))
            return false;
        if (!m_withSubFolders) {
            addHit(level.hits);
            return false;
        }
        return kind == EntryKind::Folder && descend(depth, index, entry.name);
    }

    // Enters the sub-folder name, listed at index of the folder at depth.
    bool descend(size_t depth, uint32_t index, std::string_view name)
    {
        m_path.append(name);
        m_key.push_back(index);
        serveEvents();
        if (enterSubFolder(depth + 1))
            return true;
        m_key.pop_back();
        m_path.resize(m_levels[depth].pathLength);
        return false;
    }

    EntryKind classify(const ListedEntry& entry, size_t depth)
    {
        if (entry.type == ListedType::Folder)
            return EntryKind::Folder;
        if (entry.type == ListedType::Other)
            return EntryKind::File;
        // Only links and file systems without entry types cost a look at the entry.
        const SharedDir dir = dirOf(depth);
        if (!dir)
            return entry.type == ListedType::Link ? EntryKind::File : EntryKind::Gone;
        return m_calls
            .run<EntryKind>(
                [type = entry.type, dir, name = std::string(entry.name)] {
                    return classifyAt(type, dir->get(), name.c_str());
                },
                m_path)
            .value_or(EntryKind::Gone);
    }

    static EntryKind classifyAt(ListedType type, int at, const char* name)
    {
        struct stat st;
        if (type == ListedType::Unknown) {
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

    // --- Mount points

    // Reads which mount points lie below the start folder, open as start, from the mount
    // table. Where the table or the start folder's path cannot be told, every folder is
    // looked at instead.
    void findMountsBelow(int start)
    {
        m_mountsBelow.clear();
        m_lookAtEveryFolder = true;
        m_mountsLooked = std::chrono::steady_clock::now();
        const std::optional<std::vector<std::string>> points =
            m_mountTable.valid() ? m_mountTable.mountPoints() : std::nullopt;
        std::optional<std::string> prefix = points ? pathOfOpenFile(start) : std::nullopt;
        if (!points || !prefix) {
            shareMountPointNames();
            return;
        }
        if (prefix->back() != '/')
            prefix->push_back('/');
        for (const std::string& point : *points)
            if (point.size() > prefix->size() && point.compare(0, prefix->size(), *prefix) == 0)
                m_mountsBelow.insert(point.substr(prefix->size()));
        m_mountTypesRead = false; // what is mounted may have changed since they were read
        m_lookAtEveryFolder = false;
        shareMountPointNames();
    }

    // Whether the sub-folder m_path names may be a mount point.
    bool mayBeMountPoint()
    {
        noticeMountChanges();
        if (m_lookAtEveryFolder)
            return true;
        if (m_mountsBelow.empty())
            return false;
        return m_mountsBelow.count(std::string(m_path, m_levels[0].pathLength)) > 0;
    }

    // A change of the mount table while the walk runs is noticed within MountTableLook; the
    // table is then read again, relative to the start folder.
    void noticeMountChanges()
    {
        // The clock as read when events were served, just before this folder was opened.
        if (m_lookAtEveryFolder || m_lastServed - m_mountsLooked < MountTableLook)
            return;
        m_mountsLooked = m_lastServed;
        if (!m_mountTable.changed())
            return;
        const SharedDir start = m_levels[0].dir;
        if (start) {
            findMountsBelow(start->get());
        } else {
            m_lookAtEveryFolder = true;
            shareMountPointNames();
        }
    }

    // The readers of the window's walk, which looks at every folder it takes from them, look
    // only at those named like a mount point below the start.
    void shareMountPointNames()
    {
        if (!m_guarded || !m_readAhead)
            return;
        if (m_lookAtEveryFolder) {
            m_readAhead->setMountPointNames(nullptr);
            return;
        }
        auto names = std::make_shared<std::unordered_set<std::string>>();
        for (const std::string& point : m_mountsBelow) {
            const size_t slash = point.rfind('/');
            names->insert(slash == std::string::npos ? point : point.substr(slash + 1));
        }
        m_readAhead->setMountPointNames(std::move(names));
    }

    // Whether the folder open as dir, on another device than its parent, is a mount of a
    // file system that is not entered. A mount that does not say what it is is not entered.
    bool isPseudoMount(const SharedDir& dir, dev_t device)
    {
        // Read once per walk, and only when the walk crosses a mount point.
        if (!m_mountTypesRead) {
            m_mountTypes = mountTypesByDevice();
            m_mountTypesRead = true;
        }
        const auto it = m_mountTypes.find(device);
        if (it != m_mountTypes.end())
            return isPseudoFileSystem(it->second);
        return m_calls
            .run<bool>(
                [dir] {
                    const std::optional<uint64_t> number = fileSystemTypeNumber(dir->get());
                    return number && isPseudoFileSystemNumber(*number);
                },
                m_path)
            .value_or(true);
    }

    // --- Counting

    void addHit(int32_t& hits)
    {
        if (__builtin_add_overflow(hits, 1, &hits) || __builtin_add_overflow(m_total, 1, &m_total))
            raiseOverflow();
    }

    const PatternList& m_patterns;
    const bool m_withSubFolders;
    int32_t& m_total;
    WalkSink& m_sink;
    WalkStatistics* const m_statistics;
    const bool m_guarded;
    const std::function<void(std::string_view)> m_hook;
    std::string m_path;
    std::deque<Level> m_levels;
    std::deque<size_t> m_deepOpen;
    detail::WalkKey m_key;
    std::vector<std::unique_ptr<Listing>> m_listings;
    std::chrono::steady_clock::time_point m_lastServed;
    unsigned m_entriesSinceClock = 0;
    std::unordered_map<dev_t, std::string> m_mountTypes;
    bool m_mountTypesRead = false;
    MountTable m_mountTable;
    // The mount points below the start folder, by their path relative to it ("a/b").
    std::unordered_set<std::string> m_mountsBelow;
    bool m_lookAtEveryFolder = true;
    std::chrono::steady_clock::time_point m_mountsLooked;
    size_t m_keepOpenDepth = MaxKeepOpenDepth;
    size_t m_readAheadRequests = 0;
    int m_readAheadThreads = 0;
    CallGuard m_calls;
    // Last, so that it stops its readers before anything they might touch goes.
    std::shared_ptr<detail::ReadAhead> m_readAhead;
};

} // namespace

int32_t SearchFolder(std::string folderPath, const PatternList& patterns, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options)
{
    Walker walker(patterns, withSubFolders != 0, runningTotal, sink, options);
    return walker.walk(std::move(folderPath));
}

int32_t SearchFolder(std::string folderPath, std::string_view patternList, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options)
{
    const PatternList patterns(patternList);
    return SearchFolder(std::move(folderPath), patterns, withSubFolders, runningTotal, sink, options);
}

} // namespace fotarik::search
