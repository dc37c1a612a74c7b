#include "pictureformat.h"

#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>

#include "metafile.h"

namespace fotarik::imaging {

PictureFormat pictureFormat(const QByteArray& head)
{
    const auto starts = [&](const char* magic, int length) {
        return head.size() >= length && std::memcmp(head.constData(), magic, size_t(length)) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3))
        return PictureFormat::Jpeg;
    if (starts("\x89PNG\r\n\x1a\n", 8))
        return PictureFormat::Png;
    if (starts("BM", 2))
        return PictureFormat::Bmp;
    if (starts("GIF87a", 6) || starts("GIF89a", 6))
        return PictureFormat::Gif;
    if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4))
        return PictureFormat::Tiff;
    if (starts("\0\0\1\0", 4))
        return PictureFormat::Ico;
    if (starts("\0\0\2\0", 4))
        return PictureFormat::Cur;
    if (head.size() >= 12 && starts("RIFF", 4) && std::memcmp(head.constData() + 8, "WEBP", 4) == 0)
        return PictureFormat::Webp;
    if (starts("\xFF\x0A", 2) || starts("\0\0\0\x0CJXL \r\n\x87\n", 12))
        return PictureFormat::Jxl;
    if (isHeifHead(head))
        return PictureFormat::Heif;
    switch (metafileKind(head)) {
    case MetafileKind::Wmf:
        return PictureFormat::Wmf;
    case MetafileKind::Emf:
        return PictureFormat::Emf;
    case MetafileKind::None:
        break;
    }
    return PictureFormat::None;
}

bool isHeifHead(const QByteArray& head)
{
    if (head.size() < 16 || std::memcmp(head.constData() + 4, "ftyp", 4) != 0)
        return false;
    const auto* h = reinterpret_cast<const uchar*>(head.constData());
    const qint64 boxSize = qFromBigEndian<quint32>(h);
    if (boxSize < 16)
        return false;
    static const char* const brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm",
                                         "hevs", "mif1", "msf1", "avif", "avis", "mif2"};
    const auto known = [&](qsizetype at) {
        for (const char* brand : brands)
            if (std::memcmp(head.constData() + at, brand, 4) == 0)
                return true;
        return false;
    };
    if (known(8))
        return true;
    // Compatible brands follow the minor version, up to the end of the box.
    const qsizetype end = qsizetype(std::min<qint64>(boxSize, head.size()));
    for (qsizetype at = 16; at + 4 <= end; at += 4)
        if (known(at))
            return true;
    return false;
}

QByteArray qtReaderFormat(PictureFormat format)
{
    switch (format) {
    case PictureFormat::Bmp:
        return "bmp";
    case PictureFormat::Ico:
        return "ico";
    case PictureFormat::Cur:
        return "cur";
    case PictureFormat::Gif:
        return "gif";
    case PictureFormat::Tiff:
        return "tiff";
    case PictureFormat::Webp:
        return "webp";
    default:
        return {};
    }
}

bool bitmapLooksComplete(const QByteArray& header, qint64 fileSize)
{
    if (header.size() < 38)
        return false;
    const auto* h = reinterpret_cast<const uchar*>(header.constData());
    const qint64 offset = qFromLittleEndian<quint32>(h + 10);
    // Header fields are absurd in hostile files: every product is checked before it is
    // formed, and one that passes what any file can hold means "not complete".
    constexpr qint64 most = std::numeric_limits<qint64>::max() / 4;
    const auto rowBytes = [&](qint64 width, qint64 bits) -> qint64 {
        if (width < 0 || bits < 0 || (bits != 0 && width > most / bits))
            return -1;
        return (width * bits + 31) / 32 * 4;
    };
    const auto fits = [&](qint64 row, qint64 rows) {
        if (row < 0 || rows < 0)
            return false;
        if (row != 0 && rows > (most - offset) / row)
            return false; // more than any file can hold
        return fileSize >= offset + row * rows;
    };
    if (qFromLittleEndian<quint32>(h + 14) < 40) // OS/2 1.x header: always uncompressed
        return fits(rowBytes(qFromLittleEndian<quint16>(h + 18), qFromLittleEndian<quint16>(h + 24)),
                    qFromLittleEndian<quint16>(h + 20));
    const qint64 width = qFromLittleEndian<qint32>(h + 18);
    const qint64 height = std::abs(qint64(qFromLittleEndian<qint32>(h + 22)));
    const qint64 bits = qFromLittleEndian<quint16>(h + 28);
    const quint32 compression = qFromLittleEndian<quint32>(h + 30);
    if (compression == 0 || compression == 3)
        return fits(rowBytes(width, bits), height);
    return fileSize >= offset + qint64(qFromLittleEndian<quint32>(h + 34));
}

bool pngTailHoldsEnd(const QByteArray& tail)
{
    return tail.contains("IEND");
}

} // namespace fotarik::imaging
