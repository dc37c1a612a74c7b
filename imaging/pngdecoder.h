#pragma once
// PNG decoding straight through libpng, one row at a time: a big picture wanted small is
// averaged down to its final size while it is read, so neither the whole picture nor a
// second copy of it is ever held. A file whose image data ends early counts as broken, not half drawn.

#include <QImage>
#include <QSize>
#include <cstdio>
#include <memory>

namespace fotarik::imaging {

class PngDecoder
{
public:
    // Takes over file (closed by the destructor).
    explicit PngDecoder(FILE* file);
    ~PngDecoder();
    PngDecoder(const PngDecoder&) = delete;
    PngDecoder& operator=(const PngDecoder&) = delete;

    // Reads everything up to the image data; false for a file libpng rejects.
    bool readHeader();
    QSize size() const;
    // Whether any pixel can be less than opaque (an alpha channel or a tRNS chunk).
    bool hasAlpha() const;

    // Decodes into a picture of exactly size (no larger than the stored size), each
    // pixel the average over the area of the stored picture it covers, which is the
    // smooth reduction Qt's scaling makes, without ever holding the picture whole.
    // RGB32 for an opaque picture, otherwise ARGB32_Premultiplied (averaged
    // premultiplied, so clear pixels lend no colour). Colours are taken as stored,
    // 16-bit samples rounded to 8 bits; gamma and EXIF data are not applied, as Qt's
    // reader does not either. Null when the data is broken or ends early, or the
    // result would exceed allocationLimitBytes (an interlaced picture is held whole
    // while it is read, so there its full size counts).
    QImage decodeScaled(QSize size, qint64 allocationLimitBytes);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace fotarik::imaging
