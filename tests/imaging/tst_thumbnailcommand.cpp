#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "budgets.h"

class TstThumbnailCommand : public QObject
{
    Q_OBJECT

private slots:
    void photoBecomesPngOfFittedSize();
    void metafileWithoutDisplay();
    void undecodableFileExitsOne_data();
    void undecodableFileExitsOne();
    void badUsageExitsTwo_data();
    void badUsageExitsTwo();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Run run(const QStringList& arguments);
    QTemporaryDir m_dir;
};

TstThumbnailCommand::Run TstThumbnailCommand::run(const QStringList& arguments)
{
    QProcess process;
    // No display at all, and a platform that would fail if a window system were touched.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(FOTARIK_EXE), QStringList{QStringLiteral("--thumbnail")} + arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

void TstThumbnailCommand::photoBecomesPngOfFittedSize()
{
    QImage photo(1600, 1200, QImage::Format_RGB32);
    photo.fill(Qt::darkRed);
    const QString path = m_dir.filePath(QStringLiteral("foto.jpg"));
    QVERIFY(photo.save(path, "jpg", 90));

    const Run r = run({path, QStringLiteral("210x210")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("210 157\n"));
    QImage png;
    QVERIFY(png.loadFromData(r.out, "png"));
    QCOMPARE(png.size(), QSize(210, 157));

    const Run big = run({path, QStringLiteral("1915x1030")});
    QCOMPARE(big.exitCode, 0);
    QCOMPARE(big.err, QByteArray("1373 1030\n"));
}

void TstThumbnailCommand::metafileWithoutDisplay()
{
    const QString wmf = QStringLiteral(FOTARIK_CORPUS_DIR "/images/wmf_emf/pillow_drawing.wmf");
    if (!QFile::exists(wmf))
        QSKIP("corpus not present");
    const Run r = run({wmf, QStringLiteral("50x50")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("50 50\n"));
    QImage png;
    QVERIFY(png.loadFromData(r.out, "png"));
    QCOMPARE(png.size(), QSize(50, 50));
}

void TstThumbnailCommand::undecodableFileExitsOne_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("a letter") << QByteArray("brief.jpg") << QByteArray("Lieber Hans,\nanbei kein Bild.\n")
                              << QByteArray("ist kein Bild in einem der bekannten Formate");
    QTest::newRow("a cut JPEG")
        << QByteArray("halb.jpg") << QByteArray("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11)
        << QByteArray("ließ sich nicht als Bild lesen (beschädigt, abgeschnitten oder zu groß)");
    QTest::newRow("empty") << QByteArray("leer.png") << QByteArray() << QByteArray("ist leer");
    QTest::newRow("missing") << QByteArray("weg ä.png") << QByteArray("-") << QByteArray("gibt es nicht");
    QTest::newRow("a folder") << QByteArray("ordner.jpg") << QByteArray("/")
                              << QByteArray("ist keine gewöhnliche Datei (Ordner, Pipe oder Gerät)");
}

// Standard error says which file gave no picture, and why.
void TstThumbnailCommand::undecodableFileExitsOne()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, reason);
    const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
    if (content == "/") {
        QVERIFY(QDir(m_dir.path()).mkdir(QString::fromLatin1(name)));
    } else if (content != "-") {
        QFile f(QFile::decodeName(path));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QProcess process;
    process.start(QStringLiteral(FOTARIK_EXE),
                  {QStringLiteral("--thumbnail"), QFile::decodeName(path), QStringLiteral("210x210")});
    QVERIFY(process.waitForFinished(fotarik::budget::ms(fotarik::budget::TestWait)));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardOutput().isEmpty());
    const QByteArray err = process.readAllStandardError();
    QVERIFY2(err.startsWith("fotarik --thumbnail: \"" + QFile::encodeName(QFile::decodeName(path)) + "\" " +
                            reason + "\n"),
             err.constData());
    QCOMPARE(err.count('\n'), 1);
}

void TstThumbnailCommand::badUsageExitsTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no size") << QStringList{QStringLiteral("x.jpg")};
    QTest::newRow("size without x") << QStringList{QStringLiteral("x.jpg"), QStringLiteral("210")};
    QTest::newRow("zero side") << QStringList{QStringLiteral("x.jpg"), QStringLiteral("0x210")};
    QTest::newRow("negative") << QStringList{QStringLiteral("x.jpg"), QStringLiteral("-5x210")};
    QTest::newRow("extra argument") << QStringList{QStringLiteral("x.jpg"), QStringLiteral("2x2"),
                                                   QStringLiteral("y")};
}

void TstThumbnailCommand::badUsageExitsTwo()
{
    QFETCH(QStringList, arguments);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
}

QTEST_GUILESS_MAIN(TstThumbnailCommand)
#include "tst_thumbnailcommand.moc"
