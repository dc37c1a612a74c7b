// Pictures made to hurt: pipes under picture names and decoder bombs. Each is fed to the
// program's own thumbnail command in a child process, whose time and peak memory are
// measured; the time limits here only guard against hangs.

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "budgets.h"
#include "gdiplusresize.h"
#include "globals.h"
#include "hostileinputs.h"
#include "workermain.h"

using namespace fotarik;

namespace {

// Every picture is decoded or refused within this much resident memory for the whole
// thumbnail process; a sanitizer build adds its shadow memory.
qint64 budgetKiB()
{
    return (hostile::sanitizerBuild() ? 3 : 1) * 384 * 1024;
}

// Generous: only a hang or a runaway decode may reach it.
constexpr double GuardSeconds = double(fotarik::budget::TestHangGuard.count()) / 1000;

// A refusal says on one line of standard error which file gave no picture and why.
bool isRefusal(const QByteArray& err, const QString& file, const QByteArray& reason)
{
    const QByteArray start = "fotarik --thumbnail: \"" + QFile::encodeName(file) + "\" ";
    return err.startsWith(start) && err.endsWith('\n') && err.count('\n') == 1 && err.contains(reason);
}

} // namespace

class TstHostilePictures : public QObject
{
    Q_OBJECT

private slots:
    void pipeNamedLikeAPictureIsRefusedAtOnce();
    void bombsAreRefusedWithinBudget_data();
    void bombsAreRefusedWithinBudget();
    void onlyTheShownFormatsAreDecoded_data();
    void onlyTheShownFormatsAreDecoded();
    void webpInsideAJpegNameIsShown();
    void bigMetafilesConvertWithinBudget_data();
    void bigMetafilesConvertWithinBudget();
    void bitmapWithAbsurdHeaderIsNoPicture();
    void tiffWarningsStayOffStandardError();

private:
    hostile::ChildRun thumbnail(const QString& path)
    {
        return hostile::runProgram(QStringLiteral(FOTARIK_EXE),
                                   {QStringLiteral("--thumbnail"), path, "210x210"}, GuardSeconds,
                                   {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TstHostilePictures::pipeNamedLikeAPictureIsRefusedAtOnce()
{
    const QString fifo = path(QStringLiteral("x.jpg"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // In this process (a child, so that a blocking open cannot hang the suite) ...
    const hostile::ChildRun inProcess = hostile::runInChild(
        [&] {
            int32_t w = -1;
            int32_t h = -1;
            ScaledWidth = 5;
            const QImage image = LoadScaledPicture(QFile::encodeName(fifo), 210, 210, w, h, 0x00FFFFFF);
            return image.isNull() && w == -1 && ScaledWidth == 5.0f ? 0 : 1;
        },
        GuardSeconds);
    QVERIFY2(inProcess.finished, "the picture loading blocked on a pipe");
    QCOMPARE(inProcess.exitCode, 0);
    // ... and through the thumbnail command.
    const hostile::ChildRun r = thumbnail(fifo);
    QVERIFY2(r.finished, "the thumbnail command blocked on a pipe");
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(isRefusal(r.err, fifo, "Pipe"), r.err.constData());
    QVERIFY(r.out.isEmpty());
}

void TstHostilePictures::bombsAreRefusedWithinBudget_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("sparseTail"); // bytes of hole (read back as zeros), then a PNG end

    // A few hundred bytes that declare a 45000 x 45000 progressive picture: its whole
    // coefficient buffer would be gigabytes.
    QTest::newRow("progressive jpeg 45000x45000")
        << "bomb.jpg" << hostile::progressiveJpeg(45000, 45000, 1) << qint64(0);
    QTest::newRow("progressive cmyk jpeg 45000x45000")
        << "bomb4.jpg" << hostile::progressiveJpeg(45000, 45000, 1, 4) << qint64(0);
    // Fifty thousand scans with no data over an 8000 x 8000 picture: each is a pass over
    // the whole coefficient buffer.
    QTest::newRow("jpeg of 50000 empty scans")
        << "scans.jpg" << hostile::progressiveJpeg(8000, 8000, 50000) << qint64(0);
    // A text chunk declaring 1 GiB, which is there (as a hole in a sparse file).
    QTest::newRow("png with 1 GiB chunk")
        << "chunk.png" << hostile::pngWithHugeChunkHead(qint64(1) << 30) << (qint64(1) << 30);
    QTest::newRow("png with 2 GiB chunk declared")
        << "chunk2.png" << hostile::pngWithHugeChunkHead(0x7FFFFFF0) + hostile::pngEnd() << qint64(0);
    // A gzip'd SVG of 200 MB unpacked, under a JPEG name.
    QTest::newRow("gzip'd svg named jpg")
        << "svgz.jpg" << hostile::gzippedSvg(200 * 1024 * 1024) << qint64(0);
    // Bigger than any metafile shown: refused without being read.
    QTest::newRow("16 MB emf") << "huge.emf" << hostile::emfOfLines(1000000) << qint64(0);
}

void TstHostilePictures::bombsAreRefusedWithinBudget()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(qint64, sparseTail);
    const QString file = path(name);
    if (sparseTail > 0)
        QVERIFY(hostile::writeSparseFile(file, content, sparseTail, hostile::pngEnd()));
    else
        QVERIFY(hostile::writeFile(file, content));
    const hostile::ChildRun r = thumbnail(file);
    QVERIFY2(r.finished, "the decode did not end");
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(isRefusal(r.err, file, QByteArray()), r.err.constData());
    qInfo("%s: %.2f s, peak %lld MiB", qPrintable(name), r.seconds, r.peakKiB / 1024);
    QVERIFY2(r.peakKiB <= budgetKiB(), qPrintable(QStringLiteral("peak %1 KiB").arg(r.peakKiB)));
}

void TstHostilePictures::onlyTheShownFormatsAreDecoded_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("svg named jpg")
        << "svg.jpg"
        << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"50\" height=\"50\">"
                      "<rect width=\"50\" height=\"50\" fill=\"red\"/></svg>");
    QTest::newRow("svg with text") << "text.svg"
                                   << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"50\" "
                                                 "height=\"50\"><text x=\"5\" y=\"20\">Hallo</text></svg>");
    QTest::newRow("mng") << "anim.jpg"
                         << QByteArray("\x8aMNG\r\n\x1a\n\0\0\0\x1cMHDR", 16) + QByteArray(40, '\1');
    QTest::newRow("xpm") << "bild.png"
                         << QByteArray(
                                "/* XPM */\nstatic char* x[] = {\"1 1 1 1\", \"a c #FF0000\", \"a\"};\n");
}

void TstHostilePictures::onlyTheShownFormatsAreDecoded()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString file = path(name);
    QVERIFY(hostile::writeFile(file, content));
    const hostile::ChildRun r = thumbnail(file);
    QVERIFY2(r.finished, "the decode did not end");
    // No picture, and no crash: the SVG with text used to abort for want of fonts.
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(isRefusal(r.err, file, QByteArray()), r.err.constData());
}

void TstHostilePictures::webpInsideAJpegNameIsShown()
{
    if (!QImageWriter::supportedImageFormats().contains("webp"))
        QSKIP("no WebP writer to make the sample");
    QImage image(300, 150, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const QString file = path(QStringLiteral("web.jpg"));
    QVERIFY(image.save(file, "webp"));
    const hostile::ChildRun r = thumbnail(file);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("210 105\n"));
}

void TstHostilePictures::bigMetafilesConvertWithinBudget_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    // Just under the size cap: the conversion runs, under its limits.
    QTest::newRow("7 MB emf of lines") << "lines.emf" << hostile::emfOfLines(450000);
    QTest::newRow("7 MB wmf of lines") << "lines.wmf" << hostile::wmfOfLines(700000);
    QTest::newRow("small wmf of lines") << "few.wmf" << hostile::wmfOfLines(50);
}

void TstHostilePictures::bigMetafilesConvertWithinBudget()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString file = path(name);
    QVERIFY(hostile::writeFile(file, content));
    const hostile::ChildRun r = thumbnail(file);
    QVERIFY2(r.finished, "the conversion did not end");
    qInfo("%s: exit %d, %.2f s, peak %lld MiB", qPrintable(name), r.exitCode, r.seconds, r.peakKiB / 1024);
    QVERIFY(r.exitCode == 0 || r.exitCode == 1);
    if (content.size() < 4096)
        QCOMPARE(r.exitCode, 0); // a real one still converts
    QVERIFY2(r.peakKiB <= budgetKiB(), qPrintable(QStringLiteral("peak %1 KiB").arg(r.peakKiB)));
}

void TstHostilePictures::bitmapWithAbsurdHeaderIsNoPicture()
{
    const QString file = path(QStringLiteral("absurd.bmp"));
    QVERIFY(hostile::writeFile(file, hostile::absurdBitmap()));
    int32_t w = -1;
    int32_t h = -1;
    // The completeness check must not overflow (the sanitizer build traps if it does).
    QVERIFY(LoadScaledPicture(QFile::encodeName(file), 210, 210, w, h, 0x00FFFFFF).isNull());
}

void TstHostilePictures::tiffWarningsStayOffStandardError()
{
    const QString file = path(QStringLiteral("warn.tif"));
    QVERIFY(hostile::writeFile(file, hostile::tiffWithUnknownTag()));
    const hostile::ChildRun r = thumbnail(file);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray("2 2\n"));
}

FOTARIK_TEST_MAIN(TstHostilePictures)
#include "tst_hostilepictures.moc"
