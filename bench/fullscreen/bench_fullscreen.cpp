// Time from an arrow key to the next picture painted in the full-screen window on a
// 1920 x 1080 client area, with and without the look-ahead having prepared the next picture
// in its decoder worker: 24-megapixel JPEGs and PNGs, 12-megapixel HEIC, AVIF and JPEG XL,
// and the real HEIF, AVIF and JPEG XL files of the shared corpus; vipsthumbnail on the
// JPEGs for reference.
//
//   QT_QPA_PLATFORM=offscreen bench_fullscreen [--count N] [--look MS] [--kinds K,...] [DIR]
//
// Kinds: jpeg png heic avif jxl corpus (default all). The JPEGs of DIR are used; without
// DIR, or when DIR holds none, N synthetic 6000 x 4000 JPEGs (quality 90) are written (to
// DIR, or to a temporary folder). The other synthetic pictures are N copies of one file,
// made with heif-enc, avifenc and cjxl (a kind whose encoder is missing is skipped).
// With preparation each key waits until the look-ahead's worker has answered, then --look
// more milliseconds ("the user looks at the picture").
// --prepared-only leaves out the steps without preparation.
// --show opens the window maximized over the JPEGs instead and runs until it is closed.

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <tuple>

#include "benchsupport.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "fonts.h"
#include "form1.h"
#include "globals.h"
#include "listbox.h"
#include "modlargelist.h"
#include "ui_form1.h"

using namespace fotarik;
using fotarik::bench::makePhoto;

namespace {

// Smooth gradients, waves and a little grain: decodes like a photo, not like noise.
void writePhoto(const QString& path, int seed)
{
    QImage image(6000, 4000, QImage::Format_RGB32);
    QRandomGenerator rng(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int grain = int(rng.generate() % 17) - 8;
            const int r = int(128 + 100 * std::sin(x / (300.0 + seed * 7)) + grain);
            const int g = int(128 + 100 * std::sin((x + y) / 450.0 + seed) + grain);
            const int b = int(128 + 100 * std::cos(y / 250.0) + grain);
            line[x] = qRgb(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255));
        }
    }
    if (!image.save(path, "JPG", 90))
        qFatal("cannot write %s", qPrintable(path));
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// Counts the paints of one widget.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget* watched) { watched->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

struct Steps
{
    QList<double> ms;    // arrow key to the next picture painted
    QList<double> cpuMs; // the user-interface thread's CPU time in that step
    int notShown = 0;    // steps whose picture could not be decoded (nothing to paint)
    int unprepared = 0;  // steps whose picture was not prepared in time (prepared runs only)
};

// Steps through every entry of the list with the arrow key. Each step is timed from the key
// until the picture's label has been painted (the events the key leaves queued served).
// With prefetch, each key waits until the look-ahead's worker has answered, then lookMs.
Steps stepThrough(QWidget* search, ListBox* list, int count, bool prefetch, int lookMs)
{
    SetListIndex(list, 0);
    VollbildGeladen = 0;
    Form1 form(list, search);
    form.setPrefetchEnabled(prefetch);
    form.ui->Picture1->resize(form.ui->Picture1->width(), 46);
    form.show();
    form.resize(1920, 1080);
    PaintCounter painted(form.ui->Image1);
    Steps steps;
    const auto waitUntilPrepared = [&] {
        QElapsedTimer waited;
        waited.start();
        while (prefetch && !form.nextPicturePrepared() && waited.elapsed() < 60000)
            QTest::qWait(2);
        return !prefetch || form.nextPicturePrepared();
    };
    QTest::qWait(lookMs);
    for (int i = 1; i < count; ++i) {
        if (!waitUntilPrepared())
            ++steps.unprepared;
        QTest::qWait(lookMs);
        const QPixmap before = form.ui->Image1->pixmap();
        painted.paints = 0;
        timespec cpu0{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        QElapsedTimer t;
        t.start();
        QTest::keyClick(&form, Qt::Key_Right);
        while (painted.paints == 0 && form.ui->Image1->isVisible() && t.elapsed() < 10000)
            QCoreApplication::processEvents();
        const double ms = t.nsecsElapsed() / 1e6;
        timespec cpu1{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        const double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
        if (form.hsb->Value() != i)
            qFatal("entry %d not shown", i);
        const QPixmap shown = form.ui->Image1->pixmap();
        if (shown.isNull() || !form.ui->Image1->isVisible() || painted.paints == 0 ||
            shown.cacheKey() == before.cacheKey()) {
            ++steps.notShown;
            continue;
        }
        steps.ms << ms;
        steps.cpuMs << cpuMs;
    }
    std::printf("  box %d x %d, last picture %d x %d\n", form.PicAreaWidth, form.PicAreaHeight,
                form.ui->Image1->width(), form.ui->Image1->height());
    form.close();
    return steps;
}

bool haveProgram(const char* name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

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

// count names for one picture: the file and copies of it.
QStringList copies(const QString& file, int count)
{
    QStringList files{file};
    const QFileInfo info(file);
    for (int i = 1; i < count; ++i) {
        const QString copy = info.dir().filePath(
            QStringLiteral("%1_%2.%3").arg(info.completeBaseName()).arg(i).arg(info.suffix()));
        QFile::remove(copy);
        if (!QFile::copy(file, copy))
            qFatal("cannot copy %s", qPrintable(file));
        files << copy;
    }
    return files;
}

struct PictureSet
{
    QString title;
    QStringList files;
};

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    registerFontSubstitutions();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QStringList args = app.arguments().mid(1);
    int count = 6;
    int lookMs = 300;
    bool showOnly = false;
    bool preparedOnly = false;
    QStringList kinds{QStringLiteral("jpeg"), QStringLiteral("png"), QStringLiteral("heic"),
                      QStringLiteral("avif"), QStringLiteral("jxl"), QStringLiteral("corpus")};
    QString dirPath;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--count") && i + 1 < args.size())
            count = std::max(2, args[++i].toInt());
        else if (args[i] == QLatin1String("--look") && i + 1 < args.size())
            lookMs = args[++i].toInt();
        else if (args[i] == QLatin1String("--kinds") && i + 1 < args.size())
            kinds = args[++i].split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (args[i] == QLatin1String("--show"))
            showOnly = true;
        else if (args[i] == QLatin1String("--prepared-only"))
            preparedOnly = true;
        else
            dirPath = args[i];
    }

    QTemporaryDir temp;
    QList<PictureSet> sets;
    QStringList jpegs;
    if (!dirPath.isEmpty()) {
        for (const QString& name : QDir(dirPath).entryList({QStringLiteral("*.jpg"), QStringLiteral("*.JPG")},
                                                           QDir::Files, QDir::Name))
            jpegs << QDir(dirPath).filePath(name);
    }
    const QString target = dirPath.isEmpty() ? temp.path() : dirPath;
    QDir().mkpath(target);
    if (jpegs.isEmpty() && (kinds.contains(QLatin1String("jpeg")) || showOnly)) {
        std::printf("writing %d synthetic 6000 x 4000 JPEGs...\n", count);
        for (int i = 0; i < count; ++i) {
            const QString p = QDir(target).filePath(QStringLiteral("photo%1.jpg").arg(i));
            writePhoto(p, i);
            jpegs << p;
        }
    }
    if (!jpegs.isEmpty())
        sets << PictureSet{QStringLiteral("JPEG q90, 6000 x 4000"), jpegs};

    const QString source12 = temp.filePath(QStringLiteral("photo12.png"));
    const bool newFormats = kinds.contains(QLatin1String("heic")) || kinds.contains(QLatin1String("avif")) ||
                            kinds.contains(QLatin1String("jxl"));
    if (!showOnly && (kinds.contains(QLatin1String("png")) || newFormats)) {
        std::printf("writing the synthetic PNG and 12 MP pictures...\n");
        const QImage photo = makePhoto();
        if (kinds.contains(QLatin1String("png"))) {
            const QString png = temp.filePath(QStringLiteral("photo.png"));
            if (!photo.save(png, "png"))
                qFatal("cannot write %s", qPrintable(png));
            sets << PictureSet{QStringLiteral("PNG, 6000 x 4000"), copies(png, count)};
        }
        if (newFormats && !photo.copy(0, 0, 4240, 2832).save(source12, "png", 100))
            qFatal("cannot write %s", qPrintable(source12));
    }
    struct Encoding
    {
        const char* kind;
        const char* tool;
        const char* title;
        QString file;
        QStringList arguments;
    };
    const QString heic = temp.filePath(QStringLiteral("photo.heic"));
    const QString avif = temp.filePath(QStringLiteral("photo.avif"));
    const QString jxl = temp.filePath(QStringLiteral("photo.jxl"));
    const Encoding encodings[] = {
        {"heic", "heif-enc", "HEIC (x265 q50), 4240 x 2832", heic, {"-q", "50", source12, "-o", heic}},
        {"avif",
         "avifenc",
         "AVIF (aom, 4:4:4, q20-30), 4240 x 2832",
         avif,
         {"-s", "8", "-j", "2", "--min", "20", "--max", "30", source12, avif}},
        {"jxl", "cjxl", "JPEG XL (VarDCT, d1), 4240 x 2832", jxl, {source12, jxl, "-d", "1", "-e", "7"}},
    };
    for (const Encoding& e : encodings) {
        if (showOnly || !kinds.contains(QLatin1String(e.kind)))
            continue;
        if (haveProgram(e.tool) && encode(QString::fromLatin1(e.tool), e.arguments))
            sets << PictureSet{QString::fromLatin1(e.title), copies(e.file, count)};
        else
            std::printf("no %s: %s skipped\n", e.tool, e.kind);
    }
    // The real files of the formats' own projects, when the shared corpus is there.
    const QDir corpus(QStringLiteral(FOTARIK_CORPUS_DIR "/images"));
    if (!showOnly && kinds.contains(QLatin1String("corpus")) && corpus.exists()) {
        for (const auto& [title, folder, suffix] :
             {std::tuple{"corpus HEIF/HEIC", "heif", "*.hei*"}, std::tuple{"corpus AVIF", "avif", "*.avif"},
              std::tuple{"corpus JPEG XL", "jxl", "*.jxl"}}) {
            QStringList files;
            QDirIterator it(corpus.filePath(QLatin1String(folder)), {QLatin1String(suffix)}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next();
            files.sort();
            if (files.size() >= 2)
                sets << PictureSet{
                    QStringLiteral("%1 (%2 files)").arg(QLatin1String(title)).arg(files.size()), files};
        }
    }
    if (sets.isEmpty())
        qFatal("no pictures");

    QWidget search;
    auto* list = new ListBox(&search);
    const auto fillList = [&](const QStringList& files) {
        ClearList(list);
        for (const QString& f : files)
            AddItem(list, QFile::encodeName(f));
    };
    search.show();

    if (showOnly) {
        fillList(sets.first().files);
        SetListIndex(list, 0);
        auto* form = new Form1(list, &search);
        form->showOnSearchScreen();
        search.hide();
        QObject::connect(form, &QObject::destroyed, &app, &QApplication::quit);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, form, [form] {
            if (form->isClosed())
                form->deleteLater();
        });
        poll.start(200);
        return app.exec();
    }

    struct Figures
    {
        QString title;
        Steps plain;
        Steps prepared;
    };
    QList<Figures> figures;
    for (const PictureSet& set : sets) {
        fillList(set.files);
        const int n = int(set.files.size());
        std::printf("%s: %d pictures, first %lld bytes\n", qPrintable(set.title), n,
                    QFileInfo(set.files[0]).size());
        Figures f{set.title, {}, {}};
        if (!preparedOnly) {
            std::printf(" key to picture painted, without preparation:\n");
            f.plain = stepThrough(&search, list, n, false, lookMs);
        }
        std::printf(" key to picture painted, next picture prepared by the worker (then %d ms):\n", lookMs);
        f.prepared = stepThrough(&search, list, n, true, lookMs);
        figures << f;
    }

    // The slideshow waits by serving the event queue; it should sleep, not spin.
    fillList(sets.first().files);
    {
        SetListIndex(list, 0);
        VollbildGeladen = 0;
        Form1 form(list, &search);
        form.show();
        form.resize(1920, 1080);
        form.ui->HScroll2->setValue(20);
        form.ui->Check1->setChecked(false);
        QTest::qWait(500);
        QElapsedTimer wall;
        wall.start();
        const std::clock_t cpu0 = std::clock();
        QTimer::singleShot(2000, &form, [&form] { form.Command4_Click(); });
        form.Command1_Click();
        const double cpuMs = double(std::clock() - cpu0) * 1000.0 / CLOCKS_PER_SEC;
        std::printf("slideshow over %lld pictures of 2 s (stopped after 2 s): wall %lld ms, CPU %.0f ms\n",
                    sets.first().files.size(), wall.elapsed(), cpuMs);
        form.close();
    }

    QList<double> vips;
    for (const QString& f : jpegs + jpegs) {
        QElapsedTimer t;
        t.start();
        const int rc = QProcess::execute(QStringLiteral("vipsthumbnail"),
                                         {f, QStringLiteral("-s"), QStringLiteral("1915x1029"),
                                          QStringLiteral("-o"), temp.filePath(QStringLiteral("thumb_%s.v"))});
        vips << t.nsecsElapsed() / 1e6;
        if (rc != 0) {
            std::printf("vipsthumbnail failed (%d)\n", rc);
            break;
        }
    }

    const auto report = [](const QString& what, const Steps& s) {
        QString all;
        for (double x : s.ms)
            all += QString::number(x, 'f', 1) + QLatin1Char(' ');
        QString notes;
        if (s.notShown)
            notes += QStringLiteral("  %1 not decoded").arg(s.notShown);
        if (s.unprepared)
            notes += QStringLiteral("  %1 not prepared in 60 s").arg(s.unprepared);
        std::printf("  %-30s median %7.1f ms  max %7.1f ms  [%s]%s\n", qPrintable(what), median(s.ms),
                    s.ms.isEmpty() ? 0.0 : *std::max_element(s.ms.begin(), s.ms.end()),
                    qPrintable(all.trimmed()), qPrintable(notes));
        if (!s.cpuMs.isEmpty())
            std::printf("  %-30s median %7.1f ms  max %7.1f ms\n", "  its thread's CPU time", median(s.cpuMs),
                        *std::max_element(s.cpuMs.begin(), s.cpuMs.end()));
    };
    std::printf("\nkey to picture painted (1920 x 1080 window, %s)\n",
                qPrintable(QGuiApplication::platformName()));
    for (const Figures& f : figures) {
        std::printf("%s\n", qPrintable(f.title));
        if (!preparedOnly)
            report(QStringLiteral("no preparation"), f.plain);
        report(QStringLiteral("next picture prepared"), f.prepared);
    }
    if (!vips.isEmpty()) {
        std::printf("JPEG reference\n");
        report(QStringLiteral("vipsthumbnail -s 1915x1029 (.v)"), Steps{vips, {}, 0, 0});
    }
    return 0;
}
