// A search run of the real search window, offscreen: the time from the click on "&Suchen"
// until the window is idle again (the click returns there), several runs, median; then the
// same walk rebuilt step by step in this process, so a slow window shows where its time goes.
//
//   bench_searchwindow TREE [--runs N] [--pattern "*.JPG;*.JPEG"] [--hits FILE] [--no-breakdown] [--cold]
// --cold empties the page cache before every run (root only) and makes no warm-up run.
//
// The last line is "window-median-ms <ms> hits <n>" for scripts; --hits writes the found
// list, one path per line, as the window holds it after the last run.

#include "benchsupport.h"
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "fonts.h"
#include "listbox.h"
#include "listextent.h"
#include "mediacommands.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "suche.h"
#include "ui_suche.h"
#include "walker.h"

using namespace fotarik;

using fotarik::bench::cpuMs;
using fotarik::bench::median;

namespace {

// Wall and CPU time of this process in milliseconds. On a busy machine the CPU time is
// the steadier figure: it leaves out the time other processes held the cores.
struct Times
{
    double wall = 0;
    double cpu = 0;
};

// Empties the page cache (root only); false when it cannot.
bool dropCaches()
{
    ::sync();
    QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
    return control.open(QIODevice::WriteOnly) && control.write("3\n") == 2;
}

bool coldRuns = false;

// One warm-up run, then `runs` timed runs; the medians. Cold: no warm-up, and the page
// cache emptied before every run.
Times timeRuns(int runs, const std::function<void()>& work)
{
    if (!coldRuns)
        work();
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        if (coldRuns)
            dropCaches();
        QElapsedTimer t;
        const double c0 = cpuMs();
        t.start();
        work();
        wall.push_back(t.nsecsElapsed() / 1e6);
        cpu.push_back(cpuMs() - c0);
    }
    return {median(wall), median(cpu)};
}

void row(const char* name, Times t)
{
    std::printf("  %-58s %9.1f ms %9.1f ms\n", name, t.wall, t.cpu);
}

// The window's way of taking the walker's reports, with each piece switched on separately.
struct Pieces
{
    bool serveEvents = false;
    bool addItem = false;
    bool countLabel = false;
    bool folderLabel = false;
    // When above 0: the queue is served only when this much time passed since it last was.
    int serveEveryMs = 0;
    // When above 0: the queue is served per folder, but the window paints only when this
    // much time passed since it last did (updates are off in between).
    int paintEveryMs = 0;
};

class PieceSink : public search::WalkSink
{
public:
    PieceSink(Suche& window, const Pieces& pieces) : m_window(window), m_pieces(pieces)
    {
        m_sinceServed.start();
    }

    void serveEvents() override
    {
        ++folders;
        if (!m_pieces.serveEvents)
            return;
        if (m_pieces.serveEveryMs > 0 && !m_sinceServed.hasExpired(m_pieces.serveEveryMs))
            return;
        const bool paint = m_pieces.paintEveryMs > 0 && m_sinceServed.hasExpired(m_pieces.paintEveryMs);
        if (paint)
            m_window.setUpdatesEnabled(true);
        QCoreApplication::processEvents();
        if (paint)
            m_window.setUpdatesEnabled(false);
        if (m_pieces.serveEveryMs > 0 || paint)
            m_sinceServed.start();
    }
    void folderEntered(std::string_view folder) override
    {
        if (m_pieces.folderLabel)
            m_window.ui->Label1->setText(
                QString::fromUtf8(folder.data(), static_cast<qsizetype>(folder.size())));
    }
    bool cancelRequested() override { return false; }
    void hitFound(std::string_view path, int32_t runningTotal) override
    {
        if (m_pieces.addItem)
            AddItem(m_window.ui->lstFoundFiles,
                    QByteArray::fromRawData(path.data(), static_cast<qsizetype>(path.size())));
        if (m_pieces.countLabel)
            m_window.ui->lblCount->setText(QString::number(runningTotal));
    }

    int folders = 0;

private:
    Suche& m_window;
    const Pieces& m_pieces;
    QElapsedTimer m_sinceServed;
};

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    bench::offscreenUnlessChosen();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fotarik"));
    registerFontSubstitutions();

    QString tree;
    QString pattern = QStringLiteral("*.JPG;*.JPEG");
    QString hitsFile;
    int runs = 5;
    bool breakdown = true;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--runs") && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--pattern") && i + 1 < args.size())
            pattern = args[++i];
        else if (args[i] == QLatin1String("--hits") && i + 1 < args.size())
            hitsFile = args[++i];
        else if (args[i] == QLatin1String("--no-breakdown"))
            breakdown = false;
        else if (args[i] == QLatin1String("--cold"))
            coldRuns = true;
        else
            tree = args[i];
    }
    if (coldRuns && !dropCaches()) {
        std::fprintf(stderr, "cannot drop the page cache (needs root): no cold runs\n");
        return 3;
    }
    if (tree.isEmpty()) {
        std::fprintf(stderr, "usage: bench_searchwindow TREE [--runs N] [--pattern P] [--hits FILE] "
                             "[--no-breakdown] [--cold]\n");
        return 2;
    }

    RecordingBackend media;
    CapturingMessageSeam messages;
    Suche w(tree);
    w.show();
    QApplication::processEvents();
    w.ui->txtSearchSpec->setText(pattern);
    if (w.ui->dirList->pathBytes() != QFile::encodeName(tree) &&
        w.ui->dirList->pathBytes() != QFile::encodeName(tree) + '/')
        std::fprintf(stderr, "note: the folder list stands at %s\n", w.ui->dirList->pathBytes().constData());

    const Times window = timeRuns(runs, [&] { w.ui->cmdSearch->click(); });
    const int32_t hits = GetListCount(w.ui->lstFoundFiles);
    if (!messages.messages.empty())
        std::fprintf(stderr, "unexpected message: %s\n", qPrintable(messages.messages.front().text));
    if (w.isSearching() || !w.ui->cmdSearch->isEnabled())
        std::fprintf(stderr, "the window is not idle after the click\n");

    if (!hitsFile.isEmpty()) {
        QFile out(hitsFile);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(hitsFile));
            return 2;
        }
        for (int32_t i = 0; i < hits; ++i)
            out.write(GetListItem(w.ui->lstFoundFiles, i) + '\n');
    }

    if (breakdown) {
        std::printf("search window on %s, pattern \"%s\", median of %d runs after one warm-up\n",
                    qPrintable(tree), qPrintable(pattern), runs);
        std::printf("  %-58s %12s %12s\n", "", "wall", "CPU");
        row("click on \"&Suchen\" to idle", window);
        std::printf(" the same walk rebuilt in this process, piece by piece:\n");
        const QByteArray folder = w.ui->dirList->pathBytes();
        const std::string folderStd(folder.constData(), static_cast<size_t>(folder.size()));
        const search::PatternList patterns(pattern);
        auto* list = w.ui->lstFoundFiles;
        int folders = 0;
        const auto walkWith = [&](const Pieces& pieces) {
            return [&, pieces] {
                ClearList(list);
                PieceSink sink(w, pieces);
                int32_t total = 0;
                if (pieces.paintEveryMs > 0)
                    w.setUpdatesEnabled(false);
                // As the window walks: no call into the file system on this thread.
                search::WalkOptions options;
                options.guardCalls = true;
                search::SearchFolder(folderStd, patterns, -1, total, sink, options);
                w.setUpdatesEnabled(true);
                list->flushPendingRows();
                folders = sink.folders;
            };
        };
        struct Stage
        {
            const char* name;
            Pieces pieces;
        };
        const Stage stages[] = {
            {"walker, reports ignored", {}},
            {"AddItem per hit, event queue never served", {false, true, false, false}},
            {"+ event queue served per folder", {true, false, false, false}},
            {"+ AddItem per hit", {true, true, false, false}},
            {"+ lblCount text per hit", {true, true, true, false}},
            {"+ Label1 text per folder (the window's walk)", {true, true, true, true}},
            {"the window's walk, queue served at most every 20 ms", {true, true, true, true, 20}},
            {"the window's walk, queue served at most every 50 ms", {true, true, true, true, 50}},
            {"the window's walk, served per folder, painted every 25 ms", {true, true, true, true, 0, 25}},
        };
        for (const Stage& s : stages)
            row(s.name, timeRuns(runs, walkWith(s.pieces)));
        std::printf("  (%d folders, %d hits)\n", folders, GetListCount(list));
        std::vector<std::string> found;
        for (int32_t i = 0; i < GetListCount(list); ++i) {
            const QByteArray item = GetListItem(list, i);
            found.emplace_back(item.constData(), static_cast<size_t>(item.size()));
        }
        row("the hits added again as the window adds them, no walk", timeRuns(runs, [&] {
                ClearList(list);
                for (const std::string& path : found)
                    AddItem(list, QByteArray::fromRawData(path.data(), static_cast<qsizetype>(path.size())));
                list->flushPendingRows();
            }));
        row("FitListExtent over the hits", timeRuns(runs, [&] { FitListExtent(&w, list); }));
        if (GetListCount(list) > 0)
            row("preview of the first hit (ThumbNailShow)", timeRuns(runs, [&] {
                    w.hsb->setValue(0);
                    w.ThumbNailShow();
                }));
    }
    std::printf("window-median-ms %.1f cpu-ms %.1f hits %d\n", window.wall, window.cpu, hits);
    return 0;
}
