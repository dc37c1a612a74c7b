#pragma once
// Decoding a picture file and scaling it into a box, with no effect on anything else: the
// part of picture loading that a worker thread may run.
//
// Every file is untrusted. Only the formats of pictureformat.h are decoded, and each
// decoder works within a budget: a picture is decoded or refused quickly and with bounded
// memory, whatever its header declares.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <cstdint>

#include "readablefile.h"

namespace fotarik::imaging {

// The most one decoded picture (or a decoder's working buffers for it) may take. Qt's
// allocation limit lowers it further when set lower.
qint64 pictureBudgetBytes();

struct ScaledPicture
{
    QImage image; // exactly size, drawn over the background; null when not decoded
    QSize size;
    bool isNull() const { return image.isNull(); }
};

// Decodes the picture at path (file-system bytes), fits it into boxWidth x boxHeight
// (never enlarging; width/height -1 mean "the picture's own size", otherwise they are the
// size that is fitted), draws it smoothly over backColour (0x00BBGGRR) and returns it at
// exactly the fitted size. Anything but a regular file is refused without waiting.
// devicePixelRatio: the screen's device pixels per logical pixel. The box, the fitting and
// the returned size stay in logical pixels; the image is made with round(fitted size x
// ratio) pixels and carries the ratio, so it is drawn at the fitted logical size, sharp.
// Ratios below 1 (or not finite) count as 1.
// Told once per decode, before the heavy work, the size the file's header declares (its
// stored pixels); a decoder worker grows its CPU allowance with it. Metafiles declare none.
// Not thread-safe to change while decoding; nullptr for none.
using DeclaredSizeObserver = void (*)(QSize declared);
void setDeclaredSizeObserver(DeclaredSizeObserver observer);

ScaledPicture decodeScaledPicture(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, int32_t width,
                                  int32_t height, uint32_t backColour, qreal devicePixelRatio = 1.0);

// The same for a file opened already (by openForReading).
ScaledPicture decodeScaledPicture(ReadableFile file, int32_t boxWidth, int32_t boxHeight, int32_t width,
                                  int32_t height, uint32_t backColour, qreal devicePixelRatio = 1.0);

} // namespace fotarik::imaging
