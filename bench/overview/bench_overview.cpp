// The overview's speed, one run, side by side with the thumbnailers of other programs:
//  1. thumbnails per second of the overview's pool (its worker threads and decoder
//     workers, 160-pixel cells) over a folder of camera-size JPEGs (12 and 24 MP, made
//     here from one synthetic photo), file cache cold and warm, against vipsthumbnail (one
//     process, --vips-concurrency at the core count) and, where installed,
//     gdk-pixbuf-thumbnailer and ffmpegthumbnailer (one process per picture, as many at a
//     time as there are cores) on the same files;
//  2. the window opened on 1 000 000 hits: time to the first painted grid;
//  3. the window scrolled at 60 frames a second: the longest frame on the UI thread;
//  4. the peak memory of this process (the program's side) and of its decoder workers.
// Usage: bench_overview [--count N] [--hits N] [--frames N] [--rates no] [--exif no] [--dir DIR]
//   --rates no leaves out the thumbnail rates (1.); --exif no makes the pictures without
//   EXIF thumbnails (by default the 24 MP ones carry a 160 x 120 one with black bars, as
//   3:2 cameras store it, of no use to a cell; the 12 MP 4:3 ones a 320 x 240 one, as
//   phones store it); --dir keeps the generated pictures there (made once, reused by the next run).
// "Cold" evicts every file of the folder from the page cache (posix_fadvise DONTNEED, no
// root needed) before the run.

#include "benchsupport.h"
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "decoderworker.h"
#include "listbox.h"
#include "testfiles.h"
#include "thumbnailer.h"
#include "uebersicht.h"

using namespace fotarik;

namespace {

constexpr int Cell = Uebersicht::DefaultCellPixels;

struct Options
{
    int count = 2000;
    int hits = 1000000;
    int frames = 600;
    bool rates = true;
    bool exif = true;
    bool others = true;
    QString dir;
    QString files; // a folder whose files stand for the hits instead of the made pictures
};

// KiB of a "VmHWM:"-style line of /proc/PID/status.
double statusMiB(const QString& statusFile, const char* field)
{
    QFile f(statusFile);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

// CPU time of the calling thread: what a frame cost, whatever else the machine runs.
double threadCpuMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The calling thread's scheduler account (/proc/self/task/TID/schedstat): its time on a
// CPU and its time runnable but waiting for one, in ms. What a frame took beyond the two
// it spent blocked (a lock, a page from the disk).
struct SchedTimes
{
    double onCpuMs = 0;
    double waitingMs = 0;
};

class ThreadSchedStat
{
public:
    ThreadSchedStat()
        : m_fd(
              ::open(QStringLiteral("/proc/self/task/%1/schedstat").arg(::gettid()).toLocal8Bit().constData(),
                     O_RDONLY | O_CLOEXEC))
    {
    }
    ~ThreadSchedStat()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ThreadSchedStat(const ThreadSchedStat&) = delete;
    ThreadSchedStat& operator=(const ThreadSchedStat&) = delete;

    bool available() const { return m_fd >= 0; }
    SchedTimes read() const
    {
        char text[128] = {};
        if (m_fd < 0 || ::pread(m_fd, text, sizeof text - 1, 0) <= 0)
            return {};
        char* end = nullptr;
        const double onCpu = std::strtod(text, &end);
        const double waiting = std::strtod(end, nullptr);
        return {onCpu / 1e6, waiting / 1e6};
    }

private:
    int m_fd;
};

// The highest peak of the decoder workers seen so far.
double g_workerPeakMiB = 0;

void sampleWorkers()
{
    for (const pid_t pid : imaging::decodeWorkers())
        g_workerPeakMiB =
            std::max(g_workerPeakMiB, statusMiB(QStringLiteral("/proc/%1/status").arg(pid), "VmHWM:"));
}

void writeDurably(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.flush())
        qFatal("cannot write %s", qPrintable(path));
    ::fdatasync(f.handle());
}

// 2 000 camera-size JPEGs: every other one 24 MP (6000 x 4000), the rest 12 MP (4000 x 3000),
// each a file of its own (a copy, not a link: the page cache holds each separately).
QStringList makePictures(const QString& dir, int count, bool exif)
{
    QDir().mkpath(dir);
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << QDir(dir).filePath(QStringLiteral("foto%1.jpg").arg(i, 5, 10, QLatin1Char('0')));
    if (QFile::exists(files.last()))
        return files; // made by an earlier run
    std::fprintf(stderr, "making %d camera-size JPEGs in %s ...\n", count, qPrintable(dir));
    const QImage photo = bench::makePhoto();
    const auto jpeg = [](const QImage& image, int quality) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPEG", quality);
        return bytes;
    };
    // EXIF thumbnails as cameras store them: a 3:2 camera's 160 x 120 with black bars (of no
    // use to a cell), a 4:3 phone's 320 x 240.
    QImage barred(160, 120, QImage::Format_RGB32);
    barred.fill(Qt::black);
    {
        QPainter painter(&barred);
        painter.drawImage(QRect(0, 7, 160, 107),
                          photo.scaled(160, 107, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    const QImage twelve = photo.copy(1000, 500, 4000, 3000);
    QByteArray big = jpeg(photo, 88);
    QByteArray small = jpeg(twelve, 88);
    if (exif) {
        big = test::withExifThumbnail(big, jpeg(barred, 80));
        small = test::withExifThumbnail(
            small, jpeg(twelve.scaled(320, 240, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), 80));
    }
    std::fprintf(stderr, "  24 MP: %.1f MiB, 12 MP: %.1f MiB a file\n", big.size() / 1048576.0,
                 small.size() / 1048576.0);
    for (int i = 0; i < count; ++i)
        writeDurably(files[i], i % 2 ? small : big);
    return files;
}

void evict(const QStringList& files)
{
    for (const QString& file : files) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void warm(const QStringList& files)
{
    for (const QString& file : files) {
        QFile f(file);
        if (f.open(QIODevice::ReadOnly))
            while (!f.read(1 << 20).isEmpty()) {
            }
    }
}

struct Rate
{
    double seconds = 0;
    int made = 0;
    bool ok = false;
    double perSecond() const { return seconds > 0 ? made / seconds : 0; }
};

// The overview's own pool, as the window drives it: every file wanted at once.
Rate overviewPool(const QStringList& files)
{
    int delivered = 0;
    int pictures = 0;
    QStringList others; // what came instead of a cell-wide picture
    overview::Thumbnailer pool([&](overview::Thumbnailer::Result&& r) {
        ++delivered;
        const bool picture = r.thumbnail.kind == overview::Thumbnail::Kind::Picture;
        if (picture && r.thumbnail.image.width() == Cell)
            ++pictures;
        else
            others << QStringLiteral("%1: %2 %3 x %4")
                          .arg(QFile::decodeName(r.path),
                               picture ? QStringLiteral("picture") : QStringLiteral("failed"))
                          .arg(r.thumbnail.image.width())
                          .arg(r.thumbnail.image.height());
    });
    std::vector<overview::Thumbnailer::Request> requests;
    for (int i = 0; i < files.size(); ++i)
        requests.push_back({i, QFile::encodeName(files[i]), false});
    // Waiting for events sleeps until one comes (the variant with a time limit would poll
    // and take a core from the pool); the timer wakes the loop for the time limit.
    QTimer wake;
    wake.start(1000);
    QElapsedTimer t;
    t.start();
    pool.want(requests, Cell, 1.0, 1, true);
    while (delivered < files.size() && t.elapsed() < 3600 * 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (delivered % 16 == 0)
            sampleWorkers();
    }
    Rate rate{t.nsecsElapsed() / 1e9, pictures, pictures == files.size()};
    if (!rate.ok) {
        std::fprintf(stderr, "  overview: only %d of %lld pictures made (%d delivered)\n", pictures,
                     static_cast<long long>(files.size()), delivered);
        for (const QString& other : others)
            std::fprintf(stderr, "    %s\n", qPrintable(other));
    }
    return rate;
}

Rate vipsThumbnail(const QString& vips, const QStringList& files, const QString& out)
{
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(vips, QStringList{QStringLiteral("--vips-concurrency=%1").arg(QThread::idealThreadCount()),
                              QStringLiteral("-s"), QString::number(Cell), QStringLiteral("-o"),
                              out + QStringLiteral("/%s.jpg")}
                      << files);
    p.waitForFinished(-1);
    const double seconds = t.nsecsElapsed() / 1e9;
    const int made = int(QDir(out).entryList(QDir::Files).size());
    return {seconds, made, p.exitCode() == 0 && made == files.size()};
}

// One process per picture, as a file manager starts its thumbnailer; cores-many at a time.
Rate perFileThumbnailer(const QString& program, const QStringList& files, const QString& out,
                        const std::function<QStringList(const QString& in, const QString& out)>& arguments)
{
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    const int parallel = QThread::idealThreadCount();
    std::deque<std::unique_ptr<QProcess>> running;
    int next = 0;
    int ok = 0;
    QElapsedTimer t;
    t.start();
    while (next < files.size() || !running.empty()) {
        while (next < files.size() && int(running.size()) < parallel) {
            auto p = std::make_unique<QProcess>();
            p->setStandardOutputFile(QProcess::nullDevice());
            p->setStandardErrorFile(QProcess::nullDevice());
            p->start(program, arguments(files[next], out + QStringLiteral("/%1.png").arg(next)));
            ++next;
            running.push_back(std::move(p));
        }
        running.front()->waitForFinished(-1);
        ok += running.front()->exitStatus() == QProcess::NormalExit && running.front()->exitCode() == 0;
        running.pop_front();
    }
    return {t.nsecsElapsed() / 1e9, ok, ok == files.size()};
}

void printRate(const char* name, const char* cache, const Rate& r, const Rate& vips)
{
    std::printf("  %-26s %-5s %8.1f /s  (%6.1f s, %d made%s)", name, cache, r.perSecond(), r.seconds, r.made,
                r.ok ? "" : ", INCOMPLETE");
    if (vips.perSecond() > 0)
        std::printf("  %.2f x vipsthumbnail", r.perSecond() / vips.perSecond());
    std::printf("\n");
}

// Counts the paints of a widget.
class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    imaging::runDecodeWorkerIfAsked(argc, argv);
    bench::offscreenUnlessChosen();
    QApplication app(argc, argv);
    Options options;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--count"))
            options.count = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--hits"))
            options.hits = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--frames"))
            options.frames = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--rates"))
            options.rates = args[i + 1] != QLatin1String("no");
        else if (args[i] == QLatin1String("--exif"))
            options.exif = args[i + 1] != QLatin1String("no");
        else if (args[i] == QLatin1String("--others"))
            options.others = args[i + 1] != QLatin1String("no");
        else if (args[i] == QLatin1String("--dir"))
            options.dir = args[i + 1];
        else if (args[i] == QLatin1String("--files"))
            options.files = args[i + 1];
        else {
            std::fprintf(stderr, "usage: bench_overview [--count N] [--hits N] [--frames N] [--rates no] "
                                 "[--exif no] [--others no] [--dir DIR] [--files DIR]\n");
            return 2;
        }
    }
    QTemporaryDir temporary;
    QStringList files;
    if (options.files.isEmpty()) {
        const QString dir = options.dir.isEmpty() ? temporary.filePath(QStringLiteral("fotos")) : options.dir;
        files = makePictures(dir + (options.exif ? QString() : QStringLiteral("-ohne-exif")), options.count,
                             options.exif);
    } else {
        // Whatever lies there (hostile files, pipes, links) is shown; nothing is timed per file.
        const QDir given(options.files);
        for (const QString& name :
             given.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
            files << given.filePath(name);
        if (files.isEmpty()) {
            std::fprintf(stderr, "no files in %s\n", qPrintable(options.files));
            return 2;
        }
        options.rates = false;
    }
    const QString out = temporary.filePath(QStringLiteral("out"));

    // 1. Thumbnails per second, cold and warm, each tool in turn.
    if (options.rates)
        std::printf("thumbnails of %d camera-size JPEGs (12/24 MP) into %d px, %d cores\n", options.count,
                    Cell, QThread::idealThreadCount());
    else
        std::printf("%lld files from %s\n", static_cast<long long>(files.size()), qPrintable(options.files));
    const QString vips = QStandardPaths::findExecutable(QStringLiteral("vipsthumbnail"));
    const QString pixbuf =
        options.others ? QStandardPaths::findExecutable(QStringLiteral("gdk-pixbuf-thumbnailer")) : QString();
    const QString ffmpeg =
        options.others ? QStandardPaths::findExecutable(QStringLiteral("ffmpegthumbnailer")) : QString();
    for (const char* cache : {"cold", "warm"}) {
        if (!options.rates)
            break;
        const bool cold = qstrcmp(cache, "cold") == 0;
        const auto prepare = [&] { cold ? evict(files) : warm(files); };
        prepare();
        const Rate ours = overviewPool(files);
        Rate peer;
        if (!vips.isEmpty()) {
            prepare();
            peer = vipsThumbnail(vips, files, out);
        }
        printRate("overview pool", cache, ours, peer);
        if (!vips.isEmpty())
            printRate("vipsthumbnail", cache, peer, peer);
        else
            std::printf("  vipsthumbnail not installed\n");
        if (!pixbuf.isEmpty()) {
            prepare();
            printRate("gdk-pixbuf-thumbnailer", cache,
                      perFileThumbnailer(
                          pixbuf, files, out,
                          [](const QString& in, const QString& to) {
                              return QStringList{QStringLiteral("-s"), QString::number(Cell), in, to};
                          }),
                      peer);
        }
        if (!ffmpeg.isEmpty()) {
            prepare();
            printRate("ffmpegthumbnailer", cache,
                      perFileThumbnailer(ffmpeg, files, out,
                                         [](const QString& in, const QString& to) {
                                             return QStringList{QStringLiteral("-s"), QString::number(Cell),
                                                                QStringLiteral("-i"), in,
                                                                QStringLiteral("-o"), to};
                                         }),
                      peer);
        }
    }
    if (ffmpeg.isEmpty() && options.others && options.rates)
        std::printf("  ffmpegthumbnailer not installed\n");
    if (pixbuf.isEmpty() && options.others && options.rates)
        std::printf("  gdk-pixbuf-thumbnailer not installed\n");

    // 2. The window on a million hits (the pictures above, over and over).
    ListBox list;
    ListBoxModel* model = list.listModel();
    for (int i = 0; i < options.hits; ++i)
        model->insert(i, QFile::encodeName(files[i % files.size()]));
    model->publishPending();
    std::printf("window on %d hits (%s platform)\n", model->rowCount(),
                qPrintable(QGuiApplication::platformName()));
    QElapsedTimer opening;
    opening.start();
    auto* window = new Uebersicht(&list);
    PaintCounter counter;
    window->grid()->viewport()->installEventFilter(&counter);
    window->show();
    while (counter.paints == 0 && opening.elapsed() < 60000)
        QCoreApplication::processEvents();
    const double firstGrid = opening.nsecsElapsed() / 1e6;
    std::printf("  first painted grid    %8.1f ms  (goal 100 ms: %.2f x the goal)\n", firstGrid,
                firstGrid / 100);

    // 3. Scrolling down a quarter of the view every 16 ms frame while the thumbnails arrive:
    // the longest frame (scroll and paint), and the longest gap between two frames (which
    // also holds what the thread did between them: thumbnails handed over, layout).
    QScrollBar* bar = window->grid()->verticalScrollBar();
    const int step = std::max(1, window->grid()->viewport()->height() / 4);
    double worstFrame = 0;
    double worstGap = 0;
    double frameSum = 0;
    double worstCpu = 0;
    double worstCpuBetween = 0;
    double cpuAtFrameEnd = 0;
    // Where the time of a frame went: the worst wait for a CPU within one frame, and the
    // parts of the frame that took longest in wall time.
    const ThreadSchedStat sched;
    double worstWaitForCpu = 0;
    double waitForCpuOver16 = 0; // summed over the frames over 16 ms
    double wallOver16 = 0;
    SchedTimes worstFrameParts;
    int frames = 0;
    int slowFrames = 0;
    QElapsedTimer sinceLast;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (frames > 0)
            worstGap = std::max(worstGap, sinceLast.nsecsElapsed() / 1e6);
        sinceLast.start();
        QElapsedTimer frame;
        frame.start();
        const double cpuBefore = threadCpuMs();
        const SchedTimes schedBefore = sched.read();
        if (frames > 0)
            worstCpuBetween = std::max(worstCpuBetween, cpuBefore - cpuAtFrameEnd);
        bar->setValue(bar->value() + step);
        window->grid()->viewport()->repaint();
        const double ms = frame.nsecsElapsed() / 1e6;
        cpuAtFrameEnd = threadCpuMs();
        const SchedTimes schedAfter = sched.read();
        const SchedTimes parts{schedAfter.onCpuMs - schedBefore.onCpuMs,
                               schedAfter.waitingMs - schedBefore.waitingMs};
        worstCpu = std::max(worstCpu, cpuAtFrameEnd - cpuBefore);
        worstWaitForCpu = std::max(worstWaitForCpu, parts.waitingMs);
        if (ms > worstFrame)
            worstFrameParts = parts;
        worstFrame = std::max(worstFrame, ms);
        if (ms > 16) {
            waitForCpuOver16 += parts.waitingMs;
            wallOver16 += ms;
        }
        slowFrames += ms > 16;
        frameSum += ms;
        if (++frames >= options.frames)
            ticker.stop();
        if (frames % 10 == 0)
            sampleWorkers();
    });
    ticker.start(16);
    while (ticker.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    std::printf(
        "  scrolling %d frames   worst frame %.1f ms (goal 16 ms: %.2f x), mean %.2f ms, %d over 16 ms, "
        "worst gap between frames %.1f ms\n"
        "                        in CPU time of the thread: worst frame %.1f ms (%.2f x the goal), "
        "worst between two frames %.1f ms\n",
        frames, worstFrame, worstFrame / 16, frameSum / std::max(frames, 1), slowFrames, worstGap, worstCpu,
        worstCpu / 16, worstCpuBetween);
    if (sched.available())
        std::printf(
            "                        the worst frame: %.1f ms on a CPU, %.1f ms waiting for one, %.1f ms "
            "blocked; worst wait for a CPU in a frame %.1f ms; frames over 16 ms: %.1f of %.1f ms "
            "waiting for a CPU\n",
            worstFrameParts.onCpuMs, worstFrameParts.waitingMs,
            std::max(0.0, worstFrame - worstFrameParts.onCpuMs - worstFrameParts.waitingMs), worstWaitForCpu,
            waitForCpuOver16, wallOver16);
    std::printf("  at the end: row %d of %d on top, %d thumbnails waiting, %.1f MiB cached\n",
                window->grid()->indexAt(QPoint(4, 4)).row(), model->rowCount(),
                window->outstandingThumbnails(), window->cachedBytes() / 1048576.0);

    // 3b. Left alone where the scrolling ended: the cells in view are made (or given up),
    // while a 16 ms timer tells how long the thread was kept from its events.
    {
        QElapsedTimer settling;
        settling.start();
        QElapsedTimer tick;
        tick.start();
        double worstTick = 0;
        QTimer heartbeat;
        heartbeat.setTimerType(Qt::PreciseTimer);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] {
            worstTick = std::max(worstTick, tick.nsecsElapsed() / 1e6);
            tick.start();
        });
        heartbeat.start(16);
        while (window->outstandingThumbnails() > 0 && settling.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 16);
        heartbeat.stop();
        // The wait since the last tick counts too: a settling shorter than a tick is no gap of 0.
        worstTick = std::max(worstTick, tick.nsecsElapsed() / 1e6);
        int32_t counts[int(overview::CellState::Symbol) + 1] = {};
        int32_t inView = 0;
        const QRect view = window->grid()->viewport()->rect();
        for (int32_t row = std::max(0, window->grid()->indexAt(QPoint(4, 4)).row()); row < model->rowCount();
             ++row) {
            const QRect cell = window->grid()->visualRect(model->index(row));
            if (!cell.intersects(view))
                break;
            ++inView;
            ++counts[static_cast<int>(window->cellState(row))];
        }
        std::printf(
            "  left alone: %d cells in view settled in %.1f s (%d still waiting), worst gap of a 16 ms "
            "timer %.1f ms; pictures %d, texts %d, cannot be decoded %d, symbols %d\n",
            inView, settling.elapsed() / 1000.0, window->outstandingThumbnails(), worstTick,
            counts[int(overview::CellState::Picture)], counts[int(overview::CellState::Text)],
            counts[int(overview::CellState::Failed)], counts[int(overview::CellState::Symbol)]);
    }

    delete window;

    // 2b. Opened again on an entry near the end (the search window's current one), which
    // the layout reaches only after every row before it.
    const int32_t far = model->rowCount() - 10;
    list.setCurrentIndex(model->index(far));
    opening.start();
    window = new Uebersicht(&list);
    PaintCounter farCounter;
    window->grid()->viewport()->installEventFilter(&farCounter);
    window->show();
    while (farCounter.paints == 0 && opening.elapsed() < 60000)
        QCoreApplication::processEvents();
    const double farGrid = opening.nsecsElapsed() / 1e6;
    const QRect farCell = window->grid()->visualRect(model->index(far));
    std::printf("  opened on row %d: first painted grid %8.1f ms  (goal 100 ms: %.2f x the goal), "
                "that cell %s\n",
                far, farGrid, farGrid / 100,
                farCell.isValid() && window->grid()->viewport()->rect().intersects(farCell) ? "in view"
                                                                                            : "NOT in view");

    // 4. Peak memory.
    const double peak = statusMiB(QStringLiteral("/proc/self/status"), "VmHWM:");
    std::printf("peak memory of the program's process %.0f MiB (goal 400 MiB: %.2f x the goal)\n", peak,
                peak / 400);
    sampleWorkers();
    std::printf("peak memory of a decoder worker %.0f MiB (sampled)\n", g_workerPeakMiB);
    delete window;
    return 0;
}
