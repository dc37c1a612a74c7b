// HEIC, AVIF and JPEG XL: the real files of the corpus come out at their size, upright and
// in the colours of their reference pictures, in the preview box and through --thumbnail;
// hostile files made here are refused or decoded within the budget, never a crash.

#include <QColorSpace>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <jxl/encode.h>
#include <lcms2.h>
#include <sys/stat.h>

#include "budgets.h"
#include "colourprofile.h"
#include "heifdecoder.h"
#include "jxldecoder.h"
#include "pictureformat.h"
#include "scaledpicture.h"

using namespace fotarik;
using namespace fotarik::imaging;

namespace {

const QString Corpus = QStringLiteral(FOTARIK_CORPUS_DIR "/images");

// The picture as it looks drawn over white, in sRGB, as 32-bit RGB.
QImage onWhite(QImage image)
{
    if (image.isNull())
        return image;
    if (image.colorSpace().isValid() && image.colorSpace() != QColorSpace(QColorSpace::SRgb))
        image.convertToColorSpace(QColorSpace::SRgb);
    QImage canvas(image.size(), QImage::Format_RGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    painter.drawImage(0, 0, image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    painter.end();
    return canvas;
}

// Mean absolute difference per channel (0..255) of two pictures of one size.
double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return 255.0;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            sum += std::abs(qRed(p[col]) - qRed(q[col])) + std::abs(qGreen(p[col]) - qGreen(q[col])) +
                   std::abs(qBlue(p[col]) - qBlue(q[col]));
    }
    return sum / (3.0 * x.width() * x.height());
}

// The difference of a reduced picture from the reference reduced to its size, both taken
// down further to a third: reductions by different filters then agree, a wrong picture,
// turn or colour does not.
double reducedDifference(const QImage& reduced, const QImage& reference)
{
    const QSize coarse = (reduced.size() / 3).expandedTo(QSize(1, 1));
    const auto down = [&](const QImage& image) {
        return image.scaled(reduced.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .scaled(coarse, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    };
    return meanDifference(down(reduced), down(reference));
}

// The size a picture of this size gets in a square box: fitted into it, never enlarged.
QSize fittedInBox(QSize size, int box)
{
    return size.width() <= box && size.height() <= box ? size : size.scaled(box, box, Qt::KeepAspectRatio);
}

ScaledPicture decode(const QString& path, int box)
{
    return decodeScaledPicture(QFile::encodeName(path), box, box, -1, -1, 0x00FFFFFF);
}

// ---- HEIF files written box by box ----

QByteArray be16(quint32 v)
{
    QByteArray b(2, '\0');
    qToBigEndian<quint16>(quint16(v), b.data());
    return b;
}

QByteArray be32(quint32 v)
{
    QByteArray b(4, '\0');
    qToBigEndian<quint32>(v, b.data());
    return b;
}

QByteArray box(const char* type, const QByteArray& body)
{
    return be32(quint32(8 + body.size())) + QByteArray(type, 4) + body;
}

QByteArray fullBox(const char* type, int version, const QByteArray& body)
{
    return box(type, QByteArray(1, char(version)) + QByteArray(3, '\0') + body);
}

struct Item
{
    quint16 id;
    const char* type; // "hvc1", "av01", "grid", "Exif"
    QByteArray data;
    QSize ispe;
    QList<quint16> tiles = {}; // of a grid item
};

// A HEIF file of the items (the first is the primary image); a grid item's tiles are
// the items listed in tiles.
QByteArray heifFile(const QList<Item>& items, const QList<quint16>& tiles = {})
{
    const QByteArray ftyp = box("ftyp", QByteArray("heic") + be32(0) + "mif1heic");
    const QByteArray hdlr = fullBox("hdlr", 0, be32(0) + "pict" + QByteArray(12, '\0') + QByteArray(1, '\0'));
    const QByteArray pitm = fullBox("pitm", 0, be16(items.first().id));
    QByteArray infes;
    for (const Item& item : items)
        infes += fullBox("infe", 2, be16(item.id) + be16(0) + QByteArray(item.type, 4) + QByteArray(1, '\0'));
    const QByteArray iinf = fullBox("iinf", 0, be16(quint32(items.size())) + infes);
    QByteArray dimg;
    const auto reference = [&](quint16 from, const QList<quint16>& to) {
        QByteArray refs = be16(from) + be16(quint32(to.size()));
        for (quint16 t : to)
            refs += be16(t);
        dimg += box("dimg", refs);
    };
    if (!tiles.isEmpty())
        reference(items.first().id, tiles);
    for (const Item& item : items)
        if (!item.tiles.isEmpty())
            reference(item.id, item.tiles);
    const QByteArray iref = dimg.isEmpty() ? QByteArray() : fullBox("iref", 0, dimg);
    // Properties: one ispe per item, one shared hvcC (a configuration without parameter sets).
    QByteArray ipco =
        box("hvcC", QByteArray(1, '\1') + QByteArray(21, '\0') + QByteArray(1, '\3') + QByteArray(1, '\0'));
    QByteArray ipma = be32(quint32(items.size()));
    for (int i = 0; i < items.size(); ++i) {
        ipco +=
            fullBox("ispe", 0, be32(quint32(items[i].ispe.width())) + be32(quint32(items[i].ispe.height())));
        const bool coded = qstrcmp(items[i].type, "hvc1") == 0;
        // Property indices are 1-based, 7 bits: beyond 127 items the ispe is shared.
        const int ispeIndex = std::min(i + 2, 127);
        ipma += be16(items[i].id) + QByteArray(1, char(coded ? 2 : 1));
        if (coded)
            ipma += QByteArray(1, char(0x81));
        ipma += QByteArray(1, char(ispeIndex));
    }
    const QByteArray iprp = box("iprp", box("ipco", ipco) + fullBox("ipma", 0, ipma));
    // The item locations point into the media data box at the end; they are written twice,
    // the second time with the offsets known.
    const auto iloc = [&](quint32 dataStart) {
        QByteArray body = QByteArray(1, char(0x44)) + QByteArray(1, '\0') + be16(quint32(items.size()));
        quint32 at = dataStart;
        for (const Item& item : items) {
            body += be16(item.id) + be16(0) + be16(1) + be32(at) + be32(quint32(item.data.size()));
            at += quint32(item.data.size());
        }
        return fullBox("iloc", 0, body);
    };
    const auto meta = [&](quint32 dataStart) {
        return fullBox("meta", 0, hdlr + pitm + iloc(dataStart) + iinf + iref + iprp);
    };
    QByteArray data;
    for (const Item& item : items)
        data += item.data;
    const quint32 dataStart = quint32(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(dataStart) + box("mdat", data);
}

QByteArray gridData(int rows, int columns, QSize output)
{
    const bool wide = output.width() > 0xFFFF || output.height() > 0xFFFF;
    QByteArray d = QByteArray(1, '\0') + QByteArray(1, char(wide ? 1 : 0)) + QByteArray(1, char(rows - 1)) +
                   QByteArray(1, char(columns - 1));
    if (wide)
        return d + be32(quint32(output.width())) + be32(quint32(output.height()));
    return d + be16(quint32(output.width())) + be16(quint32(output.height()));
}

// A grid of rows x columns tiles of tile size each, with garbage for coded data.
QByteArray gridFile(int rows, int columns, QSize tile)
{
    QList<Item> items{{1, "grid",
                       gridData(rows, columns, QSize(tile.width() * columns, tile.height() * rows)),
                       QSize(tile.width() * columns, tile.height() * rows)}};
    QList<quint16> tiles;
    for (int i = 0; i < rows * columns; ++i) {
        const quint16 id = quint16(i + 2);
        items.append({id, "hvc1", QByteArray(16, char(0x40 + i % 7)), tile});
        tiles.append(id);
    }
    return heifFile(items, tiles);
}

// ---- a JPEG XL file with a giant ICC profile ----

// An sRGB profile padded to about size bytes with a long copyright text.
QByteArray giantIccProfile(int size)
{
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    const QByteArray filler(size, 'x');
    cmsMLUsetASCII(text, "en", "US", filler.constData());
    cmsWriteTag(profile, cmsSigCopyrightTag, text);
    cmsMLUfree(text);
    cmsUInt32Number bytes = 0;
    cmsSaveProfileToMem(profile, nullptr, &bytes);
    QByteArray icc(qsizetype(bytes), '\0');
    cmsSaveProfileToMem(profile, icc.data(), &bytes);
    cmsCloseProfile(profile);
    return icc;
}

// A JPEG XL file of image: lossless with icc as its profile, or (icc empty) lossy at the
// distance in sRGB, with alpha when the image has it; empty when the encoder refused.
QByteArray jxlOf(const QImage& image, const QByteArray& icc, float distance = 1.0f)
{
    const bool alpha = image.hasAlphaChannel();
    const QImage rgb = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    QByteArray pixels;
    const qsizetype line = qsizetype(rgb.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < rgb.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(rgb.constScanLine(y)), line);
    JxlEncoder* encoder = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(rgb.width());
    info.ysize = uint32_t(rgb.height());
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = icc.isEmpty() ? JXL_FALSE : JXL_TRUE;
    if (alpha) {
        info.num_extra_channels = 1;
        info.alpha_bits = 8;
    }
    JxlColorEncoding srgb{};
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    QByteArray out;
    JxlEncoderFrameSettings* settings = nullptr;
    const JxlPixelFormat format{alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderSetBasicInfo(encoder, &info) == JXL_ENC_SUCCESS &&
        (icc.isEmpty() ? JxlEncoderSetColorEncoding(encoder, &srgb)
                       : JxlEncoderSetICCProfile(encoder, reinterpret_cast<const uint8_t*>(icc.constData()),
                                                 size_t(icc.size()))) == JXL_ENC_SUCCESS &&
        (settings = JxlEncoderFrameSettingsCreate(encoder, nullptr)) != nullptr &&
        (icc.isEmpty() ? JxlEncoderSetFrameDistance(settings, distance)
                       : JxlEncoderSetFrameLossless(settings, JXL_TRUE)) == JXL_ENC_SUCCESS &&
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 3) == JXL_ENC_SUCCESS &&
        JxlEncoderAddImageFrame(settings, &format, pixels.constData(), size_t(pixels.size())) ==
            JXL_ENC_SUCCESS) {
        JxlEncoderCloseInput(encoder);
        out.resize(1 << 16);
        uint8_t* next = reinterpret_cast<uint8_t*>(out.data());
        size_t avail = size_t(out.size());
        JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
        while ((status = JxlEncoderProcessOutput(encoder, &next, &avail)) == JXL_ENC_NEED_MORE_OUTPUT) {
            const qsizetype used = next - reinterpret_cast<uint8_t*>(out.data());
            out.resize(out.size() * 2);
            next = reinterpret_cast<uint8_t*>(out.data()) + used;
            avail = size_t(out.size() - used);
        }
        out.truncate(status == JXL_ENC_SUCCESS ? next - reinterpret_cast<uint8_t*>(out.data()) : 0);
    }
    JxlEncoderDestroy(encoder);
    return out;
}

// A small lossless JPEG XL picture carrying icc as its colour profile; empty when the
// encoder refused.
QByteArray jxlWithIcc(const QByteArray& icc)
{
    QImage grey(16, 16, QImage::Format_RGB32);
    grey.fill(qRgb(0x80, 0x80, 0x80));
    return jxlOf(grey, icc);
}

// Smooth waves and a little grain, like a photo; a falling alpha across it when asked.
QImage photo(QSize size, bool alpha)
{
    QImage image(size, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    quint32 grain = 12345;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            grain = grain * 1103515245u + 12345u;
            const int g = int(grain >> 28) - 8;
            const int r = int(128 + 100 * std::sin(x / 90.0) + g);
            const int gr = int(128 + 100 * std::sin((x + y) / 140.0) + g);
            const int b = int(128 + 100 * std::cos(y / 70.0) + g);
            const int a = alpha ? 255 - 200 * x / size.width() : 255;
            line[x] = qRgba(std::clamp(r, 0, 255), std::clamp(gr, 0, 255), std::clamp(b, 0, 255), a);
        }
    }
    return image;
}

struct Reference
{
    QString file;
    QString reference; // empty: made at test time by tool
    QString tool;      // "heif-convert" or "avifdec"
    QSize size;
    double threshold; // mean difference allowed against the reference at full size
};

} // namespace

Q_DECLARE_METATYPE(Reference)

class TstPhotoFormats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recognisedByContent();
    void corpus_data();
    void corpus();
    void thumbnailCommand_data();
    void thumbnailCommand();
    void undecodableFileGivesNoPicture();
    void hostileHeif_data();
    void hostileHeif();
    void truncatedAndDamagedStreams();
    void giantIccProfileRefused();
    void largeJxlAtEverySize_data();
    void largeJxlAtEverySize();
    void namesDoNotDecide();

private:
    QString reference(const Reference& r);
    QList<Reference> references();
    QTemporaryDir m_dir;
};

void TstPhotoFormats::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QList<Reference> TstPhotoFormats::references()
{
    QList<Reference> list;
    const QString heif = QStringLiteral("heif/");
    list << Reference{heif + "example.heic", {}, "heif-convert", {1280, 854}, 1.0}
         << Reference{heif + "example.avif", {}, "heif-convert", {800, 533}, 1.0}
         << Reference{heif + "rainbow-451x461.heic", {}, "heif-convert", {451, 461}, 1.0}
         << Reference{heif + "with-alpha-512x512.heic", {}, "heif-convert", {512, 512}, 1.0};
    // Each stored kimono picture is turned or mirrored the other way by its transformations:
    // shown, it is the original again (cropped for the crop files). The PNG of a file's own
    // name is the picture as stored.
    const QString linku = QStringLiteral("avif/Link-U/");
    for (const char* name : {"kimono", "kimono.rotate90", "kimono.rotate270", "kimono.mirror-horizontal",
                             "kimono.mirror-vertical", "kimono.mirror-vertical.rotate270"})
        list << Reference{linku + QLatin1String(name) + ".avif", linku + "kimono.png", {}, {722, 1024}, 6.0};
    for (const char* name : {"kimono.crop", "kimono.mirror-vertical.rotate270.crop"})
        list << Reference{
            linku + QLatin1String(name) + ".avif", linku + "kimono.crop.png", {}, {385, 330}, 6.0};
    for (const char* name :
         {"fox.profile0.10bpc.yuv420", "fox.profile0.8bpc.yuv420", "fox.profile0.8bpc.yuv420.monochrome",
          "fox.profile0.8bpc.yuv420.monochrome.odd-width.odd-height",
          "fox.profile0.8bpc.yuv420.odd-width.odd-height", "fox.profile1.8bpc.yuv444",
          "fox.profile2.12bpc.yuv420"}) {
        const bool odd = QByteArray(name).contains("odd");
        list << Reference{linku + QLatin1String(name) + ".avif",
                          {},
                          "avifdec",
                          odd ? QSize(1203, 799) : QSize(1204, 800),
                          2.0};
    }
    const struct
    {
        const char* name;
        QSize size;
        double threshold;
    } jxl[] = {{"alpha_triangles", {1024, 1024}, 2.0},
               {"bench_oriented_brg", {606, 500}, 2.0},
               {"bicycles", {1024, 631}, 2.0},
               {"delta_palette", {555, 751}, 2.0},
               {"grayscale", {200, 200}, 2.0},
               {"lz77_flower", {834, 244}, 2.0},
               {"noise", {500, 606}, 2.0},
               {"patches", {1600, 1096}, 2.0},
               {"spot", {600, 400}, 2.0},
               {"bike", {2048, 2560}, 2.0},
               {"animation_spline", {320, 320}, 2.0}};
    for (const auto& j : jxl) {
        const QString dir = QStringLiteral("jxl/") + QLatin1String(j.name);
        // libjxl 0.7 synthesises the noise of "noise" otherwise than the reference
        // (djxl's own output differs from ref.png by 12/255 on average): Debian's djxl is
        // the reference there.
        const bool hasRef =
            QFileInfo(Corpus + '/' + dir + "/ref.png").size() > 0 && qstrcmp(j.name, "noise") != 0;
        list << Reference{dir + "/input.jxl", hasRef ? dir + "/ref.png" : QString(),
                          hasRef ? QString() : "djxl", j.size, j.threshold};
    }
    return list;
}

// The reference picture: the corpus's own, or what Debian's tool decodes the file to.
QString TstPhotoFormats::reference(const Reference& r)
{
    if (!r.reference.isEmpty())
        return Corpus + '/' + r.reference;
    const QString tool = QStandardPaths::findExecutable(r.tool);
    if (tool.isEmpty())
        return {};
    const QString out = m_dir.filePath(QString(r.file).replace('/', '_') + ".png");
    if (QFile::exists(out))
        return out;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, {Corpus + '/' + r.file, out});
    if (!process.waitForFinished(budget::ms(budget::TestWait) * 6) || process.exitCode() != 0)
        return {};
    if (QFile::exists(out))
        return out;
    // Of a file with several pictures, heif-convert writes each, numbered; the primary first.
    const QString first = out.chopped(4) + QStringLiteral("-1.png");
    return QFile::exists(first) ? first : QString();
}

void TstPhotoFormats::recognisedByContent()
{
    QCOMPARE(pictureFormat(QByteArray("\xFF\x0A\xFA\x7F", 4)), PictureFormat::Jxl);
    QCOMPARE(pictureFormat(QByteArray("\0\0\0\x0CJXL \r\n\x87\n\0\0\0\x14", 16)), PictureFormat::Jxl);
    const auto ftyp = [](const char* major, const QByteArray& compatible) {
        return be32(quint32(16 + compatible.size())) + "ftyp" + QByteArray(major, 4) + be32(0) + compatible;
    };
    for (const char* brand : {"heic", "heix", "mif1", "avif", "avis", "msf1"})
        QCOMPARE(pictureFormat(ftyp(brand, "")), PictureFormat::Heif);
    // A photo of a phone that names a video brand first and the picture brand after it.
    QCOMPARE(pictureFormat(ftyp("isom", "iso2mif1")), PictureFormat::Heif);
    // Videos and other ISO files are no pictures.
    QCOMPARE(pictureFormat(ftyp("isom", "iso2avc1mp41")), PictureFormat::None);
    QCOMPARE(pictureFormat(ftyp("qt  ", "qt  ")), PictureFormat::None);
    // A brand beyond the box's own end does not count.
    QCOMPARE(pictureFormat(be32(16) + "ftypisom" + be32(0) + "mif1"), PictureFormat::None);
    QCOMPARE(pictureFormat(QByteArray("\xFF\x0B", 2)), PictureFormat::None);
}

void TstPhotoFormats::corpus_data()
{
    QTest::addColumn<Reference>("ref");
    if (!QFile::exists(Corpus + "/heif"))
        QSKIP("corpus not present");
    for (const Reference& r : references())
        QTest::newRow(qPrintable(r.file)) << r;
}

void TstPhotoFormats::corpus()
{
    QFETCH(Reference, ref);
    const QString path = Corpus + '/' + ref.file;
    const QString refPath = reference(ref);
    if (refPath.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no %1 for a reference").arg(ref.tool)));
    const QImage expected = onWhite(QImage(refPath));
    QVERIFY2(!expected.isNull(), qPrintable(refPath));
    const QSize size = ref.size.isValid() ? ref.size : expected.size();

    // Natural size: upright, the shown size, the reference's colours.
    const ScaledPicture natural = decode(path, 1 << 20);
    QVERIFY(!natural.isNull());
    QCOMPARE(natural.size, size);
    QCOMPARE(natural.image.size(), size);
    QCOMPARE(expected.size(), size);
    const double full = meanDifference(natural.image, expected);
    QVERIFY2(full < ref.threshold, qPrintable(QString::number(full)));

    // The preview box: the same picture, reduced.
    const ScaledPicture preview = decode(path, 210);
    QVERIFY(!preview.isNull());
    const QSize fitted = fittedInBox(size, 210);
    QVERIFY2(std::abs(preview.size.width() - fitted.width()) <= 1 &&
                 std::abs(preview.size.height() - fitted.height()) <= 1,
             qPrintable(QStringLiteral("%1x%2").arg(preview.size.width()).arg(preview.size.height())));
    const double reduced = reducedDifference(preview.image, expected);
    // A thumbnail item is encoded on its own.
    QVERIFY2(reduced < ref.threshold + 2.0, qPrintable(QString::number(reduced)));

    // Wrongly turned or mirrored, the same picture differs far more than that.
    if (expected.width() == expected.height() || ref.file.contains("kimono")) {
        const double mirrored = meanDifference(natural.image, expected.mirrored(true, false));
        QVERIFY2(mirrored > 3 * ref.threshold || mirrored > full * 3,
                 qPrintable(QStringLiteral("%1 vs %2").arg(mirrored).arg(full)));
    }
}

void TstPhotoFormats::thumbnailCommand_data()
{
    corpus_data();
}

void TstPhotoFormats::thumbnailCommand()
{
    QFETCH(Reference, ref);
    const QString refPath = reference(ref);
    if (refPath.isEmpty())
        QSKIP("no reference");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(FOTARIK_EXE), {"--thumbnail", Corpus + '/' + ref.file, "210x210"});
    QVERIFY(process.waitForFinished(budget::ms(budget::TestWait) * 3));
    QCOMPARE(process.exitCode(), 0);
    QImage png;
    QVERIFY(png.loadFromData(process.readAllStandardOutput(), "png"));
    const QImage expected = onWhite(QImage(refPath));
    const QSize fitted = fittedInBox(expected.size(), 210);
    QVERIFY2(std::abs(png.width() - fitted.width()) <= 1 && std::abs(png.height() - fitted.height()) <= 1,
             qPrintable(QStringLiteral("%1x%2").arg(png.width()).arg(png.height())));
    const double d = reducedDifference(png, expected);
    QVERIFY2(d < ref.threshold + 2.0, qPrintable(QString::number(d)));
}

void TstPhotoFormats::undecodableFileGivesNoPicture()
{
    const QString path = Corpus + "/heif/lightning_mini.heif";
    if (!QFile::exists(path))
        QSKIP("corpus not present");
    QVERIFY(decode(path, 210).isNull());
}

void TstPhotoFormats::hostileHeif_data()
{
    QTest::addColumn<QByteArray>("file");
    const QByteArray junk(64, char(0x26));
    QTest::newRow("100000 x 100000") << heifFile({{1, "hvc1", junk, QSize(100000, 100000)}});
    QTest::newRow("30000 x 30000, beyond the budget") << heifFile({{1, "hvc1", junk, QSize(30000, 30000)}});
    QTest::newRow("grid of 10000 tiles of 512") << gridFile(100, 100, QSize(512, 512));
    QTest::newRow("grid of 10000 tiles of 64") << gridFile(100, 100, QSize(64, 64));
    QTest::newRow("grid 1 x 1 of a huge tile") << heifFile(
        {{1, "grid", gridData(1, 1, QSize(64, 64)), QSize(64, 64)}, {2, "hvc1", junk, QSize(30000, 30000)}},
        {2});
    // An overlay's canvas is the size its own data gives (here 5924 x 10265), not the one
    // declared (512 x 512). A fuzzer's find.
    QFile overlay(QStringLiteral(FOTARIK_FUZZ_REGRESSIONS "/heif/overlay-canvas-larger-than-its-size"));
    if (overlay.open(QIODevice::ReadOnly))
        QTest::newRow("overlay of 512 x 512 on a larger canvas") << overlay.readAll();
    else
        QTest::newRow("overlay file missing") << QByteArray();
    QTest::newRow("grid naming itself")
        << heifFile({{1, "grid", gridData(1, 1, QSize(64, 64)), QSize(64, 64)}}, {1});
    // Grids of grids, each the one tile of the one before, down to a coded picture.
    for (int depth : {2, 50, 1000}) {
        QList<Item> nested;
        for (int i = 1; i <= depth; ++i)
            nested.append(
                {quint16(i), "grid", gridData(1, 1, QSize(64, 64)), QSize(64, 64), {quint16(i + 1)}});
        nested.append({quint16(depth + 1), "hvc1", junk, QSize(64, 64)});
        QTest::addRow("grids %d deep", depth) << heifFile(nested);
    }
    // Two grids that name each other as their tile.
    QTest::newRow("grids in a cycle")
        << heifFile({{1, "grid", gridData(1, 1, QSize(64, 64)), QSize(64, 64), {2}},
                     {2, "grid", gridData(1, 1, QSize(64, 64)), QSize(64, 64), {1}}});
    QList<Item> many{{1, "hvc1", junk, QSize(64, 64)}};
    for (int i = 2; i < 6000; ++i)
        many.append({quint16(i), "Exif", QByteArray(8, 'e'), QSize(1, 1)});
    QTest::newRow("6000 items") << heifFile(many);
    QTest::newRow("small, garbage data") << heifFile({{1, "hvc1", junk, QSize(64, 48)}});
    QTest::newRow("no data") << heifFile({{1, "hvc1", {}, QSize(64, 48)}});
    QTest::newRow("zero size") << heifFile({{1, "hvc1", junk, QSize(0, 0)}});
    QTest::newRow("ftyp alone") << box("ftyp", QByteArray("heic") + be32(0) + "mif1");
}

void TstPhotoFormats::hostileHeif()
{
    QFETCH(QByteArray, file);
    const QString path = m_dir.filePath(QStringLiteral("hostile.heic"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(out.write(file), file.size());
    out.close();
    QCOMPARE(pictureFormat(file.left(FormatHeadBytes)), PictureFormat::Heif);
    QVERIFY(decode(path, 210).isNull());
    QVERIFY(decode(path, 1 << 20).isNull());
}

void TstPhotoFormats::truncatedAndDamagedStreams()
{
    if (!QFile::exists(Corpus + "/heif"))
        QSKIP("corpus not present");
    const QStringList sources = {"heif/example.avif", "avif/Link-U/fox.profile0.10bpc.yuv420.avif",
                                 "heif/example.heic", "jxl/patches/input.jxl",
                                 "jxl/bench_oriented_brg/input.jxl"};
    int cases = 0;
    for (const QString& source : sources) {
        QFile in(Corpus + '/' + source);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray whole = in.readAll();
        const bool jxl = source.endsWith(".jxl");
        QList<QByteArray> variants;
        // Cut in its coded data: the picture's stream ends early.
        for (int percent : {97, 75, 50, 10})
            variants << whole.left(whole.size() * percent / 100);
        // Bytes overwritten in the middle of the coded data.
        QByteArray damaged = whole;
        for (qsizetype at = damaged.size() / 2; at < damaged.size() / 2 + 512 && at < damaged.size(); ++at)
            damaged[at] = char(at * 37);
        variants << damaged;
        for (const QByteArray& v : variants) {
            const QString path = m_dir.filePath(jxl ? "cut.jxl" : "cut.heic");
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(v);
            out.close();
            const ScaledPicture p = decode(path, 210);
            // Cut short, a JPEG XL frame is incomplete: no picture. A damaged one may
            // come out with wrong pixels, but at its size.
            if (jxl && v.size() < whole.size())
                QVERIFY2(p.isNull(), qPrintable(source));
            if (!p.isNull())
                QVERIFY(p.size.width() <= 210 && p.size.height() <= 210);
            ++cases;
        }
    }
    QCOMPARE(cases, sources.size() * 5);
}

void TstPhotoFormats::giantIccProfileRefused()
{
    // The same file with a profile of ordinary size decodes: the size alone decides.
    const QByteArray normal = jxlWithIcc(giantIccProfile(1000));
    const QByteArray giant = jxlWithIcc(giantIccProfile(int(MaxIccProfileBytes) + (1 << 20)));
    QVERIFY(!normal.isEmpty());
    QVERIFY(!giant.isEmpty());
    // Compressed in the file, the profile is small there.
    QVERIFY(giant.size() < MaxIccProfileBytes / 4);
    for (const auto& [data, decodes] : {std::pair{normal, true}, std::pair{giant, false}}) {
        const QString path = m_dir.filePath(QStringLiteral("icc.jxl"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(data);
        out.close();
        const ScaledPicture p = decode(path, 210);
        QCOMPARE(!p.isNull(), decodes);
        if (decodes)
            QCOMPARE(p.size, QSize(16, 16));
    }
}

void TstPhotoFormats::largeJxlAtEverySize_data()
{
    QTest::addColumn<bool>("alpha");
    QTest::newRow("opaque") << false;
    QTest::newRow("with alpha") << true;
}

void TstPhotoFormats::largeJxlAtEverySize()
{
    // Reduced to an eighth or less, a picture needs only its coarse detail; the pictures
    // must look the same either way.
    QFETCH(bool, alpha);
    const QImage source = photo(QSize(2000, 1400), alpha);
    const QByteArray file = jxlOf(source, {});
    QVERIFY(!file.isEmpty());
    const QString path = m_dir.filePath(QStringLiteral("large.jxl"));
    const auto write = [&](const QByteArray& bytes) {
        QFile out(path);
        return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size();
    };
    QVERIFY(write(file));
    const QImage expected = onWhite(source);
    for (const auto& [box, size] : {std::pair{210, QSize(210, 147)}, std::pair{600, QSize(600, 420)},
                                    std::pair{2000, QSize(2000, 1400)}}) {
        const ScaledPicture p = decode(path, box);
        QVERIFY2(!p.isNull(), qPrintable(QString::number(box)));
        QCOMPARE(p.size, size);
        QCOMPARE(p.image.size(), size);
        const double d = reducedDifference(p.image, expected);
        QVERIFY2(d < 2.0, qPrintable(QStringLiteral("box %1: %2").arg(box).arg(d)));
    }
    if (alpha)
        return; // its alpha is complete only with the fine detail
    // Cut in the fine detail: the coarse detail is whole, the finer passes are not, so the
    // small preview is all that can be had.
    QVERIFY(write(file.left(file.size() * 3 / 5)));
    const ScaledPicture cut = decode(path, 210);
    QVERIFY(!cut.isNull());
    QCOMPARE(cut.size, QSize(210, 147));
    QVERIFY(reducedDifference(cut.image, expected) < 2.0);
    QVERIFY(decode(path, 600).isNull());
}

void TstPhotoFormats::namesDoNotDecide()
{
    // A PNG named .heic is a PNG.
    QImage png(40, 30, QImage::Format_RGB32);
    png.fill(Qt::darkGreen);
    const QString pngPath = m_dir.filePath(QStringLiteral("wirklich ein png.heic"));
    QVERIFY(png.save(pngPath, "png"));
    const ScaledPicture p = decode(pngPath, 210);
    QVERIFY(!p.isNull());
    QCOMPARE(p.size, QSize(40, 30));
    QCOMPARE(p.image.pixel(5, 5), QColor(Qt::darkGreen).rgb());

    // A named pipe under a photo's name is refused without waiting for a writer.
    const QString fifo = m_dir.filePath(QStringLiteral("pipe.heic"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(decode(fifo, 210).isNull());
    QFile::remove(fifo);

    // A text file with a photo's name.
    const QString text = m_dir.filePath(QStringLiteral("notiz.avif"));
    QFile t(text);
    QVERIFY(t.open(QIODevice::WriteOnly));
    t.write("Das ist kein Bild.\n");
    t.close();
    QVERIFY(decode(text, 210).isNull());
}

QTEST_GUILESS_MAIN(TstPhotoFormats)
#include "tst_photoformats.moc"
