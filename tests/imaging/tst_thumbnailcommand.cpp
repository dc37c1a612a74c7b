#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include "budgets.h"

namespace {

QByteArray le16(int v)
{
    QByteArray b(2, '\0');
    qToLittleEndian<quint16>(quint16(v), b.data());
    return b;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

// A placeable WMF that writes a word: drawing text needs fonts, and so the worker's
// application object.
QByteArray wmfWithText(const QByteArray& text)
{
    QByteArray w =
        le32(0x9AC6CDD7) + le16(0) + le16(0) + le16(0) + le16(1000) + le16(1000) + le16(1440) + le32(0);
    quint16 sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= qFromLittleEndian<quint16>(w.constData() + 2 * i);
    w += le16(sum);
    QByteArray out = le16(int(text.size())) + text;
    if (text.size() % 2)
        out += '\0';
    out += le16(500) + le16(100);
    const QByteArray records = le32(3 + quint32(out.size()) / 2) + le16(0x0521) + out + le32(3) + le16(0);
    w += le16(1) + le16(9) + le16(0x0300) + le32(9 + quint32(records.size()) / 2) + le16(0) + le32(20) +
         le16(0) + records;
    return w;
}

} // namespace

class TstThumbnailCommand : public QObject
{
    Q_OBJECT

private slots:
    void photoBecomesPngOfFittedSize();
    void metafileWithoutDisplay();
    void metafileWithTextMakesNoFiles();
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
        QStringList made; // what the command left in its temporary, home and runtime folders
    };
    Run run(const QStringList& arguments, bool runtimeFolderSet = true);
    QTemporaryDir m_dir;
};

TstThumbnailCommand::Run TstThumbnailCommand::run(const QStringList& arguments, bool runtimeFolderSet)
{
    QProcess process;
    // No display at all, and a platform that would fail if a window system were touched.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Every place a library could make a file in, empty, to see that nothing is made.
    QTemporaryDir places;
    if (!places.isValid())
        return {};
    for (const char* name : {"TMPDIR", "HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString folder = QString::fromLatin1(name);
        if (folder == QLatin1String("XDG_RUNTIME_DIR") && !runtimeFolderSet)
            continue;
        QDir(places.path()).mkdir(folder);
        env.insert(folder, places.filePath(folder));
    }
    if (!runtimeFolderSet)
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    process.setProcessEnvironment(env);
    const QStringList before = QDir(places.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    process.start(QStringLiteral(FOTARIK_EXE), QStringList{QStringLiteral("--thumbnail")} + arguments);
    if (!process.waitForFinished(fotarik::budget::ms(fotarik::budget::TestHangGuard)))
        return {};
    Run r{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          process.readAllStandardOutput(),
          process.readAllStandardError(),
          {}};
    QDirIterator it(places.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = QDir(places.path()).relativeFilePath(it.next());
        if (!before.contains(f))
            r.made << f;
    }
    return r;
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

void TstThumbnailCommand::metafileWithTextMakesNoFiles()
{
    const QString path = m_dir.filePath(QStringLiteral("gruss.wmf"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(wmfWithText("Hallo"));
    f.close();
    // Without a runtime folder a library would make one in the temporary folder.
    for (const bool runtimeFolderSet : {false, true}) {
        const Run r = run({path, QStringLiteral("100x100")}, runtimeFolderSet);
        QCOMPARE(r.exitCode, 0);
        QImage png;
        QVERIFY(png.loadFromData(r.out, "png"));
        QVERIFY2(r.made.isEmpty(), qPrintable(r.made.join(QStringLiteral(", "))));
    }
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
