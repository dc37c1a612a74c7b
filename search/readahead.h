#pragma once
// Reading folder listings ahead of the walk on worker threads. Used by the folder walker
// only: the walk asks for the sub-folders it has listed, the readers list them (and queue
// their sub-folders in turn) in the order the walk will reach them, and the walk takes
// each listing when it gets there. Nothing here reports anything to the walk's sink.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "folderlisting.h"
#include "uniquefd.h"

namespace fotarik::search::detail {

// An open folder descriptor, shared by the walk and the readers that open its
// sub-folders; closed when the last of them lets go.
using SharedDir = std::shared_ptr<const UniqueFd>;

// A folder's place in the walk: the listing index of every step from the start folder.
// Compared as sequences, the keys sort exactly in the order the walk enters the folders.
using WalkKey = std::vector<uint32_t>;

// Folders more steps below the start than this are never read ahead; the walk lists them
// itself. So a key the readers keep (and copy for each folder they queue) costs at most
// 4 bytes per step of this, however deep the tree: what the walk holds per level stays a
// few bytes beyond its part of the path.
inline constexpr size_t MaxReadAheadDepth = 128;

// The names the walk never enters.
bool isSkippedFolderName(std::string_view name);

// Tells from the time a reader's opens and listing calls take whether it waits for a disk, a
// network or a FUSE file system, or lists from the cache, where reading ahead on more
// threads costs more than it buys. Timed by the clock, which is read without a system
// call. A call slower than what a cached folder takes, a few microseconds plus
// about one per KiB listed, counts as slow; a run in which more than a quarter of the calls
// are slow, or one call as long as a disk seek or a round trip, makes the calls slow from
// then on. A call held up by the scheduler counts as slow too, so a few of them must not
// decide; a machine so busy that they are many costs only the readers' overhead.
class SlowCalls
{
public:
    using Clock = std::chrono::steady_clock;
    // Notes a call that began at began and listed bytes: true once the calls turn out slow.
    bool note(Clock::time_point began, size_t bytes)
    {
        if (m_slow)
            return true;
        const Clock::duration took = Clock::now() - began;
        if (took < Base + PerKiB * (bytes / 1024)) {
            m_credit -= m_credit > 0 ? 1 : 0;
            return false;
        }
        m_credit += Credit;
        m_slow = took >= Long || m_credit >= Start;
        return m_slow;
    }

private:
    static constexpr std::chrono::microseconds Base{32};
    static constexpr std::chrono::nanoseconds PerKiB{1000};
    static constexpr std::chrono::milliseconds Long{5};
    static constexpr unsigned Credit = 3; // a slow call adds this, a fast one takes 1 off
    static constexpr unsigned Start = 16 * Credit;
    unsigned m_credit = 0;
    bool m_slow = false;
};

// The sub-folders of a block of raw listing bytes, whose first entry has index
// firstIndex: calls f(index, name) for each entry marked as a folder that is not skipped.
template <class F> void forEachSubFolder(const char* data, size_t size, uint32_t firstIndex, F&& f);

// A listing read ahead: the raw entries of one folder and the identity of the folder the
// reader had open.
struct ReadListing
{
    std::vector<char> bytes;
    // The folder's identity, when the reader looked at it (ReadAhead::setMountPointNames)
    // or the walk has since.
    bool identified = false;
    dev_t device = 0;
    ino_t inode = 0;
    // The clock when the reader began (before it opened the folder), in nanoseconds since
    // the epoch.
    int64_t readStart = 0;
    // The descriptor it was read from; the walk takes it over.
    SharedDir dir;
    // Whether the reader queued all its sub-folders, and the count of requests that found no
    // room in the queue by then (ReadAhead::subFoldersStillQueued).
    bool subFoldersQueued = false;
    uint64_t roomLost = 0;
    // The reader that read it, which closes its descriptor once the walk is done with it:
    // closing a folder frees what the kernel built while listing it, which costs less on
    // the thread that listed it, while that is still in its processor's caches.
    int reader = -1;

    // Whether this listing still stands for the folder the walk now finds as st: the
    // same folder, and not changed since shortly before it was read. (Time stamps move in
    // clock ticks of a few milliseconds; a change in the tick the reading began in cannot
    // be told from one just before, so the margin covers a few ticks.)
    bool standsFor(const struct stat& st) const;
    // The check for a walk whose thread must not wait in the kernel, made with one look at
    // the descriptor dir and what the system has cached (no disk, no server is asked): the
    // folder has not changed since shortly before the reader opened it and still has a
    // name. A folder's change time moves with every change of its entries, and also when
    // it is renamed, swapped with another or given another owner or mode (Linux's file
    // systems set it on a rename); one removed has no links left. So an unchanged folder
    // still holds the entries listed and is still bound to the name it was opened by. Fills
    // in device and inode from that look. False where it cannot tell (the walk then looks
    // the name up again).
    bool unchangedSinceRead();
};

class ReadAhead : public std::enable_shared_from_this<ReadAhead>
{
public:
    // threads readers; at most maxRequests folders asked for or read and waiting (each holds
    // at most one descriptor of its parent); listings waiting or in use by the walk take at
    // most memoryBudget bytes, and a folder whose listing is larger than maxListing is left
    // to the walk. Each reader shares the object, so that one stuck in a call that does not
    // return (a folder on a mount that does not answer) can be let go by stop(). hook, when
    // set, is called by a reader before it opens a folder, with the folder's path. With
    // growTo above threads, more readers are started, up to growTo, once the readers' calls
    // turn out slow (SlowCalls); the walk's next await() or take() starts them. With
    // walkListsNext, for a walk that lists a folder itself when its listing is not ready
    // (take()), the readers leave the first folder waiting to be read to the walk and read
    // those after it: the walk is about to list that one anyway, and a reader on it would
    // only list it a second time, beside the walk.
    static std::shared_ptr<ReadAhead> start(int threads, size_t maxRequests, size_t memoryBudget,
                                            size_t maxListing,
                                            std::function<void(std::string_view)> hook = {}, int growTo = 0,
                                            bool walkListsNext = false);
    // Stops the readers at once (a reader in the middle of a listing stops at its next
    // block) and joins them, and lets go of every descriptor and listing queued. Readers
    // that have not stopped within wait are left to finish on their own (they hold only
    // their own request) and never hand anything over again.
    void stop(std::chrono::milliseconds wait);
    void stop();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Queues the sub-folders found in a block of the listing of the folder at parentKey,
    // open as dir on device, whose path (ending in "/") is parentPath. Folders queued already
    // stay as they are; none deeper than MaxReadAheadDepth is queued.
    void requestSubFolders(const WalkKey& parentKey, std::string_view parentPath, const char* data,
                           size_t size, uint32_t firstIndex, const SharedDir& dir, dev_t device);

    // The walk has reached the folder at key, named name: everything queued for places
    // before it is dropped, and its listing is handed over when it has been read. The
    // bytes stay counted until release().
    std::optional<ReadListing> take(const WalkKey& key, std::string_view name);
    // The walk is done with bytes of listings handed over and, when given, with held (a
    // descriptor), which a reader lets go of (the one that read it, when given as reader):
    // closing a folder costs time, and on some file systems a wait.
    void release(size_t bytes, std::shared_ptr<const void> held = nullptr, int reader = -1);

    // For a walk that never lists a folder itself while a reader can (the window's, whose
    // thread must not wait in the kernel): the walk has reached the folder at key, named
    // name in the folder open as parent on device, at path. Everything queued for places
    // before it is dropped; the folder is queued first when it is not queued yet. Waits up
    // to wait for it to be read: Ready hands the listing over (its bytes stay counted until
    // release()), Pending asks the walk to come back (and serve its events meanwhile),
    // Failed leaves the folder to the walk (it could not be read ahead: gone, a link,
    // another device, too large, too deep, or no room).
    enum class Awaited { Ready, Pending, Failed };
    Awaited await(const WalkKey& key, std::string_view name, const SharedDir& parent, dev_t device,
                  std::string_view path, std::chrono::milliseconds wait, std::optional<ReadListing>& listing);
    // The walk gives the folder at key up (a cancel, or it did not answer in time): a reader
    // stuck on it is let go, and another takes its place.
    void abandon(const WalkKey& key);

    // Drops everything queued below key: the walk lists that folder itself.
    void dropBelow(const WalkKey& key);
    // Drops everything queued, so that the descriptors it holds are let go, and lets go of
    // what was left to dispose of, on the calling thread.
    void dropAll();

    // Whether the sub-folders of a listing handed over are all queued still: its reader
    // queued them, and no request has found no room since (none was pushed out). Otherwise
    // the walk queues them again.
    bool subFoldersStillQueued(const ReadListing& listing) const;

    // For a walk that looks at the folders it takes itself: the names of the mount points
    // below the start folder (their last steps). A reader then looks at a folder it opens
    // (one more call) only where it has such a name, to keep out of another file system;
    // elsewhere it leaves the folder's identity to the walk. Null, as at the start, has the
    // readers look at every folder.
    void setMountPointNames(std::shared_ptr<const std::unordered_set<std::string>> names);

    // The most listing bytes held at once.
    size_t peakBytes() const;

    ReadAhead(size_t maxRequests, size_t memoryBudget, size_t maxListing);

private:
    enum class State { Pending, Reading, Done, Failed };
    struct Request
    {
        WalkKey key;
        std::string name;
        SharedDir parent;
        dev_t device = 0;
        std::string path; // only for the hook
        State state = State::Pending;
        bool look = true;                  // whether its reader looks at the folder it opens
        std::atomic<bool> dropped = false; // written with the lock held
        ReadListing listing;
    };
    using Map = std::map<WalkKey, std::shared_ptr<Request>>;

    void run(size_t index);
    void startReader();
    void grow();
    void read(Request& request, std::vector<char>& scratch, SharedDir& opened, SlowCalls& slow);
    bool add(WalkKey key, std::string_view name, const SharedDir& parent, dev_t device,
             std::string_view path);
    Map prepare(const WalkKey& parentKey, std::string_view parentPath, const char* data, size_t size,
                uint32_t firstIndex, const SharedDir& dir, dev_t device) const;
    size_t insertLocked(Map& batch, bool* complete = nullptr);
    bool makeRoomLocked(const WalkKey& key);
    void notePendingLocked(Map::iterator it);
    std::shared_ptr<Request> firstPendingLocked();
    void wakeReaders(size_t added);
    Map::iterator erase(Map::iterator it);
    Map::iterator eraseNode(Map::iterator it);
    void disposeLocked(std::shared_ptr<const void> held);
    void returnedLocked(std::vector<std::shared_ptr<const void>>& gone);

    const size_t m_maxRequests;
    const size_t m_memoryBudget;
    const size_t m_maxListing;
    std::function<void(std::string_view)> m_hook;

    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    Map m_requests;
    // No request before this one is pending.
    Map::iterator m_firstPending = m_requests.end();
    // Requests that found no room (pushed out, or not queued), counted.
    std::atomic<uint64_t> m_roomLost = 0;
    size_t m_pending = 0;
    size_t m_bytes = 0;
    size_t m_peakBytes = 0;
    std::atomic<bool> m_stop = false; // written with the lock held
    int m_readers = 0;                // started, not counting those started for one let go
    int m_growTo = 0;
    std::shared_ptr<const std::unordered_set<std::string>> m_mountPointNames;
    // Pending requests the readers leave to the walk: 1 with walkListsNext, else 0.
    size_t m_leftToWalk = 0;
    std::atomic<bool> m_growWanted = false;
    // The request the walk waits for, if any: its reader tells when it is done.
    const Request* m_awaited = nullptr;
    std::vector<std::shared_ptr<const void>> m_dispose;
    // What the walk hands back to each reader (by the reader's index) to let go of.
    std::vector<std::vector<std::shared_ptr<const void>>> m_returned;
    std::condition_variable m_handed;
    size_t m_running = 0;
    std::condition_variable m_stopped;
    std::vector<std::thread> m_threads;
};

template <class F> void forEachSubFolder(const char* data, size_t size, uint32_t firstIndex, F&& f)
{
    uint32_t index = firstIndex;
    for (size_t pos = 0; pos < size; ++index) {
        const ListedEntry entry = nextListedEntry(data, pos);
        if (entry.type == ListedType::Folder && !isSkippedFolderName(entry.name))
            f(index, entry.name);
    }
}

} // namespace fotarik::search::detail
