#pragma once
// JPEG XL pictures through libjxl, read in pieces from the file: the first frame of an
// animation, grey or colour, with alpha, reduced to the wanted size while libjxl hands out
// its rows, so the picture is never held whole at 8 bits; colours end up in sRGB.

#include <QImage>
#include <QSize>
#include <memory>

#include "readablefile.h"

namespace fotarik::imaging {

class JxlDecoder
{
public:
    explicit JxlDecoder(ReadableFile file);
    ~JxlDecoder();
    JxlDecoder(const JxlDecoder&) = delete;
    JxlDecoder& operator=(const JxlDecoder&) = delete;

    // Reads the header; false for a file libjxl rejects or that ends before its header.
    bool readHeader();
    // Size as stored, before the orientation is applied.
    QSize storedSize() const;
    // Orientation 1..8, numbered as EXIF numbers them.
    int orientation() const;
    bool hasAlpha() const;

    // A picture of more pixels than this is refused: decoding time goes by the stored size.
    static constexpr qint64 MaxStoredPixels = qint64(256) * 1024 * 1024;
    // What libjxl holds per stored pixel while it decodes a frame (floating-point planes).
    static constexpr qint64 WorkingBytesPerPixel = 12;

    // Decodes the first frame into a picture of exactly size (no larger than the stored
    // size; orientation not applied), each pixel the average of the stored pixels it
    // covers. RGB32, or ARGB32_Premultiplied with alpha. Null when the data is broken or
    // ends early, the ICC profile is larger than any real one, or the decoder's working
    // memory or the reduction's would exceed allocationLimitBytes (checked before any
    // pixel is decoded).
    QImage decodeScaled(QSize size, qint64 allocationLimitBytes);

private:
    // Runs the decoder to the end of the first frame (or to a coarser detail that is enough
    // for target), reducing into a picture of target; whole: through a buffer of the whole
    // frame, else row by row.
    template <typename Sum> QImage decodeInto(QSize target, bool alpha, bool whole);
    // Asks for sRGB where libjxl converts, else keeps the profile of the pixels (with or
    // without alpha); false for a profile larger than any real one.
    bool takeColourEncoding(bool alpha);

    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace fotarik::imaging
