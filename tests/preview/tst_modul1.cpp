#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "modul1.h"
#include "raisederror.h"

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
    void textStopsAtNul();
    void hugeFileShowsItsFirst16MiB();
    void manyShortLinesAreShownUpTo300000();
    void cutInsideUtf8CharacterStaysUtf8();

private:
    QByteArray write(const QByteArray& name, const QByteArray& bytes);
    QString load(const QByteArray& bytes);

    QTemporaryDir m_dir;
    QPlainTextEdit m_box;
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
}

void TestModul1::decodes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(decodeText(bytes), text);
    QCOMPARE(load(bytes), text);
}

void TestModul1::emptyFileEmptiesTheBox()
{
    QCOMPARE(load(QByteArray()), QString());
}

void TestModul1::keepsLineBreaks()
{
    QCOMPARE(load("eins\nzwei\r\ndrei\n"), QStringLiteral("eins\nzwei\ndrei\n"));
    QCOMPARE(m_box.blockCount(), 4);
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

void TestModul1::textStopsAtNul()
{
    QCOMPARE(load(QByteArray("vor\0nach", 8)), QStringLiteral("vor"));
    QCOMPARE(SetTextByMessage(&m_box, QStringLiteral("direkt")), 1);
    QCOMPARE(m_box.toPlainText(), QStringLiteral("direkt"));
}

void TestModul1::hugeFileShowsItsFirst16MiB()
{
    const qsizetype limit = 16 * 1024 * 1024;
    QByteArray line(63, 'x');
    line += '\n';
    QByteArray bytes = line.repeated(limit / line.size());
    bytes += "ENDE-NICHT-SICHTBAR\n";
    const QString text = load(bytes);
    QCOMPARE(text.size(), limit);
    QVERIFY(!text.contains(QStringLiteral("ENDE")));
}

void TestModul1::manyShortLinesAreShownUpTo300000()
{
    // Far below 16 MiB, but enough lines to keep the text box busy for many seconds.
    QByteArray bytes = QByteArray("ä\n").repeated(400000);
    bytes.prepend("erste Zeile\n");
    const QString text = load(bytes);
    QCOMPARE(text.count(u'\n'), 300000);
    QVERIFY(text.startsWith(QStringLiteral("erste Zeile\nä\n")));
    QVERIFY(text.endsWith(QStringLiteral("ä\n")));
}

void TestModul1::cutInsideUtf8CharacterStaysUtf8()
{
    const qsizetype limit = 16 * 1024 * 1024;
    // Lines of two-byte umlauts, shifted by one ASCII byte so that one umlaut straddles the mark.
    const QByteArray line = QByteArray("\xc3\xa4").repeated(30) + '\n';
    const QByteArray bytes = "a" + line.repeated(limit / line.size() + 10);
    QCOMPARE(uchar(bytes[limit - 1]), uchar(0xc3));
    const QString text = load(bytes);
    QVERIFY(!text.contains(QChar(0xC3))); // not mistaken for Windows-1252
    QCOMPARE(text, QString::fromUtf8(bytes.first(limit - 1)));
}

QTEST_MAIN(TestModul1)
#include "tst_modul1.moc"
