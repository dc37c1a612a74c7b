#pragma once
// JPEG decoding straight through libjpeg-turbo: the DCT scaling decodes a big photo at
// 1/2, 1/4 or 1/8 of its size for little more than the cost of reading the file, and a
// file that ends early counts as broken instead of coming out half grey.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <cstdio>
#include <memory>

namespace fotarik::imaging {

class JpegDecoder
{
public:
    // Takes over file (closed by the destructor).
    explicit JpegDecoder(FILE* file);
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Reads the header; false for a file libjpeg rejects.
    bool readHeader();
    // Size as stored, before the EXIF orientation is applied.
    QSize storedSize() const;
    // EXIF orientation 1..8 (1 when absent or unreadable).
    int orientation() const { return m_orientation; }
    // Whether the colour model is one decodeScaled handles (RGB, YCbCr, grey, CMYK, YCCK).
    bool colourModelSupported() const;

    // Memory the decoder itself needs before any output: the coefficient buffer of a
    // progressive (multi-scan) picture, 0 for a single-scan one. Known after readHeader.
    qint64 workingBytes() const;
    qint64 storedPixels() const;
    // Time goes by the stored size even when the output is small: a picture of more
    // pixels than this is refused.
    static constexpr qint64 MaxStoredPixels = qint64(256) * 1024 * 1024;

    // Decodes at 1/denominator (1, 2, 4 or 8) of the stored size into an RGB32 image, as
    // stored (orientation not applied). Null when the data is broken or truncated, or
    // the result or the decoder's working memory would exceed allocationLimitBytes, the
    // picture has more than MaxStoredPixels, or more than a few hundred scans; all but
    // the last are checked before anything is decoded.
    QImage decodeScaled(int denominator, qint64 allocationLimitBytes);

private:
    struct State;
    std::unique_ptr<State> m_state;
    int m_orientation = 1;
};

// Orientation tag (0x0112) of an EXIF block ("Exif\0\0" followed by a TIFF structure);
// 1 when absent or unreadable.
int exifOrientation(const QByteArray& app1);

// The picture turned upright for an EXIF orientation 1..8.
QImage applyExifOrientation(QImage image, int orientation);

// Whether an orientation swaps width and height.
inline bool orientationSwapsSides(int orientation)
{
    return orientation >= 5 && orientation <= 8;
}

} // namespace fotarik::imaging
