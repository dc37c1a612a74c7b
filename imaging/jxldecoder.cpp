#include "jxldecoder.h"

#include <QThread>
#include <algorithm>
#include <cerrno>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <mutex>
#include <new>
#include <unistd.h>
#include <vector>

#include "colourprofile.h"

namespace fotarik::imaging {
namespace {

struct DecoderDeleter
{
    void operator()(::JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
struct RunnerDeleter
{
    void operator()(void* r) const { JxlThreadParallelRunnerDestroy(r); }
};

constexpr size_t ChunkBytes = 1 << 20;

// Which target column (or row) each stored column (or row) falls into, and how many stored
// ones each target one gathers.
struct Bins
{
    std::vector<int> of;
    std::vector<quint32> count;

    Bins(int stored, int target) : of(size_t(stored)), count(size_t(target), 0)
    {
        for (int i = 0; i < stored; ++i) {
            of[size_t(i)] = int(qint64(i) * target / stored);
            ++count[size_t(of[size_t(i)])];
        }
    }
    // The most stored columns (or rows) one target one gathers, without building the bins:
    // every bin gathers either the floor or the ceiling of stored / target.
    static quint64 most(int stored, int target)
    {
        return target <= 0 ? 0 : (quint64(stored) + quint64(target) - 1) / quint64(target);
    }
};

// The area-average reduction of the stored picture into the target, fed with rows in any
// order (from several threads at once). Per target pixel the sums of its colours (weighted
// by alpha when there is one) and of its alpha, in Sum, which is wide enough for the most
// pixels one target pixel gathers; every stored pixel arrives once.
template <typename Sum> struct Reduction
{
    Reduction(QSize stored, QSize target, bool withAlpha)
        : columns(stored.width(), target.width()), rows(stored.height(), target.height()),
          targetWidth(size_t(target.width())), alpha(withAlpha),
          sums(size_t(target.width()) * size_t(target.height()) * (withAlpha ? 4 : 3), 0)
    {
    }

    Bins columns;
    Bins rows;
    size_t targetWidth;
    bool alpha;
    std::vector<Sum> sums;
    std::mutex lock;

    void add(size_t x, size_t y, size_t count, const uint8_t* pixels)
    {
        if (y >= rows.of.size() || x >= columns.of.size() || count > columns.of.size() - x)
            return;
        const size_t channels = alpha ? 4 : 3;
        Sum* row = sums.data() + size_t(rows.of[y]) * targetWidth * channels;
        const std::lock_guard<std::mutex> guard(lock);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = pixels + i * channels;
            Sum* t = row + size_t(columns.of[x + i]) * channels;
            if (alpha) {
                const Sum a = p[3];
                t[0] += p[0] * a;
                t[1] += p[1] * a;
                t[2] += p[2] * a;
                t[3] += a;
            } else {
                t[0] += p[0];
                t[1] += p[1];
                t[2] += p[2];
            }
        }
    }

    static void callback(void* self, size_t x, size_t y, size_t count, const void* pixels)
    {
        static_cast<Reduction*>(self)->add(x, y, count, static_cast<const uint8_t*>(pixels));
    }

    // The reduced picture, straight colours (RGB32 or ARGB32).
    QImage image() const
    {
        const int w = int(columns.count.size());
        const int h = int(rows.count.size());
        QImage out(w, h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        if (out.isNull())
            return out;
        for (int y = 0; y < h; ++y) {
            auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
            const Sum* sum = sums.data() + size_t(y) * targetWidth * (alpha ? 4 : 3);
            for (int x = 0; x < w; ++x) {
                const quint64 n = quint64(columns.count[size_t(x)]) * rows.count[size_t(y)];
                if (alpha) {
                    const Sum* t = sum + size_t(x) * 4;
                    const quint64 weight = t[3];
                    if (n == 0 || weight == 0) {
                        line[x] = 0;
                        continue;
                    }
                    const auto c = [&](int i) { return int((quint64(t[i]) + weight / 2) / weight); };
                    line[x] = qRgba(c(0), c(1), c(2), int((weight + n / 2) / n));
                } else {
                    const Sum* t = sum + size_t(x) * 3;
                    const auto c = [&](int i) { return n == 0 ? 0 : int((quint64(t[i]) + n / 2) / n); };
                    line[x] = qRgb(c(0), c(1), c(2));
                }
            }
        }
        return out;
    }
};

} // namespace

struct JxlDecoder::State
{
    ReadableFile file;
    std::unique_ptr<::JxlDecoder, DecoderDeleter> decoder;
    std::unique_ptr<void, RunnerDeleter> runner;
    JxlBasicInfo info{};
    std::vector<uint8_t> input;
    QByteArray icc; // the profile of the decoded pixels, when they are not in sRGB
    off_t readUpTo = 0;
    bool headerRead = false;

    // Gives libjxl the next piece of the file with what it has not consumed yet; false at
    // the end of the file or on a read error.
    bool feed()
    {
        size_t keep = JxlDecoderReleaseInput(decoder.get());
        keep = std::min(keep, input.size());
        input.erase(input.begin(), input.end() - ptrdiff_t(keep));
        if (readUpTo >= file.size)
            return false;
        const size_t want = size_t(std::min<off_t>(off_t(ChunkBytes), file.size - readUpTo));
        const size_t at = input.size();
        input.resize(at + want);
        size_t got = 0;
        while (got < want) {
            const ssize_t n =
                ::pread(file.fd.get(), input.data() + at + got, want - got, readUpTo + off_t(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            got += size_t(n);
        }
        readUpTo += off_t(want);
        if (JxlDecoderSetInput(decoder.get(), input.data(), input.size()) != JXL_DEC_SUCCESS)
            return false;
        // The last piece: libjxl then knows that no more follows.
        if (readUpTo >= file.size)
            JxlDecoderCloseInput(decoder.get());
        return true;
    }
};

JxlDecoder::JxlDecoder(ReadableFile file) : m_state(std::make_unique<State>())
{
    m_state->file = std::move(file);
}

JxlDecoder::~JxlDecoder()
{
    // The decoder goes before the runner it uses.
    m_state->decoder.reset();
}

bool JxlDecoder::readHeader()
{
    State& s = *m_state;
    if (!s.file.isOpen())
        return false;
    s.decoder.reset(JxlDecoderCreate(nullptr));
    if (!s.decoder)
        return false;
    ::JxlDecoder* d = s.decoder.get();
    s.runner.reset(
        JxlThreadParallelRunnerCreate(nullptr, size_t(std::clamp(QThread::idealThreadCount(), 1, 4))));
    if (!s.runner ||
        JxlDecoderSetParallelRunner(d, JxlThreadParallelRunner, s.runner.get()) != JXL_DEC_SUCCESS)
        return false;
    // The orientation is applied after the reduction, where turning is cheap.
    // The coarse detail's step is told, for pictures reduced far enough to need no more.
    if (JxlDecoderSetKeepOrientation(d, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSubscribeEvents(d, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME_PROGRESSION |
                                         JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetProgressiveDetail(d, kDC) != JXL_DEC_SUCCESS)
        return false;
    if (!s.feed())
        return false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        if (status == JXL_DEC_NEED_MORE_INPUT) {
            if (!s.feed())
                return false;
            continue;
        }
        if (status != JXL_DEC_BASIC_INFO || JxlDecoderGetBasicInfo(d, &s.info) != JXL_DEC_SUCCESS)
            return false;
        break;
    }
    if (s.info.xsize == 0 || s.info.ysize == 0 || s.info.xsize > (1u << 30) || s.info.ysize > (1u << 30))
        return false;
    s.headerRead = true;
    return true;
}

QSize JxlDecoder::storedSize() const
{
    return m_state->headerRead ? QSize(int(m_state->info.xsize), int(m_state->info.ysize)) : QSize();
}

int JxlDecoder::orientation() const
{
    const int o = int(m_state->info.orientation);
    return m_state->headerRead && o >= 1 && o <= 8 ? o : 1;
}

bool JxlDecoder::hasAlpha() const
{
    return m_state->headerRead && m_state->info.alpha_bits > 0;
}

QImage JxlDecoder::decodeScaled(QSize size, qint64 allocationLimitBytes)
{
    State& s = *m_state;
    if (!s.headerRead)
        return {};
    const QSize stored = storedSize();
    const QSize target = size.boundedTo(stored);
    if (target.isEmpty())
        return {};
    const qint64 pixels = qint64(stored.width()) * stored.height();
    const qint64 targetPixels = qint64(target.width()) * target.height();
    // The declared size alone decides first: the reduction's bins hold an entry per stored
    // column and row, which for a header of a few bytes may declare a billion of each.
    if (pixels > MaxStoredPixels || pixels * WorkingBytesPerPixel > allocationLimitBytes)
        return {};
    const bool alpha = hasAlpha();
    // 32-bit sums hold what a target pixel gathers unless it gathers very many pixels.
    const quint64 gathered =
        Bins::most(stored.width(), target.width()) * Bins::most(stored.height(), target.height());
    const bool wide = gathered * (alpha ? 255u * 255u : 255u) > 0xFFFFFFFFu;
    const qint64 sumBytes = targetPixels * (alpha ? 4 : 3) * (wide ? 8 : 4);
    if (sumBytes + targetPixels * 4 > allocationLimitBytes)
        return {};
    // The whole frame at 8 bits beside the decoder's working memory, or row by row.
    const qint64 frameBytes = pixels * (alpha ? 4 : 3);
    const bool whole =
        pixels * WorkingBytesPerPixel + frameBytes + sumBytes + targetPixels * 4 <= allocationLimitBytes;
    QImage image =
        wide ? decodeInto<quint64>(target, alpha, whole) : decodeInto<quint32>(target, alpha, whole);
    if (image.isNull())
        return {};
    if (!m_state->icc.isEmpty())
        convertIccToSrgb(image, m_state->icc);
    if (alpha)
        image.convertTo(QImage::Format_ARGB32_Premultiplied);
    return image;
}

bool JxlDecoder::takeColourEncoding(bool alpha)
{
    State& s = *m_state;
    const JxlPixelFormat format{alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    ::JxlDecoder* d = s.decoder.get();
    // Colours decoded from XYB can be had in sRGB directly; others come in their own space
    // with its profile.
    if (!s.info.uses_original_profile) {
        JxlColorEncoding srgb{};
        JxlColorEncodingSetToSRGB(&srgb, s.info.num_color_channels == 1 ? JXL_TRUE : JXL_FALSE);
        JxlDecoderSetPreferredColorProfile(d, &srgb);
    }
    JxlColorEncoding encoded{};
    const bool isSrgb =
        JxlDecoderGetColorAsEncodedProfile(d, &format, JXL_COLOR_PROFILE_TARGET_DATA, &encoded) ==
            JXL_DEC_SUCCESS &&
        (encoded.color_space == JXL_COLOR_SPACE_RGB || encoded.color_space == JXL_COLOR_SPACE_GRAY) &&
        encoded.white_point == JXL_WHITE_POINT_D65 &&
        (encoded.color_space == JXL_COLOR_SPACE_GRAY || encoded.primaries == JXL_PRIMARIES_SRGB) &&
        encoded.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
    if (isSrgb)
        return true;
    size_t iccSize = 0;
    if (JxlDecoderGetICCProfileSize(d, &format, JXL_COLOR_PROFILE_TARGET_DATA, &iccSize) != JXL_DEC_SUCCESS)
        return true; // no profile to be had: shown as stored
    if (iccSize > size_t(MaxIccProfileBytes))
        return false;
    s.icc.resize(qsizetype(iccSize));
    if (JxlDecoderGetColorAsICCProfile(d, &format, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t*>(s.icc.data()), iccSize) != JXL_DEC_SUCCESS)
        s.icc.clear();
    return true;
}

template <typename Sum> QImage JxlDecoder::decodeInto(QSize target, bool alpha, bool whole)
{
    State& s = *m_state;
    ::JxlDecoder* d = s.decoder.get();
    const JxlPixelFormat format{alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    const QSize stored = storedSize();
    Reduction<Sum> reduction(stored, target, alpha);
    // The whole frame at 8 bits, when it fits: libjxl then renders with much less working
    // memory and time than row by row through a callback.
    std::unique_ptr<uint8_t[]> frame;
    const size_t line = size_t(stored.width()) * format.num_channels;
    const auto reduceFrame = [&] {
        for (int y = 0; y < stored.height(); ++y)
            reduction.add(0, size_t(y), size_t(stored.width()), frame.get() + size_t(y) * line);
    };

    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(d);
        switch (status) {
        case JXL_DEC_NEED_MORE_INPUT:
            if (!s.feed())
                return {};
            continue;
        case JXL_DEC_COLOR_ENCODING:
            if (!takeColourEncoding(alpha))
                return {};
            continue;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
            if (whole) {
                size_t bytes = 0;
                if (JxlDecoderImageOutBufferSize(d, &format, &bytes) != JXL_DEC_SUCCESS ||
                    bytes != line * size_t(stored.height()))
                    return {};
                frame.reset(new (std::nothrow) uint8_t[bytes]);
                if (!frame || JxlDecoderSetImageOutBuffer(d, &format, frame.get(), bytes) != JXL_DEC_SUCCESS)
                    return {};
            } else if (JxlDecoderSetImageOutCallback(d, &format, Reduction<Sum>::callback, &reduction) !=
                       JXL_DEC_SUCCESS) {
                return {};
            }
            continue;
        case JXL_DEC_FRAME_PROGRESSION: {
            // Every pixel known at a coarser detail (an eighth, from the DC coefficients):
            // enough when each target pixel still gathers at least one pixel of that
            // detail, and the finer passes are then not decoded at all.
            const qint64 ratio = qint64(JxlDecoderGetIntendedDownsamplingRatio(d));
            if (whole && frame && ratio > 1 && target.width() * ratio <= stored.width() &&
                target.height() * ratio <= stored.height() && JxlDecoderFlushImage(d) == JXL_DEC_SUCCESS) {
                reduceFrame();
                return reduction.image();
            }
            continue;
        }
        case JXL_DEC_FULL_IMAGE:
            break; // the first frame is all that is shown
        default:
            return {}; // an error, or the end of the data before the first frame
        }
        break;
    }
    if (whole) {
        if (!frame)
            return {};
        reduceFrame();
    }
    return reduction.image();
}

} // namespace fotarik::imaging
