#pragma once
// Every time budget of the program and its tests, in one place.
//
// A budget is what a valid input may cost on a normal build of a slow machine, with room to
// spare, so that the outcome for a valid file never depends on the machine's load; a hostile
// input is still stopped within it. Instrumented builds run everything several times slower,
// so each budget is scaled by one factor chosen at build time (TimeScale).

#include "budgetscale.h"

#include <chrono>

namespace fotarik::budget {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// How many times slower than a normal build this build runs: 1, or what CMake measured
// for the sanitizer builds (see the top-level CMakeLists.txt).
inline constexpr int TimeScale = FOTARIK_BUDGET_SCALE;

constexpr Duration scaled(Duration normal)
{
    return normal * TimeScale;
}

// Whole seconds, rounded up, for the kernel's CPU-time limit.
constexpr long wholeSeconds(Duration d)
{
    return long((d.count() + 999) / 1000);
}

// Milliseconds as an int, for Qt's waits and timers.
constexpr int ms(Duration d)
{
    return int(d.count());
}

// --- The program ---

// Every picture is decoded in a worker process under limits the kernel enforces. Its CPU
// time: a base allowance up to a declared size of DecodeBaseMegapixels, a little more for
// each further declared megapixel, and never more than DecodeCpuMost. A file that
// declares no size (a metafile) gets the base allowance.
inline constexpr Duration DecodeCpuBase = scaled(4s);
inline constexpr Duration DecodeCpuPerMegapixel = scaled(250ms);
inline constexpr Duration DecodeCpuMost = scaled(15s);
inline constexpr long long DecodeBaseMegapixels = 12;

// The CPU allowance of a picture that declares pixels (0: none declared).
constexpr Duration decodeCpuAllowance(long long pixels)
{
    constexpr long long mega = 1000 * 1000;
    if (pixels <= DecodeBaseMegapixels * mega)
        return DecodeCpuBase;
    const long long further = (pixels - DecodeBaseMegapixels * mega + mega - 1) / mega;
    if (further > (DecodeCpuMost - DecodeCpuBase) / DecodeCpuPerMegapixel)
        return DecodeCpuMost;
    return DecodeCpuBase + further * DecodeCpuPerMegapixel;
}

// How long the program waits for a worker's answer: a little above its CPU allowance, so
// that a worker stalled without using CPU (a hung mount under the file) is stopped too.
constexpr Duration decodeWallCap(Duration cpu)
{
    return cpu + cpu / 2 + scaled(1s);
}

// A loaded machine must not cost a valid picture: past its wall cap a worker that is still
// computing (it had at least 1/DecodeStallShare of the last DecodeStallCheck on a CPU) is
// waited for on, until its CPU limit ends it or decodeWallMost has passed. Not scaled: a
// share of the processor, not a speed.
inline constexpr Duration DecodeStallCheck = 1s;
inline constexpr int DecodeStallShare = 16;

constexpr Duration decodeWallMost(Duration cpu)
{
    return cpu * 6 + scaled(1s);
}

// Address space a worker may take for one picture beyond its own.
inline constexpr long long DecodeWorkerMemoryBytes = 384LL * 1024 * 1024;

// The longest the user-interface thread is held at a time while it waits for a worker:
// between two such slices the window's events are served. Not scaled: it is about the
// window staying live, not about how fast anything runs.
inline constexpr Duration DecodeWaitSlice = 20ms;

// How long the file manager may take to answer a request to show a file (the bus may have to
// start it first); the window goes on meanwhile. D-Bus's own default.
inline constexpr Duration FileManagerAnswer = scaled(25s);

// The walk serves events (and --find writes its output) at least this often while it
// works through one long folder: the pace at which a display still looks live. A pace,
// not a budget, so not scaled.
inline constexpr Duration WalkEventInterval = 50ms;

// How long the window's walk waits for a folder's listing call before it gives the
// folder up as one that cannot be listed (a mount that does not answer).
inline constexpr Duration HungFolderWait = scaled(10s);

// How long the walk waits for its read-ahead threads to stop after the walk ended: a
// reader stuck longer in a call on a folder that does not answer is let go.
inline constexpr Duration StuckReaderWait = scaled(1s);
// How long --find waits after SIGINT or SIGTERM for its walk to end before it ends without
// it (the walk is then stuck in such a call itself).
inline constexpr Duration StuckWalkWait = scaled(2s);

// How long start-up waits for the mounted volumes to say whether they are folders, and
// how long a chosen drive may take to show that it is ready. A volume that does not
// answer within them is listed all the same, and is not ready.
inline constexpr Duration VolumeScan = scaled(300ms);
inline constexpr Duration VolumeAnswer = scaled(2s);

// How long loading a text waits for its file to open and its first screen to be read.
// A drive that answers later does not hold up the window: the text appears when it
// arrives, and a file that then cannot be read leaves the box as it was.
inline constexpr Duration TextFirstScreen = scaled(500ms);

// --- The tests ---

// How long a test waits for something that should happen at once (a signal, a repaint, a
// thread's end) before it fails: long enough for a loaded slow machine, short enough that a
// broken build fails on its assertion rather than by the test's time-out.
inline constexpr Duration TestWait = scaled(10s);

// How long a test waits for a media player to open, play a clip of a few seconds in real
// time, or report an error.
inline constexpr Duration TestMediaWait = scaled(20s);

// How long a test waits for a text view to have gone once through a file of a GiB or of
// a hundred million lines (reading and counting all of it on a loaded machine).
inline constexpr Duration TestWholeHugeText = scaled(120s);

// How long a test lets a child process run on hostile input before it counts as hung: far
// above every budget of the program, so that reaching it is a failure of the program.
inline constexpr Duration TestHangGuard = scaled(30s);

} // namespace fotarik::budget
