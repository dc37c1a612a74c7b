#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "gdiplusresize.h"
#include "globals.h"
#include "testfiles.h"

using namespace fotarik;

namespace {

QString corpus(const QString& relative)
{
    return QStringLiteral(FOTARIK_CORPUS_DIR "/images/") + relative;
}

QImage halves(QSize size, QColor left, QColor right)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(left);
    QPainter p(&image);
    p.fillRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height(), right);
    return image;
}

bool near(QRgb a, QColor b, int tolerance)
{
    return std::abs(qRed(a) - b.red()) <= tolerance && std::abs(qGreen(a) - b.green()) <= tolerance &&
           std::abs(qBlue(a) - b.blue()) <= tolerance;
}

// Mean absolute channel difference of two equally sized pictures.
double meanDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int j = 0; j < x.height(); ++j)
        for (int i = 0; i < x.width(); ++i) {
            const QRgb p = x.pixel(i, j);
            const QRgb q = y.pixel(i, j);
            sum +=
                std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

QImage loadNatural(const QString& path)
{
    int32_t w = -1;
    int32_t h = -1;
    return LoadScaledPicture(QFile::encodeName(path), 1 << 20, 1 << 20, w, h, 0x00FFFFFF);
}

} // namespace

class TstLoadScaledPicture : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void jpegPhotoIsFittedAndPublished();
    void portraitJpegIntoFullScreenBox();
    void smallPictureKeepsItsSize();
    void reductionIsSmooth();
    void transparencyShowsBackgroundColour();
    void transparencyShowsBackgroundColourWhenScaled();
    void failures_data();
    void failures();
    void truncatedJpegIsNoPicture();
    void dibAndRleSuffixesReadAsBitmaps();
    void pathThatIsNotUtf8();
    void exifOrientationTurnsPictureUpright_data();
    void exifOrientationTurnsPictureUpright();
    void tiffOrientationIsApplied();
    void multiFrameFilesShowFirstFrame_data();
    void multiFrameFilesShowFirstFrame();
    void cmykJpegShowsRightColours();
    void metafilesAtTheirPhysicalSize_data();
    void metafilesAtTheirPhysicalSize();
    void wmfLooksLikeItsReference();

private:
    fotarik::test::TemporaryDir m_dir;
    QString write(const QString& name, const QImage& image, const char* format, int quality = -1);
    QString writeBytes(const QString& name, const QByteArray& bytes);
};

QString TstLoadScaledPicture::write(const QString& name, const QImage& image, const char* format, int quality)
{
    const QString path = m_dir.filePath(name);
    if (!image.save(path, format, quality))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QString TstLoadScaledPicture::writeBytes(const QString& name, const QByteArray& bytes)
{
    const QString path = m_dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TstLoadScaledPicture::init()
{
    ScaledWidth = 0;
    ScaledHeight = 0;
}

void TstLoadScaledPicture::jpegPhotoIsFittedAndPublished()
{
    const QString path = write("photo.jpg", halves({1600, 1200}, Qt::red, Qt::blue), "jpg", 90);
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(210, 157));
    QCOMPARE(w, 210);
    QCOMPARE(h, 157);
    QCOMPARE(ScaledWidth, 210.0f);
    QCOMPARE(ScaledHeight, 157.0f);
    QVERIFY(near(image.pixel(10, 80), Qt::red, 24));
    QVERIFY(near(image.pixel(200, 80), Qt::blue, 24));
}

void TstLoadScaledPicture::portraitJpegIntoFullScreenBox()
{
    // Reduced-size decoding must still cover the box: 3000 x 4000 into 1915 x 1030
    // needs the half-size decode (1500 x 2000), not the quarter one (750 x 1000).
    const QString path = write("tall.jpg", halves({3000, 4000}, Qt::green, Qt::black), "jpg", 90);
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 1915, 1030, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(772, 1030));
    QVERIFY(near(image.pixel(100, 500), Qt::green, 24));
    QVERIFY(near(image.pixel(700, 500), Qt::black, 24));
}

void TstLoadScaledPicture::smallPictureKeepsItsSize()
{
    const QString path = write("small.png", halves({100, 50}, Qt::yellow, Qt::cyan), "png");
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(100, 50));
    QCOMPARE(image.pixel(0, 0), QColor(Qt::yellow).rgb());
    QCOMPARE(image.pixel(99, 49), QColor(Qt::cyan).rgb());
}

void TstLoadScaledPicture::reductionIsSmooth()
{
    // A one-pixel checkerboard reduced smoothly becomes an even grey; point sampling
    // would leave black and white.
    QImage board(1000, 1000, QImage::Format_RGB32);
    for (int y = 0; y < 1000; ++y)
        for (int x = 0; x < 1000; ++x)
            board.setPixel(x, y, (x + y) % 2 ? 0xFFFFFFFF : 0xFF000000);
    const QString path = write("board.png", board, "png");
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(210, 210));
    for (int y = 0; y < 210; y += 7)
        for (int x = 0; x < 210; x += 7)
            QVERIFY2(near(image.pixel(x, y), QColor(128, 128, 128), 30),
                     qPrintable(QString::number(image.pixel(x, y), 16)));
}

void TstLoadScaledPicture::transparencyShowsBackgroundColour()
{
    QImage picture(100, 50, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    QPainter(&picture).fillRect(50, 0, 50, 50, Qt::green);
    const QString path = write("clear.png", picture, "png");
    int32_t w = -1;
    int32_t h = -1;
    // 0x00BBGGRR: red 0x40, green 0x80, blue 0xFF.
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FF8040);
    QCOMPARE(image.size(), QSize(100, 50));
    QCOMPARE(QColor(image.pixel(10, 10)), QColor(0x40, 0x80, 0xFF));
    QCOMPARE(QColor(image.pixel(90, 10)), QColor(Qt::green));
    QVERIFY(!image.hasAlphaChannel());
}

void TstLoadScaledPicture::transparencyShowsBackgroundColourWhenScaled()
{
    QImage picture(840, 420, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    QPainter(&picture).fillRect(420, 0, 420, 420, Qt::red);
    const QString path = write("clear.gif", picture, "png"); // a .gif name with PNG content
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(210, 105));
    QCOMPARE(QColor(image.pixel(20, 50)), QColor(Qt::white));
    QVERIFY(near(image.pixel(190, 50), Qt::red, 2));
}

void TstLoadScaledPicture::failures_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::newRow("text named jpg") << QByteArray("Dies ist kein Bild.\n") << "text.jpg";
    QTest::newRow("text named png") << QByteArray("Dies ist kein Bild.\n") << "text.png";
    QTest::newRow("empty bmp") << QByteArray() << "empty.bmp";
    QTest::newRow("jpeg signature only") << QByteArray("\xFF\xD8\xFF\xE0", 4) << "sig.jpg";
    QTest::newRow("wmf signature only") << QByteArray("\xD7\xCD\xC6\x9A\0\0", 6) << "sig.wmf";
    QTest::newRow("emf header only") << (QByteArray("\1\0\0\0", 4) + QByteArray(36, '\0') +
                                         QByteArray(" EMF") + QByteArray(60, '\0'))
                                     << "hdr.emf";
    QTest::newRow("missing file") << QByteArray() << QString();
}

void TstLoadScaledPicture::failures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    const QString path = name.isEmpty() ? m_dir.filePath("does-not-exist.jpg") : writeBytes(name, content);
    ScaledWidth = 123;
    ScaledHeight = 45;
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(QFile::encodeName(path), 210, 210, w, h, 0x00FFFFFF);
    QVERIFY(image.isNull());
    QCOMPARE(w, -1);
    QCOMPARE(h, -1);
    QCOMPARE(ScaledWidth, 123.0f);
    QCOMPARE(ScaledHeight, 45.0f);
}

void TstLoadScaledPicture::truncatedJpegIsNoPicture()
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    halves({800, 600}, Qt::red, Qt::blue).save(&buffer, "jpg", 90);
    const QString whole = writeBytes("whole.jpg", jpeg);
    const QString cut = writeBytes("cut.jpg", jpeg.left(jpeg.size() * 6 / 10));
    ScaledWidth = 7;
    int32_t w = -1;
    int32_t h = -1;
    QVERIFY(!LoadScaledPicture(QFile::encodeName(whole), 210, 210, w, h, 0x00FFFFFF).isNull());
    w = h = -1;
    ScaledWidth = 7;
    // Both the reduced decode (preview) and the full one (own size) notice the cut.
    QVERIFY(LoadScaledPicture(QFile::encodeName(cut), 210, 210, w, h, 0x00FFFFFF).isNull());
    QVERIFY(LoadScaledPicture(QFile::encodeName(cut), 1000, 1000, w, h, 0x00FFFFFF).isNull());
    QCOMPARE(ScaledWidth, 7.0f);
    QCOMPARE(w, -1);
}

void TstLoadScaledPicture::dibAndRleSuffixesReadAsBitmaps()
{
    const QImage picture = halves({40, 30}, Qt::magenta, Qt::darkGreen);
    for (const char* name : {"bild.dib", "bild.rle", "bild.DIB"}) {
        const QString path = write(QString::fromLatin1(name), picture, "bmp");
        const QImage image = loadNatural(path);
        QCOMPARE(image.size(), QSize(40, 30));
        QCOMPARE(image.pixel(0, 0), QColor(Qt::magenta).rgb());
    }
}

void TstLoadScaledPicture::pathThatIsNotUtf8()
{
    const QByteArray dir = QFile::encodeName(m_dir.path());
    const QByteArray path = dir + "/bild\xE4.png"; // Latin-1 umlaut: invalid UTF-8
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    halves({30, 20}, Qt::red, Qt::red).save(&buffer, "png");
    FILE* f = std::fopen(path.constData(), "wb");
    QVERIFY(f);
    std::fwrite(png.constData(), 1, size_t(png.size()), f);
    std::fclose(f);
    int32_t w = -1;
    int32_t h = -1;
    const QImage image = LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF);
    QCOMPARE(image.size(), QSize(30, 20));
}

void TstLoadScaledPicture::exifOrientationTurnsPictureUpright_data()
{
    QTest::addColumn<int>("orientation");
    for (int o = 2; o <= 8; ++o)
        QTest::addRow("orientation %d", o) << o;
}

void TstLoadScaledPicture::exifOrientationTurnsPictureUpright()
{
    QFETCH(int, orientation);
    const QString upright = corpus("jpeg/hopper.jpg");
    if (!QFile::exists(upright))
        QSKIP("corpus not present");
    const QImage reference = loadNatural(upright);
    const QImage turned =
        loadNatural(corpus(QStringLiteral("jpeg/hopper_orientation_%1.jpg").arg(orientation)));
    QCOMPARE(turned.size(), reference.size());
    const double same = meanDifference(turned, reference);
    QVERIFY2(same < 12, qPrintable(QString::number(same)));
    // The check must be able to fail: the picture is far from its own mirror image.
    QVERIFY(meanDifference(turned, reference.mirrored(true, false)) > 3 * same);

    // Reduced decoding and the turn must agree too.
    int32_t w = -1;
    int32_t h = -1;
    const QImage small = LoadScaledPicture(
        QFile::encodeName(corpus(QStringLiteral("jpeg/hopper_orientation_%1.jpg").arg(orientation))), 32, 32,
        w, h, 0x00FFFFFF);
    QCOMPARE(small.size(), QSize(32, 32));
    QVERIFY(meanDifference(small, reference.scaled(32, 32, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)) <
            15);
}

void TstLoadScaledPicture::tiffOrientationIsApplied()
{
    const QString path = corpus("tiff/g4_orientation_6.tif");
    if (!QFile::exists(path))
        QSKIP("corpus not present");
    QImageReader raw(path);
    raw.setAutoTransform(false);
    const QSize stored = raw.size();
    QVERIFY(stored.isValid());
    QCOMPARE(loadNatural(path).size(), stored.transposed());
}

void TstLoadScaledPicture::multiFrameFilesShowFirstFrame_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("tiff pages") << "tiff/multipage.tiff";
    QTest::newRow("animated gif") << "gif/chi.gif";
    QTest::newRow("gif animation") << "gif/gif-test-suite/animation.gif";
}

void TstLoadScaledPicture::multiFrameFilesShowFirstFrame()
{
    QFETCH(QString, file);
    const QString path = corpus(file);
    if (!QFile::exists(path))
        QSKIP("corpus not present");
    QImageReader reader(path);
    QVERIFY(reader.imageCount() > 1 || reader.supportsAnimation());
    QImage first = reader.read();
    QVERIFY(!first.isNull());
    QImage second = reader.read();
    const QImage image = loadNatural(path);
    // The first frame drawn over white.
    QImage expected(first.size(), QImage::Format_RGB32);
    expected.fill(Qt::white);
    QPainter(&expected).drawImage(0, 0, first);
    QCOMPARE(image, expected);
    if (!second.isNull() && second.size() == first.size()) {
        QImage other(second.size(), QImage::Format_RGB32);
        other.fill(Qt::white);
        QPainter(&other).drawImage(0, 0, second);
        if (other != expected)
            QVERIFY(image != other);
    }
}

void TstLoadScaledPicture::cmykJpegShowsRightColours()
{
    const QString cmyk = corpus("jpeg/pil_sample_cmyk.jpg");
    if (!QFile::exists(cmyk))
        QSKIP("corpus not present");
    const QImage a = loadNatural(cmyk);
    const QImage b = loadNatural(corpus("jpeg/pil_sample_rgb.jpg"));
    QCOMPARE(a.size(), b.size());
    QVERIFY(qRed(a.pixel(0, 0)) > 200 && qGreen(a.pixel(0, 0)) < 60 && qBlue(a.pixel(0, 0)) < 60);
    QVERIFY(meanDifference(a, b) < 12);
}

void TstLoadScaledPicture::metafilesAtTheirPhysicalSize_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");
    // 8016 x 6756 units at 1000 per inch; 1369 x 1369 at 1200 per inch; frames of
    // 28.99 mm and 19.25 x 18.70 mm; all at 96 dpi, fractions dropped.
    QTest::newRow("placeable wmf") << "wmf_emf/gdiplus_test.wmf" << QSize(769, 648);
    QTest::newRow("small wmf") << "wmf_emf/pillow_drawing.wmf" << QSize(109, 109);
    QTest::newRow("emf") << "wmf_emf/pillow_drawing.emf" << QSize(109, 109);
    QTest::newRow("emf with bitmap") << "wmf_emf/gdiplus_test.emf" << QSize(72, 70);
}

void TstLoadScaledPicture::metafilesAtTheirPhysicalSize()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);
    const QString path = corpus(file);
    if (!QFile::exists(path))
        QSKIP("corpus not present");
    const QImage image = loadNatural(path);
    QCOMPARE(image.size(), size);
    // Something was drawn: not every pixel is the background.
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y)
        for (int x = 0; x < image.width() && !drawn; ++x)
            drawn = image.pixel(x, y) != 0xFFFFFFFF;
    QVERIFY(drawn);
}

void TstLoadScaledPicture::wmfLooksLikeItsReference()
{
    const QString reference = corpus("wmf_emf/pillow_drawing_wmf_ref.png");
    if (!QFile::exists(reference))
        QSKIP("corpus not present");
    const QImage expected = QImage(reference).convertToFormat(QImage::Format_RGB32);
    for (const char* file : {"wmf_emf/pillow_drawing.wmf", "wmf_emf/pillow_drawing.emf"}) {
        int32_t w = expected.width();
        int32_t h = expected.height();
        const QImage image = LoadScaledPicture(QFile::encodeName(corpus(QString::fromLatin1(file))), 1000,
                                               1000, w, h, 0x00FFFFFF);
        QCOMPARE(image.size(), expected.size());
        const double difference = meanDifference(image, expected);
        QVERIFY2(difference < 20,
                 qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(file)).arg(difference)));
    }
}

QTEST_GUILESS_MAIN(TstLoadScaledPicture)
#include "tst_loadscaledpicture.moc"
