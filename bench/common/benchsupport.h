#pragma once
// Small helpers the benchmarks share: medians, CPU time, and a photo-like test picture.

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <algorithm>
#include <cmath>
#include <sys/resource.h>
#include <vector>

namespace fotarik::bench {

// The window benchmarks run offscreen unless a platform is chosen.
inline void offscreenUnlessChosen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    if (v.empty())
        return 0;
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// CPU time (user + system) of this process so far, in milliseconds.
inline double cpuMs()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

// A photo-like 6000 x 4000 picture: smooth colour fields plus fine grain and edges, so
// the entropy decoder has real work (a flat gradient decodes unrealistically fast).
inline QImage makePhoto()
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

struct ProcessFigures
{
    double ms = 0;
    double peakMiB = 0;
    bool ok = false;
};

// Wall time and peak resident memory (via /usr/bin/time) of a whole process.
inline ProcessFigures timeProcess(int runs, const QString& program, const QStringList& arguments)
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

} // namespace fotarik::bench
