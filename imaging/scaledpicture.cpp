#include "scaledpicture.h"

#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>

#include "gdiplusresize.h"
#include "heifdecoder.h"
#include "jpegdecoder.h"
#include "jxldecoder.h"
#include "metafile.h"
#include "pictureformat.h"
#include "pngdecoder.h"

namespace fotarik::imaging {
namespace {

// Enough for a 48-megapixel picture held whole; with the program itself and a scaled copy
// the process stays far below 384 MiB.
constexpr qint64 MaxPictureBytes = qint64(192) * 1024 * 1024;

using FitFunction = std::function<QSize(QSize)>;

DeclaredSizeObserver g_declaredSizeObserver = nullptr;
// Whether this decode has told its declared size (or must not, as a metafile).
thread_local bool t_declaredTold = false;

void tellDeclaredSize(QSize declared)
{
    if (t_declaredTold)
        return;
    t_declaredTold = true;
    if (g_declaredSizeObserver)
        g_declaredSizeObserver(QSize(std::abs(declared.width()), std::abs(declared.height())));
}

struct Decoded
{
    QImage image; // upright; at least the fitted size, or exactly it for metafiles
    QSize fitted;
};

// The bytes read from a JPEG at a time: libjpeg asks for 4 KiB at a time, and a reduced
// decode is through them long before a cold drive has the next ones.
constexpr size_t JpegReadBuffer = 512 * 1024;

Decoded decodeJpeg(UniqueFd fd, const FitFunction& fit)
{
    // Read front to back: the kernel may read further ahead.
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE* file = std::move(fd).toFile("rb").release();
    if (file)
        std::setvbuf(file, nullptr, _IOFBF, JpegReadBuffer);
    JpegDecoder decoder(file);
    if (!decoder.readHeader() || !decoder.colourModelSupported())
        return {};
    const int orientation = decoder.orientation();
    const bool swaps = orientationSwapsSides(orientation);
    const QSize stored = decoder.storedSize();
    const QSize fitted = fit(swaps ? stored.transposed() : stored);
    const QSize need = swaps ? fitted.transposed() : fitted;
    // The largest DCT reduction whose output still covers the fitted size.
    int denominator = 1;
    for (int d : {8, 4, 2}) {
        const int w = (stored.width() + d - 1) / d;
        const int h = (stored.height() + d - 1) / d;
        if (w >= need.width() && h >= need.height()) {
            denominator = d;
            break;
        }
    }
    QImage image = decoder.decodeScaled(denominator, pictureBudgetBytes());
    if (image.isNull())
        return {};
    // Scaling before turning keeps the turn cheap.
    if (image.size() != need)
        image = image.scaled(need, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return {applyExifOrientation(std::move(image), orientation), fitted};
}

Decoded decodePng(ReadableFile file, const FitFunction& fit)
{
    // A PNG whose end chunk is not near its end was cut short, as libpng would notice
    // only after the work.
    QByteArray tail(256, Qt::Uninitialized);
    const off_t at = std::max<off_t>(0, file.size - off_t(tail.size()));
    const ssize_t n = ::pread(file.fd.get(), tail.data(), size_t(tail.size()), at);
    if (n <= 0 || !pngTailHoldsEnd(tail.left(n)))
        return {};
    PngDecoder decoder(std::move(file.fd).toFile("rb").release());
    if (!decoder.readHeader())
        return {};
    const QSize fitted = fit(decoder.size());
    // Decoded straight to the fitted size: the reduction is averaged while reading.
    QImage image = decoder.decodeScaled(fitted.boundedTo(decoder.size()), pictureBudgetBytes());
    if (image.isNull())
        return {};
    return {std::move(image), fitted};
}

// HEIC and AVIF: libheif applies the file's transformations itself; the picture comes
// back reduced to the fitted size.
Decoded decodeHeif(ReadableFile file, const FitFunction& fit)
{
    HeifDecoder decoder(std::move(file));
    if (!decoder.readHeader())
        return {};
    const QSize fitted = fit(decoder.size());
    QImage image = decoder.decodeScaled(fitted, pictureBudgetBytes());
    if (image.isNull())
        return {};
    return {std::move(image), fitted};
}

// JPEG XL: reduced in stored orientation while decoded, then turned upright.
Decoded decodeJxl(ReadableFile file, const FitFunction& fit)
{
    JxlDecoder decoder(std::move(file));
    if (!decoder.readHeader())
        return {};
    const int orientation = decoder.orientation();
    const bool swaps = orientationSwapsSides(orientation);
    const QSize stored = decoder.storedSize();
    const QSize fitted = fit(swaps ? stored.transposed() : stored);
    const QSize need = swaps ? fitted.transposed() : fitted;
    QImage image = decoder.decodeScaled(need.boundedTo(stored), pictureBudgetBytes());
    if (image.isNull())
        return {};
    return {applyExifOrientation(std::move(image), orientation), fitted};
}

// The icon entry a viewer shows: the deepest colours, then the largest. Qt would take
// the first entry, which in many icons is a small or low-colour one.
int bestIconEntry(QIODevice& file)
{
    const QByteArray head = file.peek(6 + 16 * 64);
    if (head.size() < 6)
        return 0;
    const auto* d = reinterpret_cast<const uchar*>(head.constData());
    const int count = std::min<int>(qFromLittleEndian<quint16>(d + 4), int((head.size() - 6) / 16));
    int best = 0;
    qint64 bestScore = -1;
    for (int i = 0; i < count; ++i) {
        const uchar* e = d + 6 + 16 * i;
        const int w = e[0] ? e[0] : 256;
        const int h = e[1] ? e[1] : 256;
        int bits = qFromLittleEndian<quint16>(e + 6);
        const quint32 offset = qFromLittleEndian<quint32>(e + 12);
        if (bits == 0 && file.seek(offset)) {
            const QByteArray entry = file.peek(16);
            if (entry.startsWith("\x89PNG"))
                bits = 32;
            else if (entry.size() >= 16)
                bits = qFromLittleEndian<quint16>(entry.constData() + 14);
        }
        const qint64 score = qint64(bits) << 20 | qint64(w) * h;
        if (score > bestScore) {
            bestScore = score;
            best = i;
        }
    }
    file.seek(0);
    return best;
}

// BMP, ICO, CUR, GIF, TIFF and WebP through Qt's readers, after their declared size has
// been checked against the budget.
Decoded decodeWithQt(ReadableFile file, PictureFormat format, const QByteArray& head, const FitFunction& fit)
{
    if (format == PictureFormat::Bmp && !bitmapLooksComplete(head, file.size))
        return {};
    QFile device;
    if (!device.open(file.fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return {};
    file.fd.release(); // the device closes it now
    const QByteArray name = qtReaderFormat(format);
    const bool icon = format == PictureFormat::Ico || format == PictureFormat::Cur;
    const int entry = icon ? bestIconEntry(device) : 0;
    QImageReader reader(&device, name);
    reader.setDecideFormatFromContent(false);
    if (entry > 0 && !reader.jumpToImage(entry))
        return {};
    reader.setAutoTransform(true);
    // The declared size decides before anything is allocated.
    // A top-down bitmap declares a negative height.
    const QSize stated = reader.size();
    const QSize declared(std::abs(stated.width()), std::abs(stated.height()));
    if (declared.isEmpty() || qint64(declared.width()) * declared.height() * 4 > pictureBudgetBytes())
        return {};
    tellDeclaredSize(declared);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return {};
    return {image, fit(image.size())};
}

Decoded decodeMetafile(ReadableFile file, PictureFormat format, const FitFunction& fit)
{
    if (file.size > MaxMetafileBytes)
        return {};
    int error = 0;
    const QByteArray data = readAtMost(file.fd, MaxMetafileBytes, &error);
    if (error != 0)
        return {};
    t_declaredTold = true; // a metafile declares no size in pixels: the base allowance holds
    QSize fitted;
    QImage image = renderMetafile(format == PictureFormat::Wmf ? MetafileKind::Wmf : MetafileKind::Emf, data,
                                  [&](QSize natural) { return fitted = fit(natural); });
    return {image, fitted};
}

Decoded decodePicture(ReadableFile file, const FitFunction& fit)
{
    if (!file.isOpen())
        return {};
    QByteArray head(FormatHeadBytes, Qt::Uninitialized);
    const ssize_t n = ::pread(file.fd.get(), head.data(), size_t(head.size()), 0);
    head.truncate(n > 0 ? qsizetype(n) : 0);
    const PictureFormat format = pictureFormat(head);
    switch (format) {
    case PictureFormat::None:
        return {};
    case PictureFormat::Jpeg:
        return decodeJpeg(std::move(file.fd), fit);
    case PictureFormat::Png:
        return decodePng(std::move(file), fit);
    case PictureFormat::Heif:
        return decodeHeif(std::move(file), fit);
    case PictureFormat::Jxl:
        return decodeJxl(std::move(file), fit);
    case PictureFormat::Wmf:
    case PictureFormat::Emf:
        return decodeMetafile(std::move(file), format, fit);
    default:
        return decodeWithQt(std::move(file), format, head, fit);
    }
}

// The fitted picture drawn over the background colour at exactly size.
QImage composeOnBackground(QImage image, QSize size, uint32_t backColour)
{
    if (image.hasAlphaChannel() && image.format() != QImage::Format_ARGB32_Premultiplied)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    if (image.size() != size)
        image = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (!image.hasAlphaChannel())
        return image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    const QColor background(int(backColour & 0xFF), int(backColour >> 8 & 0xFF),
                            int(backColour >> 16 & 0xFF));
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(background);
    QPainter painter(&canvas);
    painter.drawImage(0, 0, image);
    painter.end();
    return canvas;
}

} // namespace

void setDeclaredSizeObserver(DeclaredSizeObserver observer)
{
    g_declaredSizeObserver = observer;
}

qint64 pictureBudgetBytes()
{
    const qint64 qtLimit = qint64(QImageReader::allocationLimit()) * 1024 * 1024;
    return qtLimit > 0 ? std::min(qtLimit, MaxPictureBytes) : MaxPictureBytes;
}

ScaledPicture decodeScaledPicture(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, int32_t width,
                                  int32_t height, uint32_t backColour, qreal devicePixelRatio)
{
    return decodeScaledPicture(openForReading(path), boxWidth, boxHeight, width, height, backColour,
                               devicePixelRatio);
}

ScaledPicture decodeScaledPicture(ReadableFile file, int32_t boxWidth, int32_t boxHeight, int32_t width,
                                  int32_t height, uint32_t backColour, qreal devicePixelRatio)
{
    const qreal ratio = std::isfinite(devicePixelRatio) ? std::clamp(devicePixelRatio, 1.0, 16.0) : 1.0;
    int32_t w = width;
    int32_t h = height;
    // The decoders are asked for the device pixels of the fitted logical size.
    t_declaredTold = false;
    const auto fit = [&](QSize natural) {
        tellDeclaredSize(natural);
        if (w == -1 || h == -1) {
            w = natural.width();
            h = natural.height();
        }
        fitToBox(boxWidth, boxHeight, w, h);
        return QSize(std::max(1, qRound(w * ratio)), std::max(1, qRound(h * ratio)));
    };
    Decoded decoded = decodePicture(std::move(file), fit);
    if (decoded.image.isNull() || decoded.fitted.isEmpty())
        return {};
    if (qint64(decoded.fitted.width()) * decoded.fitted.height() * 4 > pictureBudgetBytes())
        return {};
    QImage result = composeOnBackground(std::move(decoded.image), decoded.fitted, backColour);
    if (result.isNull())
        return {};
    result.setDevicePixelRatio(ratio);
    return {std::move(result), QSize(w, h)};
}

} // namespace fotarik::imaging
