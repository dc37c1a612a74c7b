#include "gdiplusresize.h"

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "globals.h"
#include "jpegdecoder.h"
#include "messagebox.h"
#include "metafile.h"
#include "pngdecoder.h"
#include "raisederror.h"
#include "vbmath.h"

namespace fotarik {
namespace {

// A missing picture library is reported as "file not found".
constexpr int ErrFileNotFound = 53;

std::function<bool()>& availabilityProbe()
{
    static std::function<bool()> probe;
    return probe;
}

std::set<uint32_t>& openSessions()
{
    static std::set<uint32_t> sessions;
    return sessions;
}

uint32_t g_lastToken = 0;

QString programName()
{
    if (QCoreApplication::instance()) {
        const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
        if (!name.isEmpty())
            return name;
    }
    return QStringLiteral("fotarik");
}

qint64 allocationLimitBytes()
{
    return qint64(QImageReader::allocationLimit()) * 1024 * 1024;
}

// Assignment that keeps the old value when the conversion fails, as a guarded step does.
void assignRounded(int32_t& target, double value)
{
    try {
        target = round32(value);
    } catch (const RaisedError&) {
    }
}

// The picture format by its first bytes, so that only the one reader needed is loaded
// and a ".dib" or a misnamed file is still read by what it is.
QByteArray formatFromContent(const QByteArray& head)
{
    const auto starts = [&](const char* magic, int length) {
        return head.size() >= length && std::memcmp(head.constData(), magic, size_t(length)) == 0;
    };
    if (starts("BM", 2))
        return "bmp";
    if (starts("\x89PNG\r\n\x1a\n", 8))
        return "png";
    if (starts("GIF87a", 6) || starts("GIF89a", 6))
        return "gif";
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4))
        return "tiff";
    if (starts("\0\0\1\0", 4))
        return "ico";
    if (starts("\0\0\2\0", 4))
        return "cur";
    return {};
}

struct Decoded
{
    QImage image; // upright; at least the fitted size, or exactly it for metafiles
    QSize fitted;
};

Decoded decodeJpeg(FILE* file, const std::function<QSize(QSize)>& fit)
{
    imaging::JpegDecoder decoder(file);
    if (!decoder.readHeader() || !decoder.colourModelSupported())
        return {};
    const int orientation = decoder.orientation();
    const bool swaps = imaging::orientationSwapsSides(orientation);
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
    QImage image = decoder.decodeScaled(denominator, allocationLimitBytes());
    if (image.isNull())
        return {};
    // Scaling before turning keeps the turn cheap.
    if (image.size() != need)
        image = image.scaled(need, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return {imaging::applyExifOrientation(std::move(image), orientation), fitted};
}

Decoded decodePng(FILE* file, const std::function<QSize(QSize)>& fit)
{
    imaging::PngDecoder decoder(file);
    if (!decoder.readHeader())
        return {};
    const QSize fitted = fit(decoder.size());
    // Decoded straight to the fitted size: the reduction is averaged while reading.
    QImage image = decoder.decodeScaled(fitted.boundedTo(decoder.size()), allocationLimitBytes());
    if (image.isNull())
        return {};
    return {std::move(image), fitted};
}

// A PNG whose end chunk is not near its end was cut short (or has something else
// appended), as Qt's reader would not notice.
bool pngEndsWithIend(int fd, qint64 size)
{
    char tail[256];
    const qint64 at = std::max<qint64>(0, size - qint64(sizeof tail));
    const ssize_t n = ::pread(fd, tail, sizeof tail, off_t(at));
    return n > 0 && QByteArray::fromRawData(tail, qsizetype(n)).contains("IEND");
}

// The icon entry a viewer shows: the deepest colours, then the largest. Qt would take
// the first entry, which in many icons is a small or low-colour one.
int bestIconEntry(QFile& file)
{
    const QByteArray head = file.peek(6 + 16 * 64);
    if (head.size() < 6)
        return 0;
    const auto* d = reinterpret_cast<const uchar*>(head.constData());
    const int count = std::min<int>(d[4] | d[5] << 8, int((head.size() - 6) / 16));
    int best = 0;
    qint64 bestScore = -1;
    for (int i = 0; i < count; ++i) {
        const uchar* e = d + 6 + 16 * i;
        const int w = e[0] ? e[0] : 256;
        const int h = e[1] ? e[1] : 256;
        int bits = e[6] | e[7] << 8;
        const quint32 offset =
            quint32(e[12]) | quint32(e[13]) << 8 | quint32(e[14]) << 16 | quint32(e[15]) << 24;
        if (bits == 0 && file.seek(offset)) {
            const QByteArray entry = file.peek(16);
            if (entry.startsWith("\x89PNG"))
                bits = 32;
            else if (entry.size() >= 16)
                bits = uchar(entry[14]) | uchar(entry[15]) << 8;
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

// Qt's readers return what they got from a file that ends too early; such a file is
// broken, not a picture. Catches the cut bitmap (less pixel data than its header states).
bool looksComplete(QFile& file, const QByteArray& format)
{
    const qint64 size = file.size();
    if (format == "bmp") {
        const QByteArray h = file.peek(38);
        if (h.size() < 38)
            return false;
        const auto le = [&](int at, int bytes) {
            quint32 v = 0;
            for (int i = bytes - 1; i >= 0; --i)
                v = v << 8 | uchar(h[at + i]);
            return v;
        };
        const qint64 offset = le(10, 4);
        if (le(14, 4) < 40) // OS/2 1.x header: always uncompressed
            return size >= offset + qint64((le(18, 2) * le(24, 2) + 31) / 32 * 4) * le(20, 2);
        const qint64 width = qint32(le(18, 4));
        const qint64 height = std::abs(qint64(qint32(le(22, 4))));
        const qint64 bits = le(28, 2);
        const quint32 compression = le(30, 4);
        if (compression == 0 || compression == 3)
            return size >= offset + (width * bits + 31) / 32 * 4 * height;
        return size >= offset + qint64(le(34, 4));
    }
    return true;
}

Decoded decodeWithQt(QFile& file, const QByteArray& format, const std::function<QSize(QSize)>& fit)
{
    if (!looksComplete(file, format))
        return {};
    const int entry = format == "ico" ? bestIconEntry(file) : 0;
    QImageReader reader(&file, format);
    if (entry > 0)
        reader.jumpToImage(entry);
    if (format.isEmpty())
        reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return {};
    return {image, fit(image.size())};
}

Decoded decodePicture(const QByteArray& path, const std::function<QSize(QSize)>& fit)
{
    // Opened by its bytes: a name that is not valid UTF-8 must still be found.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char headBytes[64];
    const ssize_t headLength = ::pread(fd, headBytes, sizeof headBytes, 0);
    const QByteArray head(headBytes, headLength > 0 ? qsizetype(headLength) : 0);
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {};
    }
    if (head.size() >= 3 && uchar(head[0]) == 0xFF && uchar(head[1]) == 0xD8 && uchar(head[2]) == 0xFF) {
        FILE* stream = ::fdopen(fd, "rb");
        if (!stream) {
            ::close(fd);
            return {};
        }
        return decodeJpeg(stream, fit);
    }
    if (head.startsWith("\x89PNG\r\n\x1a\n")) {
        FILE* stream = pngEndsWithIend(fd, info.st_size) ? ::fdopen(fd, "rb") : nullptr;
        if (!stream) {
            ::close(fd);
            return {};
        }
        return decodePng(stream, fit);
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    const imaging::MetafileKind kind = imaging::metafileKind(head);
    if (kind != imaging::MetafileKind::None) {
        // Metafiles are small; a huge one is not a picture this program shows.
        if (info.st_size > 64 * 1024 * 1024)
            return {};
        const QByteArray data = file.readAll();
        QSize fitted;
        QImage image =
            imaging::renderMetafile(kind, data, [&](QSize natural) { return fitted = fit(natural); });
        return {image, fitted};
    }
    return decodeWithQt(file, formatFromContent(head), fit);
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

bool imagingAvailable()
{
    if (availabilityProbe())
        return availabilityProbe()();
    return QImageReader::supportedImageFormats().contains("jpeg");
}

void setImagingAvailabilityProbe(std::function<bool()> probe)
{
    availabilityProbe() = std::move(probe);
}

uint32_t StartGdiPlus()
{
    if (!imagingAvailable()) {
        showMessage(QStringLiteral("Fehler: %1, GdiPlus.dll wurde nicht gefunden!").arg(ErrFileNotFound),
                    programName(), MsgIcon::Warning);
        return 0;
    }
    // Tokens are handed out in turn, skipping 0 and any still open after a wrap-around.
    do {
        ++g_lastToken;
    } while (g_lastToken == 0 || openSessions().count(g_lastToken));
    openSessions().insert(g_lastToken);
    return g_lastToken;
}

void StopGdiPlus(const uint32_t& token)
{
    if (!imagingAvailable()) {
        showMessage(QStringLiteral("Fehler: %1 , Gdiplus.dll wurde nicht gefunden!").arg(ErrFileNotFound),
                    programName(), MsgIcon::Warning);
        return;
    }
    openSessions().erase(token);
}

void FitToBox(int32_t boxWidth, int32_t boxHeight, int32_t& width, int32_t& height)
{
    int32_t w = width;
    int32_t h = height;
    if (w > boxWidth || h > boxHeight) {
        float r = 0.0f;
        if (w >= h) {
            if (h != 0)
                r = float(double(w) / double(h));
            w = boxWidth;
            if (r != 0.0f)
                assignRounded(h, double(w) / double(r));
            if (h > boxHeight) {
                h = boxHeight;
                assignRounded(w, double(r) * double(h));
            }
        }
        if (h > w) {
            if (w != 0)
                r = float(double(h) / double(w));
            h = boxHeight;
            if (r != 0.0f)
                assignRounded(w, double(h) / double(r));
            if (w > boxWidth) {
                w = boxWidth;
                assignRounded(h, double(r) * double(w));
            }
        }
    }
    // A hair-thin picture still gets a visible line rather than an empty bitmap.
    width = std::max(w, 1);
    height = std::max(h, 1);
}

QImage LoadScaledPicture(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, int32_t& width,
                         int32_t& height, uint32_t backColour, qreal devicePixelRatio)
{
    const qreal ratio = std::isfinite(devicePixelRatio) ? std::clamp(devicePixelRatio, 1.0, 16.0) : 1.0;
    int32_t w = width;
    int32_t h = height;
    // The decoders are asked for the device pixels of the fitted logical size.
    const auto fit = [&](QSize natural) {
        if (w == -1 || h == -1) {
            w = natural.width();
            h = natural.height();
        }
        FitToBox(boxWidth, boxHeight, w, h);
        return QSize(std::max(1, qRound(w * ratio)), std::max(1, qRound(h * ratio)));
    };
    Decoded decoded = decodePicture(path, fit);
    if (decoded.image.isNull() || decoded.fitted.isEmpty())
        return {};
    if (qint64(decoded.fitted.width()) * decoded.fitted.height() * 4 > allocationLimitBytes())
        return {};
    QImage result = composeOnBackground(std::move(decoded.image), decoded.fitted, backColour);
    if (result.isNull())
        return {};
    result.setDevicePixelRatio(ratio);
    width = w;
    height = h;
    ScaledWidth = float(w);
    ScaledHeight = float(h);
    return result;
}

} // namespace fotarik
