#include <QTest>

#include "fileclass.h"

using fotarik::FileClass;
using fotarik::FileKind;

Q_DECLARE_METATYPE(fotarik::FileKind)

class TstFileClass : public QObject
{
    Q_OBJECT
private slots:
    void classifies_data();
    void classifies();
    void bytePathsAreClassifiedLikeText();
};

void TstFileClass::classifies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<FileKind>("kind");

    const char* pictures[] = {"bmp", "jpg",  "jpeg", "jfif", "jpe",  "png", "ico",
                              "gif", "dib",  "cur",  "rle",  "wmf",  "tif", "tiff",
                              "emf", "heic", "heif", "hif",  "avif", "jxl", "webp"};
    for (const char* s : pictures)
        QTest::addRow("picture .%s", s)
            << QStringLiteral("/home/u/bild.%1").arg(QLatin1String(s)) << FileKind::Picture;
    for (const char* s : {"txt", "ini", "asc", "htm", "html"})
        QTest::addRow("text .%s", s) << QStringLiteral("/home/u/notiz.%1").arg(QLatin1String(s))
                                     << FileKind::Text;

    QTest::newRow("wave") << "/a/ton.wav" << FileKind::WaveSound;
    QTest::newRow("midi") << "/a/lied.mid" << FileKind::MidiSound;
    QTest::newRow("video") << "/a/film.avi" << FileKind::Video;
    QTest::newRow("mp3") << "/a/lied.mp3" << FileKind::Mp3;
    QTest::newRow("exe") << "/a/setup.exe" << FileKind::Program;
    QTest::newRow("dll") << "/a/lib.dll" << FileKind::Program;
    QTest::newRow("other") << "/a/archiv.zip" << FileKind::Other;
    QTest::newRow("midi by four letters is not midi") << "/a/lied.midi" << FileKind::Other;
    QTest::newRow("empty") << "" << FileKind::Other;
    QTest::newRow("shorter than three") << "g" << FileKind::Other;

    // Letter case and the four-letter suffixes.
    QTest::newRow("A.JPG") << "A.JPG" << FileKind::Picture;
    QTest::newRow("a.Jpeg") << "a.Jpeg" << FileKind::Picture;
    QTest::newRow("a.TIFF") << "a.TIFF" << FileKind::Picture;
    QTest::newRow("IMG_0001.HEIC") << "IMG_0001.HEIC" << FileKind::Picture;
    QTest::newRow("a.AVIF") << "a.AVIF" << FileKind::Picture;
    QTest::newRow("a.Jxl") << "a.Jxl" << FileKind::Picture;
    QTest::newRow("a.WebP") << "a.WebP" << FileKind::Picture;
    QTest::newRow("a.heics is no picture") << "a.heics" << FileKind::Other;
    QTest::newRow("a.avifs is no picture") << "a.avifs" << FileKind::Other;
    QTest::newRow("trailing blank on heic") << "a.heic " << FileKind::Other;
    QTest::newRow("a.jpeg by s4") << "a.jpeg" << FileKind::Picture;
    QTest::newRow("a.jpe by s3") << "a.jpe" << FileKind::Picture;
    QTest::newRow("a.HTML") << "a.HTML" << FileKind::Text;
    QTest::newRow("a.shtml ends in html") << "a.shtml" << FileKind::Text;
    QTest::newRow("a.xhtm ends in htm") << "a.xhtm" << FileKind::Text;

    // No dot is needed: only the last characters count.
    QTest::newRow("mybmp") << "mybmp" << FileKind::Picture;
    QTest::newRow("bmp alone") << "bmp" << FileKind::Picture;
    QTest::newRow("folder ending in txt") << "/a/context" << FileKind::Other;
    QTest::newRow("pretext") << "/a/pretxt" << FileKind::Text;

    // Blanks are trimmed after the last characters are taken, so a trailing blank spoils it.
    QTest::newRow("trailing blank") << "a.jpg " << FileKind::Other;
    QTest::newRow("trailing blank on four") << "a.tiff " << FileKind::Other;
    QTest::newRow("leading blank in s4 of .jpg") << "a jpg" << FileKind::Picture;
    QTest::newRow("umlaut name") << QStringLiteral("/ä/Übersicht.TXT") << FileKind::Text;
}

void TstFileClass::classifies()
{
    QFETCH(QString, path);
    QFETCH(FileKind, kind);
    QCOMPARE(FileClass(path), kind);
}

void TstFileClass::bytePathsAreClassifiedLikeText()
{
    // A name that is not UTF-8 still classifies by its ASCII suffix.
    QCOMPARE(FileClass(QByteArray("/a/gr\xfc\xdf.mp3")), FileKind::Mp3);
    QCOMPARE(FileClass(QByteArray("/a/\xff\xfe.jpeg")), FileKind::Picture);
    QCOMPARE(FileClass(QByteArray("/a/x.tx\xff")), FileKind::Other);
}

QTEST_APPLESS_MAIN(TstFileClass)
#include "tst_fileclass.moc"
