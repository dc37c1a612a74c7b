#include "hangfsmount.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fotarik::test {

QString enterPrivateMountNamespace()
{
    static const QString why = [] {
        if (::unshare(CLONE_NEWNS) != 0)
            return QStringLiteral("no own mount namespace (%1)")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return QStringLiteral("mounts cannot be made private (%1)")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }();
    return why;
}

QString HangFsMount::unavailable()
{
#ifndef FOTARIK_HANGFS
    return QStringLiteral("the test file system was not built (libfuse3-dev missing)");
#else
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return QStringLiteral("/dev/fuse is missing");
    if (::geteuid() != 0)
        return QStringLiteral("mounting needs root");
    return enterPrivateMountNamespace();
#endif
}

HangFsMount::HangFsMount(const QString& mode, const QString& mountPoint, budget::Duration guard)
    : m_mountPoint(mountPoint)
{
#ifdef FOTARIK_HANGFS
    const QString why = unavailable();
    if (!why.isEmpty()) {
        QTest::qFail(qPrintable(why), __FILE__, __LINE__);
        return;
    }
    const QByteArray program = FOTARIK_HANGFS;
    const QByteArray modeBytes = mode.toUtf8();
    const QByteArray point = QFile::encodeName(mountPoint);
    int lines[2];
    if (::pipe2(lines, O_CLOEXEC) != 0) {
        QTest::qFail("no pipe for the test file system", __FILE__, __LINE__);
        return;
    }
    char* const args[] = {const_cast<char*>(program.constData()), const_cast<char*>(modeBytes.constData()),
                          const_cast<char*>(point.constData()), nullptr};
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    m_started = m_pid > 0;
    if (m_pid == 0) {
        // Dies with the test's main thread, so that nothing is left behind whatever happens.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(lines[1], STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execv(args[0], args);
        ::_exit(127);
    }
    ::close(lines[1]);
    m_hangLines = lines[0];
    ::fcntl(m_hangLines, F_SETFL, O_NONBLOCK);
    if (m_pid < 0) {
        QTest::qFail("cannot start the test file system", __FILE__, __LINE__);
        return;
    }
    m_watch = std::thread([this, guard] { watch(guard); });
    // Mounted once the folder is on a file system of its own (asked with stat, which
    // answers in every mode; statfs itself may be what hangs).
    const auto deadline = std::chrono::steady_clock::now() + budget::TestWait;
    QByteArray parentPath = point.left(point.lastIndexOf('/'));
    if (parentPath.isEmpty())
        parentPath = "/";
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat parentStat, pointStat;
        if (::stat(parentPath.constData(), &parentStat) == 0 && ::lstat(point.constData(), &pointStat) == 0 &&
            pointStat.st_dev != parentStat.st_dev) {
            m_mounted = true;
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            remove();
            QTest::qFail("the test file system ended before it was mounted", __FILE__, __LINE__);
            return;
        }
        ::usleep(10 * 1000);
    }
    remove();
    QTest::qFail("the test file system was not mounted in time", __FILE__, __LINE__);
#else
    (void)mode;
    (void)guard;
    QTest::qFail("the test file system was not built", __FILE__, __LINE__);
#endif
}

HangFsMount::~HangFsMount()
{
    remove();
}

int HangFsMount::hangingRequests()
{
    char buffer[256];
    ssize_t n = 0;
    while (m_hangLines >= 0 && (n = ::read(m_hangLines, buffer, sizeof buffer)) > 0)
        m_hanging += int(std::count(buffer, buffer + n, '\n'));
    return m_hanging;
}

bool HangFsMount::guardFired()
{
    std::lock_guard lock(m_mutex);
    return m_guardFired;
}

void HangFsMount::watch(budget::Duration guard)
{
    std::unique_lock lock(m_mutex);
    if (m_removed.wait_for(lock, guard, [this] { return m_removing; }))
        return;
    m_guardFired = true;
    // Only signalled here; remove() reaps it.
    ::kill(m_pid, SIGKILL);
}

void HangFsMount::remove()
{
    {
        std::lock_guard lock(m_mutex);
        m_removing = true;
    }
    m_removed.notify_all();
    if (m_watch.joinable())
        m_watch.join();
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    // Also when it was not seen mounted: it may have come up after the wait.
    if (m_started) {
        ::umount2(QFile::encodeName(m_mountPoint).constData(), MNT_DETACH);
        m_started = m_mounted = false;
    }
    if (m_hangLines >= 0) {
        hangingRequests();
        ::close(m_hangLines);
        m_hangLines = -1;
    }
}

} // namespace fotarik::test
