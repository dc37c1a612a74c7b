// Fills the found list with a million paths the way a search does and reports what it
// costs: append time, memory per entry beyond the path bytes, and the width fitting.
//   bench_list [entries]      (run with QT_QPA_PLATFORM=offscreen)

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <cstdio>
#include <ctime>
#include <malloc.h>

#include "globals.h"
#include "listbox.h"
#include "listextent.h"
#include "modlargelist.h"

namespace {

// Resident and peak resident set of the process in bytes.
long long statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return -1;
}

// CPU time of this thread in ms: on a shared machine wall time also counts the waits for
// a core, so both are reported.
double cpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

long long heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

// A path of about 60 bytes: folders and names drawn from a fixed vocabulary.
QByteArray makePath(QRandomGenerator& rng, int i)
{
    static const char* folders[] = {"Bilder",   "Urlaub 2009", "Familie", "Scans",  "Musik",     "Texte",
                                    "Projekte", "Archiv",      "DCIM",    "Camera", "Sonstiges", "alt"};
    QByteArray path("/home/benutzer/");
    const int depth = 1 + rng.bounded(3);
    for (int d = 0; d < depth; ++d) {
        path += folders[rng.bounded(12)];
        path += '/';
    }
    path += "IMG_" + QByteArray::number(i).rightJustified(7, '0');
    while (path.size() < 52 + rng.bounded(12))
        path.insert(path.lastIndexOf('/') + 1, 'x');
    path += ".jpg";
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int entries = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;

    QWidget window;
    window.resize(600, 400);
    auto* list = new fotarik::ListBox(&window);
    list->setGeometry(10, 10, 580, 380);
    window.show();
    QApplication::processEvents();

    // The paths exist before the list so that only the list's own memory is counted.
    QRandomGenerator rng(20240601);
    std::vector<QByteArray> paths;
    paths.reserve(entries);
    long long pathBytes = 0;
    for (int i = 0; i < entries; ++i) {
        paths.push_back(makePath(rng, i));
        pathBytes += paths.back().size();
    }

    malloc_trim(0);
    const long long rssBefore = statusKb("VmRSS:") * 1024;
    const long long heapBefore = heapBytes();

    // As the search run does: the list follows its widest entry while it fills.
    fotarik::trackListExtent(&window, list);
    QElapsedTimer timer;
    timer.start();
    double cpu = cpuMs();
    for (int i = 0; i < entries; ++i) {
        fotarik::AddItem(list, paths[i]);
        if (i % 100 == 99) // the walker serves the event queue once per folder
            QApplication::processEvents();
    }
    const qint64 appendMs = timer.elapsed();
    const double appendCpu = cpuMs() - cpu;
    timer.restart();
    list->flushPendingRows();
    QApplication::processEvents(); // the view's last layout
    const qint64 layoutMs = timer.elapsed();

    const long long rssAfter = statusKb("VmRSS:") * 1024;
    const long long heapAfter = heapBytes();
    const long long peak = statusKb("VmHWM:") * 1024;

    timer.restart();
    cpu = cpuMs();
    const int32_t extent = fotarik::GetListExtent(&window, list);
    const qint64 extentMs = timer.elapsed();
    const double extentCpu = cpuMs() - cpu;
    timer.restart();
    cpu = cpuMs();
    fotarik::FitListExtent(&window, list);
    QApplication::processEvents();
    const qint64 fitMs = timer.elapsed();
    const double fitCpu = cpuMs() - cpu;

    // For comparison: the pass over every entry that fitting needs without tracking.
    timer.restart();
    cpu = cpuMs();
    fotarik::ListWidthTracker once;
    once.start(window.font(), *list);
    const int32_t widestAll = once.widest(window.font(), *list);
    const qint64 allMs = timer.elapsed();
    const double allCpu = cpuMs() - cpu;

    const double n = entries;
    std::printf("entries                       %d\n", entries);
    std::printf("path bytes                    %.1f MiB (%.1f per entry)\n", pathBytes / 1048576.0,
                pathBytes / n);
    std::printf("append time                   %lld ms wall, %.0f ms CPU (%.2f us CPU per entry)\n",
                (long long)appendMs, appendCpu, appendCpu * 1000.0 / n);
    std::printf("last layout                   %lld ms\n", (long long)layoutMs);
    std::printf("heap beyond path bytes        %.1f bytes per entry\n",
                (heapAfter - heapBefore - pathBytes) / n);
    std::printf("RSS beyond path bytes         %.1f bytes per entry\n",
                (rssAfter - rssBefore - pathBytes) / n);
    std::printf("model slack (offsets+spare)   %.1f bytes per entry\n",
                list->listModel()->overheadBytes() / n);
    std::printf("peak RSS                      %.1f MiB (before list %.1f MiB)\n", peak / 1048576.0,
                rssBefore / 1048576.0);
    std::printf("GetListExtent (tracked)       %lld ms wall, %.0f ms CPU (extent %d px)\n",
                (long long)extentMs, extentCpu, extent);
    std::printf("widest by a pass over all     %lld ms wall, %.0f ms CPU (widest %d px)\n", (long long)allMs,
                allCpu, widestAll);
    std::printf("FitListExtent + view layout   %lld ms wall, %.0f ms CPU\n", (long long)fitMs, fitCpu);
    return 0;
}
