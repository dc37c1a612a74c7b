#pragma once
// The decoder worker's system call filter (seccomp, through libseccomp). A worker is set up
// unfiltered, then narrowed before it decodes anything, and never widened again:
//
//   Reading  what decoding needs (memory, threads, clocks, signals to itself, the request
//            channel, reading the descriptors it holds) plus opening files read-only, which
//            drawing a metafile's text needs (fonts); no new process, no program, no network,
//            no signal to another process, no file opened for writing
//   Sealed   as Reading, and no file may be opened at all: every other picture
//
// A call the filter forbids fails (opening with EACCES, the rest with EPERM); it never
// happens.

namespace fotarik::imaging::sandbox {

enum class Level { Open, Reading, Sealed };

// The level the worker is at now.
Level level();

// Narrows the worker, all its threads included, to at least `wanted` (a wider level than
// now is not reached again); whether the worker is now at least that narrow.
bool narrowTo(Level wanted);

} // namespace fotarik::imaging::sandbox
