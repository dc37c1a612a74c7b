#pragma once
// A FUSE file system that answers slowly or not at all (hangfs/hangfs.c), mounted for one
// test in a mount namespace of the test process's own, so that no other process on the
// machine ever meets it. The mount goes when the object does, also when the test failed;
// when the test process dies, the file system dies with it and so does the namespace.
//
// A call waiting on a request that never answers cannot be interrupted, not even by
// SIGKILL: it ends only when the file system's server does. So the server is killed
// first, before anything waits for a program stuck in it, and a watch kills it when a
// test has run far beyond what it should take, so that a stuck test fails on its checks
// instead of hanging until CTest's time-out.

#include <QString>

#include <condition_variable>
#include <mutex>
#include <sys/types.h>
#include <thread>

#include "budgets.h"

namespace fotarik::test {

// Moves the calling thread into a mount namespace of its own, with every mount private to
// it, so that what a test mounts is seen by no other process; the namespace goes with the
// test process. Why that cannot be done here; empty when it is done. Done once a process.
QString enterPrivateMountNamespace();

class HangFsMount
{
public:
    // Why mounting cannot work on this machine (no /dev/fuse, no test file system built,
    // no right to mount); empty when it can. Call it early on the test's main thread (in
    // initTestCase): it moves that thread into the private mount namespace, and with it
    // every thread and process the thread starts from then on. Threads started before do
    // not see the mounts.
    static QString unavailable();

    // Mounts hangfs in mode ("statfs", "readdir", "slow", "endless") at mountPoint, an
    // empty folder, and waits until it answers there. Records a test failure when it
    // cannot; mounted() tells. Past `guard` the server is killed (guardFired()).
    HangFsMount(const QString& mode, const QString& mountPoint,
                budget::Duration guard = budget::TestHangGuard);
    ~HangFsMount();
    HangFsMount(const HangFsMount&) = delete;
    HangFsMount& operator=(const HangFsMount&) = delete;

    bool mounted() const { return m_mounted; }
    // How many requests have begun to wait for ever so far.
    int hangingRequests();
    // Whether the watch had to kill the server: the test ran into a call that did not end.
    bool guardFired();
    // Kills the file system's server (every call waiting on it returns with an error) and
    // removes the mount. Done by the destructor when not before.
    void remove();

private:
    void watch(budget::Duration guard);

    QString m_mountPoint;
    pid_t m_pid = -1;
    int m_hangLines = -1; // read end of the server's standard output
    int m_hanging = 0;
    bool m_started = false;
    bool m_mounted = false;
    std::mutex m_mutex;
    std::condition_variable m_removed;
    bool m_removing = false;
    bool m_guardFired = false;
    std::thread m_watch;
};

} // namespace fotarik::test

// Skips the test with a loud message where a test file system cannot be mounted.
#define FOTARIK_REQUIRE_HANGFS()                                                                             \
    do {                                                                                                     \
        const QString why = fotarik::test::HangFsMount::unavailable();                                       \
        if (!why.isEmpty()) {                                                                                \
            qWarning("*** NOT TESTED: drives that do not answer: %s ***", qPrintable(why));                  \
            QSKIP(qPrintable(why));                                                                          \
        }                                                                                                    \
    } while (false)
