#include "heifdecoder.h"

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <libheif/heif.h>
#include <unistd.h>
#include <vector>

#include "colourprofile.h"

namespace fotarik::imaging {
namespace {

struct ContextDeleter
{
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter
{
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter
{
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsDeleter
{
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
struct NclxDeleter
{
    void operator()(heif_color_profile_nclx* n) const { heif_nclx_color_profile_free(n); }
};
using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;
using Image = std::unique_ptr<heif_image, ImageDeleter>;

// The file is read where libheif asks, never copied whole into memory.
struct FileReader
{
    int fd = -1;
    int64_t size = 0;
    int64_t position = 0;

    static int64_t getPosition(void* self) { return static_cast<FileReader*>(self)->position; }
    static int read(void* data, size_t length, void* self)
    {
        auto* r = static_cast<FileReader*>(self);
        if (length > size_t(std::max<int64_t>(0, r->size - r->position)))
            return -1;
        auto* out = static_cast<char*>(data);
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(r->fd, out + done, length - done, off_t(r->position + int64_t(done)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return -1;
            done += size_t(n);
        }
        r->position += int64_t(length);
        return 0;
    }
    static int seek(int64_t to, void* self)
    {
        auto* r = static_cast<FileReader*>(self);
        if (to < 0 || to > r->size)
            return -1;
        r->position = to;
        return 0;
    }
    static heif_reader_grow_status waitForFileSize(int64_t target, void* self)
    {
        return target <= static_cast<FileReader*>(self)->size ? heif_reader_grow_status_size_reached
                                                              : heif_reader_grow_status_size_beyond_eof;
    }
};

const heif_reader ReaderFunctions = {1, FileReader::getPosition, FileReader::read, FileReader::seek,
                                     FileReader::waitForFileSize};

struct Library
{
    Library() { heif_init(nullptr); }
};

void ensureLibrary()
{
    static const Library library;
}

QSize handleSize(const heif_image_handle* h)
{
    return {heif_image_handle_get_width(h), heif_image_handle_get_height(h)};
}

int bitsPerSample(const heif_image_handle* h)
{
    return std::max(heif_image_handle_get_luma_bits_per_pixel(h),
                    heif_image_handle_get_chroma_bits_per_pixel(h));
}

// Colours into sRGB: an ICC profile where the file has one, otherwise the primaries it
// declares.
void convertColours(QImage& image, const heif_image_handle* h)
{
    switch (heif_image_handle_get_color_profile_type(h)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        const size_t size = heif_image_handle_get_raw_color_profile_size(h);
        if (size == 0 || size > size_t(MaxIccProfileBytes))
            return;
        QByteArray icc(qsizetype(size), Qt::Uninitialized);
        if (heif_image_handle_get_raw_color_profile(h, icc.data()).code == heif_error_Ok)
            convertIccToSrgb(image, icc);
        return;
    }
    case heif_color_profile_type_nclx: {
        heif_color_profile_nclx* raw = nullptr;
        if (heif_image_handle_get_nclx_color_profile(h, &raw).code != heif_error_Ok || !raw)
            return;
        const std::unique_ptr<heif_color_profile_nclx, NclxDeleter> nclx(raw);
        if (nclx->color_primaries == heif_color_primaries_unspecified)
            return;
        TransferCurve curve = TransferCurve::Srgb;
        switch (nclx->transfer_characteristics) {
        case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
            curve = TransferCurve::Gamma22;
            break;
        case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
            curve = TransferCurve::Gamma28;
            break;
        case heif_transfer_characteristic_linear:
            curve = TransferCurve::Linear;
            break;
        default:
            break;
        }
        convertToSrgb(image,
                      {nclx->color_primary_red_x, nclx->color_primary_red_y, nclx->color_primary_green_x,
                       nclx->color_primary_green_y, nclx->color_primary_blue_x, nclx->color_primary_blue_y,
                       nclx->color_primary_white_x, nclx->color_primary_white_y},
                      curve);
        return;
    }
    default:
        return;
    }
}

} // namespace

struct HeifDecoder::State
{
    ReadableFile file;
    FileReader reader;
    Context context;
    Handle primary;
};

HeifDecoder::HeifDecoder(ReadableFile file) : m_state(std::make_unique<State>())
{
    m_state->file = std::move(file);
}

HeifDecoder::~HeifDecoder() = default;

qint64 HeifDecoder::decodingBytes(QSize stored, int bits, bool alpha)
{
    const qint64 pixels = qint64(std::max(0, stored.width())) * std::max(0, stored.height());
    const qint64 sampleBytes = bits > 8 ? 2 : 1;
    // Full-resolution planes (4:4:4 at worst) plus alpha, and the interleaved 8-bit result.
    return pixels * sampleBytes * (alpha ? 4 : 3) + pixels * (alpha ? 4 : 3);
}

bool HeifDecoder::readHeader()
{
    State& s = *m_state;
    if (!s.file.isOpen())
        return false;
    ensureLibrary();
    s.reader.fd = s.file.fd.get();
    s.reader.size = s.file.size;
    s.context.reset(heif_context_alloc());
    if (!s.context)
        return false;
    heif_context_set_maximum_image_size_limit(s.context.get(), MaxSide);
    heif_context_set_max_decoding_threads(s.context.get(), std::clamp(QThread::idealThreadCount(), 1, 4));
    if (heif_context_read_from_reader(s.context.get(), &ReaderFunctions, &s.reader, nullptr).code !=
        heif_error_Ok)
        return false;
    heif_image_handle* primary = nullptr;
    if (heif_context_get_primary_image_handle(s.context.get(), &primary).code != heif_error_Ok || !primary)
        return false;
    s.primary.reset(primary);
    const QSize shown = handleSize(primary);
    return shown.width() > 0 && shown.height() > 0 && shown.width() <= MaxSide && shown.height() <= MaxSide;
}

QSize HeifDecoder::size() const
{
    return m_state->primary ? handleSize(m_state->primary.get()) : QSize();
}

bool HeifDecoder::hasAlpha() const
{
    return m_state->primary && heif_image_handle_has_alpha_channel(m_state->primary.get());
}

QImage HeifDecoder::decodeScaled(QSize need, qint64 allocationLimitBytes)
{
    State& s = *m_state;
    if (!s.primary || need.isEmpty())
        return {};
    const QSize shown = size();
    const QSize target = need.boundedTo(shown);

    // The smallest thumbnail that covers the target and has the primary image's shape.
    const heif_image_handle* chosen = s.primary.get();
    Handle thumbnail;
    const int count = std::min(heif_image_handle_get_number_of_thumbnails(chosen), 16);
    if (count > 0) {
        std::vector<heif_item_id> ids(static_cast<size_t>(count));
        const int listed = heif_image_handle_get_list_of_thumbnail_IDs(chosen, ids.data(), count);
        for (int i = 0; i < listed; ++i) {
            heif_image_handle* t = nullptr;
            if (heif_image_handle_get_thumbnail(s.primary.get(), ids[size_t(i)], &t).code != heif_error_Ok ||
                !t)
                continue;
            Handle candidate(t);
            const QSize ts = handleSize(t);
            const bool covers = ts.width() >= target.width() && ts.height() >= target.height();
            const qint64 cross = qint64(ts.width()) * shown.height() - qint64(ts.height()) * shown.width();
            const bool sameShape = std::abs(cross) * 50 <= qint64(ts.width()) * shown.height();
            const bool smaller =
                !thumbnail || qint64(ts.width()) * ts.height() < qint64(handleSize(thumbnail.get()).width()) *
                                                                     handleSize(thumbnail.get()).height();
            if (covers && sameShape && smaller)
                thumbnail = std::move(candidate);
        }
    }
    if (thumbnail)
        chosen = thumbnail.get();

    const bool alpha = heif_image_handle_has_alpha_channel(chosen);
    const QSize chosenSize = handleSize(chosen);
    // The planes are allocated at the coded size (before a crop): the larger of the two counts.
    const QSize ispe(heif_image_handle_get_ispe_width(chosen), heif_image_handle_get_ispe_height(chosen));
    const QSize coded =
        qint64(ispe.width()) * ispe.height() > qint64(chosenSize.width()) * chosenSize.height() ? ispe
                                                                                                : chosenSize;
    if (coded.width() > MaxSide || coded.height() > MaxSide ||
        decodingBytes(coded, bitsPerSample(chosen), alpha) > allocationLimitBytes ||
        qint64(chosenSize.width()) * chosenSize.height() * 4 > allocationLimitBytes)
        return {};

    // An overlay's canvas (and a grid's output) takes its size from the item's own data,
    // not from the size checked above; a coded picture or a grid's tile may pass that
    // size somewhat (coding blocks, tiles cut at the edge): no side passes twice it.
    const int side = std::max(coded.width(), coded.height());
    heif_context_set_maximum_image_size_limit(s.context.get(), std::min(MaxSide, 2 * side + 64));
    const std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (!options)
        return {};
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    heif_image* decodedRaw = nullptr;
    if (heif_decode_image(chosen, &decodedRaw, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get())
                .code != heif_error_Ok ||
        !decodedRaw)
        return {};
    const Image decoded(decodedRaw);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(decoded.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(decoded.get(), heif_channel_interleaved);
    if (!pixels || w <= 0 || h <= 0 || stride < w * (alpha ? 4 : 3) ||
        heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved) != 8)
        return {};
    const QImage::Format format = !alpha ? QImage::Format_RGB888
                                  : heif_image_handle_is_premultiplied_alpha(chosen)
                                      ? QImage::Format_RGBA8888_Premultiplied
                                      : QImage::Format_RGBA8888;
    // A view of libheif's pixels; every step below makes a copy of its own.
    const QImage view(pixels, w, h, stride, format);
    QImage image = view.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return {};
    if (image.size() != target)
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    convertColours(image, chosen);
    if (alpha)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    return image;
}

} // namespace fotarik::imaging
