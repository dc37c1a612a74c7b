// PNG files through the row-by-row decoder: the same pictures as Qt's reader, every
// colour type and depth, interlaced files, and no picture from a file whose image data
// stops early.

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csetjmp>
#include <cstdio>

#include <png.h>

#include "gdiplusresize.h"
#include "globals.h"
#include "pngdecoder.h"
#include "workermain.h"

using namespace fotarik;

namespace {

const QString Suite = QStringLiteral(FOTARIK_CORPUS_DIR "/images/png/PngSuite");

QImage load(const QString& path, int box, uint32_t back = 0x00FFFFFF)
{
    int32_t w = -1;
    int32_t h = -1;
    return LoadScaledPicture(QFile::encodeName(path), box, box, w, h, back);
}

// What the program made of a PNG before it decoded PNGs itself: Qt's reader, a smooth
// scale of the premultiplied picture, drawn over the background.
QImage throughQt(const QString& path, QSize size, QColor back = Qt::white)
{
    QImageReader reader(path);
    QImage image = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.size() != size)
        image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(back);
    QPainter(&canvas).drawImage(0, 0, image);
    return canvas;
}

struct Difference
{
    double mean = 0;
    int max = 0;
};

Difference compare(const QImage& a, const QImage& b)
{
    Difference d;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            for (int c : {std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q))}) {
                sum += c;
                d.max = std::max(d.max, c);
            }
        }
    d.mean = sum / (3.0 * a.width() * a.height());
    return d;
}

extern "C" void writeError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// A PNG written with libpng, for the kinds Qt's writer does not make (16 bits per
// sample, palettes with transparency, interlacing). rows holds the packed samples.
bool writePng(const QString& path, int width, int height, int colourType, int depth, bool interlaced,
              const QList<QByteArray>& rows, const QByteArray& palette = {}, const QByteArray& trns = {},
              const png_color_16* transparentValue = nullptr)
{
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, writeError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), depth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.isEmpty())
        png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(palette.constData()),
                     int(palette.size() / 3));
    if (!trns.isEmpty() || transparentValue)
        png_set_tRNS(png, info, reinterpret_cast<png_const_bytep>(trns.constData()), int(trns.size()),
                     transparentValue);
    png_write_info(png, info);
    const int passes = interlaced ? png_set_interlace_handling(png) : 1;
    for (int pass = 0; pass < passes; ++pass)
        for (int y = 0; y < height; ++y)
            png_write_row(png, reinterpret_cast<png_const_bytep>(rows[y].constData()));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

QByteArray be16(std::initializer_list<int> samples)
{
    QByteArray out;
    for (int s : samples)
        out.append(char(s >> 8)).append(char(s & 0xFF));
    return out;
}

uint32_t crc32(const QByteArray& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= uchar(c);
        for (int i = 0; i < 8; ++i)
            crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

QByteArray chunk(const QByteArray& type, const QByteArray& data)
{
    QByteArray out;
    const auto put32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out.append(char(v >> s & 0xFF));
    };
    put32(uint32_t(data.size()));
    out += type + data;
    put32(crc32(type + data));
    return out;
}

// A picture with smooth colours, fine grain, hard edges and alpha that goes from clear
// to opaque, so averaging with and without premultiplying give visibly different results.
QImage makeTranslucentPhoto(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    QRandomGenerator rng(17);
    for (int y = 0; y < h; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int grain = int(rng.bounded(40)) - 20;
            const int r = std::clamp(x * 255 / w + grain, 0, 255);
            const int g = std::clamp(y * 255 / h + grain, 0, 255);
            const int b = (x / 97 + y / 61) % 2 ? 230 : 20;
            const int a = (x / 150) % 3 == 0 ? 0 : std::clamp((x % 450) * 255 / 450 + grain, 0, 255);
            line[x] = qRgba(r, g, b, a);
        }
    }
    return image;
}

} // namespace

class TstPngDecoder : public QObject
{
    Q_OBJECT

private slots:
    void suiteLooksAsThroughQt();
    void suiteBrokenFilesAreNoPicture();
    void referenceOfCutJpegIsWholePicture();
    void imageDataCutBeforeEndChunkIsNoPicture();
    void largeTranslucentPictureMatchesQt_data();
    void largeTranslucentPictureMatchesQt();
    void interlacedPictureIsReduced();
    void sixteenBitSamplesRounded();
    void paletteWithTransparency();
    void greyWithTransparentValue();
    void exifChunkLeftAsQtLeavesIt();

private:
    QTemporaryDir m_dir;
};

void TstPngDecoder::suiteLooksAsThroughQt()
{
    if (!QFile::exists(Suite))
        QSKIP("corpus not present");
    const QStringList files = QDir(Suite).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
    int checked = 0;
    QStringList mismatches;
    for (const QString& name : files) {
        if (name.startsWith(QLatin1Char('x')))
            continue;
        const QString path = Suite + QLatin1Char('/') + name;
        const QImage image = load(path, 1 << 20, 0x00FF8040);
        QVERIFY2(!image.isNull(), qPrintable(name));
        // Qt's reader gets 16-bit RGB with a transparent colour wrong (the alpha comes out
        // of the colour samples); the suite has the same picture at 8 bits to compare.
        const QString reference =
            name == QLatin1String("tbbn2c16.png") || name == QLatin1String("tbgn2c16.png")
                ? Suite + QStringLiteral("/tbrn2c08.png")
                : path;
        const QImage expected = throughQt(reference, image.size(), QColor(0x40, 0x80, 0xFF));
        // 16-bit samples with a transparent value are cut to 8 bits by Qt, rounded here.
        const Difference d = compare(image, expected);
        // Reduced, the suite's 32 x 32 pictures still look the same.
        const QImage small = load(path, 10, 0x00FF8040);
        QVERIFY(small.width() <= 10 && small.height() <= 10);
        const Difference r = compare(small, throughQt(reference, small.size(), QColor(0x40, 0x80, 0xFF)));
        if (d.max > 1 || r.mean > 1.5)
            mismatches << QStringLiteral("%1 (max %2, reduced mean %3)").arg(name).arg(d.max).arg(r.mean);
        ++checked;
    }
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QStringLiteral(", "))));
    QVERIFY(checked > 150);
}

void TstPngDecoder::suiteBrokenFilesAreNoPicture()
{
    if (!QFile::exists(Suite))
        QSKIP("corpus not present");
    const QStringList broken = QDir(Suite).entryList({QStringLiteral("x*.png")}, QDir::Files);
    QVERIFY(broken.size() >= 10);
    for (const QString& name : broken) {
        ScaledWidth = 3;
        QVERIFY2(load(Suite + QLatin1Char('/') + name, 210).isNull(), qPrintable(name));
        QCOMPARE(ScaledWidth, 3.0f);
    }
}

void TstPngDecoder::referenceOfCutJpegIsWholePicture()
{
    // Despite its name this file is complete (every row, a closed data stream, correct
    // checksums): it is how a cut JPEG looks when its missing part is filled with grey.
    // Its grey band is picture content, so it must show, exactly as stored.
    const QString path = QStringLiteral(FOTARIK_CORPUS_DIR "/images/png/fail/gdkpixbuf_premature-end.png");
    if (!QFile::exists(path))
        QSKIP("corpus not present");
    const QImage image = load(path, 1 << 20);
    QCOMPARE(image.size(), QSize(256, 256));
    QCOMPARE(compare(image, throughQt(path, image.size())).max, 0);
    QCOMPARE(image.pixel(128, 250), qRgb(0x40, 0x40, 0x40));
    // Its cut JPEG counterpart is no picture.
    QVERIFY(load(QStringLiteral(FOTARIK_CORPUS_DIR "/images/jpeg/fail/gdkpixbuf_premature-end.jpg"), 210)
                .isNull());
}

void TstPngDecoder::imageDataCutBeforeEndChunkIsNoPicture()
{
    // A well-formed file whose image data holds only the first part of the rows,
    // followed by a proper end chunk.
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(picture.save(&buffer, "png"));
    const int idat = int(png.indexOf("IDAT")) - 4;
    QVERIFY(idat > 8);
    const QByteArray head = png.left(idat);
    QByteArray rows;
    for (int y = 0; y < 300; ++y)
        rows += QByteArray(1, '\0') + QByteArray(400 * 3, char(0x80));
    const QString whole = m_dir.filePath("whole.png");
    const QString cut = m_dir.filePath("cut.png");
    for (const auto& [path, data] : {std::pair{whole, rows}, std::pair{cut, rows.left(rows.size() / 2)}}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(head + chunk("IDAT", qCompress(data).mid(4)) + chunk("IEND", {}));
    }
    const QImage good = load(whole, 1 << 20);
    QCOMPARE(good.size(), QSize(400, 300));
    QCOMPARE(good.pixel(200, 299), qRgb(0x80, 0x80, 0x80));
    QVERIFY(load(cut, 1 << 20).isNull());
    QVERIFY(load(cut, 100).isNull());
}

void TstPngDecoder::largeTranslucentPictureMatchesQt_data()
{
    QTest::addColumn<int>("box");
    QTest::newRow("preview") << 210;
    QTest::newRow("screen") << 1100;
}

void TstPngDecoder::largeTranslucentPictureMatchesQt()
{
    QFETCH(int, box);
    const QString path = m_dir.filePath("translucent.png");
    if (!QFile::exists(path))
        QVERIFY(makeTranslucentPhoto(3000, 2000).save(path, "png", 90));
    const QImage image = load(path, box, 0x00FF8040);
    QCOMPARE(image.size(), QSize(box, box * 2 / 3));
    const QImage expected = throughQt(path, image.size(), QColor(0x40, 0x80, 0xFF));
    const Difference d = compare(image, expected);
    QVERIFY2(d.mean < 1.0 && d.max <= 8, qPrintable(QStringLiteral("%1 %2").arg(d.mean).arg(d.max)));
    // Hard edges every few output pixels: stretching the picture by a fraction of a pixel,
    // or averaging colours without weighting them by alpha, would show here; the
    // comparison must be able to tell a shifted picture.
    QVERIFY(compare(image, expected.mirrored(true, false)).mean > 10);
}

void TstPngDecoder::interlacedPictureIsReduced()
{
    // Left half red, right half half-transparent blue, written interlaced.
    const int w = 640;
    const int h = 480;
    QList<QByteArray> rows;
    for (int y = 0; y < h; ++y) {
        QByteArray row;
        for (int x = 0; x < w; ++x)
            row += x < w / 2 ? QByteArray("\xFF\x00\x00\xFF", 4) : QByteArray("\x00\x00\xFF\x80", 4);
        rows << row;
    }
    const QString path = m_dir.filePath("interlaced.png");
    QVERIFY(writePng(path, w, h, PNG_COLOR_TYPE_RGB_ALPHA, 8, true, rows));
    QCOMPARE(QImageReader(path).size(), QSize(w, h));
    const QImage image = load(path, 210);
    QCOMPARE(image.size(), QSize(210, 157));
    QCOMPARE(image.pixel(20, 80), qRgb(255, 0, 0));
    QVERIFY(compare(image, throughQt(path, image.size())).mean < 1.0);
    // Half-transparent blue over white.
    const QRgb right = image.pixel(190, 80);
    QVERIFY2(std::abs(qRed(right) - 127) <= 1 && qBlue(right) == 255, qPrintable(QString::number(right, 16)));
    QCOMPARE(load(path, 1 << 20).size(), QSize(w, h));
}

void TstPngDecoder::sixteenBitSamplesRounded()
{
    // RGB at 16 bits, rounded to the nearest 8-bit value (0x01FF is 1.99 / 255 of full
    // scale: 2, where dropping the low byte would give 1).
    QList<QByteArray> rgb;
    for (int y = 0; y < 4; ++y)
        rgb << be16({0xFFFF, 0x8080, 0x0000, 0x00FF, 0x01FF, 0xFEFF});
    const QString colour = m_dir.filePath("rgb16.png");
    QVERIFY(writePng(colour, 2, 4, PNG_COLOR_TYPE_RGB, 16, false, rgb));
    const QImage a = load(colour, 100);
    QCOMPARE(a.size(), QSize(2, 4));
    QCOMPARE(a.pixel(0, 3), qRgb(255, 128, 0));
    QCOMPARE(a.pixel(1, 0), qRgb(1, 2, 254));

    // Grey with alpha at 16 bits, over a coloured background.
    QList<QByteArray> grey;
    for (int y = 0; y < 2; ++y)
        grey << be16({0xFFFF, 0x0000, 0x0000, 0xFFFF});
    const QString clear = m_dir.filePath("grey16.png");
    QVERIFY(writePng(clear, 2, 2, PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, grey));
    const QImage b = load(clear, 100, 0x00FF8040);
    QCOMPARE(b.pixel(0, 0), qRgb(0x40, 0x80, 0xFF));
    QCOMPARE(b.pixel(1, 1), qRgb(0, 0, 0));
}

void TstPngDecoder::paletteWithTransparency()
{
    // Four-bit palette: red opaque, green clear, blue half clear; scaled 600 -> 150 so
    // each colour field is averaged.
    const QByteArray palette("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF", 9);
    const QByteArray trns("\xFF\x00\x80", 3);
    QList<QByteArray> rows;
    for (int y = 0; y < 600; ++y) {
        QByteArray row(300, '\0');
        for (int x = 0; x < 600; ++x) {
            const int index = x < 200 ? 0 : x < 400 ? 1 : 2;
            row[x / 2] = char(uchar(row[x / 2]) | index << (x % 2 ? 0 : 4));
        }
        rows << row;
    }
    const QString path = m_dir.filePath("palette.png");
    QVERIFY(writePng(path, 600, 600, PNG_COLOR_TYPE_PALETTE, 4, false, rows, palette, trns));
    const QImage image = load(path, 150, 0x0000FFFF); // yellow
    QCOMPARE(image.size(), QSize(150, 150));
    QCOMPARE(image.pixel(20, 75), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(75, 75), qRgb(255, 255, 0));
    const QRgb blue = image.pixel(130, 75);
    QVERIFY2(std::abs(qRed(blue) - 127) <= 1 && std::abs(qGreen(blue) - 127) <= 1 && qBlue(blue) >= 127,
             qPrintable(QString::number(blue, 16)));
    QVERIFY(compare(image, throughQt(path, image.size(), Qt::yellow)).mean < 1.0);
}

void TstPngDecoder::greyWithTransparentValue()
{
    // Eight-bit grey where the value 0x40 is transparent.
    QList<QByteArray> rows;
    for (int y = 0; y < 3; ++y)
        rows << QByteArray("\x40\xC0\x40", 3);
    png_color_16 transparent{};
    transparent.gray = 0x40;
    const QString path = m_dir.filePath("greytrns.png");
    QVERIFY(writePng(path, 3, 3, PNG_COLOR_TYPE_GRAY, 8, false, rows, {}, {}, &transparent));

    const QImage image = load(path, 100, 0x000000FF);
    QCOMPARE(image.pixel(0, 0), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(1, 2), qRgb(0xC0, 0xC0, 0xC0));
}

void TstPngDecoder::exifChunkLeftAsQtLeavesIt()
{
    // An eXIf chunk saying "turn a quarter": Qt's reader, even when asked to turn
    // pictures upright, shows a PNG as stored, and so does this program.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(QImage(40, 20, QImage::Format_RGB32).save(&buffer, "png"));
    const QByteArray exif("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0", 26);
    png.insert(8 + 25, chunk("eXIf", exif));
    const QString path = m_dir.filePath("exif.png");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(png) == png.size());
    f.close();
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QCOMPARE(reader.read().size(), QSize(40, 20));
    QCOMPARE(load(path, 210).size(), QSize(40, 20));
}

FOTARIK_TEST_GUILESS_MAIN(TstPngDecoder)
#include "tst_pngdecoder.moc"
