// The text box against texts of any size and shape: a GiB on one line, a hundred million
// empty lines, megabytes of lone CRs or paragraph separators, a file that shrinks while it
// is shown, a drive that does not answer. Real files in a temporary folder; the big ones
// are sparse or written in pieces, so the test needs little memory itself.

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFontDatabase>
#include <QMenu>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "modul1.h"
#include "raisederror.h"
#include "textfile.h"
#include "textview.h"

using namespace fotarik;

namespace {

constexpr qint64 GiB = qint64(1) << 30;

// Peak memory of this process. AddressSanitizer keeps freed memory in quarantine, so
// there the figure says nothing about what the program holds.
constexpr bool PeakMeansSomething =
#if defined(__SANITIZE_ADDRESS__)
    false;
#else
    true;
#endif

qint64 peakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Writes piece again and again until the file holds total bytes (the last piece cut).
bool writeRepeated(const QString& path, const QByteArray& piece, qint64 total)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const QByteArray chunk = piece.repeated(std::max<qsizetype>(1, (1 << 20) / piece.size()));
    qint64 written = 0;
    while (written < total) {
        const qint64 n = std::min<qint64>(chunk.size(), total - written);
        if (f.write(chunk.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

bool writeAt(int fd, qint64 offset, const QByteArray& bytes)
{
    return ::pwrite(fd, bytes.constData(), size_t(bytes.size()), off_t(offset)) == bytes.size();
}

std::atomic<bool> g_driveHangs{false};
std::atomic<int> g_readsHeld{0};

void hangingDrive()
{
    if (!g_driveHangs.load())
        return;
    ++g_readsHeld;
    while (g_driveHangs.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --g_readsHeld;
}

std::atomic<int> g_reads{0};

void countingDrive()
{
    ++g_reads;
}

// Where a click puts the cursor at row and column of the view.
QPoint at(const TextView& view, qint64 row, qsizetype column)
{
    return view.cursorRect({row, column}).center();
}

// The entries of a menu, without their key names.
QStringList entries(const QMenu& menu)
{
    QStringList texts;
    for (const QAction* action : menu.actions())
        if (!action->isSeparator())
            texts << action->text().section(u'\t', 0, 0);
    return texts;
}

// Opens the view's context menu at point and hands the open menu to act, which picks an entry.
void withContextMenu(TextView& view, QPoint point, const std::function<void(QMenu&)>& act)
{
    bool seen = false;
    QTimer::singleShot(0, &view, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        seen = true;
        act(*menu);
        if (menu->isVisible())
            menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, point, view.viewport()->mapToGlobal(point));
    QApplication::sendEvent(view.viewport(), &event);
    QVERIFY(seen);
}

void clickEntry(QMenu& menu, const QString& label)
{
    for (QAction* action : menu.actions())
        if (action->text().section(u'\t', 0, 0) == label) {
            QTest::mouseClick(&menu, Qt::LeftButton, {}, menu.actionGeometry(action).center());
            return;
        }
    QFAIL(qPrintable(QStringLiteral("no entry ") + label));
}

} // namespace

class TstTextView : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_view = std::make_unique<TextView>();
        // Fixed-pitch, so that a click between two characters is never nearer a third.
        m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        m_view->resize(300, 200);
        m_view->show();
        m_view->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
    }
    void cleanup()
    {
        m_view.reset();
        setTextReadHookForTests(nullptr);
    }

    void takesNoDrops()
    {
        QVERIFY(!m_view->acceptDrops());
        QVERIFY(!m_view->viewport()->acceptDrops());
    }

    void oneGibibyteOnOneLine()
    {
        // Sparse: a GiB of NULs between a start and an end mark.
        const QString path = m_dir.filePath(QStringLiteral("eine Zeile.txt"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(GiB));
            QVERIFY(writeAt(f.handle(), 0, "ANFANG"));
            QVERIFY(writeAt(f.handle(), GiB - 4, "ENDE"));
        }
        const qint64 before = peakKiB();
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QString nul(1, QChar(0x2400));
        QCOMPARE(m_view->visibleText()->first(), QStringLiteral("ANFANG") + nul.repeated(1024 - 6));
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete(), budget::ms(budget::TestWholeHugeText));
        QCOMPARE(m_view->rowCount(), GiB / 1024);
        // To the end and back.
        m_view->moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->visibleText()->last(), nul.repeated(1020) + QStringLiteral("ENDE"));
        m_view->moveCursor(QTextCursor::Start);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QVERIFY(m_view->visibleText()->first().startsWith(QStringLiteral("ANFANG")));
        // Read on demand: far less memory than the file, whatever the page cache holds.
        if (PeakMeansSomething)
            QVERIFY2(peakKiB() - before < 64 * 1024, qPrintable(QString::number(peakKiB() - before)));
        // A GiB is too big to edit: keys do not change it.
        QTest::keyClick(m_view.get(), Qt::Key_X);
        QVERIFY(m_view->isReadOnly());
        QVERIFY(m_view->visibleText()->first().startsWith(QStringLiteral("ANFANG") + nul));
    }

    void hundredMillionEmptyLines()
    {
        const qint64 lines = 100'000'000;
        const QString path = m_dir.filePath(QStringLiteral("leer.txt"));
        QVERIFY(writeRepeated(path, "\n", lines - 5));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::Append));
            QVERIFY(f.write("Ende\n") == 5);
        }
        const qint64 before = peakKiB();
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->visibleText()->first(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete(), budget::ms(budget::TestWholeHugeText));
        QCOMPARE(m_view->rowCount(), lines - 4 + 1);
        m_view->moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QStringList end = *m_view->visibleText();
        QCOMPARE(end.last(), QString());
        QCOMPARE(end[end.size() - 2], QStringLiteral("Ende"));
        if (PeakMeansSomething)
            QVERIFY2(peakKiB() - before < 64 * 1024, qPrintable(QString::number(peakKiB() - before)));
    }

    void megabytesOfLoneBreaks_data()
    {
        QTest::addColumn<QByteArray>("piece");
        QTest::newRow("lone CRs") << QByteArray("a\r");
        QTest::newRow("U+2029") << QByteArray("b\xe2\x80\xa9");
        QTest::newRow("form feeds") << QByteArray("\f");
    }

    void megabytesOfLoneBreaks()
    {
        QFETCH(QByteArray, piece);
        const qint64 total = 16 * 1024 * 1024 / piece.size() * piece.size();
        const QString path = m_dir.filePath(QStringLiteral("brueche.txt"));
        QVERIFY(writeRepeated(path, piece, total));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete(), budget::ms(budget::TestWholeHugeText));
        QCOMPARE(m_view->rowCount(), total / piece.size() + 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QString first = QString::fromUtf8(piece.first(piece.size() == 1 ? 0 : 1));
        QCOMPARE(m_view->visibleText()->first(), first);
        m_view->scrollToRow(m_view->rowCount() / 2);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->visibleText()->first(), first);
        m_view->moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->visibleText()->last(), QString());
    }

    void fileShrinksWhileShown()
    {
        const QString path = m_dir.filePath(QStringLiteral("log.txt"));
        QByteArray bytes;
        for (int i = 0; i < 400000; ++i)
            bytes += "Zeile " + QByteArray::number(i) + '\n';
        QVERIFY(writeRepeated(path, bytes, bytes.size()));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->rowCount(), 400001);
        // Cut to its first hundred lines and a half.
        const qint64 cut = bytes.indexOf("Zeile 100\n") + 4;
        QVERIFY(QFile::resize(path, cut));
        m_view->moveCursor(QTextCursor::End);
        // Showing the end reads there, finds the file shorter and ends the text where it ends now.
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCount() == 101 && m_view->visibleText().has_value(),
                                 budget::ms(budget::TestWait));
        m_view->moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QStringList end = *m_view->visibleText();
        QCOMPARE(end.last(), QStringLiteral("Zeil"));
        for (qsizetype i = 0; i + 1 < end.size(); ++i)
            QCOMPARE(end[i], QStringLiteral("Zeile %1").arg(101 - end.size() + i));
        // Grown again with other text: rows read now show what is there, nothing else.
        QVERIFY(writeRepeated(path, "neu\n", 4 * 1000));
        m_view->scrollToRow(0);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QStringList again = *m_view->visibleText();
        QVERIFY(!again.isEmpty());
        for (const QString& row : again)
            QVERIFY2(row.startsWith(QStringLiteral("Zeile")) || row == QStringLiteral("neu") || row.isEmpty(),
                     qPrintable(row));
    }

    void utf16WithItsByteOrderMark()
    {
        // Notepad's "Unicode": UTF-16 LE after FF FE, CR LF breaks, a NUL in every other byte.
        QString text;
        for (int i = 0; i < 50000; ++i)
            text += QStringLiteral("Zeile %1 äöü €\r\n").arg(i);
        QByteArray bytes("\xff\xfe");
        bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        const QString path = m_dir.filePath(QStringLiteral("unicode.txt"));
        QVERIFY(writeRepeated(path, bytes, bytes.size()));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->rowCount(), 50001);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(m_view->visibleText()->first(), QStringLiteral("Zeile 0 äöü €"));
        m_view->moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        const QStringList end = *m_view->visibleText();
        QCOMPARE(end[end.size() - 2], QStringLiteral("Zeile 49999 äöü €"));
        // Big endian too, with a line of its own longer than a row.
        const QString longLine = QString(3000, u'ß');
        QByteArray be("\xfe\xff");
        for (const QChar c : longLine + QStringLiteral("\nx")) {
            be += char(c.unicode() >> 8);
            be += char(c.unicode() & 0xff);
        }
        const QString bePath = m_dir.filePath(QStringLiteral("be.txt"));
        QVERIFY(writeRepeated(bePath, be, be.size()));
        LoadTextFile(QFile::encodeName(bePath), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete() && !m_view->waitingForFile(),
                                 budget::ms(budget::TestWait));
        QCOMPARE(m_view->toPlainText(), longLine + QStringLiteral("\nx"));
        QCOMPARE(m_view->rowCount(), 4); // 1024 + 1024 + 952, then "x"
    }

    void hungDriveDoesNotHoldUpTheWindow()
    {
        const QString path = m_dir.filePath(QStringLiteral("langsam.txt"));
        QVERIFY(writeRepeated(path, "angekommen", 10));
        m_view->setPlainText(QStringLiteral("vorher"));
        setTextReadHookForTests(&hangingDrive);
        g_driveHangs = true;
        LoadTextFile(QFile::encodeName(path), m_view.get()); // returns, the file still unread
        QVERIFY(m_view->waitingForFile());
        QCOMPARE(m_view->toPlainText(), QStringLiteral("vorher"));
        // The window goes on: events are handled, a key moves the cursor.
        QTest::keyClick(m_view.get(), Qt::Key_End);
        QCOMPARE(m_view->cursorColumn(), 6);
        // A missing file on the hung drive: no answer within the budget, no change either.
        TextView other;
        other.setPlainText(QStringLiteral("bleibt"));
        LoadTextFile(QFile::encodeName(m_dir.filePath(QStringLiteral("fehlt.txt"))), &other);
        QCOMPARE(g_readsHeld.load(), 2);
        g_driveHangs = false;
        QTRY_COMPARE_WITH_TIMEOUT(m_view->toPlainText(), QStringLiteral("angekommen"),
                                  budget::ms(budget::TestWait));
        QTRY_VERIFY_WITH_TIMEOUT(!other.waitingForFile(), budget::ms(budget::TestWait));
        QCOMPARE(other.toPlainText(), QStringLiteral("bleibt"));
        QTRY_COMPARE_WITH_TIMEOUT(g_readsHeld.load(), 0, budget::ms(budget::TestWait));
        setTextReadHookForTests(nullptr);
    }

    void smallFileIsTypedIntoBigOneIsNot()
    {
        const QString small = m_dir.filePath(QStringLiteral("klein.txt"));
        QVERIFY(writeRepeated(small, "eins\r\nzwei", 10));
        LoadTextFile(QFile::encodeName(small), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete() && !m_view->waitingForFile(),
                                 budget::ms(budget::TestWait));
        m_view->setFocus();
        m_view->moveCursor(QTextCursor::Start);
        QTest::keyClick(m_view.get(), Qt::Key_Right);
        QTest::keyClicks(m_view.get(), QStringLiteral("XY"));
        QTest::keyClick(m_view.get(), Qt::Key_Return);
        QTest::keyClick(m_view.get(), Qt::Key_Down);
        QTest::keyClick(m_view.get(), Qt::Key_End);
        QTest::keyClick(m_view.get(), Qt::Key_Backspace);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("eXY\nins\nzwe"));
        QVERIFY(m_view->shownKey().isEmpty());
        // The file itself is not written.
        QFile f(small);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("eins\r\nzwei"));
    }

    void mouseSelectsAndCtrlCCopies()
    {
        showSmallFile("Hallo Welt\r\nzweite Zeile\r\ndritte");
        QApplication::clipboard()->setText(QStringLiteral("vorher"));
        QTest::mousePress(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 6));
        QVERIFY(m_view->hasFocus());
        QTest::mouseMove(m_view->viewport(), at(*m_view, 1, 3));
        QTest::mouseMove(m_view->viewport(), at(*m_view, 1, 6));
        QTest::mouseRelease(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 1, 6));
        QCOMPARE(selected(), QStringLiteral("Welt\nzweite"));
        // A press without a drag takes the selection away.
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 2, 2));
        QVERIFY(!m_view->hasSelection());
        QCOMPARE(m_view->cursorRow(), 2);
        QCOMPARE(m_view->cursorColumn(), 2);
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier); // nothing selected: nothing copied
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("vorher"));
        // Dragging backwards selects too; Ctrl+C copies.
        QTest::mousePress(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 1, 12));
        QTest::mouseMove(m_view->viewport(), at(*m_view, 0, 3));
        QTest::mouseRelease(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 3));
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("lo Welt\nzweite Zeile"));
        QVERIFY(!m_view->copyPending());
    }

    void doubleClickTakesAWordShiftClickExtends()
    {
        showSmallFile("Sehr geehrte Damen\nund Herren, guten Tag");
        QTest::mouseDClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 8));
        QCOMPARE(selected(), QStringLiteral("geehrte"));
        QTest::mouseDClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 1, 6));
        QCOMPARE(selected(), QStringLiteral("Herren"));
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 5));
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(*m_view, 1, 3));
        QCOMPARE(selected(), QStringLiteral("geehrte Damen\nund"));
        // Shift+click again moves the end, the start stays.
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(*m_view, 0, 2));
        QCOMPARE(selected(), QStringLiteral("hr "));
    }

    void draggingBeyondTheBoxScrollsOn()
    {
        QByteArray bytes;
        for (int i = 0; i < 200; ++i)
            bytes += "Zeile " + QByteArray::number(i) + '\n';
        showSmallFile(bytes);
        QTest::mousePress(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 0));
        const QPoint below(20, m_view->viewport()->height() + 30);
        QTest::mouseMove(m_view->viewport(), below);
        // Held there, the selection goes on downwards.
        QTRY_VERIFY_WITH_TIMEOUT(m_view->firstVisibleRow() > 20, budget::ms(budget::TestWait));
        QTest::mouseRelease(m_view->viewport(), Qt::LeftButton, {}, below);
        const qint64 scrolled = m_view->firstVisibleRow();
        QVERIFY(m_view->cursorRow() >= scrolled);
        QCOMPARE(m_view->selectionStart(), (TextView::Position{0, 0}));
        QVERIFY(selected().startsWith(QStringLiteral("Zeile 0\nZeile 1\n")));
        QCOMPARE(selected().count(u'\n'), m_view->cursorRow());
        // Released, it stops.
        QTest::qWait(200);
        QCOMPARE(m_view->firstVisibleRow(), scrolled);
    }

    void keysSelect()
    {
        showSmallFile("eins zwei\ndrei vier\nfünf");
        m_view->setFocus();
        QTest::keyClick(m_view.get(), Qt::Key_Right);
        QTest::keyClick(m_view.get(), Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("in"));
        QTest::keyClick(m_view.get(), Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("ins zwei\ndre"));
        QTest::keyClick(m_view.get(), Qt::Key_End, Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("ins zwei\ndrei vier"));
        QTest::keyClick(m_view.get(), Qt::Key_Home, Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("ins zwei\n"));
        QTest::keyClick(m_view.get(), Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("ins zwei\ndrei vier\nfünf"));
        // Left without Shift goes to the start of the selection and ends it.
        QTest::keyClick(m_view.get(), Qt::Key_Left);
        QVERIFY(!m_view->hasSelection());
        QCOMPARE(m_view->cursorRow(), 0);
        QCOMPARE(m_view->cursorColumn(), 1);
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(selected(), QStringLiteral("eins zwei\ndrei vier\nfünf"));
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("eins zwei\ndrei vier\nfünf"));
        QTest::keyClick(m_view.get(), Qt::Key_Up, Qt::ShiftModifier);
        QCOMPARE(selected(), QStringLiteral("eins zwei\ndrei"));
    }

    void aLongLineIsCopiedWhole()
    {
        // Its rows are pieces of one line: copied, they join without a break.
        const QByteArray line = QByteArray("ab").repeated(1500);
        showSmallFile("vorne\n" + line + "\nhinten");
        QCOMPARE(m_view->rowCount(), 5);
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString::fromLatin1("vorne\n" + line + "\nhinten"));
    }

    void contextMenuOfAReadOnlyText()
    {
        const QString path = m_dir.filePath(QStringLiteral("gross.txt"));
        QByteArray bytes;
        for (int i = 0; i < 100000; ++i)
            bytes += "Zeile " + QByteArray::number(i) + '\n';
        QVERIFY(bytes.size() > TextView::EditableBytes);
        QVERIFY(writeRepeated(path, bytes, bytes.size()));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete() && m_view->visibleText().has_value(),
                                 budget::ms(budget::TestWait));
        QVERIFY(m_view->isReadOnly());
        withContextMenu(*m_view, at(*m_view, 0, 0), [&](QMenu& menu) {
            // The entries and texts of the toolkit's own read-only text box.
            QCOMPARE(entries(menu),
                     (QStringList{QStringLiteral("&Kopieren"), QStringLiteral("Alles auswählen")}));
            QVERIFY(!menu.actions().first()->isEnabled()); // nothing selected yet
            clickEntry(menu, QStringLiteral("Alles auswählen"));
        });
        QCOMPARE(m_view->selectionStart(), (TextView::Position{0, 0}));
        QCOMPARE(m_view->selectionEnd().row, 100000);
        QApplication::clipboard()->clear();
        withContextMenu(*m_view, at(*m_view, 1, 0), [&](QMenu& menu) {
            QVERIFY(menu.actions().first()->isEnabled());
            clickEntry(menu, QStringLiteral("&Kopieren"));
        });
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->copyPending(), budget::ms(budget::TestWait));
        QCOMPARE(QApplication::clipboard()->text(), QString::fromLatin1(bytes));
        // Typing does not change it, nor does Ctrl+X take anything away.
        QTest::keyClick(m_view.get(), Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Delete);
        QCOMPARE(m_view->rowText(0).value_or(QString()), QStringLiteral("Zeile 0"));
    }

    void contextMenuOfAnEditableText()
    {
        showSmallFile("Hallo Welt");
        withContextMenu(*m_view, at(*m_view, 0, 0), [&](QMenu& menu) {
            QCOMPARE(entries(menu), (QStringList{QStringLiteral("&Ausschneiden"), QStringLiteral("&Kopieren"),
                                                 QStringLiteral("Einf&ügen"), QStringLiteral("Löschen"),
                                                 QStringLiteral("Alles auswählen")}));
        });
        QTest::mouseDClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 8));
        withContextMenu(*m_view, at(*m_view, 0, 8),
                        [&](QMenu& menu) { clickEntry(menu, QStringLiteral("&Ausschneiden")); });
        QCOMPARE(m_view->toPlainText(), QStringLiteral("Hallo "));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("Welt"));
        QTest::keyClick(m_view.get(), Qt::Key_Home);
        withContextMenu(*m_view, at(*m_view, 0, 0),
                        [&](QMenu& menu) { clickEntry(menu, QStringLiteral("Einf&ügen")); });
        QCOMPARE(m_view->toPlainText(), QStringLiteral("WeltHallo "));
    }

    void typingReplacesTheSelection()
    {
        showSmallFile("Hallo Welt\nzweite Zeile\ndritte");
        QTest::mouseDClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 0, 8));
        QTest::keyClicks(m_view.get(), QStringLiteral("Erde"));
        QCOMPARE(m_view->toPlainText(), QStringLiteral("Hallo Erde\nzweite Zeile\ndritte"));
        // Backspace and Delete take the selection, and only it.
        QTest::keyClick(m_view.get(), Qt::Key_Left, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Left, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Backspace);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("Hallo Er\nzweite Zeile\ndritte"));
        QTest::keyClick(m_view.get(), Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Delete);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("Hallo Ereile\ndritte"));
        // Return over a selection.
        QTest::keyClick(m_view.get(), Qt::Key_End, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Return);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("Hallo Er\n\ndritte"));
        // Cut and paste, of several lines too.
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(m_view->toPlainText(), QString());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("Hallo Er\n\ndritte"));
        QTest::keyClicks(m_view.get(), QStringLiteral("<>"));
        QTest::keyClick(m_view.get(), Qt::Key_Left);
        QTest::keyClick(m_view.get(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("<Hallo Er\n\ndritte>"));
        QTest::keyClicks(m_view.get(), QStringLiteral("!"));
        QCOMPARE(m_view->toPlainText(), QStringLiteral("<Hallo Er\n\ndritte!>"));
    }

    void aSmallFileIsTakenFromMemory()
    {
        // Its text as a whole, and the first key typed into it, never wait for the drive.
        showSmallFile("eins\nzwei");
        g_reads = 0;
        setTextReadHookForTests(&countingDrive);
        QCOMPARE(m_view->toPlainText(), QStringLiteral("eins\nzwei"));
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("eins\nzwei"));
        QTest::keyClick(m_view.get(), Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(m_view.get(), QStringLiteral("!"));
        QCOMPARE(m_view->toPlainText(), QStringLiteral("eins\nzwei!"));
        QCOMPARE(g_reads.load(), 0);
    }

    void copyOfAFileIsReadOffTheWindow()
    {
        // Bigger than what the box keeps in memory: its rows are read for the copy.
        const QString path = m_dir.filePath(QStringLiteral("protokoll.txt"));
        QByteArray bytes;
        for (int i = 0; i < 600000; ++i)
            bytes += "Eintrag " + QByteArray::number(i) + " in Ordnung\n";
        QVERIFY(bytes.size() > 12 * 1024 * 1024 && bytes.size() < TextView::CopyMostBytes);
        QVERIFY(writeRepeated(path, bytes, bytes.size()));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete() && m_view->visibleText().has_value(),
                                 budget::ms(budget::TestWait));
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        // The drive stops answering: the copy waits for it, the window does not.
        setTextReadHookForTests(&hangingDrive);
        g_driveHangs = true;
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QVERIFY(m_view->copyPending());
        QTRY_VERIFY_WITH_TIMEOUT(g_readsHeld.load() >= 1, budget::ms(budget::TestWait));
        QTest::keyClick(m_view.get(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(m_view->cursorRow(), 0);
        QVERIFY(m_view->copyPending());
        g_driveHangs = false;
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->copyPending(), budget::ms(budget::TestWait));
        QTRY_COMPARE_WITH_TIMEOUT(g_readsHeld.load(), 0, budget::ms(budget::TestWait));
        setTextReadHookForTests(nullptr);
        // What was selected when Ctrl+C was pressed, all of it.
        const QString copied = QApplication::clipboard()->text();
        QCOMPARE(copied.size(), bytes.size());
        QCOMPARE(copied, QString::fromLatin1(bytes));
        // Part of it: from the middle of one row to the middle of another far from it.
        m_view->scrollToRow(1000);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, {}, at(*m_view, 1000, 8));
        m_view->scrollToRow(500000);
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        QTest::mouseClick(m_view->viewport(), Qt::LeftButton, Qt::ShiftModifier, at(*m_view, 500000, 14));
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->copyPending(), budget::ms(budget::TestWait));
        const qsizetype from = bytes.indexOf("Eintrag 1000 ") + 8;
        const qsizetype to = bytes.indexOf("Eintrag 500000 ") + 14;
        QCOMPARE(QApplication::clipboard()->text(), QString::fromLatin1(bytes.mid(from, to - from)));
    }

    void aGibibyteIsNotCopiedAndSaysSo()
    {
        const QString path = m_dir.filePath(QStringLiteral("riesig.txt"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(GiB));
            QVERIFY(writeAt(f.handle(), 0, "Anfang\nzweite Zeile\n"));
        }
        CapturingMessageSeam messages;
        QApplication::clipboard()->setText(QStringLiteral("vorher"));
        const qint64 before = peakKiB();
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->visibleText().has_value(), budget::ms(budget::TestWait));
        // All of it, while its rows are still being counted: the copy waits for the count.
        QTest::keyClick(m_view.get(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->copyPending(), budget::ms(budget::TestWholeHugeText));
        QVERIFY(m_view->rowCountComplete());
        QCOMPARE(m_view->selectionEnd().row, m_view->rowCount() - 1);
        QCOMPARE(messages.messages.size(), size_t(1));
        QCOMPARE(messages.messages[0].text,
                 QStringLiteral("Der markierte Text ist zu groß für die Zwischenablage (mehr als 16 MB). "
                                "Es wurde nichts kopiert."));
        QCOMPARE(messages.messages[0].icon, MsgIcon::Warning);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("vorher"));
        if (PeakMeansSomething)
            QVERIFY2(peakKiB() - before < 64 * 1024, qPrintable(QString::number(peakKiB() - before)));
        // A little of it is copied.
        QTest::keyClick(m_view.get(), Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(m_view.get(), Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_End, Qt::ShiftModifier);
        QTest::keyClick(m_view.get(), Qt::Key_C, Qt::ControlModifier);
        QTRY_VERIFY_WITH_TIMEOUT(!m_view->copyPending(), budget::ms(budget::TestWait));
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("Anfang\nzweite Zeile"));
        QCOMPARE(messages.messages.size(), size_t(1));
    }

private:
    QString selected() const { return m_view->selectedText().value_or(QStringLiteral("(not in memory)")); }

    // Shows a file small enough to edit, all of it read, with the focus in the view.
    void showSmallFile(const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("klein.txt"));
        QVERIFY(writeRepeated(path, bytes, bytes.size()));
        LoadTextFile(QFile::encodeName(path), m_view.get());
        QTRY_VERIFY_WITH_TIMEOUT(m_view->rowCountComplete() && !m_view->waitingForFile() &&
                                     m_view->visibleText().has_value(),
                                 budget::ms(budget::TestWait));
        QVERIFY(!m_view->isReadOnly());
        m_view->setFocus();
        QVERIFY(m_view->hasFocus());
    }

    QTemporaryDir m_dir;
    std::unique_ptr<TextView> m_view;
};

QTEST_MAIN(TstTextView)
#include "tst_textview.moc"
