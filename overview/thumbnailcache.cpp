#include "thumbnailcache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <array>
#include <cstring>
#include <zlib.h>

namespace fotarik::overview {
namespace {

// The thumbnail's start read for its text entries: writers put them before the image data.
constexpr qint64 InfoReadBytes = 64 * 1024;
// The most a compressed text entry may inflate to: a URI or a number.
constexpr uLongf MostTextBytes = 16 * 1024;

struct SizeClass
{
    const char* folder;
    int pixels;
};
constexpr std::array<SizeClass, 4> SizeClasses{
    {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}}};

uint32_t be32(const uchar* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

QByteArray inflateText(QByteArrayView compressed)
{
    QByteArray out(qsizetype(MostTextBytes), Qt::Uninitialized);
    uLongf length = MostTextBytes;
    if (::uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                     reinterpret_cast<const Bytef*>(compressed.data()), uLong(compressed.size())) != Z_OK)
        return {};
    out.truncate(qsizetype(length));
    return out;
}

// The keyword and the text of a tEXt, zTXt or iTXt chunk.
std::pair<QByteArrayView, QByteArray> textOf(QByteArrayView type, QByteArrayView data)
{
    const qsizetype end = data.indexOf('\0');
    if (end <= 0)
        return {};
    const QByteArrayView key = data.first(end);
    QByteArrayView rest = data.sliced(end + 1);
    if (type == "tEXt")
        return {key, rest.toByteArray()};
    if (type == "zTXt")
        return rest.size() >= 1 && rest[0] == 0 ? std::pair{key, inflateText(rest.sliced(1))}
                                                : std::pair<QByteArrayView, QByteArray>{};
    // iTXt: compression flag and method, language, translated keyword, text.
    if (rest.size() < 2)
        return {};
    const bool compressed = rest[0] != 0;
    rest = rest.sliced(2);
    for (int i = 0; i < 2; ++i) {
        const qsizetype at = rest.indexOf('\0');
        if (at < 0)
            return {};
        rest = rest.sliced(at + 1);
    }
    return {key, compressed ? inflateText(rest) : rest.toByteArray()};
}

} // namespace

QByteArray thumbnailUri(const QByteArray& path)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    QByteArray uri("file://");
    for (const char c : path) {
        const auto b = uchar(c);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                           std::strchr("-_.!~*'()/&=:@+$,", c) != nullptr;
        if (plain && b != 0) {
            uri.append(c);
        } else {
            uri.append('%');
            uri.append(Hex[b >> 4]);
            uri.append(Hex[b & 0xF]);
        }
    }
    return uri;
}

std::optional<CachedThumbnailInfo> readCachedThumbnailInfo(const QByteArray& pngStart)
{
    const auto* d = reinterpret_cast<const uchar*>(pngStart.constData());
    const qsizetype n = pngStart.size();
    if (n < 8 + 8 + 13 || std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) != 0)
        return std::nullopt;
    CachedThumbnailInfo info;
    qsizetype at = 8;
    bool header = false;
    while (at + 8 <= n) {
        const uint32_t length = be32(d + at);
        const QByteArrayView type(reinterpret_cast<const char*>(d + at + 4), 4);
        if (length > uint32_t(n - at - 8))
            break; // the chunk goes on past what was read
        const QByteArrayView data(reinterpret_cast<const char*>(d + at + 8), qsizetype(length));
        if (type == "IHDR" && length >= 8) {
            info.width = int(std::min<uint32_t>(be32(d + at + 8), 1 << 20));
            info.height = int(std::min<uint32_t>(be32(d + at + 12), 1 << 20));
            header = true;
        } else if (type == "IDAT" || type == "IEND") {
            break;
        } else if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
            const auto [key, text] = textOf(type, data);
            if (key == "Thumb::URI")
                info.uri = text;
            else if (key == "Thumb::MTime")
                info.mtime = text.trimmed();
            else if (key == "Thumb::Image::Width")
                info.pictureWidth = std::max(0, text.trimmed().toInt());
            else if (key == "Thumb::Image::Height")
                info.pictureHeight = std::max(0, text.trimmed().toInt());
        }
        at += 8 + qsizetype(length) + 4;
    }
    if (!header || info.width <= 0 || info.height <= 0)
        return std::nullopt;
    return info;
}

std::optional<ReadableFile> cachedThumbnail(const QByteArray& path, const struct stat& status, int side)
{
    QByteArray cache = qgetenv("XDG_CACHE_HOME");
    if (cache.isEmpty() || !cache.startsWith('/'))
        cache = QFile::encodeName(QDir::homePath()) + "/.cache";
    const QByteArray uri = thumbnailUri(path);
    const QByteArray name = QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex() + ".png";
    const QByteArray mtime = QByteArray::number(qlonglong(status.st_mtime));
    for (const SizeClass& size : SizeClasses) {
        if (size.pixels < side)
            continue;
        ReadableFile file = openForReading(cache + "/thumbnails/" + size.folder + '/' + name);
        if (!file.isOpen())
            continue;
        const std::optional<CachedThumbnailInfo> info =
            readCachedThumbnailInfo(readAtMost(file.fd, InfoReadBytes));
        // Some writers add fractions of a second; the whole seconds must match.
        if (!info || info->uri != uri || info->mtime.split('.').value(0) != mtime)
            continue;
        // It must hold the pixels the cell shows of the picture, where it says how big that
        // is (else its size class vouches for it).
        if (info->pictureWidth > 0 && info->pictureHeight > 0) {
            const double scale =
                std::min({double(side) / info->pictureWidth, double(side) / info->pictureHeight, 1.0});
            if (info->width < int(info->pictureWidth * scale) ||
                info->height < int(info->pictureHeight * scale))
                continue;
        }
        return file;
    }
    return std::nullopt;
}

} // namespace fotarik::overview
