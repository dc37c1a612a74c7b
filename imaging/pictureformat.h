#pragma once
// What a picture file is, told by its first bytes (never by its name), and whether it is
// whole. Only the formats this program shows are recognised: anything else (SVG, MNG,
// PCX, ...) is no picture, so no other reader is ever reached by a file on disk.

#include <QByteArray>
#include <QtGlobal>

namespace fotarik::imaging {

// Heif covers every picture in the HEIF container: HEIC (HEVC) and AVIF (AV1).
enum class PictureFormat { None, Bmp, Ico, Cur, Jpeg, Gif, Png, Tiff, Webp, Wmf, Emf, Heif, Jxl };

// How many leading bytes pictureFormat wants to see (fewer only for a shorter file).
inline constexpr int FormatHeadBytes = 64;

// The format of a file that starts with head.
PictureFormat pictureFormat(const QByteArray& head);

// Whether head starts with an ISO file-type box naming a HEIF still-picture or sequence
// brand, as major or compatible brand (those within head).
bool isHeifHead(const QByteArray& head);

// The name Qt's image readers know the format by ("bmp", "gif", ...); empty for the
// formats decoded here directly (JPEG, PNG, HEIF, JPEG XL, metafiles) and for None.
QByteArray qtReaderFormat(PictureFormat format);

// Whether a bitmap with this header (at least its first 38 bytes) can be whole in a
// file of fileSize bytes: Qt's reader returns what it got from a cut bitmap.
bool bitmapLooksComplete(const QByteArray& header, qint64 fileSize);

// Whether a PNG's end chunk lies within tail (the file's last bytes): a PNG cut short,
// or with something else appended, is broken.
bool pngTailHoldsEnd(const QByteArray& tail);

} // namespace fotarik::imaging
