// Thumbnail speed and memory: LoadScaledPicture in process against the JPEG decoding
// floor, and "fotarik --thumbnail" against vipsthumbnail and djpeg as whole processes.
// Usage: bench_thumb [runs] (default 7). Needs vipsthumbnail, djpeg and /usr/bin/time.

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

#include "gdiplusresize.h"

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double timeInProcess(int runs, const std::function<void()>& work)
{
    std::vector<double> ms;
    work(); // warm the file cache and the plugins
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return median(ms);
}

struct ProcessFigures
{
    double ms = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Wall time and peak resident memory (via /usr/bin/time) of a whole process.
ProcessFigures timeProcess(int runs, const QString& program, const QStringList& arguments)
{
    std::vector<double> ms;
    std::vector<double> peak;
    bool ok = true;
    for (int i = 0; i <= runs; ++i) {
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(QStringLiteral("/usr/bin/time"),
                QStringList{QStringLiteral("-f"), QStringLiteral("@@%M")} << program << arguments);
        p.waitForFinished(120000);
        const double elapsed = t.nsecsElapsed() / 1e6;
        const QByteArray err = p.readAllStandardError();
        const int at = err.lastIndexOf("@@");
        ok = ok && p.exitCode() == 0 && at >= 0;
        if (i == 0)
            continue; // cache warm-up
        ms.push_back(elapsed);
        peak.push_back(at >= 0 ? err.mid(at + 2).trimmed().toDouble() / 1024.0 : 0);
    }
    return {median(ms), median(peak), ok};
}

// A photo-like 6000 x 4000 picture: smooth colour fields plus fine grain and edges, so
// the entropy decoder has real work (a flat gradient decodes unrealistically fast).
QImage makePhoto()
{
    const int w = 6000;
    const int h = 4000;
    QImage image(w, h, QImage::Format_RGB32);
    QRandomGenerator rng(4711);
    for (int y = 0; y < h; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double fx = x / 600.0;
            const double fy = y / 400.0;
            const int grain = int(rng.bounded(48)) - 24;
            const int r = int(128 + 90 * std::sin(fx * 1.7 + std::cos(fy * 2.3))) + grain;
            const int g = int(128 + 90 * std::sin(fy * 1.3 + fx * 0.4)) + grain;
            const int b =
                int(128 + 90 * std::cos((fx + fy) * 0.9)) + ((x / 37 + y / 53) % 2 ? 30 : -30) + grain;
            line[x] = qRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
        }
    }
    return image;
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
    std::printf("6000 x 4000 test pictures: JPEG q90 %lld KiB, PNG %lld KiB; median of %d runs\n",
                QFile(jpeg).size() / 1024, QFile(png).size() / 1024, runs);

    for (const QString& file : {jpeg, png}) {
        const QByteArray path = QFile::encodeName(file);
        const bool isJpeg = file == jpeg;
        std::printf("\n%s\n", isJpeg ? "JPEG" : "PNG");
        std::printf(" in process\n");
        const auto load = [&](int bw, int bh) {
            return [&, bw, bh] {
                int32_t w = -1;
                int32_t h = -1;
                if (fotarik::LoadScaledPicture(path, bw, bh, w, h, 0x00FFFFFF).isNull())
                    std::printf("load failed\n");
            };
        };
        const double floor8 = timeInProcess(runs, [&] {
            QImageReader r(file);
            r.setScaledSize(QSize(750, 500));
            r.read();
        });
        const double at210 = timeInProcess(runs, load(210, 210));
        const double at1915 = timeInProcess(runs, load(1915, 1030));
        row("LoadScaledPicture 210x210", at210);
        row("floor: QImageReader scaled size 750x500 (1/8)", floor8);
        std::printf("  %-52s %9.2f x\n", "ratio 210 / floor", at210 / floor8);
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
