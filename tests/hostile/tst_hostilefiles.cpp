// Texts, shortcuts and the full-screen text display against hostile files: pipes and
// devices under ordinary names, huge and sparse files, one line of megabytes.

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "budgets.h"
#include "form1.h"
#include "globals.h"
#include "hostileinputs.h"
#include "listbox.h"
#include "modlargelist.h"
#include "modul1.h"
#include "programflags.h"
#include "raisederror.h"
#include "shortcut.h"
#include "textview.h"
#include "ui_form1.h"
#include "workermain.h"

using namespace fotarik;

namespace {

constexpr double GuardSeconds = double(fotarik::budget::TestHangGuard.count()) / 1000;

qint64 peakKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The bytes of a shortcut whose target is "C:\Bilder\Urlaub" (after a first drive mark, as
// in real shortcut files).
QByteArray shortcutBytes()
{
    return QByteArray("L\0\0\0", 4) + QByteArray(60, '\0') + QByteArray("C:\\\0\0", 5) +
           QByteArray(20, '\1') + QByteArray("C:\\Bilder\\Urlaub\0\0", 18) + QByteArray(40, '\0');
}

} // namespace

class TstHostileFiles : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void textFromAPipeIsRefusedAtOnce()
    {
        const QByteArray fifo = QFile::encodeName(m_dir.filePath(QStringLiteral("notes.txt")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const hostile::ChildRun r = hostile::runInChild(
            [&] {
                TextView box;
                box.setPlainText(QStringLiteral("vorher"));
                try {
                    LoadTextFile(fifo, &box);
                } catch (const RaisedError& e) {
                    return e.number() == 75 && box.toPlainText() == QStringLiteral("vorher") ? 0 : 2;
                }
                return 1;
            },
            GuardSeconds);
        QVERIFY2(r.finished, "the text loading blocked on a pipe");
        QCOMPARE(r.exitCode, 0);
    }

    void shortcutsThatAreNoFilesAreNotRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("pipe") << "pipe";
        QTest::newRow("link to /dev/zero") << "zero";
        QTest::newRow("folder") << "folder";
    }
    void shortcutsThatAreNoFilesAreNotRead()
    {
        QFETCH(QString, kind);
        const QByteArray path = QFile::encodeName(m_dir.filePath(kind + QStringLiteral(".lnk")));
        if (kind == QLatin1String("pipe"))
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        else if (kind == QLatin1String("zero"))
            QCOMPARE(::symlink("/dev/zero", path.constData()), 0);
        else
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
        const hostile::ChildRun r =
            hostile::runInChild([&] { return ShortcutTarget(path).isEmpty() ? 0 : 1; }, GuardSeconds);
        QVERIFY2(r.finished, "reading the shortcut did not end");
        QCOMPARE(r.exitCode, 0);
    }

    void sparseFourGigabyteShortcutIsReadOnlyAtItsStart()
    {
        const QString path = m_dir.filePath(QStringLiteral("huge.lnk"));
        QVERIFY(hostile::writeFile(path, shortcutBytes()));
        QVERIFY(QFile::resize(path, qint64(4) << 30));
        const QByteArray name = QFile::encodeName(path);
        const hostile::ChildRun r = hostile::runInChild(
            [&] {
                const qint64 before = peakKiB();
                const bool found = ShortcutTarget(name) == QByteArray("C:\\Bilder\\Urlaub");
                // A real shortcut is a few KiB: reading this one must not cost more than a few MiB.
                return found && peakKiB() - before < 64 * 1024 ? 0 : 1;
            },
            GuardSeconds);
        QVERIFY2(r.finished, "reading the shortcut did not end");
        QCOMPARE(r.exitCode, 0);
    }

    void shortcutTargetPastTheCapIsNotSearched()
    {
        const QString path = m_dir.filePath(QStringLiteral("padded.lnk"));
        QVERIFY(hostile::writeFile(path, QByteArray(int(MaxShortcutBytes), '\0') + shortcutBytes()));
        QVERIFY(ShortcutTarget(QFile::encodeName(path)).isEmpty());
        QVERIFY(hostile::writeFile(path, shortcutBytes() + QByteArray(int(MaxShortcutBytes), '\0')));
        QCOMPARE(ShortcutTarget(QFile::encodeName(path)), QByteArray("C:\\Bilder\\Urlaub"));
    }

    void oneLineOfSixteenMebibytesIsShownInRows()
    {
        QByteArray line(16 * 1024 * 1024 - 100, 'x');
        for (qsizetype i = 0; i < line.size(); i += 997)
            line[i] = char('a' + i % 26);
        const QString path = m_dir.filePath(QStringLiteral("line.txt"));
        QVERIFY(hostile::writeFile(path, line + "\nEnde"));
        TextView box;
        box.resize(210, 210);
        box.show();
        LoadTextFile(QFile::encodeName(path), &box);
        QTRY_VERIFY_WITH_TIMEOUT(box.rowCountComplete(), budget::ms(budget::TestWait));
        // Rows short enough to lay out at once, and nothing lost.
        QCOMPARE(box.rowCount(), (line.size() + 1023) / 1024 + 1);
        QTRY_VERIFY_WITH_TIMEOUT(box.visibleText().has_value(), budget::ms(budget::TestWait));
        const QStringList start = *box.visibleText();
        QVERIFY(start.size() > 1);
        for (const QString& row : start)
            QCOMPARE(row.size(), 1024);
        QCOMPARE(box.visibleText()->first(), QString::fromLatin1(line.first(1024)));
        QCOMPARE(box.toPlainText(), QString::fromLatin1(line + "\nEnde"));
        box.moveCursor(QTextCursor::End);
        QTRY_VERIFY_WITH_TIMEOUT(box.visibleText().has_value(), budget::ms(budget::TestWait));
        QCOMPARE(box.visibleText()->last(), QStringLiteral("Ende"));
        const QStringList end = *box.visibleText();
        QCOMPARE(end[end.size() - 2], QString::fromLatin1(line.mid((line.size() - 1) / 1024 * 1024)));
    }

    void longLineIsNeverBrokenInsideACharacter()
    {
        // A character outside the basic plane straddling the row's end: it goes whole to the next row.
        const QString text =
            QString(1023, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + QString(2000, u'b');
        const QString path = m_dir.filePath(QStringLiteral("emoji.txt"));
        QVERIFY(hostile::writeFile(path, text.toUtf8()));
        TextView box;
        LoadTextFile(QFile::encodeName(path), &box);
        QTRY_VERIFY_WITH_TIMEOUT(box.rowCountComplete(), budget::ms(budget::TestWait));
        QVERIFY(box.rowCount() >= 3);
        QString joined;
        for (qint64 r = 0; r < box.rowCount(); ++r) {
            std::optional<QString> row;
            QTRY_VERIFY_WITH_TIMEOUT((row = box.rowText(r)).has_value(), budget::ms(budget::TestWait));
            QVERIFY(row->size() <= 1024);
            QVERIFY(!row->isEmpty() && !row->front().isLowSurrogate() && !row->back().isHighSurrogate());
            joined += *row;
        }
        QCOMPARE(joined, text);
        QCOMPARE(box.toPlainText(), text);
    }

    void fullScreenResizeDoesNotReloadTheText()
    {
        QWidget search;
        auto* list = new ListBox(&search);
        const QString path = m_dir.filePath(QStringLiteral("full.txt"));
        QVERIFY(hostile::writeFile(path, "Hallo\nWelt\n"));
        AddItem(list, QFile::encodeName(path));
        SetListIndex(list, 0);
        search.show();
        test::resetProgramFlags();
        Form1 form(list, &search);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.resize(800, 600);
        QTRY_COMPARE(form.size(), QSize(800, 600));
        QCOMPARE(form.ui->TextBox1->toPlainText(), QStringLiteral("Hallo\nWelt\n"));
        const int revision = form.ui->TextBox1->revision();
        form.resize(700, 500);
        QTRY_COMPARE(form.size(), QSize(700, 500));
        QCOMPARE(form.ui->TextBox1->revision(), revision);
        QVERIFY(form.ui->TextBox1->isVisible());
        // A changed file is read again at the next display.
        QTest::qWait(20); // a new modification time
        QVERIFY(hostile::writeFile(path, "Neu\n"));
        form.resize(800, 600);
        QTRY_COMPARE(form.ui->TextBox1->toPlainText(), QStringLiteral("Neu\n"));
        form.close();
    }

private:
    QTemporaryDir m_dir;
};

FOTARIK_TEST_MAIN(TstHostileFiles)
#include "tst_hostilefiles.moc"
