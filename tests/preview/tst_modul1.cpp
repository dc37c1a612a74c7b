#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "budgets.h"
#include "modul1.h"
#include "raisederror.h"
#include "textview.h"

using namespace fotarik;

class TestModul1 : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void decodes_data();
    void decodes();
    void emptyFileEmptiesTheBox();
    void keepsLineBreaks();
    void missingFileRaises53AndKeepsTheText();
    void folderRaises75();
    void unreadableFileRaises75();
    void nonUtf8FileNameIsRead();
    void nulIsShownAndTheMessageStopsAtIt();
    void everyLineBreakCountsOnce();
    void crLfAcrossAReadCountsOnce();
    void lastOfManyShortLinesIsShown();
    void utf8CharacterAcrossTheHeadStaysUtf8();
    void invalidUtf8FarIntoTheFileMakesItWindows1252();
    void sameFileIsNotShownAgain();

private:
    QByteArray write(const QByteArray& name, const QByteArray& bytes);
    QString load(const QByteArray& bytes);

    QTemporaryDir m_dir;
    TextView m_box;
};

void TestModul1::init()
{
    m_box.setPlainText(QStringLiteral("vorher"));
}

QByteArray TestModul1::write(const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
    QFile f(QFile::decodeName(path));
    if (name.contains('\xe4')) { // a name that is not UTF-8: write it through the bytes
        FILE* raw = fopen(path.constData(), "wb");
        fwrite(bytes.constData(), 1, size_t(bytes.size()), raw);
        fclose(raw);
        return path;
    }
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write test file");
    return path;
}

QString TestModul1::load(const QByteArray& bytes)
{
    LoadTextFile(write("t.txt", bytes), &m_box);
    if (!QTest::qWaitFor([&] { return !m_box.waitingForFile() && m_box.rowCountComplete(); },
                         budget::ms(budget::TestWait)))
        return QStringLiteral("(not loaded)");
    return m_box.toPlainText();
}

void TestModul1::decodes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("ascii") << QByteArray("Hallo Welt") << QStringLiteral("Hallo Welt");
    QTest::newRow("utf-8 umlauts") << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                 "e \xe2\x82\xac")
                                   << QStringLiteral("Grüße €");
    QTest::newRow("utf-8 with BOM") << QByteArray("\xef\xbb\xbfSch\xc3\xb6n") << QStringLiteral("Schön");
    QTest::newRow("windows-1252 umlauts") << QByteArray("Gr\xfc\xdf"
                                                        "e \x80 \xc4\xd6\xdc")
                                          << QStringLiteral("Grüße € ÄÖÜ");
    QTest::newRow("invalid utf-8 falls back") << QByteArray("\xc3\x28 ok") << QStringLiteral("Ã( ok");
    QTest::newRow("utf-8 cut at the end is not utf-8") << QByteArray("ab\xc3") << QStringLiteral("abÃ");
    QTest::newRow("windows-1252 quotes") << QByteArray("\x84"
                                                       "Zitat\x93")
                                         << QStringLiteral("„Zitat“");
    // Notepad's "Unicode": UTF-16 with its byte-order mark, NULs between the letters.
    QTest::newRow("utf-16 le with BOM") << QByteArray("\xff\xfeH\0\xe4\0\r\0\n\0=\xd8\0\xde", 14)
                                        << QString::fromUtf8("H\xc3\xa4\n\xf0\x9f\x98\x80");
    QTest::newRow("utf-16 be with BOM")
        << QByteArray("\xfe\xff\0H\0\xe4\x20\x29\0!", 10) << QString::fromUtf8("H\xc3\xa4\n!");
}

void TestModul1::decodes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    // The text as a whole keeps U+2028/U+2029 where the box shows a line break.
    QString whole = decodeText(bytes);
    whole.replace(QChar(0x2029), u'\n').replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QCOMPARE(whole, text);
    QCOMPARE(load(bytes), text);
}

void TestModul1::emptyFileEmptiesTheBox()
{
    QCOMPARE(load(QByteArray()), QString());
}

void TestModul1::keepsLineBreaks()
{
    QCOMPARE(load("eins\nzwei\r\ndrei\n"), QStringLiteral("eins\nzwei\ndrei\n"));
    QCOMPARE(m_box.rowCount(), 4);
}

void TestModul1::missingFileRaises53AndKeepsTheText()
{
    try {
        LoadTextFile(QFile::encodeName(m_dir.path()) + "/fehlt.txt", &m_box);
        QFAIL("no error raised");
    } catch (const RaisedError& e) {
        QCOMPARE(e.number(), 53);
        QCOMPARE(e.source(), QStringLiteral("Modul1"));
        QCOMPARE(e.description(), QStringLiteral("Datei nicht gefunden"));
    }
    QCOMPARE(m_box.toPlainText(), QStringLiteral("vorher"));
}

void TestModul1::folderRaises75()
{
    try {
        LoadTextFile(QFile::encodeName(m_dir.path()), &m_box);
        QFAIL("no error raised");
    } catch (const RaisedError& e) {
        QCOMPARE(e.number(), 75);
        QCOMPARE(e.description(), QStringLiteral("Pfad/Datei-Zugriffsfehler"));
    }
    QCOMPARE(m_box.toPlainText(), QStringLiteral("vorher"));
}

void TestModul1::unreadableFileRaises75()
{
    if (geteuid() == 0)
        QSKIP("root reads every file");
    const QByteArray path = write("geheim.txt", "geheim");
    QVERIFY(QFile::setPermissions(QFile::decodeName(path), QFileDevice::WriteOwner));
    QVERIFY_THROWS_EXCEPTION(RaisedError, LoadTextFile(path, &m_box));
    QCOMPARE(m_box.toPlainText(), QStringLiteral("vorher"));
}

void TestModul1::nonUtf8FileNameIsRead()
{
    const QByteArray path = write("gr\xe4.txt", "Inhalt");
    LoadTextFile(path, &m_box);
    ::unlink(path.constData()); // QTemporaryDir cannot name it to remove it
    QCOMPARE(m_box.toPlainText(), QStringLiteral("Inhalt"));
}

void TestModul1::nulIsShownAndTheMessageStopsAtIt()
{
    // The whole file is shown: a NUL byte as its symbol, nothing after it lost.
    QCOMPARE(load(QByteArray("vor\0nach", 8)), QString::fromUtf8("vor\xe2\x90\x80nach"));
    QCOMPARE(SetTextByMessage(&m_box, QStringLiteral("direkt")), 1);
    QCOMPARE(m_box.toPlainText(), QStringLiteral("direkt"));
    QCOMPARE(SetTextByMessage(&m_box, QString::fromUtf8("bis\0hier", 8)), 1);
    QCOMPARE(m_box.toPlainText(), QStringLiteral("bis"));
}

void TestModul1::everyLineBreakCountsOnce()
{
    // LF, CR, CR LF, form feed, U+2028, U+2029: each one break, so seven rows.
    const QString text = load("a\nb\rc\r\nd\fe\xe2\x80\xa8"
                              "f\xe2\x80\xa9g");
    QCOMPARE(m_box.rowCount(), 7);
    QCOMPARE(text, QStringLiteral("a\nb\nc\nd\ne\nf\ng"));
    for (int row = 0; row < 7; ++row)
        QCOMPARE(m_box.rowText(row), std::optional<QString>(QString(QChar(u'a' + row))));
    // Lone CRs are lines too, in Windows-1252 as well.
    QCOMPARE(load(QByteArray("\xfc\r\r\xfc\r")), QStringLiteral("ü\n\nü\n"));
    QCOMPARE(m_box.rowCount(), 4);
}

void TestModul1::crLfAcrossAReadCountsOnce()
{
    // The index reads the file in pieces of a MiB: a CR LF that straddles the cut is one break.
    QByteArray bytes(1024 * 1024 - 1, 'x');
    for (qsizetype i = 100; i < bytes.size(); i += 100)
        bytes[i] = '\n';
    bytes += "\r\nletzte";
    QVERIFY(bytes[1024 * 1024 - 1] == '\r' && bytes[1024 * 1024] == '\n');
    const QString text = load(bytes);
    QCOMPARE(text, QString::fromLatin1(bytes).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    QCOMPARE(m_box.rowCount(), bytes.count('\n') + 1);
}

void TestModul1::lastOfManyShortLinesIsShown()
{
    // 300 006 short lines, 2 MB: all of them, the last one included.
    QByteArray bytes;
    for (int i = 0; i < 300006; ++i)
        bytes += QByteArray::number(i).rightJustified(6, '0') + '\n';
    LoadTextFile(write("kurz.txt", bytes), &m_box);
    QTRY_VERIFY_WITH_TIMEOUT(m_box.rowCountComplete(), budget::ms(budget::TestWait));
    QCOMPARE(m_box.rowCount(), 300007); // and the empty row after the last break
    m_box.resize(300, 200);
    m_box.show();
    m_box.moveCursor(QTextCursor::End);
    QTRY_VERIFY_WITH_TIMEOUT(m_box.visibleText().has_value(), budget::ms(budget::TestWait));
    const QStringList shown = *m_box.visibleText();
    QVERIFY(shown.size() >= 2);
    QCOMPARE(shown.last(), QString());
    QCOMPARE(shown[shown.size() - 2], QStringLiteral("300005"));
    m_box.hide();
}

void TestModul1::utf8CharacterAcrossTheHeadStaysUtf8()
{
    // The encoding is guessed from the first 64 KiB; an umlaut cut by that mark is no reason
    // to take the file for Windows-1252.
    const QByteArray line = QByteArray("\xc3\xa4").repeated(30) + '\n';
    const QByteArray bytes = "a" + line.repeated(65536 / line.size() + 10);
    QCOMPARE(uchar(bytes[65535]), uchar(0xc3));
    const QString text = load(bytes);
    QVERIFY(!text.contains(QChar(0xC3)));
    QCOMPARE(text, QString::fromUtf8(bytes));
}

void TestModul1::invalidUtf8FarIntoTheFileMakesItWindows1252()
{
    // Valid UTF-8 for the first 300 KB, then one byte that is not: the whole file is
    // Windows-1252, as a file read whole would be.
    QByteArray bytes = QByteArray("Gr\xc3\xbc\xc3\x9f"
                                  "e\n")
                           .repeated(300000 / 8);
    bytes += "Stra\xdf"
             "e\n";
    const QString text = load(bytes);
    QCOMPARE(text, decodeText(bytes));
    QVERIFY(text.endsWith(QStringLiteral("Straße\n")));
    QVERIFY(text.startsWith(QStringLiteral("GrÃ¼ÃŸe\n")));
}

void TestModul1::sameFileIsNotShownAgain()
{
    const QByteArray path = write("gleich.txt", "eins\nzwei");
    LoadTextFile(path, &m_box);
    QVERIFY(textFileShown(path, &m_box));
    const int revision = m_box.revision();
    LoadTextFile(path, &m_box);
    QCOMPARE(m_box.revision(), revision);
    // Typed into: no longer the file as it is, so it is loaded again.
    m_box.moveCursor(QTextCursor::End);
    QTest::keyClick(&m_box, Qt::Key_X);
    QCOMPARE(m_box.toPlainText(), QStringLiteral("eins\nzweix"));
    QVERIFY(!textFileShown(path, &m_box));
    LoadTextFile(path, &m_box);
    QCOMPARE(m_box.toPlainText(), QStringLiteral("eins\nzwei"));
}

QTEST_MAIN(TestModul1)
#include "tst_modul1.moc"
