// Texts of 16 MiB, 256 MiB and 1 GiB (one line, short lines, mixed) in the text box and in
// less: the time until the first screen is shown, the time until the end is shown after
// a jump there, and the peak memory.
//
//   bench_text [FOLDER]
//
// The text box runs in a child process with its own (offscreen) application and draws
// into a 800 x 600 box; its memory is given beyond that of the same child showing an
// empty box. less runs on a pseudo terminal of 100 x 40 (as under script or tmux); its
// first screen is there when its prompt appears, its end when "(END)" does. The page
// cache is warm for both (each file is read once before).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "modul1.h"
#include "textview.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Writes size bytes made of line again and again (a line of its own or many).
bool writeText(const QString& path, qint64 size, const std::function<QByteArray(qint64)>& piece)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    qint64 written = 0;
    for (qint64 i = 0; written < size; ++i) {
        QByteArray chunk;
        while (chunk.size() < (1 << 20))
            chunk += piece(i++);
        const qint64 n = std::min<qint64>(chunk.size(), size - written);
        if (f.write(chunk.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

void warm(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    while (f.read(buffer.data(), buffer.size()) > 0) {
    }
}

struct Run
{
    double firstMs = -1;
    double endMs = -1;
    qint64 peakKiB = 0;
};

// In a child: load path (or nothing) into a box, report first screen and end times through a pipe.
Run boxRun(const QString& path)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        int argc = 1;
        char name[] = "bench_text";
        char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication app(argc, argv);
        fotarik::TextView box;
        box.resize(800, 600);
        box.show();
        QApplication::processEvents();
        double times[2] = {0, 0};
        if (!path.isEmpty()) {
            const auto start = Clock::now();
            fotarik::LoadTextFile(QFile::encodeName(path), &box);
            while (!box.visibleText())
                QApplication::processEvents(QEventLoop::AllEvents, 5);
            box.repaint();
            times[0] = msSince(start);
            const auto end = Clock::now();
            while (!box.rowCountComplete())
                QApplication::processEvents(QEventLoop::AllEvents, 5);
            box.moveCursor(QTextCursor::End);
            while (!box.visibleText())
                QApplication::processEvents(QEventLoop::AllEvents, 5);
            box.repaint();
            times[1] = msSince(end);
            box.moveCursor(QTextCursor::Start);
            while (!box.visibleText())
                QApplication::processEvents(QEventLoop::AllEvents, 5);
            box.repaint();
        }
        [[maybe_unused]] auto n = ::write(fds[1], times, sizeof times);
        ::_exit(0);
    }
    ::close(fds[1]);
    double times[2] = {-1, -1};
    [[maybe_unused]] auto n = ::read(fds[0], times, sizeof times);
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {times[0], times[1], usage.ru_maxrss};
}

// Reads the terminal until needle appears (or the child ends); false on timeout.
bool readUntil(int master, const std::string& needle, std::string& seen, int timeoutMs)
{
    const auto start = Clock::now();
    char buffer[65536];
    while (msSince(start) < timeoutMs) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, size_t(n));
        if (seen.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

Run lessRun(const QString& path)
{
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    int master = -1;
    const auto start = Clock::now();
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        ::setenv("TERM", "xterm", 1);
        ::unsetenv("LESS");
        ::unsetenv("LESSOPEN");
        const QByteArray file = QFile::encodeName(path);
        // -P: a prompt of our own, so that its appearance marks the first screen.
        ::execlp("less", "less", "-PsFIRST-SCREEN-SHOWN", file.constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    Run r;
    std::string seen;
    if (readUntil(master, "FIRST-SCREEN-SHOWN", seen, 60000))
        r.firstMs = msSince(start);
    seen.clear();
    const auto end = Clock::now();
    [[maybe_unused]] auto n = ::write(master, "G", 1);
    // At the end less shows its end prompt; -P set the short prompt, "(END)" is not used then,
    // so wait for the prompt to come back after the jump.
    if (readUntil(master, "FIRST-SCREEN-SHOWN", seen, 30000))
        r.endMs = msSince(end);
    n = ::write(master, "q", 1);
    ::kill(pid, SIGTERM); // one that is still busy with the jump
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    ::close(master);
    r.peakKiB = usage.ru_maxrss;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir temp;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    const qint64 MiB = 1 << 20;
    struct Kind
    {
        const char* name;
        std::function<QByteArray(qint64)> piece;
    };
    const Kind kinds[] = {
        {"one line",
         [](qint64 i) { return QByteArray("abcdefghijklmnopqrstuvwxyz0123456789 ").repeated(1 + i % 3); }},
        {"short lines", [](qint64 i) { return "Zeile " + QByteArray::number(i) + '\n'; }},
        {"mixed",
         [](qint64 i) {
             // A log: mostly lines of 40 to 200 bytes, now and then a line of 100 KB, CR LF breaks.
             if (i % 5000 == 4999)
                 return QByteArray(100000, 'L') + "\r\n";
             return "2026-12-07 17:00:00 INFO Eintrag " + QByteArray::number(i) + ' ' +
                    QByteArray("äöü-Text ").repeated(int(i % 20)) + "\r\n";
         }},
    };
    const qint64 baseline = boxRun(QString()).peakKiB;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("text box footprint with an empty box: %lld MiB\n\n", baseline / 1024);
    std::printf("%-28s %-9s %12s %12s %12s\n", "text", "viewer", "first ms", "end ms", "peak MiB");
    for (const qint64 size : {16 * MiB, 256 * MiB, 1024 * MiB}) {
        for (const Kind& kind : kinds) {
            const QString path = QDir(folder).filePath(QStringLiteral("bench.txt"));
            if (!writeText(path, size, kind.piece)) {
                std::printf("cannot write %s\n", qPrintable(path));
                return 1;
            }
            warm(path);
            const QString what =
                QStringLiteral("%1 MiB, %2").arg(size / MiB).arg(QString::fromLatin1(kind.name));
            const Run box = boxRun(path);
            std::printf("%-28s %-9s %12.1f %12.1f %12lld  (+%lld beyond the empty box)\n", qPrintable(what),
                        "Fotarik", box.firstMs, box.endMs, box.peakKiB / 1024,
                        (box.peakKiB - baseline) / 1024);
            const Run less = lessRun(path);
            // An end time of -1: less had not shown the end after 30 s and was stopped.
            std::printf("%-28s %-9s %12.1f %12.1f %12lld\n", "", "less", less.firstMs, less.endMs,
                        less.peakKiB / 1024);
            std::fflush(stdout);
            QFile::remove(path);
        }
    }
    return 0;
}
