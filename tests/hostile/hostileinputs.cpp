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

#include <cstdio>
#include <jpeglib.h>
#include <random>

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

QByteArray zlibRepeated(const QByteArray& unit, qint64 times)
{
    // The unit packed alone and flushed to a byte boundary, so that copies of it follow
    // each other; an empty last block ends the stream.
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray packed(int(deflateBound(&z, uLong(unit.size()))) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(unit.constData()));
    z.avail_in = uInt(unit.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = uInt(packed.size());
    deflate(&z, Z_FULL_FLUSH);
    packed.truncate(packed.size() - int(z.avail_out));
    deflateEnd(&z);
    uLong adler = adler32(0, nullptr, 0);
    const uLong unitAdler = adler32(1, reinterpret_cast<const Bytef*>(unit.constData()), uInt(unit.size()));
    QByteArray out("\x78\xDA", 2);
    out.reserve(qsizetype(packed.size() * times + 16));
    for (qint64 i = 0; i < times; ++i) {
        out += packed;
        adler = adler32_combine(adler, unitAdler, z_off_t(unit.size()));
    }
    out += QByteArray("\x03\x00", 2); // a last, empty block with fixed codes
    return out + be32(qint64(adler));
}

QByteArray png16WithPaethRows(int side)
{
    const int rowsPerUnit = 8;
    const int height = side / rowsPerUnit * rowsPerUnit;
    QByteArray ihdr = be32(side) + be32(height);
    ihdr += QByteArray("\x10\x06\x00\x00\x00", 5); // 16 bits, RGBA, deflate, adaptive, none
    // Rows with something in them, so that unfiltering has work to do.
    QByteArray unit;
    for (int y = 0; y < rowsPerUnit; ++y) {
        QByteArray row(1 + qsizetype(side) * 8, '\0');
        row[0] = 4;
        for (qsizetype i = 1; i < row.size(); i += 4093)
            row[i] = char(i * 7 + y);
        unit += row;
    }
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += pngChunk("IHDR", ihdr);
    png += pngChunk("IDAT", zlibRepeated(unit, height / rowsPerUnit));
    return png + pngEnd();
}

QByteArray floatTiff(int side)
{
    const qint64 row = qint64(side) * 16;
    const int height = side / 16 * 16;
    const QByteArray strip = zlibRepeated(QByteArray(row * 16, '\0'), height / 16);
    struct Entry
    {
        int tag;
        int type;
        qint64 count;
        qint64 value;
    };
    const qint64 ifdAt = 8;
    const int entries = 12;
    const qint64 extraAt = ifdAt + 2 + entries * 12 + 4;
    const qint64 bitsAt = extraAt;
    const qint64 formatAt = extraAt + 8;
    const qint64 stripAt = extraAt + 16;
    const Entry e[entries] = {
        {256, 4, 1, side}, {257, 4, 1, height}, {258, 3, 4, bitsAt},
        {259, 3, 1, 8},    {262, 3, 1, 2},      {273, 4, 1, stripAt},
        {277, 3, 1, 4},    {278, 4, 1, height}, {279, 4, 1, strip.size()},
        {284, 3, 1, 1},    {338, 3, 1, 2},      {339, 3, 4, formatAt},
    };
    QByteArray t("II*\0", 4);
    t += le32(ifdAt);
    t += le16(entries);
    for (const Entry& x : e) {
        t += le16(x.tag) + le16(x.type) + le32(x.count);
        t += x.type == 3 && x.count == 1 ? le16(int(x.value)) + le16(0) : le32(x.value);
    }
    t += le32(0);
    t += le16(32) + le16(32) + le16(32) + le16(32);
    t += le16(3) + le16(3) + le16(3) + le16(3);
    return t + strip;
}

QByteArray arithmeticJpeg(int width, int height)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 92, TRUE);
    info.arith_code = TRUE;
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::mt19937 random(7);
    std::vector<JSAMPLE> line(size_t(width) * 3);
    while (info.next_scanline < info.image_height) {
        const int y = int(info.next_scanline);
        for (int x = 0; x < width; ++x) {
            const int noise = int(random() % 64);
            line[size_t(x) * 3] = JSAMPLE((x * 255 / width + noise) & 0xFF);
            line[size_t(x) * 3 + 1] = JSAMPLE((y * 255 / height + noise) & 0xFF);
            line[size_t(x) * 3 + 2] = JSAMPLE(((x ^ y) + noise) & 0xFF);
        }
        JSAMPROW rows[1] = {line.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray jpeg(reinterpret_cast<const char*>(buffer), qsizetype(size));
    std::free(buffer);
    return jpeg;
}

} // namespace hostile
