#include "pngdecoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <png.h>

namespace fotarik::imaging {
namespace {

// libpng reports through these; errors leave by the jump set in the reading function,
// and nothing is printed: a broken file is simply no picture.
extern "C" void pngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

extern "C" void pngWarning(png_structp, png_const_charp) {}

constexpr png_alloc_size_t MaxChunkBytes = 8 * 1024 * 1024;
// No buffer libpng needs for a picture this program decodes is larger (its widest row is
// a few MiB): a bigger request comes from a hostile header and fails as "out of memory".
constexpr png_alloc_size_t MaxLibpngAllocation = 16 * 1024 * 1024;

extern "C" png_voidp pngAllocate(png_structp, png_alloc_size_t size)
{
    return size <= MaxLibpngAllocation ? std::malloc(size) : nullptr;
}

extern "C" void pngFree(png_structp, png_voidp data)
{
    std::free(data);
}
constexpr png_uint_32 MaxCachedChunks = 1000;
constexpr png_uint_32 MaxSide = 1 << 18;
// Reading goes by the stored size even when little is kept: a picture of more pixels than
// this is refused before its data is read.
constexpr qint64 MaxStoredPixels = qint64(128) * 1024 * 1024;

// The stored pixels one output column covers, measured in units of which a stored pixel
// has outWidth and an output column storedWidth: whole pixels [first, first + count),
// plus the parts of the pixels on either side that fall inside.
struct Span
{
    int first = 0;
    int count = 0;
    uint32_t leftPart = 0;
    uint32_t rightPart = 0;
};

std::unique_ptr<Span[]> makeSpans(int storedWidth, int outWidth)
{
    std::unique_ptr<Span[]> spans(new (std::nothrow) Span[size_t(outWidth)]);
    if (!spans)
        return spans;
    for (int j = 0; j < outWidth; ++j) {
        const int64_t lo = int64_t(j) * storedWidth;
        const int64_t hi = lo + storedWidth;
        const int64_t first = (lo + outWidth - 1) / outWidth;
        const int64_t end = hi / outWidth;
        Span& s = spans[size_t(j)];
        s.first = int(first);
        s.count = int(end - first);
        s.leftPart = uint32_t(first * outWidth - lo);
        s.rightPart = end < storedWidth ? uint32_t(hi - end * outWidth) : 0;
    }
    return spans;
}

// One stored row summed into the output columns, each pixel weighted by its part of the
// column. With an alpha channel the colours are weighted by it too: averaging
// premultiplied, so clear pixels lend no colour.
template <int C>
void sumRow(const uchar* src, const Span* spans, int columns, uint32_t pixelWeight, uint64_t* out)
{
    const auto add = [](const uchar* p, uint64_t weight, uint64_t* sums) {
        if constexpr (C == 3) {
            sums[0] += p[0] * weight;
            sums[1] += p[1] * weight;
            sums[2] += p[2] * weight;
        } else {
            const uint64_t w = p[3] * weight;
            sums[0] += p[0] * w;
            sums[1] += p[1] * w;
            sums[2] += p[2] * w;
            sums[3] += w;
        }
    };
    for (int j = 0; j < columns; ++j, out += 4) {
        const Span& s = spans[j];
        uint64_t r = 0;
        uint64_t g = 0;
        uint64_t b = 0;
        uint64_t a = 0;
        const uchar* p = src + s.first * C;
        for (int n = s.count; n > 0; --n, p += C) {
            if constexpr (C == 3) {
                r += p[0];
                g += p[1];
                b += p[2];
            } else {
                const uint32_t alpha = p[3];
                r += p[0] * alpha;
                g += p[1] * alpha;
                b += p[2] * alpha;
                a += alpha;
            }
        }
        out[0] = r * pixelWeight;
        out[1] = g * pixelWeight;
        out[2] = b * pixelWeight;
        out[3] = a * pixelWeight;
        if (s.leftPart)
            add(src + (s.first - 1) * C, s.leftPart, out);
        if (s.rightPart)
            add(src + (s.first + s.count) * C, s.rightPart, out);
    }
}

// Writes a finished output row from its sums (total weight each: units) and clears them.
template <int C> void emitRow(uint64_t* sums, QRgb* out, int columns, uint64_t units)
{
    for (int j = 0; j < columns; ++j, sums += 4) {
        if constexpr (C == 3) {
            const auto avg = [&](uint64_t v) { return uint32_t((v + units / 2) / units); };
            out[j] = 0xFF000000u | avg(sums[0]) << 16 | avg(sums[1]) << 8 | avg(sums[2]);
        } else {
            // Rounded the same way, a colour can never exceed its alpha.
            const uint64_t d = 255 * units;
            const auto avg = [&](uint64_t v) { return uint32_t((v + d / 2) / d); };
            const uint32_t alpha = uint32_t((sums[3] + units / 2) / units);
            out[j] = alpha << 24 | avg(sums[0]) << 16 | avg(sums[1]) << 8 | avg(sums[2]);
        }
        sums[0] = sums[1] = sums[2] = sums[3] = 0;
    }
}

template <int C> void copyRow(const uchar* src, QRgb* out, int width)
{
    for (int x = 0; x < width; ++x, src += C) {
        if constexpr (C == 3)
            out[x] = qRgb(src[0], src[1], src[2]);
        else
            out[x] = qPremultiply(qRgba(src[0], src[1], src[2], src[3]));
    }
}

} // namespace

struct PngDecoder::State
{
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    bool headerRead = false;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int colourType = 0;
    int bitDepth = 0;
    int interlace = 0;
    bool transparency = false;
    // Plain buffers only: they must survive a jump out of libpng untouched.
    std::unique_ptr<uchar[]> pixels;
    std::unique_ptr<Span[]> spans;
    std::unique_ptr<uint64_t[]> rowSums;
    std::unique_ptr<uint64_t[]> sums;
    QImage image;
};

PngDecoder::PngDecoder(FILE* file) : m_state(std::make_unique<State>())
{
    m_state->file = file;
    if (file)
        std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
}

PngDecoder::~PngDecoder()
{
    if (m_state->png)
        png_destroy_read_struct(&m_state->png, m_state->info ? &m_state->info : nullptr, nullptr);
    if (m_state->file)
        std::fclose(m_state->file);
}

bool PngDecoder::readHeader()
{
    State& s = *m_state;
    if (!s.file || s.png)
        return false;
    s.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning, nullptr,
                                     pngAllocate, pngFree);
    if (!s.png)
        return false;
    s.info = png_create_info_struct(s.png);
    if (!s.info)
        return false;
    // A chunk may declare up to 2 GiB, which libpng would allocate before reading it: text,
    // colour profiles and the like get a few MiB at most, and only so many of them.
    png_set_chunk_malloc_max(s.png, MaxChunkBytes);
    png_set_chunk_cache_max(s.png, MaxCachedChunks);
    png_set_user_limits(s.png, MaxSide, MaxSide);
    // Text, profiles and other metadata are never shown: skipped unread (not inflated), so
    // their total costs nothing however many there are.
    static const png_byte ignored[] = "tEXt\0zTXt\0iTXt\0iCCP\0eXIf\0sPLT\0tIME\0pCAL\0sCAL\0hIST\0";
    png_set_keep_unknown_chunks(s.png, PNG_HANDLE_CHUNK_NEVER, ignored, int(sizeof ignored / 5));
    if (setjmp(png_jmpbuf(s.png)))
        return false;
    png_init_io(s.png, s.file);
    png_read_info(s.png, s.info);
    png_get_IHDR(s.png, s.info, &s.width, &s.height, &s.bitDepth, &s.colourType, &s.interlace, nullptr,
                 nullptr);
    s.transparency = png_get_valid(s.png, s.info, PNG_INFO_tRNS) != 0;
    s.headerRead = s.width > 0 && s.height > 0;
    return s.headerRead;
}

QSize PngDecoder::size() const
{
    return QSize(int(m_state->width), int(m_state->height));
}

bool PngDecoder::hasAlpha() const
{
    return (m_state->colourType & PNG_COLOR_MASK_ALPHA) != 0 || m_state->transparency;
}

QImage PngDecoder::decodeScaled(QSize size, qint64 allocationLimitBytes)
{
    State& s = *m_state;
    const int width = int(s.width);
    const int height = int(s.height);
    const int outWidth = size.width();
    const int outHeight = size.height();
    if (!s.headerRead || outWidth < 1 || outHeight < 1 || outWidth > width || outHeight > height)
        return {};
    const bool alpha = hasAlpha();
    const int channels = alpha ? 4 : 3;
    const bool interlaced = s.interlace != PNG_INTERLACE_NONE;
    const bool whole = outWidth == width && outHeight == height;
    const qint64 outBytes = qint64(outWidth) * outHeight * 4;
    const qint64 heldBytes = interlaced ? qint64(width) * height * 4 : outBytes;
    // Reading costs time by the full size even when little is kept: a picture far
    // beyond what could ever be held is not one this program decodes.
    if (outBytes > allocationLimitBytes || heldBytes > allocationLimitBytes ||
        qint64(width) * height > MaxStoredPixels)
        return {};
    const qint64 stride = qint64(width) * channels;
    s.pixels.reset(new (std::nothrow) uchar[size_t(interlaced ? stride * height : stride)]);
    if (!whole) {
        s.spans = makeSpans(width, outWidth);
        s.rowSums.reset(new (std::nothrow) uint64_t[size_t(outWidth) * 4]);
        s.sums.reset(new (std::nothrow) uint64_t[size_t(outWidth) * 4]());
    }
    s.image = QImage(outWidth, outHeight, alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (!s.pixels || (!whole && (!s.spans || !s.rowSums || !s.sums)) || s.image.isNull()) {
        s.image = QImage();
        return {};
    }

    if (setjmp(png_jmpbuf(s.png))) {
        s.image = QImage();
        return {};
    }
    // Every kind of PNG becomes 8-bit RGB, or RGBA when it can be transparent.
    if (s.colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(s.png);
    if (s.colourType == PNG_COLOR_TYPE_GRAY && s.bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(s.png);
    if (s.transparency)
        png_set_tRNS_to_alpha(s.png);
    if (s.bitDepth == 16)
        png_set_scale_16(s.png);
    if (s.colourType == PNG_COLOR_TYPE_GRAY || s.colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(s.png);
    const int passes = interlaced ? png_set_interlace_handling(s.png) : 1;
    png_read_update_info(s.png, s.info);
    if (png_get_rowbytes(s.png, s.info) != png_size_t(stride))
        png_error(s.png, "unexpected row layout");

    uchar* const pixels = s.pixels.get();
    if (interlaced) {
        for (int pass = 0; pass < passes; ++pass)
            for (int y = 0; y < height; ++y)
                png_read_row(s.png, pixels + y * stride, nullptr);
    }
    // Rows are weighted like columns: a stored row has outHeight units, an output row
    // height units, so one stored row adds to at most two output rows.
    const Span* const spans = s.spans.get();
    uint64_t* const rowSums = s.rowSums.get();
    uint64_t* const sums = s.sums.get();
    const uint64_t units = uint64_t(width) * uint64_t(height);
    int outRow = 0;
    uint64_t outRowEnd = uint64_t(height);
    for (int y = 0; y < height; ++y) {
        const uchar* row = pixels;
        if (interlaced)
            row += y * stride;
        else
            png_read_row(s.png, pixels, nullptr);
        QRgb* out = reinterpret_cast<QRgb*>(s.image.scanLine(whole ? y : outRow));
        if (whole) {
            if (alpha)
                copyRow<4>(row, out, width);
            else
                copyRow<3>(row, out, width);
            continue;
        }
        if (alpha)
            sumRow<4>(row, spans, outWidth, uint32_t(outWidth), rowSums);
        else
            sumRow<3>(row, spans, outWidth, uint32_t(outWidth), rowSums);
        const uint64_t start = uint64_t(y) * uint64_t(outHeight);
        const uint64_t end = start + uint64_t(outHeight);
        const uint64_t inside = std::min(end, outRowEnd) - start;
        for (int i = 0; i < outWidth * 4; ++i)
            sums[i] += rowSums[i] * inside;
        if (end < outRowEnd)
            continue;
        if (alpha)
            emitRow<4>(sums, out, outWidth, units);
        else
            emitRow<3>(sums, out, outWidth, units);
        ++outRow;
        outRowEnd += uint64_t(height);
        // The part of the stored row below the finished output row starts the next one.
        const uint64_t rest = end - start - inside;
        if (rest)
            for (int i = 0; i < outWidth * 4; ++i)
                sums[i] += rowSums[i] * rest;
    }
    // The chunks after the image data are read too: a file broken there is broken.
    png_read_end(s.png, nullptr);
    s.pixels.reset();
    s.spans.reset();
    s.rowSums.reset();
    s.sums.reset();
    QImage result = std::move(s.image);
    s.image = QImage();
    return result;
}

} // namespace fotarik::imaging
