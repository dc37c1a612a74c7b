#pragma once
// The folder walker: lists a folder in file-system order, reports every file whose name
// matches the pattern list and, with sub-folders on, walks each sub-folder at the moment
// it is met. Paths are bytes from start to end; nothing is decoded.

#include "pattern.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fotarik::search {

// What the walker tells its caller while it runs. All calls come from the walking thread;
// the string views are valid only during the call.
class WalkSink
{
public:
    virtual ~WalkSink() = default;
    // At the start of every folder's walk, before it is listed: the one moment per
    // folder at which pending events may run (and a cancel may be asked for).
    virtual void serveEvents() = 0;
    // While one folder's entries are tested, at screen pace (budget::WalkEventInterval):
    // events may run here too, and a cancel asked for is seen at the next entry.
    virtual void serveEventsWhileListing() {}
    // At the first entry of a folder: the folder now being searched, ending in "/".
    virtual void folderEntered(std::string_view folder) = 0;
    // Asked before every entry; true ends the walk at once at every level.
    virtual bool cancelRequested() = 0;
    // One hit: its full path (the folder ending in "/" and the name as listed) and the
    // running total of the whole walk, this hit included.
    virtual void hitFound(std::string_view path, int32_t runningTotal) = 0;
};

// What reading ahead did in one walk, for tests and benchmarks.
struct WalkStatistics
{
    size_t listingsReadAhead = 0;  // listings the walk used from the readers
    size_t peakReadAheadBytes = 0; // the most listing bytes held at once
};

// How a walk reads its folders. The order of hits, the counts and every report to the
// sink are the same whatever is chosen; only the time spent waiting on the disk differs.
struct WalkOptions
{
    // Threads that read the listings of folders the walk will enter next while it works
    // through the current one. 0 reads every listing on the walking thread; a number
    // starts that many readers with the walk. Negative picks the number: the walk starts
    // as many as pay with every listing in the cache (one fewer than the cores, so that
    // none takes a core from the walk; at most two), and more, up to a number suited to a
    // disk, once the readers' calls turn out slow (timed by the clock, so that a disk, a
    // network and a FUSE file system all count). Readers of a walk that lists folders
    // itself leave the folder it enters next to it and read the ones after. A walk with
    // guardCalls starts two at once and the rest once the readers' calls turn out slow.
    int readAheadThreads = -1;
    // Filled in when given.
    WalkStatistics* statistics = nullptr;
    // For a walking thread that must never block in the kernel (the window's): every call
    // into the file system runs on another thread while the walk serves events
    // (WalkSink::serveEventsWhileListing) and asks for a cancel at screen pace. A cancel
    // gives the call up at once, and so does budget::HungFolderWait: the folder then counts
    // as one that cannot be listed (or its listing ends there), and the thread is let go.
    // In this mode the walk waits for the read-ahead threads (readAheadThreads below 0
    // picks their number, 0 has none) rather than list a folder itself. It checks each
    // listing it takes with one look at the folder's descriptor, answered from what the
    // system has cached, and only where that cannot tell with a call on its helper.
    bool guardCalls = false;
    // For tests: called before each call into the file system that opens or looks at a
    // folder of the walk, on the thread that makes it, with the path it concerns.
    std::function<void(std::string_view)> onCall;
};

// Walks `folderPath` (a trailing "/" is added when missing) and returns the number of
// hits in it and below it; with sub-folders off (`withSubFolders` 0) every sub-folder
// other than ".", ".." and "$RECYCLE.BIN" counts as a hit too, without being listed.
// `runningTotal` is advanced by every hit. A folder that cannot be listed gives 0.
// Every folder below the start is opened relative to its parent's open descriptor and
// never through a link, so neither the length of its path nor a link swapped in for an
// ancestor changes what is walked. Symbolic links are never entered (a link to a file
// is tested like a file); mount points of pseudo file systems (proc, sysfs, devtmpfs,
// ...) below the start are not entered. Mount points are known from the system's mount
// table (one mounted while the walk runs is noticed within a moment), so that no other
// folder costs more than its open, its listing and its close. An invalid pattern raises
// fotarik::RaisedError 93 at the first file tested; a running total beyond 32 bits
// raises 6. Hits reported before either stay reported. Any read-ahead threads are stopped
// before it returns (or throws): joined, or let go when one is stuck in a call that does
// not return (it holds nothing the caller needs).
int32_t SearchFolder(std::string folderPath, const PatternList& patterns, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options = {});

// The same with the pattern list as text (";"-separated, UTF-8 bytes).
int32_t SearchFolder(std::string folderPath, std::string_view patternList, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink, const WalkOptions& options = {});

} // namespace fotarik::search
