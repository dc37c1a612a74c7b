// Time from an arrow key to the next picture shown in the full-screen window, stepping
// through 24-megapixel JPEGs on a 1920 x 1080 client area, with and without preparing the
// next picture in advance, against vipsthumbnail on the same files and box.
//
//   QT_QPA_PLATFORM=offscreen bench_fullscreen [--count N] [--look MS] [DIR]
//
// The JPEGs of DIR are used; without DIR, or when DIR holds none, N synthetic 6000 x 4000
// JPEGs (quality 90) are written (to DIR, or to a temporary folder).
// --look is how long the "user" looks at each picture before pressing the key again.
// --show opens the window maximized over the pictures instead and runs until it is closed.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "clongscroll.h"
#include "decoderworker.h"
#include "fonts.h"
#include "form1.h"
#include "globals.h"
#include "listbox.h"
#include "modlargelist.h"
#include "ui_form1.h"

using namespace fotarik;

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

QList<double> stepThrough(QWidget* search, ListBox* list, int count, bool prefetch, int lookMs)
{
    SetListIndex(list, 0);
    VollbildGeladen = 0;
    Form1 form(list, search);
    form.setPrefetchEnabled(prefetch);
    form.ui->Picture1->resize(form.ui->Picture1->width(), 46);
    form.show();
    form.resize(1920, 1080);
    QTest::qWait(lookMs);
    QList<double> times;
    for (int i = 1; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        QTest::keyClick(&form, Qt::Key_Right); // displays and serves the paint before it returns
        times << t.nsecsElapsed() / 1e6;
        if (form.hsb->Value() != i || form.ui->Image1->pixmap().isNull())
            qFatal("picture %d not shown", i);
        QTest::qWait(lookMs);
    }
    std::printf("  box %d x %d, last picture %d x %d\n", form.PicAreaWidth, form.PicAreaHeight,
                form.ui->Image1->width(), form.ui->Image1->height());
    form.close();
    return times;
}

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    registerFontSubstitutions();
    QStringList args = app.arguments().mid(1);
    int count = 6;
    int lookMs = 800;
    bool showOnly = false;
    QString dirPath;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--count") && i + 1 < args.size())
            count = args[++i].toInt();
        else if (args[i] == QLatin1String("--look") && i + 1 < args.size())
            lookMs = args[++i].toInt();
        else if (args[i] == QLatin1String("--show"))
            showOnly = true;
        else
            dirPath = args[i];
    }

    QTemporaryDir temp;
    QStringList files;
    if (!dirPath.isEmpty()) {
        for (const QString& name : QDir(dirPath).entryList({QStringLiteral("*.jpg"), QStringLiteral("*.JPG")},
                                                           QDir::Files, QDir::Name))
            files << QDir(dirPath).filePath(name);
    }
    if (files.isEmpty()) {
        const QString target = dirPath.isEmpty() ? temp.path() : dirPath;
        QDir().mkpath(target);
        std::printf("writing %d synthetic 6000 x 4000 JPEGs...\n", count);
        for (int i = 0; i < count; ++i) {
            const QString p = QDir(target).filePath(QStringLiteral("photo%1.jpg").arg(i));
            writePhoto(p, i);
            files << p;
        }
    }
    count = int(files.size());
    if (count < 2)
        qFatal("need at least two pictures");
    std::printf("%d pictures, first %lld bytes\n", count, QFileInfo(files[0]).size());

    QWidget search;
    auto* list = new ListBox(&search);
    for (const QString& f : files)
        AddItem(list, QFile::encodeName(f));
    search.show();

    if (showOnly) {
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

    std::printf("key to picture, without preparation:\n");
    const QList<double> plain = stepThrough(&search, list, count, false, lookMs);
    std::printf("key to picture, next picture prepared while looking (%d ms):\n", lookMs);
    const QList<double> prepared = stepThrough(&search, list, count, true, lookMs);

    // The slideshow waits by serving the event queue; it should sleep, not spin.
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
        std::printf("slideshow over %d pictures of 2 s (stopped after 2 s): wall %lld ms, CPU %.0f ms\n",
                    count, wall.elapsed(), cpuMs);
        form.close();
    }

    QList<double> vips;
    for (const QString& f : files + files) {
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

    auto report = [](const char* what, const QList<double>& v) {
        QString all;
        for (double x : v)
            all += QString::number(x, 'f', 0) + QLatin1Char(' ');
        std::printf("%-34s median %7.1f ms  min %7.1f ms  [%s]\n", what, median(v),
                    v.isEmpty() ? 0.0 : *std::min_element(v.begin(), v.end()), qPrintable(all.trimmed()));
    };
    report("Form1, no preparation", plain);
    report("Form1, next picture prepared", prepared);
    report("vipsthumbnail -s 1915x1029 (.v)", vips);
    return 0;
}
