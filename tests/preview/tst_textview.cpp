// The text box against texts of any size and shape: a GiB on one line, a hundred million
// empty lines, megabytes of lone CRs or paragraph separators, a file that shrinks while it
// is shown, a drive that does not answer. Real files in a temporary folder; the big ones
// are sparse or written in pieces, so the test needs little memory itself.

#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "budgets.h"
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

} // namespace

class TstTextView : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_view = std::make_unique<TextView>();
        m_view->resize(300, 200);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }
    void cleanup() { m_view.reset(); }

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

private:
    QTemporaryDir m_dir;
    std::unique_ptr<TextView> m_view;
};

QTEST_MAIN(TstTextView)
#include "tst_textview.moc"
