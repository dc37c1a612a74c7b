// The real windows on a real X server (Xvfb with a window manager, the xcb platform):
// after every step the screen must show what the window holds. The screen is read back
// from the X server (QScreen::grabWindow of the window's area) and compared with the
// window's own rendering (QWidget::grab). The offscreen platform cannot show a stale
// screen, so these run through run-on-x.sh.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>
#include <QWindow>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "dirlistbox.h"
#include "fonts.h"
#include "form1.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "slowdrive.h"
#include "suche.h"
#include "testfiles.h"
#include "uebersicht.h"
#include "ui_form1.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;

namespace {

QImage rgb(const QImage& image)
{
    return image.convertToFormat(QImage::Format_RGB32);
}

// What the X server shows in the widget's area.
QImage onScreen(QWidget* w)
{
    const QPoint at = w->mapToGlobal(QPoint(0, 0));
    QScreen* screen = w->screen();
    const QPoint origin = screen->geometry().topLeft();
    return rgb(
        screen->grabWindow(0, at.x() - origin.x(), at.y() - origin.y(), w->width(), w->height()).toImage());
}

// What the widget holds: its own rendering of its current state.
QImage inState(QWidget* w)
{
    return rgb(w->grab().toImage());
}

qsizetype differingPixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return qsizetype(a.width()) * a.height() + 1;
    qsizetype n = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* pa = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* pb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            n += (pa[x] & 0xFFFFFF) != (pb[x] & 0xFFFFFF);
    }
    return n;
}

// True when, within a short settling time in which the program is idle, the screen
// comes to equal the window's state. A stale screen never does: the program is idle and
// nothing repaints it. On failure both pictures are kept for a look.
bool screenShowsState(QWidget* w, const char* step)
{
    QElapsedTimer clock;
    clock.start();
    qsizetype diff = 0;
    QImage screen, state;
    do {
        QTest::qWait(30);
        state = inState(w);
        screen = onScreen(w);
        diff = differingPixels(screen, state);
        if (diff == 0)
            return true;
    } while (clock.elapsed() < budget::ms(budget::TestWait));
    const QString base =
        QDir::temp().filePath(QStringLiteral("fotarik-onscreen-%1").arg(QString::fromLatin1(step)));
    screen.save(base + QStringLiteral("-screen.png"));
    state.save(base + QStringLiteral("-state.png"));
    qWarning(
        "%s: the screen differs from the window's state in %lld of %lld pixels (%s-screen.png / -state.png)",
        step, static_cast<long long>(diff), static_cast<long long>(screen.width()) * screen.height(),
        qPrintable(base));
    return false;
}

void makePicture(const QString& path, QColor colour)
{
    QDir().mkpath(QFileInfo(path).path());
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(colour);
    QVERIFY(image.save(path));
}

// The window manager answers a map or a resize in its own time: waits until the window's
// size has stayed the same for a few looks.
void waitForSizeToSettle(QWidget* w)
{
    QSize last;
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(50);
        if (w->size() == last && i >= 4)
            break;
        last = w->size();
    }
}

void waitForWindow(QWidget* w)
{
    QVERIFY(QTest::qWaitForWindowExposed(w));
    // The window manager maximises what it maps.
    waitForSizeToSettle(w);
}

// Holiday photos for the default pattern (*.JPG ...): a sky, a sun and hills each.
void writePhotos(const QTemporaryDir& folder, int count)
{
    for (int i = 0; i < count; ++i) {
        QImage photo(640, 480, QImage::Format_RGB32);
        QPainter painter(&photo);
        QLinearGradient sky(0, 0, 0, 480);
        sky.setColorAt(0, QColor::fromHsv(200 + i * 8, 160, 240));
        sky.setColorAt(1, QColor::fromHsv(30 + i * 10, 90, 255));
        painter.fillRect(photo.rect(), sky);
        painter.setBrush(QColor(255, 220, 80));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(120 + i * 70, 130), 50, 50);
        painter.setBrush(QColor::fromHsv(100 + i * 6, 180, 140));
        painter.drawEllipse(QRect(-200, 330, 700, 400));
        painter.setBrush(QColor::fromHsv(110 + i * 6, 200, 100));
        painter.drawEllipse(QRect(250, 360, 700, 400));
        painter.end();
        QVERIFY(photo.save(folder.filePath(QStringLiteral("Urlaub %1.jpg").arg(i + 1)), "JPEG", 90));
    }
}

// True when a whole edge of the picture is black: a part of the screen outside the window.
bool hasBlackEdge(const QImage& image)
{
    const auto black = [&](int x0, int y0, int dx, int dy, int n) {
        for (int i = 0; i < n; ++i)
            if ((image.pixel(x0 + i * dx, y0 + i * dy) & 0xFFFFFF) != 0)
                return false;
        return true;
    };
    const int w = image.width();
    const int h = image.height();
    return black(0, 0, 1, 0, w) || black(0, h - 1, 1, 0, w) || black(0, 0, 0, 1, h) ||
           black(w - 1, 0, 0, 1, h);
}

} // namespace

class TstOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void searchesLeaveTheScreenTrue();
    void cancelledSearch();
    void pressOnAHit();
    void slideshowStep();
    void fullScreenOpenedSteppedClosed();
    void resizedAndMaximised();
    void coveredWhileSearchingAndShowing();
    void folderLineAdvancesOnScreen();
    void theTaskBarKnowsTheProgramByClassAndIcon();
    void screenshotOfTheSearchWindow();
    void overviewScrolledShowsItsCells();
    void overviewDestroyedFromOutsideOpensAgain();

private:
    static constexpr int Folders = 3000;
    std::unique_ptr<RecordingBackend> m_media;
    QTemporaryDir m_tree; // a tree whose walk takes a noticeable time
    QTemporaryDir m_pics; // a few real pictures
    std::unique_ptr<Suche> openOn(const QString& folder);
};

void TstOnScreen::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs the xcb platform on an X server (run through run-on-x.sh)");
    m_media = std::make_unique<RecordingBackend>();
    QApplication::setCursorFlashTime(0); // no blinking text cursor between two looks
    // 3 000 folders, each with one hit and one other file: the walk takes its time in
    // the folders, where the window serves its events.
    QVERIFY(m_tree.isValid());
    for (int d = 0; d < Folders; ++d) {
        const QString folder = m_tree.filePath(QStringLiteral("a%1/b%2").arg(d / 50).arg(d));
        QDir().mkpath(folder);
        test::writeFile(folder + QStringLiteral("/datei.dat"));
        test::writeFile(folder + QStringLiteral("/bild%1.jpg").arg(d));
    }
    for (int i = 0; i < 4; ++i)
        makePicture(m_pics.filePath(QStringLiteral("p%1.png").arg(i)), QColor::fromHsv(i * 80, 200, 220));
    test::writeFile(m_pics.filePath(QStringLiteral("text.txt")), "Ein Text\nzweite Zeile\n");
}

std::unique_ptr<Suche> TstOnScreen::openOn(const QString& folder)
{
    auto w = std::make_unique<Suche>(folder);
    w->show();
    waitForWindow(w.get());
    return w;
}

void TstOnScreen::searchesLeaveTheScreenTrue()
{
    auto w = openOn(m_tree.path());
    QVERIFY(screenShowsState(w.get(), "opened"));
    test::SlowDrive disk(600);
    for (int run = 1; run <= 3; ++run) {
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
        const qint64 took = clock.elapsed();
        qInfo("search %d took %lld ms", run, static_cast<long long>(took));
        if (run == 1 && took < 300)
            qWarning("the walk took less than the 0.3 s it should take to show the fault");
        QCOMPARE(GetListCount(w->ui->lstFoundFiles), Folders);
        QVERIFY(w->ui->cmdSearch->isEnabled());
        const QByteArray step = "search" + QByteArray::number(run);
        QVERIFY(screenShowsState(w.get(), step.constData()));
    }
}

void TstOnScreen::cancelledSearch()
{
    auto w = openOn(m_tree.path());
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        if (w->isSearching() && GetListCount(w->ui->lstFoundFiles) >= 300)
            QTest::mouseClick(w->ui->cmdAbbruch, Qt::LeftButton);
    });
    probe.start(0);
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    probe.stop();
    QCOMPARE(w->SearchCancelled, 1);
    QVERIFY(GetListCount(w->ui->lstFoundFiles) < Folders);
    QVERIFY(screenShowsState(w.get(), "cancelled"));
}

void TstOnScreen::pressOnAHit()
{
    auto w = openOn(m_tree.path());
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QVERIFY(screenShowsState(w.get(), "before-press"));
    ListBox* list = w->ui->lstFoundFiles;
    const QRect row = list->visualRect(list->model()->index(2, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QCOMPARE(w->ui->Label2->text(), QStringLiteral("3"));
    QVERIFY(screenShowsState(w.get(), "press"));
}

void TstOnScreen::slideshowStep()
{
    auto w = openOn(m_pics.path());
    w->ui->txtSearchSpec->setText(QStringLiteral("*.PNG"));
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(w->ui->lstFoundFiles), 4);
    QTest::mouseClick(w->ui->cmdDiaShow, Qt::LeftButton);
    w->ui->HScroll2->setValue(200); // 20 s a picture: only Next moves on
    bool firstShown = false, stepShown = false;
    QString stepNumber;
    QTimer::singleShot(300, this, [&] {
        firstShown = screenShowsState(w.get(), "slideshow-start");
        QTest::mouseClick(w->ui->Command3, Qt::LeftButton); // Next
        QTimer::singleShot(100, this, [&] {
            stepNumber = w->ui->Label2->text();
            stepShown = screenShowsState(w.get(), "slideshow-step");
            QTest::mouseClick(w->ui->Command4, Qt::LeftButton); // Stop
            w->ui->HScroll2->setValue(1); // Stop ends the show after this wait: make it short
        });
    });
    QTest::mouseClick(w->ui->Command1, Qt::LeftButton); // runs until Stop
    QVERIFY(firstShown);
    QCOMPARE(stepNumber, QStringLiteral("2"));
    QVERIFY(stepShown);
    QVERIFY(screenShowsState(w.get(), "slideshow-stopped"));
}

void TstOnScreen::fullScreenOpenedSteppedClosed()
{
    auto w = openOn(m_pics.path());
    w->ui->txtSearchSpec->setText(QStringLiteral("*.PNG"));
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    ListBox* list = w->ui->lstFoundFiles;
    const QRect row = list->visualRect(list->model()->index(0, 0));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
    Form1* form = w->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QTRY_VERIFY(!w->isVisible());
    QVERIFY(screenShowsState(form, "fullscreen-open"));
    const QString before = form->ui->Label1->text();
    QTest::keyClick(form, Qt::Key_Right);
    QVERIFY(form->ui->Label1->text() != before);
    QVERIFY(screenShowsState(form, "fullscreen-step"));
    QTest::keyClick(form, Qt::Key_Escape);
    QTRY_VERIFY(w->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QVERIFY(screenShowsState(w.get(), "fullscreen-closed"));
}

void TstOnScreen::resizedAndMaximised()
{
    auto w = openOn(m_tree.path());
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    w->showNormal();
    w->resize(900, 700);
    waitForSizeToSettle(w.get());
    QVERIFY(screenShowsState(w.get(), "resized"));
    w->showMaximized();
    waitForSizeToSettle(w.get());
    QVERIFY(screenShowsState(w.get(), "maximised"));
    // The bottom panel is docked along the bottom edge of the maximised window.
    QCOMPARE(w->ui->PictureUnten->geometry().bottom(), w->height() - 1);
    QCOMPARE(w->ui->PictureUnten->width(), w->width());
    // Resized while a walk runs: right as soon as the walk is over.
    bool resized = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        if (!resized && w->isSearching()) {
            resized = true;
            w->showNormal();
            w->resize(1000, 760);
        }
    });
    probe.start(0);
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    probe.stop();
    QVERIFY(resized);
    QVERIFY(screenShowsState(w.get(), "resized-during-walk"));
}

void TstOnScreen::coveredWhileSearchingAndShowing()
{
    auto w = openOn(m_tree.path());
    // Another window covers the search window while it searches...
    auto cover = std::make_unique<QWidget>();
    cover->setWindowTitle(QStringLiteral("Decke"));
    cover->show();
    waitForWindow(cover.get());
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    cover.reset();
    QVERIFY(screenShowsState(w.get(), "uncovered-after-search"));
    // ... and while its slideshow steps.
    w->ui->txtSearchSpec->setText(QStringLiteral("*.PNG"));
    w->ui->dirList->setPathBytes(QFile::encodeName(m_pics.path()));
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QTest::mouseClick(w->ui->cmdDiaShow, Qt::LeftButton);
    w->ui->HScroll2->setValue(200);
    bool shown = false;
    QTimer::singleShot(200, this, [&] {
        cover = std::make_unique<QWidget>();
        cover->show();
        QVERIFY(QTest::qWaitForWindowExposed(cover.get()));
        QTest::mouseClick(w->ui->Command3, Qt::LeftButton); // Next, unseen
        QTest::qWait(100);
        cover.reset();
        shown = screenShowsState(w.get(), "uncovered-during-slideshow");
        QTest::mouseClick(w->ui->Command4, Qt::LeftButton); // Stop
        w->ui->HScroll2->setValue(1); // Stop ends the show after this wait: make it short
    });
    QTest::mouseClick(w->ui->Command1, Qt::LeftButton);
    QVERIFY(shown);
}

void TstOnScreen::folderLineAdvancesOnScreen()
{
    auto w = openOn(m_tree.path());
    // Every folder takes 3 ms more to arrive, on up to four readers at once: the walk
    // lasts a few seconds.
    auto disk = std::make_unique<test::SlowDrive>(3000);
    // Looks at the folder line on the screen every 100 ms.
    QList<QImage> seen;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    connect(&look, &QTimer::timeout, this, [&] {
        if (!w->isSearching())
            return;
        const QImage shot = onScreen(w->ui->Label1);
        if (seen.isEmpty() || differingPixels(seen.last(), shot) > 0)
            seen << shot;
    });
    look.start(100);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    const qint64 took = clock.elapsed();
    disk.reset();
    look.stop();
    qInfo("walk took %lld ms; the folder line showed %lld different pictures", static_cast<long long>(took),
          static_cast<long long>(seen.size()));
    QVERIFY2(took >= 1500, "the walk should last a few seconds");
    // At least two changes seen, and in fact far more at screen pace: one every 100 ms
    // at most, with some slack for a busy machine.
    QVERIFY(seen.size() >= 3);
    QVERIFY2(seen.size() >= took / 100 / 3, "the folder line should advance at screen pace");
}

namespace {

QString runTool(const QString& program, const QStringList& arguments)
{
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForFinished(budget::ms(budget::TestWait)) || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

// The installed program as a task bar sees it: its window's class is the one the desktop
// entry names (StartupWMClass), and the window carries the program's icon (_NET_WM_ICON).
void TstOnScreen::theTaskBarKnowsTheProgramByClassAndIcon()
{
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    const QString xprop = QStandardPaths::findExecutable(QStringLiteral("xprop"));
    if (xdotool.isEmpty() || xprop.isEmpty())
        QSKIP("xdotool or xprop is not installed (scripts/install-deps.sh --test installs them)");
    QFile entry(QStringLiteral(FOTARIK_SOURCE_DIR "/data/org.fotarik.fotarik.desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QString desktop = QString::fromUtf8(entry.readAll());
    const QRegularExpressionMatch wmClass =
        QRegularExpression(QStringLiteral("^StartupWMClass=(.*)$"), QRegularExpression::MultilineOption)
            .match(desktop);
    QVERIFY(wmClass.hasMatch());

    QTemporaryDir folder;
    QProcess program;
    program.start(QStringLiteral(FOTARIK_EXE), {folder.path()});
    QVERIFY(program.waitForStarted());
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(window =
              runTool(xdotool, {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                QStringLiteral("--class"), QStringLiteral("^%1$").arg(wmClass.captured(1))})
                  .section(u'\n', 0, 0))
             .isEmpty(),
        budget::ms(budget::TestWait));
    const QString classes = runTool(xprop, {QStringLiteral("-id"), window, QStringLiteral("WM_CLASS")});
    QCOMPARE(classes.trimmed(),
             QStringLiteral("WM_CLASS(STRING) = \"fotarik\", \"%1\"").arg(wmClass.captured(1)));
    const QString icon = runTool(xprop, {QStringLiteral("-id"), window, QStringLiteral("_NET_WM_ICON")});
    for (const int size : {16, 32, 48})
        QVERIFY2(icon.contains(QStringLiteral("Icon (%1 x %1):").arg(size)), qPrintable(icon.left(200)));

    program.terminate();
    QVERIFY(program.waitForFinished(budget::ms(budget::TestWait)));
}

// The picture for software centres: the search window after a search over six photos, as
// the X server shows it, the window and nothing around it. With FOTARIK_SCREENSHOT=FILE it
// is saved there; the window must then have its own size, which the window manager of
// run-on-x.sh leaves it only when told (FOTARIK_X_DIALOGS="The Fotarik", see
// data/screenshots/README.md).
void TstOnScreen::screenshotOfTheSearchWindow()
{
    QTemporaryDir photos(QDir::temp().filePath(QStringLiteral("Fotos-XXXXXX")));
    writePhotos(photos, 6);
    registerFontSubstitutions(); // the fonts the program itself uses
    auto w = std::make_unique<Suche>(photos.path());
    const QSize own = w->size();
    w->show();
    waitForWindow(w.get());
    const QByteArray screenshot = qgetenv("FOTARIK_SCREENSHOT");
    if (!screenshot.isEmpty())
        QVERIFY2(w->size() == own,
                 "the window manager resized the window: set FOTARIK_X_DIALOGS=\"The Fotarik\"");
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(w->ui->lstFoundFiles), 6);
    // The run previews the first hit.
    QTRY_VERIFY_WITH_TIMEOUT(w->ui->Anzeige1->isVisible() && !w->ui->Anzeige1->pixmap().isNull(),
                             budget::ms(budget::TestWait));
    QVERIFY(screenShowsState(w.get(), "screenshot"));
    const QImage shot = onScreen(w.get());
    QCOMPARE(shot.size(), w->size());
    QVERIFY(!hasBlackEdge(shot));
    if (!screenshot.isEmpty())
        QVERIFY(shot.save(QFile::decodeName(screenshot)));
}

namespace {

// The real pictures of the test corpus when it is there, else a few hundred made here.
QString overviewPictures(QTemporaryDir& made)
{
    const QString corpus = QStringLiteral(FOTARIK_CORPUS_DIR "/images");
    if (QDir(corpus).exists())
        return corpus;
    for (int i = 0; i < 300; ++i)
        makePicture(made.filePath(QStringLiteral("d%1/p%2.png").arg(i / 50).arg(i)),
                    QColor::fromHsv(i, 200, 220));
    return made.path();
}

// F3 in the search window, as a user presses it.
Uebersicht* pressF3(Suche* w)
{
    w->activateWindow();
    // The search window itself, not only a window over it (the overview is one of its own).
    if (!QTest::qWaitFor([&] { return QApplication::activeWindow() == w; }))
        return nullptr;
    QTest::keyClick(w->ui->lstFoundFiles, Qt::Key_F3);
    Uebersicht* overview = w->overviewWindow();
    if (!overview || !QTest::qWaitForWindowExposed(overview))
        return nullptr;
    waitForSizeToSettle(overview);
    return overview;
}

// Every cell on screen made (or failed): nothing left to change the picture.
bool cellsSettle(Uebersicht* overview)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < budget::ms(budget::TestWait)) {
        QTest::qWait(50);
        if (overview->outstandingThumbnails() == 0)
            return true;
    }
    return false;
}

} // namespace

// The overview over real pictures, scrolled by its scroll bar, by keys and by the wheel:
// after every step the screen shows the cells the window holds.
void TstOnScreen::overviewScrolledShowsItsCells()
{
    // The subject is what the screen shows, not how the thumbnails share the machine: below
    // the window's priority, beside programs at that priority on both cores (a busy run of
    // the tests), the corpus's heaviest pictures would take minutes.
    imaging::setBackgroundNiceStepsForTests(0);
    const auto restore = qScopeGuard([] { imaging::setBackgroundNiceStepsForTests(-1); });
    QTemporaryDir made;
    auto w = openOn(overviewPictures(made));
    w->ui->txtSearchSpec->setText(QStringLiteral("*.*"));
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QVERIFY(GetListCount(w->ui->lstFoundFiles) >= 100);
    Uebersicht* overview = pressF3(w.get());
    QVERIFY(overview);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-opened"));
    QListView* grid = overview->grid();
    QScrollBar* bar = grid->verticalScrollBar();
    QVERIFY(bar->maximum() > grid->viewport()->height());
    // The first cell on screen: each step must show other cells than the one before.
    const auto firstShown = [&] { return grid->indexAt(QPoint(8, 8)).row(); };
    int before = firstShown();
    bar->setValue(bar->maximum() / 2);
    QVERIFY(firstShown() != before);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-scrolled-bar"));
    before = firstShown();
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_PageDown);
    QTRY_VERIFY(firstShown() != before);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-scrolled-key"));
    before = firstShown();
    const QPoint at = grid->viewport()->rect().center();
    for (int i = 0; i < 3; ++i) {
        QWheelEvent wheel(at, grid->viewport()->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid->viewport(), &wheel);
    }
    QTRY_VERIFY(firstShown() != before);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-scrolled-wheel"));
    // Larger cells: the whole grid laid out again.
    overview->setCellPixels(256);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-zoomed"));
    const QByteArray screenshot = qgetenv("FOTARIK_OVERVIEW_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        // The window over the picture tree at two cell sizes, as the X server shows it.
        bar->setValue(0);
        for (const int pixels : {160, 256}) {
            overview->setCellPixels(pixels);
            QVERIFY(cellsSettle(overview));
            QVERIFY(screenShowsState(overview, "overview-screenshot"));
            QVERIFY(onScreen(overview).save(QFile::decodeName(screenshot).arg(pixels)));
        }
    }
}

// The overview's window destroyed from outside (xdotool windowclose, a window manager that
// drops it): F3 gives a working window on the screen again, as does the found list's menu.
void TstOnScreen::overviewDestroyedFromOutsideOpensAgain()
{
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (xdotool.isEmpty())
        QSKIP("xdotool is not installed (scripts/install-deps.sh --test installs it)");
    auto w = openOn(m_pics.path());
    w->ui->txtSearchSpec->setText(QStringLiteral("*.*"));
    QTest::mouseClick(w->ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(w->ui->lstFoundFiles), 5);
    QPointer<Uebersicht> overview = pressF3(w.get());
    QVERIFY(overview);
    QVERIFY(cellsSettle(overview));
    QVERIFY(screenShowsState(overview, "overview-before-destroy"));
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(
            QProcess::execute(xdotool, {QStringLiteral("windowclose"), QString::number(overview->winId())}),
            0);
        QTRY_VERIFY(!overview->windowHandle()->isExposed());
        Uebersicht* again = pressF3(w.get());
        QVERIFY(again);
        QVERIFY(again->isVisible());
        QCOMPARE(again->windowTitle(), QStringLiteral("Übersicht – 5 Dateien"));
        QCOMPARE(again->grid()->model()->rowCount(), 5);
        QVERIFY(cellsSettle(again));
        QVERIFY(screenShowsState(again, round == 0 ? "overview-reopened" : "overview-reopened-twice"));
        // The lost one is gone with everything it had; the new one works: a click previews.
        QTRY_VERIFY(!overview);
        const QRect cell = again->grid()->visualRect(again->grid()->model()->index(2, 0));
        QTest::mouseClick(again->grid()->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(w->hsb->Value(), 2);
        overview = again;
    }
    // A window that is merely there is brought forward, not replaced.
    QCOMPARE(pressF3(w.get()), overview.data());
}

FOTARIK_TEST_MAIN(TstOnScreen)
#include "tst_onscreen.moc"
