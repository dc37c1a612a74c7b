// Thumbnail speed and memory, per picture into the 210 box: LoadScaledPicture (through the
// decoder worker) and the same decode in process, and "fotarik --thumbnail" as a whole
// process, against vipsthumbnail and (HEIC, AVIF) heif-thumbnailer on the same file; for
// JPEG and PNG also the decoding floors (Qt's reduced read, bare libpng, djpeg) and the
// full-screen size. A 24 MP JPEG and PNG and 12 MP HEIC, AVIF and JPEG XL are made in a
// temporary folder; first a tiny picture's round trip through the worker.
// Usage: bench_thumb [runs [kind...]] (runs default 5; kinds jpeg png heic avif jxl, default
// all). See README.md for the tools it needs.

#include "benchsupport.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <vector>

#include <csetjmp>
#include <png.h>

#include "decoderworker.h"
#include "gdiplusresize.h"
#include "scaledpicture.h"

using fotarik::bench::makePhoto;
using fotarik::bench::median;
using fotarik::bench::ProcessFigures;
using fotarik::bench::timeProcess;

namespace {

double cpuClockMs(clockid_t clock)
{
    timespec t{};
    return ::clock_gettime(clock, &t) == 0 ? t.tv_sec * 1e3 + t.tv_nsec / 1e6 : 0;
}

// The CPU time this process and its decoder workers have used so far, per process.
std::map<pid_t, double> cpuSoFar()
{
    std::map<pid_t, double> used{{0, cpuClockMs(CLOCK_PROCESS_CPUTIME_ID)}};
    for (const pid_t pid : fotarik::imaging::decodeWorkers()) {
        clockid_t clock{};
        if (::clock_getcpuclockid(pid, &clock) == 0)
            used[pid] = cpuClockMs(clock);
    }
    return used;
}

// The CPU time used between two readings (a worker new since the first counts whole).
double cpuBetween(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after)
{
    double ms = 0;
    for (const auto& [pid, used] : after) {
        const auto it = before.find(pid);
        ms += used - (it == before.end() ? 0 : it->second);
    }
    return ms;
}

struct Timings
{
    std::vector<double> ms;    // wall time
    std::vector<double> cpuMs; // CPU time of this process and its workers: what the load does not change
    double operator[](size_t i) const { return ms[i]; }
};

// Medians of several pieces of work timed in turn, so that a change in the machine's
// load during the measurement weighs on all of them alike and their ratio holds.
Timings timeInProcess(int runs, const std::vector<std::function<void()>>& works)
{
    std::vector<std::vector<double>> ms(works.size());
    std::vector<std::vector<double>> cpu(works.size());
    for (const auto& work : works)
        work(); // warm the file cache and the plugins
    for (int i = 0; i < runs; ++i)
        for (size_t w = 0; w < works.size(); ++w) {
            const std::map<pid_t, double> before = cpuSoFar();
            QElapsedTimer t;
            t.start();
            works[w]();
            ms[w].push_back(t.nsecsElapsed() / 1e6);
            cpu[w].push_back(cpuBetween(before, cpuSoFar()));
        }
    Timings medians;
    for (size_t w = 0; w < works.size(); ++w) {
        medians.ms.push_back(median(ms[w]));
        medians.cpuMs.push_back(median(cpu[w]));
    }
    return medians;
}

extern "C" void quietPngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// The least any PNG decoder must do: inflate and unfilter every row, nothing else.
bool readPngRows(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quietPngError, nullptr);
    png_infop info = png_create_info_struct(png);
    // Set after the jump point and read after a jump back: volatile.
    unsigned char* volatile row = nullptr;
    volatile bool ok = false;
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_read_info(png, info);
        row = static_cast<unsigned char*>(std::malloc(png_get_rowbytes(png, info)));
        for (png_uint_32 y = 0; y < png_get_image_height(png, info); ++y)
            png_read_row(png, row, nullptr);
        png_read_end(png, nullptr);
        ok = true;
    }
    std::free(row);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return ok;
}

void row(const char* name, double ms, double peakMiB = -1)
{
    if (peakMiB >= 0)
        std::printf("  %-52s %9.1f ms %9.1f MiB\n", name, ms, peakMiB);
    else
        std::printf("  %-52s %9.1f ms\n", name, ms);
}

// A row beside the peer tool's figures: time and peak memory and their ratios to it.
void rowAgainst(const char* name, double ms, double peakMiB, const ProcessFigures& peer, bool ok = true)
{
    if (peakMiB < 0) // not measured
        std::printf("  %-52s %9.1f ms %13s   %5.2f x %8s%s\n", name, ms, "", ms / peer.ms, "",
                    ok ? "" : "  (failed)");
    else
        std::printf("  %-52s %9.1f ms %9.1f MiB   %5.2f x  %5.2f x%s\n", name, ms, peakMiB, ms / peer.ms,
                    peakMiB / peer.peakMiB, ok ? "" : "  (failed)");
}

// The peak memory of a fresh worker serving one picture: its own high-water mark of
// resident memory (VmHWM, counted from its start as a program of its own), read while it
// waits for the next request.
double workerPeakMiB(const QByteArray& path)
{
    fotarik::imaging::stopIdleDecodeWorkers();
    int32_t w = -1;
    int32_t h = -1;
    if (fotarik::LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF).isNull())
        return -1;
    const QList<pid_t> workers = fotarik::imaging::decodeWorkers();
    if (workers.size() != 1)
        return -1;
    QFile status(QStringLiteral("/proc/%1/status").arg(workers.first()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

bool haveProgram(const char* name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

// Runs an encoder; false (with its output) when it fails.
bool encode(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::printf("%s failed: %s\n", qPrintable(program), p.readAll().constData());
        return false;
    }
    return true;
}

struct Picture
{
    const char* title;
    QString file;
    bool todaysFormat; // decoded in process before the worker came: JPEG, PNG
    bool heif;         // heif-thumbnailer reads it too
};

void benchPicture(const Picture& pic, int runs, const QTemporaryDir& dir)
{
    const QByteArray path = QFile::encodeName(pic.file);
    const QSize size = QImageReader(pic.file).size();
    std::printf("\n%s (%lld KiB", pic.title, QFile(pic.file).size() / 1024);
    if (size.isValid())
        std::printf(", %d x %d", size.width(), size.height());
    std::printf(") into the 210 box              time       peak    vs vipsthumbnail\n");

    const auto load = [&](int bw, int bh) {
        return [&, bw, bh] {
            int32_t w = -1;
            int32_t h = -1;
            if (fotarik::LoadScaledPicture(path, bw, bh, w, h, 0x00FFFFFF).isNull())
                std::printf("load failed\n");
        };
    };
    const auto inProcess = [&] {
        if (fotarik::imaging::decodeScaledPicture(path, 210, 210, -1, -1, 0x00FFFFFF).isNull())
            std::printf("in-process decode failed\n");
    };
    std::vector<std::function<void()>> works = {load(210, 210), inProcess};
    const bool png = pic.file.endsWith(QLatin1String(".png"));
    if (pic.todaysFormat)
        works.push_back([&] {
            // The floor: Qt's own reduced read at an eighth (JPEG DCT scaling).
            QImageReader r(pic.file);
            r.setScaledSize(QSize(750, 500));
            r.read();
        });
    if (png)
        works.push_back([&] {
            if (!readPngRows(path.constData()))
                std::printf("libpng read failed\n");
        });
    const Timings ms = timeInProcess(runs, works);
    const double workerPeak = workerPeakMiB(path);
    // The same decode in a process of its own, for its peak memory.
    const ProcessFigures alone =
        timeProcess(1, QCoreApplication::applicationFilePath(), {QStringLiteral("--in-process"), pic.file});

    const ProcessFigures thumb =
        timeProcess(runs, QStringLiteral(FOTARIK_EXE),
                    {QStringLiteral("--thumbnail"), pic.file, QStringLiteral("210x210")});
    const ProcessFigures vips = timeProcess(runs, QStringLiteral("vipsthumbnail"),
                                            {pic.file, QStringLiteral("-s"), QStringLiteral("210"),
                                             QStringLiteral("-o"), dir.filePath(QStringLiteral("v%s.png"))});
    rowAgainst("through the worker (LoadScaledPicture; worker's peak)", ms[0], workerPeak, vips);
    rowAgainst(pic.todaysFormat ? "same decode in process (as before the worker)" : "same decode in process",
               ms[1], alone.peakMiB, vips, alone.ok);
    std::printf("  %-52s %9.2f x   CPU %.1f / %.1f ms = %.2f x\n", "  worker / in process", ms[0] / ms[1],
                ms.cpuMs[0], ms.cpuMs[1], ms.cpuMs[0] / ms.cpuMs[1]);
    rowAgainst("fotarik --thumbnail F 210x210 (its own peak, no worker)", thumb.ms, thumb.peakMiB, vips,
               thumb.ok);
    rowAgainst("vipsthumbnail F -s 210", vips.ms, vips.peakMiB, vips, vips.ok);
    if (pic.heif && haveProgram("heif-thumbnailer")) {
        const ProcessFigures ht =
            timeProcess(runs, QStringLiteral("heif-thumbnailer"),
                        {QStringLiteral("-s"), QStringLiteral("210"), pic.file, dir.filePath("h.png")});
        rowAgainst("heif-thumbnailer -s 210 F", ht.ms, ht.peakMiB, vips, ht.ok);
    }
    if (pic.todaysFormat) {
        row("floor: QImageReader scaled size 750x500 (1/8)", ms[2]);
        if (png)
            row("floor: libpng rows only, no conversion", ms[3]);
        if (!png) {
            const ProcessFigures d8 = timeProcess(
                runs, QStringLiteral("djpeg"), {QStringLiteral("-scale"), QStringLiteral("1/8"), pic.file});
            row("djpeg -scale 1/8 F", d8.ms, d8.peakMiB);
        }
        // The full-screen size: the look-ahead's work.
        const Timings big = timeInProcess(runs, {load(1915, 1030)});
        const ProcessFigures v1915 = timeProcess(runs, QStringLiteral("vipsthumbnail"),
                                                 {pic.file, QStringLiteral("-s"), QStringLiteral("1915x1030"),
                                                  QStringLiteral("-o"), dir.filePath("w%s.png")});
        rowAgainst("through the worker into 1915x1030", big[0], -1, v1915);
        row("vipsthumbnail F -s 1915x1030", v1915.ms, v1915.peakMiB);
    }
}

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    // The worker's own allowance in process too, so that the same pictures decode there.
    QImageReader::setAllocationLimit(int(fotarik::imaging::pictureBudgetBytes() / (1024 * 1024)) + 64);
    if (argc == 3 && std::strcmp(argv[1], "--in-process") == 0) {
        // One decode in this process and nothing else: for its peak memory.
        const auto p =
            fotarik::imaging::decodeScaledPicture(QByteArray(argv[2]), 210, 210, -1, -1, 0x00FFFFFF);
        return p.isNull() ? 1 : 0;
    }
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each row as soon as it is measured
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    QStringList kinds;
    for (int i = 2; i < argc; ++i)
        kinds << QString::fromLocal8Bit(argv[i]);
    const auto wanted = [&](const char* kind) {
        return kinds.isEmpty() || kinds.contains(QLatin1String(kind));
    };
    QTemporaryDir dir;
    {
        // The worker's own cost: a tiny picture there and back.
        const QString tiny = dir.filePath(QStringLiteral("tiny.png"));
        QImage(16, 16, QImage::Format_RGB32).save(tiny, "png");
        const QByteArray path = QFile::encodeName(tiny);
        bool failed = false;
        const Timings ms = timeInProcess(
            std::max(runs, 200),
            {[&] {
                 int32_t w = -1;
                 int32_t h = -1;
                 failed = fotarik::LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF).isNull() || failed;
             },
             [&] {
                 failed =
                     fotarik::imaging::decodeScaledPicture(path, 210, 210, -1, -1, 0x00FFFFFF).isNull() ||
                     failed;
             }});
        std::printf("16 x 16 PNG into the 210 box, median of %d%s\n", std::max(runs, 200),
                    failed ? " (a decode failed)" : "");
        std::printf("  %-52s %9.3f ms\n", "through the worker", ms[0]);
        std::printf("  %-52s %9.3f ms\n", "in process", ms[1]);
        std::printf("  %-52s %9.3f ms   CPU %.3f ms\n", "round trip (difference)", ms[0] - ms[1],
                    ms.cpuMs[0] - ms.cpuMs[1]);
    }

    // The test pictures: a 24 MP photo as JPEG and PNG, and 12 MP of it (a 3:2 crop, grain
    // and all) as HEIC, AVIF and JPEG XL at an everyday camera quality.
    const QString jpeg = dir.filePath(QStringLiteral("photo.jpg"));
    const QString png = dir.filePath(QStringLiteral("photo.png"));
    const QString source12 = dir.filePath(QStringLiteral("photo12.png"));
    {
        const QImage photo = makePhoto();
        photo.save(jpeg, "jpg", 90);
        photo.save(png, "png");
        photo.copy(0, 0, 4240, 2832).save(source12, "png", 100);
    }
    std::vector<Picture> pictures;
    if (wanted("jpeg"))
        pictures.push_back({"JPEG q90, 24 MP", jpeg, true, false});
    if (wanted("png"))
        pictures.push_back({"PNG, 24 MP", png, true, false});
    const QString heic = dir.filePath(QStringLiteral("photo.heic"));
    const QString avif = dir.filePath(QStringLiteral("photo.avif"));
    const QString jxl = dir.filePath(QStringLiteral("photo.jxl"));
    std::printf("\nencoding the 12 MP pictures...\n");
    struct Encoding
    {
        const char* kind;
        const char* tool;
        const char* title;
        QString file;
        QStringList arguments;
        bool heif;
    };
    const Encoding encodings[] = {
        {"heic", "heif-enc", "HEIC (x265 q50), 12 MP", heic, {"-q", "50", source12, "-o", heic}, true},
        {"avif",
         "avifenc",
         "AVIF (aom, 4:4:4, q20-30), 12 MP",
         avif,
         {"-s", "8", "-j", "2", "--min", "20", "--max", "30", source12, avif},
         true},
        {"jxl", "cjxl", "JPEG XL (VarDCT, d1), 12 MP", jxl, {source12, jxl, "-d", "1", "-e", "7"}, false},
    };
    for (const Encoding& e : encodings) {
        if (!wanted(e.kind))
            continue;
        if (haveProgram(e.tool) && encode(QString::fromLatin1(e.tool), e.arguments))
            pictures.push_back({e.title, e.file, false, e.heif});
        else
            std::printf("no %s: %s skipped\n", e.tool, e.kind);
    }
    std::printf("median of %d runs; ratios against vipsthumbnail of the same file\n", runs);
    for (const Picture& p : pictures)
        benchPicture(p, runs, dir);
    return 0;
}
