#pragma once
// Every picture is decoded in a worker process: the program's own binary started again
// with the hidden option "--decode-worker" (posix_spawn, never a fork of the threaded
// program). A worker is kept warm and reused for the next picture; each request runs
// under limits the kernel enforces (CPU time by a CPU-clock timer and RLIMIT_CPU,
// address space, no file writes, no core files, and a system call filter: see
// workersandbox.h); the program waits a wall-time cap for it. A worker that crashes,
// hangs or passes a limit costs that one picture, never the program, and the next
// request gets a fresh worker.
//
// The program opens the file itself (openForReading) and hands the worker its descriptor;
// the answer is the finished picture (fitted, drawn over the background) in sealed shared
// memory, or a refusal. See workerprotocol.h.

#include <QByteArray>
#include <QList>
#include <chrono>
#include <cstdint>
#include <memory>
#include <sys/types.h>

#include "readablefile.h"
#include "scaledpicture.h"

namespace fotarik::imaging {

// Called first thing in main() of every binary that decodes pictures (the program, its
// tests and benchmarks): when argv asks for the worker mode this serves requests and
// never returns; otherwise it notes that this binary can be started as a worker.
void runDecodeWorkerIfAsked(int argc, char** argv);

struct DecodeParams
{
    int32_t boxWidth = 0;
    int32_t boxHeight = 0;
    int32_t width = -1;
    int32_t height = -1;
    uint32_t backColour = 0x00FFFFFF;
    qreal devicePixelRatio = 1.0;
    // Work nobody waits for (thumbnails): served by workers of their own that run below the
    // window's priority (see runThisThreadInTheBackground). Such a worker never serves a
    // picture someone waits for: nobody could raise its priority again.
    bool background = false;
};

// Held by whoever makes background work (the overview's thumbnail maker) for as long as it
// may: while none is held, no worker for background work is kept warm, so none outlives
// the work (an idle one ends when the last holder goes, a busy one when it has answered).
class BackgroundWork
{
public:
    BackgroundWork();
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;
};

// How many steps of nice the background work runs below the program's main thread.
inline constexpr int BackgroundNiceSteps = 10;
// The nice value of background work: the main thread's, BackgroundNiceSteps lower (at most 19).
int backgroundNice();
// For tests whose subject is not how the work shares the machine: background work from now
// on this many steps below the main thread (BackgroundNiceSteps again for a negative value).
void setBackgroundNiceStepsForTests(int steps);
// Lowers the calling thread to backgroundNice(), for good: a thread of background work, so
// that it takes a core only while the window does not want it. Workers it starts for
// pictures someone waits for would inherit its priority: it starts none.
void runThisThreadInTheBackground();

enum class DecodeOutcome {
    Decoded,     // a picture
    Refused,     // the worker could not decode the file
    NoFile,      // the file could not be opened (or is no regular file)
    Crashed,     // the worker died (a crash, a memory limit, kill -9 from outside)
    CpuLimit,    // the worker used up its CPU allowance
    WallLimit,   // no answer within the wall-time cap
    BadAnswer,   // the worker's answer failed a check
    Superseded,  // a newer request took over while this one was waited for
    Unavailable, // no worker could be started
};

struct DecodeResult
{
    ScaledPicture picture;
    DecodeOutcome outcome = DecodeOutcome::Unavailable;
};

// One request to a worker, started at once; its answer is collected by wait. Destroying
// or cancelling a job that has not answered stops its worker.
class DecodeJob
{
public:
    DecodeJob(ReadableFile file, const DecodeParams& params);
    ~DecodeJob();
    DecodeJob(const DecodeJob&) = delete;
    DecodeJob& operator=(const DecodeJob&) = delete;

    // Whether the answer is in (or the job has ended otherwise); never waits.
    bool finished();
    // Waits for the answer. With serveEvents, on the thread of the application object,
    // the window's events are served between slices of DecodeWaitSlice; a wait that
    // begins inside those events supersedes this one (its worker is stopped). The result
    // is kept: a second wait returns it again.
    DecodeResult wait(bool serveEvents);
    // Waits at most `most` for the answer without serving events (for a thread that must
    // look now and then whether the picture is still wanted); whether the job has ended.
    bool waitFor(std::chrono::milliseconds most);
    // Stops the worker of a job that has not answered; its result becomes Superseded.
    void cancel();
    // The worker serving this job while it runs (0 when none).
    pid_t workerPid() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

// One picture through a worker, waited for (see DecodeJob::wait).
DecodeResult decodeInWorker(ReadableFile file, const DecodeParams& params, bool serveEvents);
DecodeResult decodeInWorker(const QByteArray& path, const DecodeParams& params, bool serveEvents);

// For tests: how workers started from now on misbehave ("" for not at all). Modes:
// "garbage" (answers random bytes), "oversize" (claims more pixels than fit),
// "unsealed" (answers without sealing), "hang" (never answers), "spin" (burns CPU),
// "crash" (aborts), "exit" (ends before answering), "crawl" (refuses its first request at
// once; on each later one computes, without answering, until the request's wall cap and
// two seconds more have passed since it came, then refuses: a worker that needs long
// because it gets little of a CPU).
void setDecodeWorkerMisbehaviour(const QByteArray& mode);
// For tests: the workers now serving a request, and all workers alive.
QList<pid_t> busyDecodeWorkers();
QList<pid_t> decodeWorkers();
// For tests: ends every idle worker and waits until all are gone.
void stopIdleDecodeWorkers();

} // namespace fotarik::imaging
