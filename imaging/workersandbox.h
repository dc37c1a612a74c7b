#pragma once
// The decoder worker's system call filter (seccomp, through libseccomp). A worker is set up
// unfiltered, then narrowed before it decodes anything, and never widened again:
//
//   Reading  what decoding needs (memory, threads, clocks, signals to itself, the request
//            channel, reading the descriptors it holds) plus opening files read-only, which
//            drawing a metafile's text needs (fonts); no new process, no program, no network,
//            no signal to another process, no file opened for writing, and no new code:
//            nothing may be mapped executable or made executable (no library loaded, no
//            code generated), so whatever the worker runs is loaded while it narrows
//   Sealed   as Reading, and no file may be opened at all: every other picture
//
// A call the filter forbids fails (opening with EACCES, the rest with EPERM); it never
// happens.

#include <functional>

namespace fotarik::imaging::sandbox {

enum class Level { Open, Reading, Sealed };

// The level the worker is at now.
Level level();

// Narrows the worker, all its threads included, to at least `wanted` (a wider level than
// now is not reached again); whether the worker is now at least that narrow. On the way
// from Open, loadCode runs under the Reading filter before new code is refused: it loads
// the libraries the worker will need (plugins, a GUI application).
bool narrowTo(Level wanted, const std::function<void()>& loadCode = {});

} // namespace fotarik::imaging::sandbox
