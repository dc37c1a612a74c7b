#include "hostileinputs.h"

#include <QTemporaryFile>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace hostile {
namespace {

ChildRun waitFor(pid_t pid, double guardSeconds, std::chrono::steady_clock::time_point start)
{
    ChildRun run;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
        if (done == pid)
            break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > guardSeconds) {
            // The whole group: a program started through GNU time is its child.
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            run.seconds = elapsed;
            run.peakKiB = usage.ru_maxrss;
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.finished = true;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

QByteArray readBack(QTemporaryFile& file)
{
    file.seek(0);
    return file.readAll();
}

} // namespace

ChildRun runProgram(const QString& program, const QStringList& arguments, double guardSeconds,
                    const QStringList& environment)
{
    QTemporaryFile out;
    QTemporaryFile err;
    QTemporaryFile peak;
    if (!out.open() || !err.open() || !peak.open())
        return {};
    // A forked child's peak counts what it inherited from this process before it started the
    // program; GNU time starts the program from its own small process and reports its peak alone.
    std::vector<QByteArray> args{QByteArrayLiteral("/usr/bin/time"),
                                 QByteArrayLiteral("-f"),
                                 QByteArrayLiteral("%M"),
                                 QByteArrayLiteral("-o"),
                                 QFile::encodeName(peak.fileName()),
                                 QFile::encodeName(program)};
    for (const QString& a : arguments)
        args.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> env;
    for (const QString& e : environment)
        env.push_back(e.toLocal8Bit());
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out.handle(), STDOUT_FILENO);
        ::dup2(err.handle(), STDERR_FILENO);
        for (QByteArray& e : env)
            ::putenv(e.data());
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0)
        return {};
    ::setpgid(pid, pid); // as the child does, so that either order holds
    ChildRun run = waitFor(pid, guardSeconds, start);
    run.out = readBack(out);
    run.err = readBack(err);
    // GNU time reports a program ended by a signal on a line of its own before the figure.
    const QList<QByteArray> lines = readBack(peak).trimmed().split('\n');
    run.peakKiB = lines.isEmpty() ? -1 : lines.last().trimmed().toLongLong();
    if (run.exitCode == 0 && lines.size() > 1)
        run.exitCode = -1;
    return run;
}

ChildRun runInChild(const std::function<int()>& work, double guardSeconds)
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::_exit(work());
    }
    if (pid < 0)
        return {};
    ::setpgid(pid, pid);
    return waitFor(pid, guardSeconds, start);
}

QByteArray gzip(const QByteArray& data)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    return out;
}

QByteArray gzippedSvg(qint64 unpackedBytes)
{
    QByteArray svg("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\"><!--");
    svg += QByteArray(qsizetype(unpackedBytes), ' ');
    svg += "--><rect width=\"100\" height=\"100\"/></svg>";
    return gzip(svg);
}

bool sanitizerBuild()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

} // namespace hostile
