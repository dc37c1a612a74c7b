#pragma once
// HEIF pictures (HEIC with HEVC, AVIF with AV1, in the one container) through libheif: the
// primary image with its rotation, mirroring and crop applied, its grid tiles joined and its
// alpha kept, deeper samples reduced to 8 bits and its colours brought into sRGB. A
// thumbnail item is taken instead when it is at least the size that is shown.

#include <QImage>
#include <QSize>
#include <memory>

#include "readablefile.h"

namespace fotarik::imaging {

class HeifDecoder
{
public:
    explicit HeifDecoder(ReadableFile file);
    ~HeifDecoder();
    HeifDecoder(const HeifDecoder&) = delete;
    HeifDecoder& operator=(const HeifDecoder&) = delete;

    // Reads the file's structure and finds the primary image; false for a file libheif
    // rejects, one without a primary image, or one whose images are larger than any
    // budget allows (refused here, before a pixel is decoded).
    bool readHeader();
    // The primary image's size as shown, transformations applied.
    QSize size() const;
    bool hasAlpha() const;

    // Decodes the primary image, or a thumbnail of the same shape that is at least need,
    // and reduces it smoothly to need (bounded by size()). RGB32, or ARGB32_Premultiplied
    // with alpha. Null when the data is broken, or the decoded picture or its sample
    // planes would exceed allocationLimitBytes (checked before decoding).
    QImage decodeScaled(QSize need, qint64 allocationLimitBytes);

    // The bytes decoding the image of this shown size and sample depth holds at most at
    // one time: the sample planes and the 8-bit picture made from them.
    static qint64 decodingBytes(QSize stored, int bitsPerSample, bool alpha);

    // libheif's own limit on either side of an image, set for every file.
    static constexpr int MaxSide = 32768;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace fotarik::imaging
