// The overview window driven as a user does: opened by F3 or the found list's menu, it
// shows every hit as a thumbnail, follows the found list live, hands clicks and double
// clicks to the search window, moves by keys, zooms, and keeps its work to the cells on
// screen, on worker threads that end with the window.

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QScrollBar>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "form1.h"
#include "globals.h"
#include "hostileinputs.h"
#include "listbox.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "slowdrive.h"
#include "suche.h"
#include "testfiles.h"
#include "textview.h"
#include "thumbnailcache.h"
#include "uebersicht.h"
#include "ui_form1.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;
using fotarik::overview::CellState;
using fotarik::test::writeFile;
using fotarik::test::writePicture;

namespace {

const int Wait = budget::ms(budget::TestWait);

// The decoder workers alive whose nice value is nice.
int decodeWorkersAtNice(int nice)
{
    int count = 0;
    for (const pid_t pid : imaging::decodeWorkers()) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // After the command name: the state is field 3, nice field 19.
        const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
        if (fields.value(19 - 3).toInt() == nice)
            ++count;
    }
    return count;
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

} // namespace

class TstOverview : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void f3OpensTheOverviewOfTheFoundList();
    void foundListMenuOpensTheOverview();
    void cellsShowPicturesTextsAndSymbols();
    void clickPreviewsTheEntryInTheSearchWindow();
    void doubleClickAndEnterOpenPicturesAndTextsOnly();
    void keysMoveTheSelection();
    void selectionFollowsTheSearchWindow();
    void opensOnAnEntryFarDownALongList();
    void scrollPositionAndSelectionHoldWhileHitsArrive();
    void ctrlWheelAndPlusMinusZoomWithinTheirRange();
    void columnsFillTheWidthAtEverySize();
    void menuOnACellOffersTheFileActions();
    void growsWhileTheSearchRuns();
    void aNewSearchShowsTheNewHits();
    void hostilePicturesCostOnlyTheirCell();
    void onlyCellsOnScreenAreMadeAndTheCacheStaysBounded();
    void closingInTheMiddleOfTheWorkLeavesNoThread();
    void closingWhileADriveHangsDoesNotWaitForIt();
    void cellsNoLongerWantedStopTheirDecoders();
    void everyCellAskedForIsMadeWhateverTheCancelling();
    void aNewSearchWhileACellIsBeingMadeShowsItsThumbnail();
    void misbehavingDecodersCostOnlyTheirCells();
    void jpegsShowTheirExifThumbnailWhenItIsBigEnough();
    void cellsComeFromTheThumbnailCacheOfOtherPrograms();
    void thumbnailsAreMadeBelowTheWindowsPriority();

private:
    void makeFiles(const QStringList& names);
    // count pictures bild00.png, bild01.png, ... found by a search for *.png.
    void searchPictures(int count);
    void search(const QString& pattern = QStringLiteral("*.*"));
    Uebersicht* pressF3();
    int32_t indexOf(const QString& name) const;
    QPoint cellCentre(int32_t row) const;
    void clickCell(int32_t row);

    std::unique_ptr<test::TemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
    std::unique_ptr<Suche> m_window;
};

void TstOverview::init()
{
    test::resetProgramFlags();
    m_dir = std::make_unique<test::TemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
    m_window = std::make_unique<Suche>(m_dir->path());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TstOverview::cleanup()
{
    m_window.reset();
    imaging::setDecodeWorkerMisbehaviour({});
    m_messages.reset();
    m_media.reset();
    // The threads end on their own once the window is gone, within a look or two each.
    QTRY_COMPARE_WITH_TIMEOUT(overview::Thumbnailer::liveWorkers(), 0, Wait);
    m_dir.reset();
}

void TstOverview::makeFiles(const QStringList& names)
{
    for (const QString& name : names) {
        const QString path = m_dir->filePath(name);
        if (name.endsWith(QLatin1String(".jpg")) || name.endsWith(QLatin1String(".png")))
            writePicture(path, 320, 240, name.startsWith(u'r') ? Qt::red : Qt::blue);
        else if (name.endsWith(QLatin1String(".txt")))
            writeFile(path, "Erste Zeile\nZweite Zeile\r\nDritte Zeile\n");
        else
            writeFile(path, "x");
    }
}

void TstOverview::searchPictures(int count)
{
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << QStringLiteral("bild%1.png").arg(i, 2, 10, QLatin1Char('0'));
    makeFiles(names);
    search(QStringLiteral("*.png"));
}

void TstOverview::search(const QString& pattern)
{
    m_window->ui->txtSearchSpec->setText(pattern);
    QTest::mouseClick(m_window->ui->cmdSearch, Qt::LeftButton);
    m_window->ui->lstFoundFiles->flushPendingRows();
}

Uebersicht* TstOverview::pressF3()
{
    m_window->activateWindow();
    // The search window itself, not only a window over it (the overview is one of its own).
    if (!QTest::qWaitFor([&] { return QApplication::activeWindow() == m_window.get(); }))
        return nullptr;
    QTest::keyClick(m_window->ui->lstFoundFiles, Qt::Key_F3);
    Uebersicht* overview = m_window->overviewWindow();
    if (overview && !QTest::qWaitForWindowExposed(overview))
        return nullptr;
    return overview;
}

int32_t TstOverview::indexOf(const QString& name) const
{
    for (int32_t i = 0; i < GetListCount(m_window->ui->lstFoundFiles); ++i)
        if (GetListItem(m_window->ui->lstFoundFiles, i).endsWith('/' + QFile::encodeName(name)))
            return i;
    return -1;
}

QPoint TstOverview::cellCentre(int32_t row) const
{
    QListView* grid = m_window->overviewWindow()->grid();
    const QModelIndex index = grid->model()->index(row, 0);
    grid->scrollTo(index);
    return grid->visualRect(index).center();
}

void TstOverview::clickCell(int32_t row)
{
    QListView* grid = m_window->overviewWindow()->grid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(row));
}

void TstOverview::f3OpensTheOverviewOfTheFoundList()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt", "ton.wav"});
    search();
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 4);
    QVERIFY(!m_window->overviewWindow());
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QVERIFY(overview->isVisible());
    QVERIFY(overview->isWindow());
    QCOMPARE(overview->objectName(), QStringLiteral("Uebersicht"));
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 4 Dateien"));
    QVERIFY(!overview->windowIcon().isNull());
    QCOMPARE(overview->windowIcon().cacheKey(), m_window->windowIcon().cacheKey());
    QListView* grid = overview->findChild<QListView*>(QStringLiteral("lvwMiniaturen"));
    QCOMPARE(grid, overview->grid());
    // The grid reads the found list's own entries, in list order, its text the path.
    QCOMPARE(grid->model(), static_cast<QAbstractItemModel*>(m_window->ui->lstFoundFiles->listModel()));
    for (int32_t i = 0; i < 4; ++i)
        QCOMPARE(grid->model()->index(i, 0).data().toString(),
                 QString::fromUtf8(GetListItem(m_window->ui->lstFoundFiles, i)));
    // 160-pixel cells in rows: the second cell is right of the first, as wide as it.
    QCOMPARE(overview->cellPixels(), 160);
    const QRect first = grid->visualRect(grid->model()->index(0, 0));
    const QRect second = grid->visualRect(grid->model()->index(1, 0));
    QVERIFY(first.width() >= 160);
    QCOMPARE(second.top(), first.top());
    QVERIFY(second.left() >= first.right());
    // F3 again brings the same window forward, also out of the task bar; closing it leaves
    // the search window as it was.
    QCOMPARE(pressF3(), overview);
    overview->showMinimized();
    QVERIFY(overview->isMinimized());
    QVERIFY(!overview->lostFromScreen());
    QCOMPARE(pressF3(), overview);
    QVERIFY(!overview->isMinimized());
    QVERIFY(overview->isVisible());
    const QString label = m_window->ui->Label1->text();
    overview->close();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->overviewWindow(), Wait);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->ui->Label1->text(), label);
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 4);
    QVERIFY(m_messages->messages.empty());
}

void TstOverview::foundListMenuOpensTheOverview()
{
    makeFiles({"rot.jpg", "blau.png"});
    search();
    ListBox* list = m_window->ui->lstFoundFiles;
    const QPoint at = list->visualRect(list->model()->index(1, 0)).center();
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, at);
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &request);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QAction* entry = menu->actions().last();
    QCOMPARE(entry->text(), QStringLiteral("Übersicht"));
    entry->trigger();
    menu->close();
    QVERIFY(m_window->overviewWindow());
    QTRY_VERIFY_WITH_TIMEOUT(m_window->overviewWindow()->isVisible(), Wait);
    QCOMPARE(m_window->overviewWindow()->windowTitle(), QStringLiteral("Übersicht – 2 Dateien"));
}

void TstOverview::cellsShowPicturesTextsAndSymbols()
{
    makeFiles({"rot.jpg", "brief.txt", "ton.wav", "film.avi", "notiz.doc"});
    writeFile(m_dir->filePath(QStringLiteral("kaputt.png")), "kein Bild");
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    const int32_t picture = indexOf(QStringLiteral("rot.jpg"));
    const int32_t text = indexOf(QStringLiteral("brief.txt"));
    const int32_t broken = indexOf(QStringLiteral("kaputt.png"));
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(picture), CellState::Picture, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(text), CellState::Text, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(broken), CellState::Failed, Wait);
    for (const char* name : {"ton.wav", "film.avi", "notiz.doc"})
        QCOMPARE(overview->cellState(indexOf(QString::fromLatin1(name))), CellState::Symbol);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    // The red picture is painted in the middle of its cell, with its name below it.
    QListView* grid = overview->grid();
    const QRect cell = grid->visualRect(grid->model()->index(picture, 0));
    const QImage shot = grid->viewport()->grab().toImage();
    const QColor middle = shot.pixelColor(cell.left() + cell.width() / 2, cell.top() + 4 + 80);
    QVERIFY2(middle.red() > 200 && middle.green() < 60 && middle.blue() < 60, qPrintable(middle.name()));
    const QColor belowPicture = shot.pixelColor(cell.left() + cell.width() / 2, cell.top() + 4 + 150);
    QVERIFY2(belowPicture.red() < 200 || belowPicture.green() > 60, qPrintable(belowPicture.name()));
}

void TstOverview::clickPreviewsTheEntryInTheSearchWindow()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt"});
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    const int32_t picture = indexOf(QStringLiteral("blau.png"));
    clickCell(picture);
    QCOMPARE(m_window->hsb->Value(), picture);
    QCOMPARE(GetListIndex(m_window->ui->lstFoundFiles), picture);
    QCOMPARE(m_window->ui->Label1->text(), m_dir->filePath(QStringLiteral("blau.png")));
    QCOMPARE(m_window->ui->Label2->text(), QString::number(picture + 1));
    QVERIFY(m_window->ui->Anzeige1->isVisible());
    QCOMPARE(overview->grid()->currentIndex().row(), picture);
    const int32_t text = indexOf(QStringLiteral("brief.txt"));
    clickCell(text);
    QCOMPARE(m_window->hsb->Value(), text);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->ui->TextBox1->isVisible(), Wait);
    QVERIFY(m_window->ui->TextBox1->toPlainText().startsWith(QStringLiteral("Erste Zeile")));
    // A click beside the cells changes nothing.
    QListView* grid = overview->grid();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      QPoint(grid->viewport()->width() - 2, grid->viewport()->height() - 2));
    QCOMPARE(m_window->hsb->Value(), text);
    QVERIFY(overview->isVisible());
}

void TstOverview::doubleClickAndEnterOpenPicturesAndTextsOnly()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt", "ton.wav", "notiz.doc"});
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    for (const char* name : {"ton.wav", "notiz.doc"}) {
        const QPoint at = cellCentre(indexOf(QString::fromLatin1(name)));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(!m_window->fullScreenWindow());
        QVERIFY(m_window->isVisible());
    }
    const int32_t picture = indexOf(QStringLiteral("blau.png"));
    const QPoint at = cellCentre(picture);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
    Form1* form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QCOMPARE(form->hsb->Value(), picture);
    QCOMPARE(VollbildAktiv, int16_t(1));
    QVERIFY(!m_window->isVisible());
    QVERIFY(overview->isVisible());
    form->close();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), Wait);
    VollbildAktiv = 0;

    // Enter on a text opens the full-screen window with the text.
    const int32_t text = indexOf(QStringLiteral("brief.txt"));
    grid->setFocus();
    grid->setCurrentIndex(grid->model()->index(text, 0));
    QCOMPARE(m_window->hsb->Value(), text);
    QTest::keyClick(grid, Qt::Key_Return);
    form = m_window->fullScreenWindow();
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QVERIFY(form->ui->TextBox1->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(form->ui->TextBox1->toPlainText().startsWith(QStringLiteral("Erste Zeile")),
                             Wait);
    QVERIFY(m_messages->messages.empty());
}

void TstOverview::keysMoveTheSelection()
{
    searchPictures(40);
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 40);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    grid->setFocus();
    const auto row = [&] { return grid->currentIndex().row(); };
    QTest::keyClick(grid, Qt::Key_Home);
    QCOMPARE(row(), 0);
    QTest::keyClick(grid, Qt::Key_Right);
    QCOMPARE(row(), 1);
    QCOMPARE(m_window->hsb->Value(), 1);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("2"));
    // Down goes to the cell below: one row of cells further.
    int columns = 1;
    while (grid->visualRect(grid->model()->index(columns, 0)).top() ==
           grid->visualRect(grid->model()->index(0, 0)).top())
        ++columns;
    QVERIFY(columns > 1);
    QTest::keyClick(grid, Qt::Key_Down);
    QCOMPARE(row(), 1 + columns);
    QCOMPARE(m_window->hsb->Value(), 1 + columns);
    QTest::keyClick(grid, Qt::Key_Up);
    QCOMPARE(row(), 1);
    QTest::keyClick(grid, Qt::Key_End);
    QCOMPARE(row(), 39);
    QCOMPARE(m_window->hsb->Value(), 39);
    QVERIFY(grid->viewport()->rect().intersects(grid->visualRect(grid->currentIndex())));
    QTest::keyClick(grid, Qt::Key_PageUp);
    QVERIFY(row() < 39 - columns);
    const int32_t afterPageUp = row();
    QTest::keyClick(grid, Qt::Key_PageDown);
    QVERIFY(row() > afterPageUp);
    QCOMPARE(m_window->hsb->Value(), row());
    QTest::keyClick(grid, Qt::Key_Left);
    QCOMPARE(m_window->hsb->Value(), row());
}

void TstOverview::selectionFollowsTheSearchWindow()
{
    searchPictures(60);
    ListBox* list = m_window->ui->lstFoundFiles;
    QCOMPARE(GetListCount(list), 60);
    // Opened on the entry the search window shows: that cell is chosen and in view.
    m_window->hsb->setValue(45);
    QCOMPARE(GetListIndex(list), 45);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    const auto inView = [&](int32_t row) {
        return grid->viewport()->rect().intersects(grid->visualRect(grid->model()->index(row, 0)));
    };
    QCOMPARE(grid->currentIndex().row(), 45);
    QVERIFY(inView(45));
    QSignalSpy selected(overview, &Uebersicht::entrySelected);
    // hsb moved in the search window: the grid's selection goes along, into view, and
    // reports nothing back (the search window previews once, by itself).
    m_window->hsb->setValue(0);
    QCOMPARE(m_window->ui->Label2->text(), QStringLiteral("1"));
    QCOMPARE(grid->currentIndex().row(), 0);
    QVERIFY(grid->selectionModel()->isSelected(grid->model()->index(0, 0)));
    QVERIFY(inView(0));
    QVERIFY(!inView(59));
    m_window->hsb->setValue(59);
    QCOMPARE(grid->currentIndex().row(), 59);
    QVERIFY(inView(59));
    // The found list moved by key.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(GetListIndex(list), 58);
    QCOMPARE(grid->currentIndex().row(), 58);
    QCOMPARE(selected.count(), 0);
    QCOMPARE(m_window->hsb->Value(), 59); // the list's key moves no hsb, as before
    // And the other way still: a click in the grid moves hsb, once.
    clickCell(10);
    QCOMPARE(m_window->hsb->Value(), 10);
    QCOMPARE(GetListIndex(list), 10);
    QCOMPARE(selected.count(), 1);
    QCOMPARE(grid->currentIndex().row(), 10);
}

void TstOverview::opensOnAnEntryFarDownALongList()
{
    // More hits than one pass of the layout places: the grid still opens on the entry the
    // search window shows, and keeps following it while more hits come in. Sound files
    // draw a symbol, so no thumbnail work is involved.
    ListBox list;
    ListBoxModel* model = list.listModel();
    const auto add = [&](int32_t n) {
        const int32_t from = model->count();
        for (int32_t i = from; i < from + n; ++i)
            QVERIFY(model->insert(i, QByteArray("/nirgends/ton") + QByteArray::number(i) + ".wav"));
        model->publishPending();
    };
    const int32_t hits = 20 * Uebersicht::LayoutBatch;
    add(hits);
    const int32_t far = hits - 3;
    list.setCurrentIndex(model->index(far));
    std::unique_ptr<Uebersicht> overview = std::make_unique<Uebersicht>(&list);
    overview->setAttribute(Qt::WA_DeleteOnClose, false);
    overview->show();
    QVERIFY(QTest::qWaitForWindowExposed(overview.get()));
    QListView* grid = overview->grid();
    const auto inView = [&](int32_t row) {
        const QRect cell = grid->visualRect(grid->model()->index(row, 0));
        return cell.isValid() && grid->viewport()->rect().intersects(cell);
    };
    QCOMPARE(grid->currentIndex().row(), far);
    QVERIFY(grid->selectionModel()->isSelected(grid->model()->index(far, 0)));
    QTRY_VERIFY_WITH_TIMEOUT(inView(far), Wait);
    QVERIFY(!inView(0));

    // More hits make the grid lay itself out again from the top: the chosen cell stays in
    // view, and so does one chosen far down the new hits.
    add(hits);
    QTRY_VERIFY_WITH_TIMEOUT(inView(far), Wait);
    list.setCurrentIndex(model->index(2 * hits - 1));
    QCOMPARE(grid->currentIndex().row(), 2 * hits - 1);
    QTRY_VERIFY_WITH_TIMEOUT(inView(2 * hits - 1), Wait);

    // Once the user scrolls, the grid stays where they took it.
    grid->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    QVERIFY(inView(0));
    add(hits);
    // Until the layout has placed the last row.
    QTRY_VERIFY_WITH_TIMEOUT(grid->visualRect(grid->model()->index(3 * hits - 1, 0)).isValid(), Wait);
    QVERIFY(inView(0));
}

void TstOverview::scrollPositionAndSelectionHoldWhileHitsArrive()
{
    // A user scrolled down a growing list, a cell chosen: more hits make the grid lay itself
    // out again, and the same cells stay where they were, the chosen one still chosen. Sound
    // files draw a symbol, so no thumbnail work is involved.
    ListBox list;
    ListBoxModel* model = list.listModel();
    const auto add = [&](int32_t n) {
        const int32_t from = model->count();
        for (int32_t i = from; i < from + n; ++i)
            QVERIFY(model->insert(i, QByteArray("/nirgends/ton") + QByteArray::number(i) + ".wav"));
        model->publishPending();
    };
    std::unique_ptr<Uebersicht> overview = std::make_unique<Uebersicht>(&list);
    overview->setAttribute(Qt::WA_DeleteOnClose, false);
    overview->show();
    QVERIFY(QTest::qWaitForWindowExposed(overview.get()));
    QListView* grid = overview->grid();
    QScrollBar* bar = grid->verticalScrollBar();
    const auto placed = [&] {
        const int rows = grid->model()->rowCount();
        return rows > 0 && grid->visualRect(grid->model()->index(rows - 1, 0)).isValid();
    };
    const auto topRow = [&] { return grid->indexAt(QPoint(1, 1)).row(); };
    const auto topOf = [&](int32_t row) { return grid->visualRect(grid->model()->index(row, 0)).top(); };

    // Lists placed in one pass and lists placed a batch at a time.
    for (const int32_t first : {3000, 3 * Uebersicht::LayoutBatch}) {
        add(first - model->count());
        QTRY_VERIFY_WITH_TIMEOUT(placed(), Wait);
        // Scrolled most of the way down page by page on the scroll bar, a third of a cell off
        // a row's top.
        for (int page = 0; page < 100000 && bar->value() < bar->maximum() * 3 / 4; ++page)
            bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        const int32_t row = topRow();
        QVERIFY(bar->value() >= bar->maximum() * 3 / 4);
        QVERIFY(row > 0);
        bar->setValue(bar->value() + topOf(row) +
                      grid->visualRect(grid->model()->index(row, 0)).height() / 3);
        const int32_t top = topRow();
        QCOMPARE(top, row);
        const int at = topOf(top);
        QVERIFY(at < 0);
        // The cell chosen is one of a row wholly in view: a click on a cell only partly in
        // view scrolls it in, once the double-click interval is over, and on a slow machine
        // that falls among the hits coming in below.
        const int32_t chosen = grid->indexAt(grid->viewport()->rect().center()).row();
        QVERIFY(chosen > top);
        QVERIFY(grid->viewport()->rect().contains(grid->visualRect(grid->model()->index(chosen, 0))));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(grid->model()->index(chosen, 0)).center());
        QCOMPARE(grid->currentIndex().row(), chosen);
        QTest::qWait(QApplication::doubleClickInterval() + 200);
        QCOMPARE(topOf(top), at);

        // Hits come in while the search runs: in one chunk, and in chunks faster than the
        // layout of the last one is through.
        add(500);
        QTRY_VERIFY_WITH_TIMEOUT(placed(), Wait);
        QCOMPARE(topRow(), top);
        QCOMPARE(topOf(top), at);
        for (int chunk = 0; chunk < 5; ++chunk) {
            add(Uebersicht::LayoutBatch / 3);
            QCoreApplication::processEvents();
            QCOMPARE(topRow(), top);
        }
        QTRY_VERIFY_WITH_TIMEOUT(placed(), Wait);
        QCOMPARE(topRow(), top);
        QCOMPARE(topOf(top), at);
        QCOMPARE(grid->currentIndex().row(), chosen);
        QVERIFY(grid->selectionModel()->isSelected(grid->model()->index(chosen, 0)));
        QCOMPARE(overview->windowTitle(), Uebersicht::captionFor(model->count()));
    }

    // Scrolled back to the top, the grid stays there.
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    add(500);
    QTRY_VERIFY_WITH_TIMEOUT(placed(), Wait);
    QCOMPARE(topRow(), 0);
}

void TstOverview::ctrlWheelAndPlusMinusZoomWithinTheirRange()
{
    makeFiles({"rot.jpg", "blau.png"});
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    const auto wheel = [&](int delta) {
        const QPoint at = grid->viewport()->rect().center();
        QWheelEvent event(at, grid->viewport()->mapToGlobal(at), {}, {0, delta}, Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid->viewport(), &event);
    };
    // The height of a cell is its picture's side and the name: the width is shared out.
    const auto cellHeight = [&] { return grid->visualRect(grid->model()->index(0, 0)).height(); };
    const int height160 = cellHeight();
    wheel(120);
    QCOMPARE(overview->cellPixels(), 192);
    QTRY_COMPARE_WITH_TIMEOUT(cellHeight(), height160 + 32, Wait);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Plus);
    QCOMPARE(overview->cellPixels(), 224);
    QTest::keyClick(grid, Qt::Key_Minus);
    QTest::keyClick(grid, Qt::Key_Minus);
    QCOMPARE(overview->cellPixels(), 160);
    for (int i = 0; i < 10; ++i)
        wheel(-120);
    QCOMPARE(overview->cellPixels(), 96);
    QTRY_COMPARE_WITH_TIMEOUT(cellHeight(), height160 - 64, Wait);
    for (int i = 0; i < 10; ++i)
        QTest::keyClick(grid, Qt::Key_Plus);
    QCOMPARE(overview->cellPixels(), 320);
    // The thumbnails are made again at the new size.
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("rot.jpg"))), CellState::Picture,
                              Wait);
    // A wheel without Ctrl scrolls and leaves the size.
    wheel(0);
    QCOMPARE(overview->cellPixels(), 320);
}

void TstOverview::columnsFillTheWidthAtEverySize()
{
    searchPictures(60);
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 60);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    QAbstractItemModel* model = grid->model();
    const auto rect = [&](int32_t row) { return grid->visualRect(model->index(row, 0)); };
    for (const int width : {1280, 700}) {
        overview->resize(width, 900);
        for (int side = Uebersicht::MinCellPixels; side <= Uebersicht::MaxCellPixels;
             side += Uebersicht::CellPixelsStep) {
            overview->setCellPixels(side);
            grid->scrollToTop();
            const int room = grid->viewport()->width();
            // As many columns as cells of that size fit, no fewer, no more (a cell never
            // reaches the last pixel).
            const int columns = (room - 1) / (side + 8);
            QVERIFY(columns >= 1);
            QTRY_VERIFY2_WITH_TIMEOUT(
                rect(columns).top() > rect(0).top() && rect(columns - 1).top() == rect(0).top(),
                qPrintable(QStringLiteral("side %1 in %2: %3 columns expected, cells at %4 %5 %6 (%7 wide)")
                               .arg(side)
                               .arg(room)
                               .arg(columns)
                               .arg(rect(0).left())
                               .arg(rect(1).left())
                               .arg(rect(columns).left())
                               .arg(rect(0).width())),
                Wait);
            QCOMPARE(rect(columns).left(), rect(0).left());
            // Side by side, and together they leave a strip of at most one pixel a column.
            QCOMPARE(rect(0).left(), 0);
            for (int c = 1; c < columns; ++c)
                QCOMPARE(rect(c).left(), rect(c - 1).right() + 1);
            const int strip = room - (rect(columns - 1).right() + 1);
            QVERIFY2(strip >= 1 && strip <= columns,
                     qPrintable(QStringLiteral("side %1 in %2: %3 columns leave %4 px")
                                    .arg(side)
                                    .arg(room)
                                    .arg(columns)
                                    .arg(strip)));
            // The picture sits in the middle of its column, so the column's edges are the
            // cell's: a click anywhere in it chooses it.
            const int32_t row = columns + columns / 2;
            const QRect cell = rect(row);
            for (const QPoint at : {cell.center(), QPoint(cell.left() + 1, cell.center().y()),
                                    QPoint(cell.right() - 1, cell.center().y())}) {
                grid->setCurrentIndex(model->index(0, 0));
                QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
                QCOMPARE(grid->currentIndex().row(), row);
                QCOMPARE(m_window->hsb->Value(), row);
            }
            grid->setFocus();
            QTest::keyClick(grid, Qt::Key_Up);
            QCOMPARE(grid->currentIndex().row(), row - columns);
            if (columns / 2 + 1 < columns) {
                QTest::keyClick(grid, Qt::Key_Right);
                QCOMPARE(grid->currentIndex().row(), row - columns + 1);
            }
        }
    }
}

void TstOverview::menuOnACellOffersTheFileActions()
{
    makeFiles({"rot.jpg", "blau.png"});
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QListView* grid = overview->grid();
    const int32_t hit = indexOf(QStringLiteral("blau.png"));
    const QPoint at = cellCentre(hit);
    QTest::mousePress(grid->viewport(), Qt::RightButton, {}, at);
    QTest::mouseRelease(grid->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
    QApplication::sendEvent(grid->viewport(), &request);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->text();
    QCOMPARE(texts, QStringList({QStringLiteral("Öffnen mit Standardprogramm"),
                                 QStringLiteral("Im Dateimanager zeigen"), QStringLiteral("Pfad kopieren")}));
    QCOMPARE(m_window->hsb->Value(), hit); // the press previewed it, as on the found list
    menu->actions().at(2)->trigger();
    menu->close();
    QCOMPARE(QApplication::clipboard()->text(), m_dir->filePath(QStringLiteral("blau.png")));
}

void TstOverview::growsWhileTheSearchRuns()
{
    for (int folder = 0; folder < 30; ++folder)
        for (int i = 0; i < 10; ++i)
            writeFile(m_dir->filePath(QStringLiteral("ordner%1/text%2.txt").arg(folder).arg(i)), "Zeile");
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 0 Dateien"));
    QList<int> seen;
    // The drive lists five folders, then waits until their hits have been seen.
    auto drive = std::make_unique<test::GatedDrive>(m_dir->path(), 5);
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        if (!m_window->isSearching())
            return;
        const int rows = overview->grid()->model()->rowCount();
        if (seen.isEmpty() || seen.last() != rows) {
            seen << rows;
            QCOMPARE(overview->windowTitle(), Uebersicht::captionFor(rows));
        }
        if (rows > 0)
            drive->open();
    });
    probe.start(0);
    search(QStringLiteral("*.txt"));
    probe.stop();
    drive.reset();
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 300);
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 300 Dateien"));
    // Seen during the walk: some hits, then more, but not yet all.
    QVERIFY2(seen.size() >= 2, qPrintable(QString::number(seen.size())));
    QVERIFY(std::any_of(seen.begin(), seen.end(), [](int rows) { return rows > 0 && rows < 300; }));
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Text, Wait);
}

void TstOverview::aNewSearchShowsTheNewHits()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt", "notiz.txt"});
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("rot.jpg"))), CellState::Picture,
                              Wait);
    QVERIFY(overview->cachedBytes() > 0);
    search(QStringLiteral("*.txt"));
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 2 Dateien"));
    QCOMPARE(overview->grid()->model()->rowCount(), 2);
    for (int32_t i = 0; i < 2; ++i) {
        QVERIFY(overview->grid()->model()->index(i, 0).data().toString().endsWith(QLatin1String(".txt")));
        QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(i), CellState::Text, Wait);
    }
    // One hit is one file.
    search(QStringLiteral("rot.*"));
    QCOMPARE(overview->grid()->model()->rowCount(), 1);
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 1 Datei"));
    // A search without hits empties it.
    search(QStringLiteral("*.xyz"));
    QCOMPARE(overview->windowTitle(), QStringLiteral("Übersicht – 0 Dateien"));
    QCOMPARE(overview->grid()->model()->rowCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    QCOMPARE(overview->cachedBytes(), 0);
}

void TstOverview::hostilePicturesCostOnlyTheirCell()
{
    makeFiles({"rot.jpg"});
    const QString dir = m_dir->path() + u'/';
    writeFile(dir + QStringLiteral("bombe.jpg"), hostile::progressiveJpeg(60000, 60000, 200));
    writeFile(dir + QStringLiteral("riesig.bmp"), hostile::absurdBitmap());
    QImage big(400, 300, QImage::Format_RGB32);
    big.fill(Qt::green);
    QVERIFY(big.save(dir + QStringLiteral("ganz.png")));
    QFile whole(dir + QStringLiteral("ganz.png"));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QByteArray png = whole.readAll();
    writeFile(dir + QStringLiteral("halb.png"), png.left(png.size() / 2));
    writeFile(dir + QStringLiteral("leer.gif"), QByteArray());
    writeFile(dir + QStringLiteral("zufall.tif"), QByteArray(5000, '\x4d'));
    QVERIFY(::mkfifo(QFile::encodeName(dir + QStringLiteral("rohr.jpg")).constData(), 0600) == 0);
    QVERIFY(QFile::link(dir + QStringLiteral("nirgends.png"), dir + QStringLiteral("tot.png")));
    search();
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    for (const char* name : {"bombe.jpg", "riesig.bmp", "halb.png", "leer.gif", "zufall.tif", "rohr.jpg"}) {
        const int32_t row = indexOf(QString::fromLatin1(name));
        QVERIFY2(row >= 0, name);
        QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(row), CellState::Failed, Wait);
    }
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("ganz.png"))), CellState::Picture,
                              Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("rot.jpg"))), CellState::Picture,
                              Wait);
    // The window still answers: a click previews.
    clickCell(indexOf(QStringLiteral("ganz.png")));
    QCOMPARE(m_window->hsb->Value(), indexOf(QStringLiteral("ganz.png")));
    // A picture removed while shown keeps its cell; it fails only when made again.
    QVERIFY(QFile::remove(dir + QStringLiteral("rot.jpg")));
    overview->setCellPixels(96);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("rot.jpg"))), CellState::Failed,
                              Wait);
}

void TstOverview::onlyCellsOnScreenAreMadeAndTheCacheStaysBounded()
{
    QStringList names;
    for (int i = 0; i < 600; ++i)
        names << QStringLiteral("bild%1.png").arg(i, 3, 10, QLatin1Char('0'));
    for (const QString& name : names) {
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(QColor::fromHsv(name.mid(4, 3).toInt() % 360, 200, 200));
        QVERIFY(picture.save(m_dir->filePath(name)));
    }
    search(QStringLiteral("*.png"));
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 600);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    overview->setCellPixels(96);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    const auto made = [&] {
        int n = 0;
        for (int32_t i = 0; i < 600; ++i)
            n += overview->cellState(i) == CellState::Picture;
        return n;
    };
    // The first screen and one ahead, not the whole list.
    const int first = made();
    QVERIFY2(first < 300, qPrintable(QString::number(first)));
    // Jumping to the end makes the last cells, not those passed over.
    QListView* grid = overview->grid();
    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum());
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(599), CellState::Picture, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    QCOMPARE(overview->cellState(300), CellState::Waiting);
    QVERIFY(made() < 600);
    // A smaller cache keeps within its bytes: the least recently used go, the cells on
    // screen stay.
    const qint64 bound = overview->cachedBytes() / 2;
    QVERIFY(bound > 0);
    overview->setCacheBytes(bound);
    QVERIFY(overview->cachedBytes() <= bound);
    grid->verticalScrollBar()->setValue(0);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    QVERIFY(overview->cachedBytes() <= bound);
    QVERIFY(made() < first);
}

void TstOverview::closingInTheMiddleOfTheWorkLeavesNoThread()
{
    for (int i = 0; i < 60; ++i)
        writePicture(m_dir->filePath(QStringLiteral("foto%1.jpg").arg(i, 2, 10, QLatin1Char('0'))), 64, 48,
                     QColor::fromHsv(i * 6, 200, 200));
    search(QStringLiteral("*.jpg"));
    const int threads = threadCount();
    // Every thumbnail takes a while, as on a slow drive.
    overview::setThumbnailHookForTests([] { QThread::msleep(20); });
    struct Restore
    {
        ~Restore() { overview::setThumbnailHookForTests(nullptr); }
    } restore;
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_VERIFY_WITH_TIMEOUT(overview::Thumbnailer::liveWorkers() > 0, Wait);
    QVERIFY(overview->outstandingThumbnails() > 0);
    overview->close();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->overviewWindow(), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview::Thumbnailer::liveWorkers(), 0, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(imaging::busyDecodeWorkers().isEmpty(), Wait);
    // Nor a decoder worker of the thumbnails: none is kept warm once the window is gone.
    QTRY_COMPARE_WITH_TIMEOUT(decodeWorkersAtNice(imaging::backgroundNice()), 0, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threads,
                             Wait); // other threads of the program may end meanwhile
    // The search window goes on as before: a search, a preview, the overview again.
    search(QStringLiteral("*.jpg"));
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 60);
    overview::setThumbnailHookForTests(nullptr);
    overview = pressF3();
    QVERIFY(overview);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
}

namespace {

QByteArray jpegOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

QByteArray jpegOf(int w, int h, QColor colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return jpegOf(image);
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 &&
           std::abs(a.blue() - b.blue()) < 40;
}

} // namespace

namespace {

// Stands for a call on a drive that does not answer: the thread is held until released.
struct HungDrive
{
    std::mutex mutex;
    std::condition_variable released;
    bool hanging = false;
    int held = 0;

    static HungDrive& instance()
    {
        static HungDrive drive;
        return drive;
    }
    static void hold()
    {
        HungDrive& d = instance();
        std::unique_lock lock(d.mutex);
        ++d.held;
        d.released.wait(lock, [&] { return !d.hanging; });
        --d.held;
    }
    int heldNow()
    {
        const std::lock_guard lock(mutex);
        return held;
    }
    void setHanging(bool on)
    {
        {
            const std::lock_guard lock(mutex);
            hanging = on;
        }
        released.notify_all();
    }
};

// While it lives, thumbnails wait at the hook it is given (set with setHook) as on a drive
// that does not answer; when it goes, the drive answers again and no hook is left set.
class DriveHangsAt
{
public:
    explicit DriveHangsAt(void (*setHook)(overview::ThumbnailHook))
    {
        HungDrive::instance().setHanging(true);
        setHook(&HungDrive::hold);
    }
    ~DriveHangsAt()
    {
        HungDrive::instance().setHanging(false);
        overview::setGivenUpHookForTests(nullptr);
        overview::setThumbnailHookForTests(nullptr);
    }
    DriveHangsAt(const DriveHangsAt&) = delete;
    DriveHangsAt& operator=(const DriveHangsAt&) = delete;
};

} // namespace

void TstOverview::closingWhileADriveHangsDoesNotWaitForIt()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt"});
    search();
    const int threads = threadCount();
    HungDrive& drive = HungDrive::instance();
    const DriveHangsAt hangs(&overview::setThumbnailHookForTests);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_VERIFY_WITH_TIMEOUT(drive.heldNow() > 0, Wait);
    // The window answers while its cells wait: a click previews.
    clickCell(indexOf(QStringLiteral("blau.png")));
    QCOMPARE(m_window->hsb->Value(), indexOf(QStringLiteral("blau.png")));
    QCOMPARE(overview->cellState(indexOf(QStringLiteral("blau.png"))), CellState::Waiting);
    // Closing does not wait for the held threads: the window is gone while they still hang.
    overview->close();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->overviewWindow(), Wait);
    QVERIFY(drive.heldNow() > 0);
    QVERIFY(overview::Thumbnailer::liveWorkers() > 0);
    // The search window goes on meanwhile.
    search(QStringLiteral("*.txt"));
    QCOMPARE(GetListCount(m_window->ui->lstFoundFiles), 1);
    // Once the drive answers, the threads end, with nobody left to hand their work to.
    drive.setHanging(false);
    QTRY_COMPARE_WITH_TIMEOUT(overview::Thumbnailer::liveWorkers(), 0, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threads,
                             Wait); // other threads of the program may end meanwhile
    QTRY_VERIFY_WITH_TIMEOUT(imaging::busyDecodeWorkers().isEmpty(), Wait);
}

void TstOverview::cellsNoLongerWantedStopTheirDecoders()
{
    makeFiles({"rot.jpg", "blau.png", "gruen.png", "brief.txt"});
    search();
    // Decoders that never answer: each cell would wait for its whole time allowance.
    imaging::setDecodeWorkerMisbehaviour("hang");
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_VERIFY_WITH_TIMEOUT(!imaging::busyDecodeWorkers().isEmpty(), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("brief.txt"))), CellState::Text,
                              Wait);
    // Another cell size: the thumbnails being made for the old one are given up, their
    // decoders stopped; they are not counted as failed.
    QList<pid_t> hung = imaging::busyDecodeWorkers();
    int givenUp = overview::Thumbnailer::givenUp();
    overview->setCellPixels(224);
    QTRY_VERIFY_WITH_TIMEOUT(overview::Thumbnailer::givenUp() > givenUp, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(hung.begin(), hung.end(),
                                          [](pid_t pid) { return imaging::decodeWorkers().contains(pid); }),
                             Wait);
    QCOMPARE(overview->cellState(indexOf(QStringLiteral("rot.jpg"))), CellState::Waiting);
    // Closing the window stops the decoders of the new size too.
    QTRY_VERIFY_WITH_TIMEOUT(!imaging::busyDecodeWorkers().isEmpty(), Wait);
    hung = imaging::busyDecodeWorkers();
    givenUp = overview::Thumbnailer::givenUp();
    overview->close();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->overviewWindow(), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview::Thumbnailer::liveWorkers(), 0, Wait);
    QVERIFY(overview::Thumbnailer::givenUp() > givenUp);
    QTRY_VERIFY_WITH_TIMEOUT(imaging::busyDecodeWorkers().isEmpty(), Wait);
    for (const pid_t pid : hung)
        QVERIFY(!imaging::decodeWorkers().contains(pid));
}

void TstOverview::everyCellAskedForIsMadeWhateverTheCancelling()
{
    // The pool as the window drives it: what is delivered goes into a cache, and only cells
    // not made yet are asked for.
    QSet<int32_t> made;
    int pictures = 0;
    QStringList failed;
    overview::Thumbnailer pool([&](overview::Thumbnailer::Result&& r) {
        made.insert(r.row);
        pictures += r.thumbnail.kind == overview::Thumbnail::Kind::Picture;
        if (r.thumbnail.kind != overview::Thumbnail::Kind::Picture)
            failed << QString::number(r.row);
    });
    const QString dir = m_dir->path() + u'/';
    std::vector<overview::Thumbnailer::Request> all;
    const auto wantedFrom = [&](int32_t first, int32_t last) {
        std::vector<overview::Thumbnailer::Request> some;
        for (int32_t row = first; row <= last; ++row)
            if (!made.contains(row))
                some.push_back(all[size_t(row)]);
        return some;
    };

    // Many small pictures at once, more than a decoder worker serves before it retires:
    // every one is made, and made once.
    QImage small(48, 32, QImage::Format_RGB32);
    small.fill(Qt::red);
    const QByteArray jpeg = jpegOf(small);
    const int32_t count = 2100;
    for (int32_t i = 0; i < count; ++i) {
        const QString path = dir + QStringLiteral("klein%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        writeFile(path, jpeg);
        all.push_back({i, QFile::encodeName(path), false});
    }
    pool.want(all, 96, 1.0, 1, true);
    QTRY_COMPARE_WITH_TIMEOUT(pool.outstanding(), 0, 10 * Wait);
    QCOMPARE(int32_t(made.size()), count);
    QVERIFY2(pictures == count, qPrintable(failed.join(u' ')));

    // A cell scrolled away and back while its thumbnail is being given up: the thread has
    // let go of it just as the cell is asked for again, so the request was left out as one
    // being made. It is made all the same.
    made.clear();
    pictures = 0;
    HungDrive& drive = HungDrive::instance();
    const DriveHangsAt hangs(&overview::setGivenUpHookForTests);
    imaging::setDecodeWorkerMisbehaviour("hang");
    imaging::stopIdleDecodeWorkers();
    pool.want(wantedFrom(0, 0), 96, 1.0, 2, true);
    QTRY_VERIFY_WITH_TIMEOUT(!imaging::busyDecodeWorkers().isEmpty(), Wait);
    const int givenUp = overview::Thumbnailer::givenUp();
    pool.want({}, 96, 1.0, 2, true); // scrolled away
    QTRY_COMPARE_WITH_TIMEOUT(drive.heldNow(), 1, Wait);
    QCOMPARE(overview::Thumbnailer::givenUp(), givenUp + 1);
    imaging::setDecodeWorkerMisbehaviour({});
    pool.want(wantedFrom(0, 0), 96, 1.0, 2, true); // and back
    drive.setHanging(false);
    QTRY_VERIFY_WITH_TIMEOUT(made.contains(0), Wait);
    QCOMPARE(pictures, 1);
    QTRY_COMPARE_WITH_TIMEOUT(pool.outstanding(), 0, Wait);

    // Scrolling to and fro while the pictures are being made, each thumbnail slowed as on a
    // slow drive: when the scrolling ends, the cells then in view are all made.
    overview::setGivenUpHookForTests(nullptr);
    overview::setThumbnailHookForTests([] { QThread::msleep(2); });
    made.clear();
    for (int step = 0; step < 60; ++step) {
        const int32_t first = (step * 37) % (count - 40);
        pool.want(wantedFrom(first, first + 39), 96, 1.0, 3, true);
        QTest::qWait(step % 7);
    }
    pool.want(wantedFrom(1000, 1039), 96, 1.0, 3, true);
    QTRY_COMPARE_WITH_TIMEOUT(pool.outstanding(), 0, Wait);
    for (int32_t row = 1000; row < 1040; ++row)
        QVERIFY2(made.contains(row), qPrintable(QString::number(row)));
}

void TstOverview::aNewSearchWhileACellIsBeingMadeShowsItsThumbnail()
{
    // The same hits again while a thumbnail of the first search is being made: the cell of
    // the new search gets its thumbnail, though the one being made belongs to the old list.
    makeFiles({"rot.jpg"});
    search();
    HungDrive& drive = HungDrive::instance();
    const DriveHangsAt hangs(&overview::setThumbnailHookForTests);
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_COMPARE_WITH_TIMEOUT(drive.heldNow(), 1, Wait);
    search();
    QCOMPARE(overview->grid()->model()->rowCount(), 1);
    // The new list's cell asked for beside the old one still held.
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 2, Wait);
    drive.setHanging(false);
    overview::setThumbnailHookForTests(nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
}

void TstOverview::misbehavingDecodersCostOnlyTheirCells()
{
    makeFiles({"rot.jpg", "blau.png", "brief.txt", "ton.wav"});
    search();
    imaging::setDecodeWorkerMisbehaviour("crash");
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    for (const char* name : {"rot.jpg", "blau.png"})
        QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QString::fromLatin1(name))), CellState::Failed,
                                  Wait);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QStringLiteral("brief.txt"))), CellState::Text,
                              Wait);
    QCOMPARE(overview->cellState(indexOf(QStringLiteral("ton.wav"))), CellState::Symbol);
    QTRY_COMPARE_WITH_TIMEOUT(overview->outstandingThumbnails(), 0, Wait);
    QVERIFY(imaging::busyDecodeWorkers().isEmpty());
    // The window still answers, and the next pictures decode again.
    clickCell(indexOf(QStringLiteral("blau.png")));
    QCOMPARE(m_window->hsb->Value(), indexOf(QStringLiteral("blau.png")));
    imaging::setDecodeWorkerMisbehaviour({});
    overview->setCellPixels(128);
    for (const char* name : {"rot.jpg", "blau.png"})
        QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(indexOf(QString::fromLatin1(name))), CellState::Picture,
                                  Wait);
}

void TstOverview::jpegsShowTheirExifThumbnailWhenItIsBigEnough()
{
    // The pictures are red; their EXIF thumbnails green (blue on the right half): what a
    // cell shows tells which was decoded.
    QImage halves(160, 120, QImage::Format_RGB32);
    halves.fill(Qt::green);
    for (int y = 0; y < 120; ++y)
        for (int x = 80; x < 160; ++x)
            halves.setPixelColor(x, y, Qt::blue);
    const QByteArray red = jpegOf(640, 480, Qt::red);
    const QByteArray thumbnail = jpegOf(halves);
    const QString dir = m_dir->path() + u'/';
    writeFile(dir + QStringLiteral("kamera.jpg"), test::withExifThumbnail(red, thumbnail));
    writeFile(dir + QStringLiteral("klein.jpg"), test::withExifThumbnail(red, jpegOf(80, 60, Qt::green)));
    // 3:2 with a 4:3 thumbnail: black bars in the thumbnail, so the picture is decoded.
    writeFile(dir + QStringLiteral("balken.jpg"),
              test::withExifThumbnail(jpegOf(600, 400, Qt::red), jpegOf(160, 120, Qt::green)));
    writeFile(dir + QStringLiteral("gedreht.jpg"), test::withExifThumbnail(red, thumbnail, 6));
    writeFile(dir + QStringLiteral("ohne.jpg"), test::withExifThumbnail(red, {}, 1));
    // Broken thumbnails cost nothing but the time to look: the picture is shown.
    writeFile(dir + QStringLiteral("halb.jpg"),
              test::withExifThumbnail(red, thumbnail.left(thumbnail.size() / 2)));
    QByteArray beyond = test::withExifThumbnail(red, thumbnail);
    // The thumbnail's offset (little-endian, 60 bytes in) made to point 2 GiB past the segment.
    beyond[2 + 4 + 6 + 8 + 2 + 12 + 4 + 2 + 12 + 8 + 3] = char(0x7F);
    writeFile(dir + QStringLiteral("daneben.jpg"), beyond);
    writeFile(dir + QStringLiteral("kaputt.jpg"),
              test::withExifThumbnail(QByteArray("\xFF\xD8", 2), thumbnail));

    const auto made = [&](const char* name, int pixels = 160) {
        const std::optional<overview::Thumbnail> t =
            overview::makeThumbnail(QFile::encodeName(dir + QString::fromLatin1(name)), false, pixels, 1.0);
        return t ? *t : overview::Thumbnail{};
    };
    const auto colourAt = [](const overview::Thumbnail& t, double fx, double fy) {
        return t.image.pixelColor(int(fx * (t.image.width() - 1)), int(fy * (t.image.height() - 1)));
    };
    overview::Thumbnail t = made("kamera.jpg");
    QCOMPARE(t.kind, overview::Thumbnail::Kind::Picture);
    QCOMPARE(t.image.size(), QSize(160, 120));
    QVERIFY(near(colourAt(t, 0.2, 0.5), Qt::green));
    QVERIFY(near(colourAt(t, 0.8, 0.5), Qt::blue));
    // Cells smaller than the thumbnail use it too; larger ones need the picture.
    t = made("kamera.jpg", 96);
    QCOMPARE(t.image.size(), QSize(96, 72));
    QVERIFY(near(colourAt(t, 0.2, 0.5), Qt::green));
    t = made("kamera.jpg", 256);
    QCOMPARE(t.image.size(), QSize(256, 192));
    QVERIFY(near(colourAt(t, 0.2, 0.5), Qt::red));
    for (const char* name : {"klein.jpg", "balken.jpg", "ohne.jpg", "halb.jpg", "daneben.jpg"}) {
        t = made(name);
        QCOMPARE(t.kind, overview::Thumbnail::Kind::Picture);
        QVERIFY2(near(colourAt(t, 0.2, 0.5), Qt::red), name);
        QVERIFY2(near(colourAt(t, 0.8, 0.5), Qt::red), name);
    }
    QCOMPARE(made("kaputt.jpg").kind, overview::Thumbnail::Kind::Failed);
    // Turned as the picture is to be shown: a quarter turn clockwise, so the left half is
    // on top.
    t = made("gedreht.jpg");
    QCOMPARE(t.image.size(), QSize(120, 160));
    QVERIFY(near(colourAt(t, 0.5, 0.2), Qt::green));
    QVERIFY(near(colourAt(t, 0.5, 0.8), Qt::blue));

    // In the window: the cell shows the thumbnail.
    search(QStringLiteral("kamera.jpg"));
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
    QListView* grid = overview->grid();
    const QRect cell = grid->visualRect(grid->model()->index(0, 0));
    const QImage shot = grid->viewport()->grab().toImage();
    QVERIFY(near(shot.pixelColor(cell.left() + 4 + 40, cell.top() + 4 + 80), Qt::green));
    QVERIFY(near(shot.pixelColor(cell.left() + 4 + 120, cell.top() + 4 + 80), Qt::blue));
}

namespace {

// Every file below root with its size, to see that nothing was written there.
QStringList listing(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files << file + u' ' + QString::number(QFileInfo(file).size());
    }
    files.sort();
    return files;
}

} // namespace

void TstOverview::cellsComeFromTheThumbnailCacheOfOtherPrograms()
{
    // The cache's URIs: the path's bytes escaped as GLib escapes them.
    QCOMPARE(overview::thumbnailUri(QByteArray("/tmp/a b/\xC3\xA4#1;x&y=z@(1)!~*'.jpg")),
             QByteArray("file:///tmp/a%20b/%C3%A4%231%3Bx&y=z@(1)!~*'.jpg"));
    QCOMPARE(overview::thumbnailUri(QByteArray("/x/\xFF%.png")), QByteArray("file:///x/%FF%25.png"));

    test::TemporaryDir cache;
    const QByteArray oldCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    struct Restore
    {
        QByteArray value;
        ~Restore() { value.isNull() ? qunsetenv("XDG_CACHE_HOME") : qputenv("XDG_CACHE_HOME", value); }
    } restore{oldCache};

    const QString picture = m_dir->filePath(QStringLiteral("Urlaub am See.jpg"));
    writeFile(picture, jpegOf(640, 480, Qt::red));
    const QByteArray path = QFile::encodeName(picture);
    const QByteArray uri = overview::thumbnailUri(path);
    const QByteArray name = QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex() + ".png";
    const QByteArray mtime = QByteArray::number(QFileInfo(picture).lastModified().toSecsSinceEpoch());
    // A thumbnail as another program stores it: green, so a cell that shows green shows it.
    const auto store = [&](const char* folder, QSize size, const QByteArray& forUri,
                           const QByteArray& forTime, QSize of = {}) {
        QImage thumbnail(size, QImage::Format_RGB32);
        thumbnail.fill(Qt::green);
        thumbnail.setText(QStringLiteral("Thumb::URI"), QString::fromLatin1(forUri));
        thumbnail.setText(QStringLiteral("Thumb::MTime"), QString::fromLatin1(forTime));
        if (of.isValid()) {
            thumbnail.setText(QStringLiteral("Thumb::Image::Width"), QString::number(of.width()));
            thumbnail.setText(QStringLiteral("Thumb::Image::Height"), QString::number(of.height()));
        }
        const QString dir = cache.filePath(QStringLiteral("thumbnails/") + QLatin1String(folder));
        QDir().mkpath(dir);
        QFile::remove(dir + u'/' + QString::fromLatin1(name));
        QVERIFY(thumbnail.save(dir + u'/' + QString::fromLatin1(name), "PNG"));
    };
    const auto made = [&](int pixels) {
        const std::optional<overview::Thumbnail> t = overview::makeThumbnail(path, false, pixels, 1.0);
        return t ? t->image : QImage();
    };
    const auto green = [](const QImage& image) {
        return near(image.pixelColor(image.rect().center()), Qt::green);
    };
    const auto red = [](const QImage& image) {
        return near(image.pixelColor(image.rect().center()), Qt::red);
    };

    store("large", {256, 192}, uri, mtime, {640, 480});
    const QStringList before = listing(cache.path());
    QImage t = made(160);
    QCOMPARE(t.size(), QSize(160, 120));
    QVERIFY(green(t));
    t = made(96); // no "normal" one: the larger serves
    QCOMPARE(t.size(), QSize(96, 72));
    QVERIFY(green(t));
    QVERIFY(red(made(320))); // needs an "x-large" one
    // Read only: nothing added (no "fail" folder either), nothing changed.
    QCOMPARE(listing(cache.path()), before);
    store("x-large", {512, 384}, uri, mtime);
    QVERIFY(green(made(320)));
    QDir(cache.filePath(QStringLiteral("thumbnails/x-large"))).removeRecursively();

    // Made for another time, another file, or too small for what it says it shows: not used.
    store("large", {256, 192}, uri, QByteArray::number(mtime.toLongLong() - 1));
    QVERIFY(red(made(160)));
    store("large", {256, 192}, uri + "x", mtime);
    QVERIFY(red(made(160)));
    store("large", {100, 75}, uri, mtime, {640, 480});
    QVERIFY(red(made(160)));
    // Fractions of a second after the time, as some programs write it: used.
    store("large", {256, 192}, uri, mtime + ".25");
    QVERIFY(green(made(160)));
    // A cache file that is no picture, or a pipe in its place: the picture is shown.
    const QString large = cache.filePath(QStringLiteral("thumbnails/large/")) + QString::fromLatin1(name);
    QFile file(large);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray png = file.readAll();
    file.close();
    writeFile(large, png.left(png.indexOf("IDAT") + 20));
    QVERIFY(red(made(160)));
    QVERIFY(QFile::remove(large));
    QVERIFY(::mkfifo(QFile::encodeName(large).constData(), 0600) == 0);
    QVERIFY(red(made(160)));
    QVERIFY(QFile::remove(large));
    writeFile(large, QByteArray("\x89PNG\r\n\x1a\n") + QByteArray(200, '\xFF'));
    QVERIFY(red(made(160)));
}

namespace {
std::atomic<int> g_thumbnailThreadNice{100};
}

void TstOverview::thumbnailsAreMadeBelowTheWindowsPriority()
{
    // A scroll never waits for a core that makes thumbnails: their threads and the
    // workers that decode for them run below the window, which stays where it was.
    errno = 0;
    const int windowNice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    QCOMPARE(errno, 0);
    g_thumbnailThreadNice = 100;
    overview::setThumbnailHookForTests([] {
        errno = 0;
        g_thumbnailThreadNice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    });
    const auto unhook = qScopeGuard([] { overview::setThumbnailHookForTests(nullptr); });
    imaging::stopIdleDecodeWorkers();
    makeFiles({"rot.png"});
    search(QStringLiteral("*.png"));
    Uebersicht* overview = pressF3();
    QVERIFY(overview);
    QTRY_COMPARE_WITH_TIMEOUT(overview->cellState(0), CellState::Picture, Wait);
    QCOMPARE(g_thumbnailThreadNice.load(), imaging::backgroundNice());
    QVERIFY(imaging::backgroundNice() > windowNice);
    QCOMPARE(::getpriority(PRIO_PROCESS, id_t(::gettid())), windowNice);
    // The worker that decoded it is one of the background's, kept warm for them; the
    // search window's preview has workers of its own, at the window's priority.
    QCOMPARE(decodeWorkersAtNice(imaging::backgroundNice()), 1);
    QTest::mouseClick(overview->grid()->viewport(), Qt::LeftButton, {}, cellCentre(0));
    QCOMPARE(m_window->hsb->Value(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(decodeWorkersAtNice(windowNice) >= 1, Wait);
    QCOMPARE(decodeWorkersAtNice(imaging::backgroundNice()), 1);
}

FOTARIK_TEST_MAIN(TstOverview)
#include "tst_overview.moc"
