// The search window's slideshow and preview, offscreen:
//  1. a pass over N small pictures (64 x 48, half JPEG, half PNG) at the shortest display
//     time (0.1 s): the time of every step against the set time, and the CPU time the
//     pass used (the wait should sleep, not spin);
//  2. the preview of a 24-megapixel JPEG: from hsb's new value to the return of the call,
//     against "fotarik --thumbnail F 210x210" as a whole process on the same file.
//
//   bench_slideshow [--count N] [--runs R]     (defaults 1000 and 7)

#include "benchsupport.h"
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "fonts.h"
#include "gdiplusresize.h"
#include "mediacommands.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "suche.h"
#include "ui_suche.h"

using namespace fotarik;

using fotarik::bench::cpuMs;
using fotarik::bench::makePhoto;
using fotarik::bench::median;
using fotarik::bench::ProcessFigures;
using fotarik::bench::timeProcess;

namespace {

// A small picture with a little structure, different for every index.
void writeSmallPicture(const QString& path, int index)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(index * 37 % 360, 160, 220));
    QPainter p(&image);
    p.setPen(Qt::black);
    p.drawEllipse(8 + index % 20, 6, 30, 30);
    p.drawText(image.rect(), Qt::AlignBottom | Qt::AlignRight, QString::number(index));
    p.end();
    if (!image.save(path))
        qFatal("cannot write %s", qPrintable(path));
}

void search(Suche& w, const QString& pattern)
{
    w.ui->txtSearchSpec->setText(pattern);
    w.ui->cmdSearch->click(); // returns at idle
}

void slideshowPass(const QString& folder, int count)
{
    std::printf("writing %d pictures of 64 x 48 ...\n", count);
    for (int i = 0; i < count; ++i)
        writeSmallPicture(
            QDir(folder).filePath(QStringLiteral("bild%1.%2")
                                      .arg(i, 4, 10, QLatin1Char('0'))
                                      .arg(i % 2 ? QStringLiteral("png") : QStringLiteral("jpg"))),
            i);

    Suche w(folder);
    w.show();
    search(w, QStringLiteral("*.JPG;*.PNG"));
    const int32_t hits = GetListCount(w.ui->lstFoundFiles);
    if (hits != count)
        qFatal("the search found %d of %d pictures", hits, count);

    // The preview of one small picture on its own, so the steps' overshoot can be read.
    std::vector<double> previewMs;
    for (int i = 1; i <= 50; ++i) {
        QElapsedTimer t;
        t.start();
        w.hsb->setValue(i);
        previewMs.push_back(t.nsecsElapsed() / 1e6);
    }
    w.hsb->setValue(0);

    w.ui->cmdDiaShow->click();
    if (!w.ui->Frame2->isVisible())
        qFatal("the slideshow panel did not open");
    w.ui->HScroll2->setValue(w.ui->HScroll2->minimum());
    const double setSeconds = w.ui->HScroll2->value() / 10.0;
    w.ui->Check2->setChecked(false);

    QElapsedTimer clock;
    std::vector<qint64> stamps; // ns since the click, one per entry shown
    stamps.reserve(size_t(count));
    std::vector<int> values;
    QObject::connect(w.hsb, &CLongScroll::Change, &w, [&] {
        stamps.push_back(clock.nsecsElapsed());
        values.push_back(w.hsb->Value());
    });
    const double cpu0 = (cpuMs() / 1000.0);
    clock.start();
    w.ui->Command1->click(); // returns when the pass ends
    const qint64 endNs = clock.nsecsElapsed();
    const double cpu = (cpuMs() / 1000.0) - cpu0;

    if (int(stamps.size()) != count)
        std::printf("  note: %zu entries shown, expected %d\n", stamps.size(), count);
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i] != int(i)) {
            std::printf("  note: step %zu showed entry %d\n", i, values[i]);
            break;
        }
    // Step i: from entry i shown to entry i+1 shown; the last step ends with the pass.
    std::vector<double> steps;
    for (size_t i = 0; i < stamps.size(); ++i)
        steps.push_back(((i + 1 < stamps.size() ? stamps[i + 1] : endNs) - stamps[i]) / 1e6);
    double sum = 0;
    for (double s : steps)
        sum += s;
    const double setMs = setSeconds * 1000;
    const double avg = steps.empty() ? 0 : sum / double(steps.size());
    const double maxStep = steps.empty() ? 0 : *std::max_element(steps.begin(), steps.end());
    const double minStep = steps.empty() ? 0 : *std::min_element(steps.begin(), steps.end());
    const auto over = std::count_if(steps.begin(), steps.end(), [&](double s) { return s > setMs * 1.1; });
    const double wall = endNs / 1e9;

    std::printf("\nslideshow pass over %d pictures, display time set to %.1f s (HScroll2 = %d)\n", count,
                setSeconds, w.ui->HScroll2->value());
    std::printf("  %-44s %9.1f ms\n", "set time per step", setMs);
    std::printf("  %-44s %9.1f ms   (%+.1f ms, %+.1f %%)\n", "average step", avg, avg - setMs,
                (avg - setMs) / setMs * 100);
    std::printf("  %-44s %9.1f ms\n", "median step", median(steps));
    std::printf("  %-44s %9.1f ms\n", "shortest step", minStep);
    std::printf("  %-44s %9.1f ms\n", "longest step", maxStep);
    std::printf("  %-44s %9lld of %zu\n", "steps longer than 1.1 x set time", static_cast<long long>(over),
                steps.size());
    std::printf("  %-44s %9.2f ms\n", "preview of one small picture (median of 50)", median(previewMs));
    std::printf("  %-44s %9.2f s    (set total %.1f s)\n", "wall time of the pass", wall, setSeconds * count);
    std::printf("  %-44s %9.2f s    (%.1f %% of one core)\n", "CPU time of the pass (user + system)", cpu,
                wall > 0 ? cpu / wall * 100 : 0);
}

void bigPreview(const QString& folder, int runs)
{
    std::printf("\nwriting two 6000 x 4000 photo-like JPEGs (quality 90) ...\n");
    const QString a = QDir(folder).filePath(QStringLiteral("foto_a.jpg"));
    const QString b = QDir(folder).filePath(QStringLiteral("foto_b.jpg"));
    {
        const QImage photo = makePhoto();
        if (!photo.save(a, "jpg", 90))
            qFatal("cannot write %s", qPrintable(a));
    }
    if (!QFile::copy(a, b))
        qFatal("cannot copy to %s", qPrintable(b));

    Suche w(folder);
    w.show();
    search(w, QStringLiteral("*.JPG"));
    if (GetListCount(w.ui->lstFoundFiles) != 2)
        qFatal("expected two hits, found %d", GetListCount(w.ui->lstFoundFiles));

    // Alternating between the two entries, so every call is a real change of position.
    std::vector<double> windowMs;
    for (int i = 0; i <= runs; ++i) {
        const int32_t next = w.hsb->Value() == 0 ? 1 : 0;
        QElapsedTimer t;
        t.start();
        w.hsb->setValue(next);
        const double ms = t.nsecsElapsed() / 1e6;
        QCoreApplication::processEvents();
        if (w.ui->Anzeige1->pixmap().isNull())
            qFatal("no preview shown");
        if (i > 0)
            windowMs.push_back(ms);
    }
    const QSize shown = w.ui->Anzeige1->pixmap().size();

    std::vector<double> inProcessMs;
    const QByteArray path = QFile::encodeName(a);
    for (int i = 0; i <= runs; ++i) {
        int32_t pw = -1;
        int32_t ph = -1;
        QElapsedTimer t;
        t.start();
        LoadScaledPicture(path, 210, 210, pw, ph, 0x00FFFFFF);
        if (i > 0)
            inProcessMs.push_back(t.nsecsElapsed() / 1e6);
    }

    const ProcessFigures process = timeProcess(runs, QStringLiteral(FOTARIK_EXE),
                                               {QStringLiteral("--thumbnail"), a, QStringLiteral("210x210")});
    const bool ok = process.ok;
    const double wm = median(windowMs);
    const double pm = process.ms;
    std::printf("preview of a 24-megapixel JPEG (%lld KiB, shown %d x %d), median of %d runs\n",
                QFile(a).size() / 1024, shown.width(), shown.height(), runs);
    std::printf("  %-44s %9.1f ms\n", "window: hsb->setValue(i) to return", wm);
    std::printf("  %-44s %9.1f ms\n", "fotarik --thumbnail F 210x210 (process)", pm);
    std::printf("  %-44s %9.1f ms\n", "LoadScaledPicture 210x210 in process", median(inProcessMs));
    std::printf("  %-44s %+9.1f ms%s\n", "window - thumbnail process", wm - pm,
                ok ? "" : "  (a process failed)");
}

} // namespace

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    bench::offscreenUnlessChosen();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fotarik"));
    registerFontSubstitutions();
    int count = 1000;
    int runs = 7;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--count"))
            count = std::max(2, args[++i].toInt());
        else if (args[i] == QLatin1String("--runs"))
            runs = std::max(1, args[++i].toInt());
    }

    RecordingBackend media;
    CapturingMessageSeam messages;
    {
        QTemporaryDir small;
        slideshowPass(small.path(), count);
    }
    {
        QTemporaryDir big;
        bigPreview(big.path(), runs);
    }
    if (!messages.messages.empty())
        std::printf("unexpected message: %s\n", qPrintable(messages.messages.front().text));
    return 0;
}
