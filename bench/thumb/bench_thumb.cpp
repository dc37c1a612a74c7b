// Thumbnail speed and memory: LoadScaledPicture (through the decoder worker) and the same
// decode in process, against the decoding floors
// (Qt's reduced read; for PNG also bare libpng), and "fotarik --thumbnail" against
// vipsthumbnail and djpeg as whole processes.
// Usage: bench_thumb [runs] (default 7). Needs vipsthumbnail, djpeg and /usr/bin/time.

#include "benchsupport.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
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

// Medians of several pieces of work timed in turn, so that a change in the machine's
// load during the measurement weighs on all of them alike and their ratio holds.
std::vector<double> timeInProcess(int runs, const std::vector<std::function<void()>>& works)
{
    std::vector<std::vector<double>> ms(works.size());
    for (const auto& work : works)
        work(); // warm the file cache and the plugins
    for (int i = 0; i < runs; ++i)
        for (size_t w = 0; w < works.size(); ++w) {
            QElapsedTimer t;
            t.start();
            works[w]();
            ms[w].push_back(t.nsecsElapsed() / 1e6);
        }
    std::vector<double> medians;
    for (const auto& m : ms)
        medians.push_back(median(m));
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

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    QTemporaryDir dir;
    const QString jpeg = dir.filePath(QStringLiteral("photo.jpg"));
    const QString png = dir.filePath(QStringLiteral("photo.png"));
    {
        const QImage photo = makePhoto();
        photo.save(jpeg, "jpg", 90);
        photo.save(png, "png");
    }
    {
        // The worker's own cost: a tiny picture there and back.
        const QString tiny = dir.filePath(QStringLiteral("tiny.png"));
        QImage(16, 16, QImage::Format_RGB32).save(tiny, "png");
        const QByteArray path = QFile::encodeName(tiny);
        const std::vector<double> ms = timeInProcess(
            std::max(runs, 50),
            {[&] {
                 int32_t w = -1;
                 int32_t h = -1;
                 fotarik::LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF);
             },
             [&] { fotarik::imaging::decodeScaledPicture(path, 210, 210, -1, -1, 0x00FFFFFF); }});
        std::printf("16 x 16 PNG into the 210 box\n");
        row("through the worker", ms[0]);
        row("in process", ms[1]);
        std::printf("  %-52s %9.3f ms\n\n", "round trip (difference)", ms[0] - ms[1]);
    }
    std::printf("6000 x 4000 test pictures: JPEG q90 %lld KiB, PNG %lld KiB; median of %d runs\n",
                QFile(jpeg).size() / 1024, QFile(png).size() / 1024, runs);

    for (const QString& file : {jpeg, png}) {
        const QByteArray path = QFile::encodeName(file);
        const bool isJpeg = file == jpeg;
        std::printf("\n%s\n", isJpeg ? "JPEG" : "PNG");
        std::printf(" one process (LoadScaledPicture through the worker)\n");
        const auto load = [&](int bw, int bh) {
            return [&, bw, bh] {
                int32_t w = -1;
                int32_t h = -1;
                if (fotarik::LoadScaledPicture(path, bw, bh, w, h, 0x00FFFFFF).isNull())
                    std::printf("load failed\n");
            };
        };
        const auto floorRead = [&] {
            QImageReader r(file);
            r.setScaledSize(QSize(750, 500));
            r.read();
        };
        const auto inProcess = [&] {
            if (fotarik::imaging::decodeScaledPicture(path, 210, 210, -1, -1, 0x00FFFFFF).isNull())
                std::printf("in-process decode failed\n");
        };
        std::vector<std::function<void()>> works = {floorRead, load(210, 210), load(1915, 1030), inProcess};
        if (!isJpeg)
            works.push_back([&] {
                if (!readPngRows(path.constData()))
                    std::printf("libpng read failed\n");
            });
        const std::vector<double> ms = timeInProcess(runs, works);
        const double floor8 = ms[0];
        const double at210 = ms[1];
        const double at1915 = ms[2];
        row("LoadScaledPicture 210x210", at210);
        row("floor: QImageReader scaled size 750x500 (1/8)", floor8);
        std::printf("  %-52s %9.2f x\n", "ratio 210 / floor", at210 / floor8);
        row("same decode in process 210x210", ms[3]);
        std::printf("  %-52s %9.2f x\n", "ratio worker / in process", at210 / ms[3]);
        if (!isJpeg) {
            row("libpng rows only, no conversion", ms[4]);
            std::printf("  %-52s %9.2f x\n", "ratio 210 / libpng rows", at210 / ms[4]);
        }
        row("LoadScaledPicture 1915x1030", at1915);

        std::printf(" whole processes                                         time      peak RSS\n");
        const ProcessFigures f210 =
            timeProcess(runs, QStringLiteral(FOTARIK_EXE),
                        {QStringLiteral("--thumbnail"), file, QStringLiteral("210x210")});
        const ProcessFigures v210 = timeProcess(runs, QStringLiteral("vipsthumbnail"),
                                                {file, QStringLiteral("-s"), QStringLiteral("210"),
                                                 QStringLiteral("-o"), dir.filePath("v%s.png")});
        row("fotarik --thumbnail F 210x210", f210.ms, f210.peakMiB);
        row("vipsthumbnail F -s 210", v210.ms, v210.peakMiB);
        if (isJpeg) {
            const ProcessFigures d8 = timeProcess(runs, QStringLiteral("djpeg"),
                                                  {QStringLiteral("-scale"), QStringLiteral("1/8"), file});
            row("djpeg -scale 1/8 F", d8.ms, d8.peakMiB);
        }
        const ProcessFigures f1915 =
            timeProcess(runs, QStringLiteral(FOTARIK_EXE),
                        {QStringLiteral("--thumbnail"), file, QStringLiteral("1915x1030")});
        const ProcessFigures v1915 = timeProcess(runs, QStringLiteral("vipsthumbnail"),
                                                 {file, QStringLiteral("-s"), QStringLiteral("1915x1030"),
                                                  QStringLiteral("-o"), dir.filePath("w%s.png")});
        row("fotarik --thumbnail F 1915x1030", f1915.ms, f1915.peakMiB);
        row("vipsthumbnail F -s 1915x1030", v1915.ms, v1915.peakMiB);
        std::printf("  ratios fotarik/vips: 210 time %.2f mem %.2f; 1915 time %.2f mem %.2f%s\n",
                    f210.ms / v210.ms, f210.peakMiB / v210.peakMiB, f1915.ms / v1915.ms,
                    f1915.peakMiB / v1915.peakMiB,
                    f210.ok && v210.ok && f1915.ok && v1915.ok ? "" : "  (a run failed)");
    }
    return 0;
}
