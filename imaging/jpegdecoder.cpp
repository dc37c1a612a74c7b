#include "jpegdecoder.h"

#include <QTransform>
#include <QtEndian>
#include <csetjmp>
#include <cstring>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

namespace fotarik::imaging {
namespace {

struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void jpegErrorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings are tolerated (many cameras write slightly odd files), except the end of the
// data before the picture is complete: that file is truncated.
extern "C" void jpegEmitMessage(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

extern "C" void jpegSilentOutput(j_common_ptr) {}

// A progressive picture needs a handful of scans, each a pass over the blocks of the
// components it holds. Thousands of (empty) scans are an attack: the passes are counted,
// and a decode that passes either cap ends as a broken file would.
constexpr int MaxScans = 256;
constexpr qint64 MaxBlockPasses = qint64(32) * 1024 * 1024;

struct ProgressMonitor
{
    jpeg_progress_mgr pub;
    int lastScan = 0;
    qint64 blockPasses = 0;
};

extern "C" void jpegProgress(j_common_ptr info)
{
    if (!info->is_decompressor)
        return;
    const auto* d = reinterpret_cast<j_decompress_ptr>(info);
    auto* monitor = reinterpret_cast<ProgressMonitor*>(info->progress);
    if (d->input_scan_number != monitor->lastScan) {
        monitor->lastScan = d->input_scan_number;
        for (int c = 0; c < d->comps_in_scan; ++c)
            monitor->blockPasses +=
                qint64(d->cur_comp_info[c]->width_in_blocks) * d->cur_comp_info[c]->height_in_blocks;
    }
    if (d->input_scan_number > MaxScans || monitor->blockPasses > MaxBlockPasses)
        std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Metadata is read only for the orientation: the APP1 segments (each at most 64 KiB) are
// looked at until one gives it, and no more than MaxMetadataBytes of them in all; every
// other segment and the rest are skipped unread, so that a file of a thousand segments
// costs no memory.
constexpr qint64 MaxMetadataBytes = 1024 * 1024;

struct MetadataReader
{
    qint64 read = 0;
    int orientation = 1;
};

int nextByte(j_decompress_ptr info)
{
    jpeg_source_mgr* source = info->src;
    if (source->bytes_in_buffer == 0 && !source->fill_input_buffer(info))
        return -1;
    --source->bytes_in_buffer;
    return *source->next_input_byte++;
}

extern "C" boolean jpegReadApp1(j_decompress_ptr info)
{
    auto* reader = static_cast<MetadataReader*>(info->client_data);
    const int high = nextByte(info);
    const int low = nextByte(info);
    if (high < 0 || low < 0)
        return FALSE;
    const long length = long(high) * 256 + low - 2;
    if (length <= 0)
        return TRUE;
    if (!reader || reader->orientation != 1 || reader->read + length > MaxMetadataBytes) {
        info->src->skip_input_data(info, length);
        return TRUE;
    }
    reader->read += length;
    QByteArray segment(qsizetype(length), Qt::Uninitialized);
    for (long i = 0; i < length; ++i) {
        const int b = nextByte(info);
        if (b < 0)
            return FALSE;
        segment[qsizetype(i)] = char(b);
    }
    reader->orientation = exifOrientation(segment);
    return TRUE;
}

uint16_t read16(const uchar* p, bool bigEndian)
{
    return bigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
}

uint32_t read32(const uchar* p, bool bigEndian)
{
    return bigEndian ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
}

} // namespace

struct JpegDecoder::State
{
    jpeg_decompress_struct info{};
    ErrorManager error{};
    ProgressMonitor progress{};
    MetadataReader metadata;
    FILE* file = nullptr;
    bool created = false;
    QImage image;
};

JpegDecoder::JpegDecoder(FILE* file) : m_state(std::make_unique<State>())
{
    m_state->file = file;
    m_state->info.err = jpeg_std_error(&m_state->error.pub);
    m_state->error.pub.error_exit = jpegErrorExit;
    m_state->error.pub.emit_message = jpegEmitMessage;
    m_state->error.pub.output_message = jpegSilentOutput;
    m_state->progress.pub.progress_monitor = jpegProgress;
}

JpegDecoder::~JpegDecoder()
{
    if (m_state->created)
        jpeg_destroy_decompress(&m_state->info);
    if (m_state->file)
        std::fclose(m_state->file);
}

bool JpegDecoder::readHeader()
{
    State& s = *m_state;
    if (!s.file)
        return false;
    if (setjmp(s.error.jump))
        return false;
    jpeg_create_decompress(&s.info);
    s.created = true;
    s.info.progress = &s.progress.pub;
    jpeg_stdio_src(&s.info, s.file);
    s.info.client_data = &s.metadata;
    jpeg_set_marker_processor(&s.info, JPEG_APP0 + 1, jpegReadApp1);
    if (jpeg_read_header(&s.info, TRUE) != JPEG_HEADER_OK)
        return false;
    m_orientation = s.metadata.orientation;
    return s.info.image_width > 0 && s.info.image_height > 0;
}

qint64 JpegDecoder::workingBytes() const
{
    const jpeg_decompress_struct& info = m_state->info;
    if (!m_state->created || (!info.progressive_mode && info.comps_in_scan >= info.num_components))
        return 0;
    // Multi-scan (progressive) data is gathered whole before any output: one 16-bit
    // coefficient per sample of every component.
    qint64 bytes = 0;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& comp = info.comp_info[c];
        const qint64 blocksWide =
            (qint64(info.image_width) * comp.h_samp_factor + 8 * info.max_h_samp_factor - 1) /
            (8 * info.max_h_samp_factor);
        const qint64 blocksHigh =
            (qint64(info.image_height) * comp.v_samp_factor + 8 * info.max_v_samp_factor - 1) /
            (8 * info.max_v_samp_factor);
        // Rounded up to whole MCU rows and columns.
        bytes += (blocksWide + comp.h_samp_factor) * (blocksHigh + comp.v_samp_factor) * 64 * 2;
    }
    return bytes;
}

qint64 JpegDecoder::storedPixels() const
{
    return qint64(m_state->info.image_width) * m_state->info.image_height;
}

QSize JpegDecoder::storedSize() const
{
    return QSize(int(m_state->info.image_width), int(m_state->info.image_height));
}

bool JpegDecoder::colourModelSupported() const
{
    switch (m_state->info.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_RGB:
    case JCS_YCbCr:
    case JCS_CMYK:
    case JCS_YCCK:
        return true;
    default:
        return false;
    }
}

QImage JpegDecoder::decodeScaled(int denominator, qint64 allocationLimitBytes)
{
    State& s = *m_state;
    if (!s.created)
        return {};
    if (setjmp(s.error.jump)) {
        s.image = QImage();
        return {};
    }
    const bool cmyk = s.info.jpeg_color_space == JCS_CMYK || s.info.jpeg_color_space == JCS_YCCK;
    s.info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    s.info.scale_num = 1;
    s.info.scale_denom = unsigned(denominator);
    s.info.dct_method = JDCT_ISLOW;
    jpeg_calc_output_dimensions(&s.info);
    const qint64 bytes = qint64(s.info.output_width) * s.info.output_height * 4;
    if (bytes <= 0 || bytes > allocationLimitBytes)
        return {};
    if (bytes + workingBytes() > allocationLimitBytes || storedPixels() > MaxStoredPixels)
        return {};
    // libjpeg's own allocations stay within the budget too (it has no disk to spill to,
    // so passing it is an error, not a slow path).
    s.info.mem->max_memory_to_use = long(allocationLimitBytes);
    s.image = QImage(int(s.info.output_width), int(s.info.output_height), QImage::Format_RGB32);
    if (s.image.isNull())
        return {};
    jpeg_start_decompress(&s.info);
    if (!cmyk) {
        // libjpeg-turbo writes B, G, R, 0xFF: the memory layout of RGB32.
        JSAMPROW rows[16];
        while (s.info.output_scanline < s.info.output_height) {
            const int count = int(std::min<JDIMENSION>(16, s.info.output_height - s.info.output_scanline));
            for (int i = 0; i < count; ++i)
                rows[i] = s.image.scanLine(int(s.info.output_scanline) + i);
            jpeg_read_scanlines(&s.info, rows, JDIMENSION(count));
        }
    } else {
        // Adobe writes CMYK inverted, which is what nearly every CMYK JPEG is.
        JSAMPARRAY row = (*s.info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&s.info), JPOOL_IMAGE,
                                                     s.info.output_width * 4, 1);
        while (s.info.output_scanline < s.info.output_height) {
            QRgb* out = reinterpret_cast<QRgb*>(s.image.scanLine(int(s.info.output_scanline)));
            jpeg_read_scanlines(&s.info, row, 1);
            const uchar* in = row[0];
            for (JDIMENSION x = 0; x < s.info.output_width; ++x, in += 4) {
                const int k = in[3];
                out[x] = qRgb(k * in[0] / 255, k * in[1] / 255, k * in[2] / 255);
            }
        }
    }
    jpeg_finish_decompress(&s.info);
    QImage result = std::move(s.image);
    s.image = QImage();
    return result;
}

int exifOrientation(const QByteArray& app1)
{
    const auto* d = reinterpret_cast<const uchar*>(app1.constData());
    const qsizetype n = app1.size();
    if (n < 14 || std::memcmp(d, "Exif\0\0", 6) != 0)
        return 1;
    const uchar* tiff = d + 6;
    const qsizetype size = n - 6;
    bool big;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else
        return 1;
    if (read16(tiff + 2, big) != 42)
        return 1;
    const uint32_t ifd = read32(tiff + 4, big);
    if (ifd < 8 || qsizetype(ifd) + 2 > size)
        return 1;
    const int entries = read16(tiff + ifd, big);
    for (int i = 0; i < entries; ++i) {
        const qsizetype at = qsizetype(ifd) + 2 + qsizetype(i) * 12;
        if (at + 12 > size)
            return 1;
        if (read16(tiff + at, big) != 0x0112)
            continue;
        const uint16_t type = read16(tiff + at + 2, big);
        const uint16_t value = type == 3 ? read16(tiff + at + 8, big) : 0;
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}

QImage applyExifOrientation(QImage image, int orientation)
{
    // The same decomposition as Qt's image handlers: mirror and flip first, then a
    // quarter turn clockwise.
    const bool mirror = orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
    const bool flip = orientation == 3 || orientation == 4 || orientation == 5 || orientation == 8;
    if (mirror || flip)
        image = std::move(image).mirrored(mirror, flip);
    if (orientationSwapsSides(orientation))
        image = image.transformed(QTransform().rotate(90));
    return image;
}

} // namespace fotarik::imaging
