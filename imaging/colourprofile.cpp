#include "colourprofile.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <lcms2.h>
#include <memory>

namespace fotarik::imaging {
namespace {

struct ProfileCloser
{
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter
{
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

// lcms reports a broken profile through its error handler: silence, the result tells.
void quietErrors(cmsContext, cmsUInt32Number, const char*) {}

struct QuietLcms
{
    QuietLcms() { cmsSetLogErrorHandler(quietErrors); }
};

// QImage's 32-bit formats hold B, G, R, A in memory on a little-endian machine.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr cmsUInt32Number PixelType = TYPE_BGRA_8;
// Grey input: the first byte of each pixel (grey pictures are stored with R = G = B).
constexpr cmsUInt32Number GreyPixelType = COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(1) | EXTRA_SH(3);
#else
constexpr cmsUInt32Number PixelType = TYPE_ARGB_8;
constexpr cmsUInt32Number GreyPixelType =
    COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | BYTES_SH(1) | EXTRA_SH(3) | SWAPFIRST_SH(1);
#endif

// Runs the transform from source (whose pixels have inputType) to sRGB over image, which
// keeps its alpha; a premultiplied picture is converted with its colours unmultiplied.
bool applyTransform(QImage& image, const Profile& source, cmsUInt32Number inputType)
{
    static const QuietLcms quiet;
    const Profile srgb(cmsCreate_sRGBProfile());
    if (!source || !srgb)
        return false;
    const Transform transform(cmsCreateTransform(source.get(), inputType, srgb.get(), PixelType,
                                                 INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE));
    if (!transform)
        return false;
    const QImage::Format original = image.format();
    if (original == QImage::Format_ARGB32_Premultiplied)
        image.convertTo(QImage::Format_ARGB32);
    else if (original != QImage::Format_ARGB32 && original != QImage::Format_RGB32)
        image.convertTo(QImage::Format_ARGB32);
    if (image.isNull())
        return false;
    const bool alpha = image.hasAlphaChannel();
    QByteArray row(qsizetype(image.width()) * 4, Qt::Uninitialized);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        cmsDoTransform(transform.get(), line, row.data(), cmsUInt32Number(image.width()));
        const auto* converted = reinterpret_cast<const QRgb*>(row.constData());
        for (int x = 0; x < image.width(); ++x)
            line[x] = (converted[x] & 0x00FFFFFF) | (alpha ? line[x] & 0xFF000000 : 0xFF000000);
    }
    if (image.format() != original)
        image.convertTo(original);
    return !image.isNull();
}

} // namespace

bool convertIccToSrgb(QImage& image, const QByteArray& icc)
{
    static const QuietLcms quiet;
    if (icc.isEmpty() || icc.size() > MaxIccProfileBytes || image.isNull())
        return false;
    const Profile profile(cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size())));
    if (!profile)
        return false;
    switch (cmsGetColorSpace(profile.get())) {
    case cmsSigRgbData:
        return applyTransform(image, profile, PixelType);
    case cmsSigGrayData:
        return applyTransform(image, profile, GreyPixelType);
    default:
        return false;
    }
}

bool convertToSrgb(QImage& image, const Chromaticities& p, TransferCurve curve)
{
    const auto near = [](double a, double b) { return std::abs(a - b) < 0.002; };
    // sRGB's and BT.709's primaries with D65: nothing to convert when the curve is sRGB's
    // (BT.709's camera curve is shown as sRGB, as every viewer does).
    if (near(p.redX, 0.64) && near(p.redY, 0.33) && near(p.greenX, 0.30) && near(p.greenY, 0.60) &&
        near(p.blueX, 0.15) && near(p.blueY, 0.06) && near(p.whiteX, 0.3127) && near(p.whiteY, 0.3290) &&
        (curve == TransferCurve::Srgb || curve == TransferCurve::Bt709))
        return true;
    for (double v : {p.redX, p.redY, p.greenX, p.greenY, p.blueX, p.blueY, p.whiteX, p.whiteY})
        if (!(v > 0.0 && v < 1.0))
            return false;
    static const QuietLcms quiet;
    const cmsCIExyY white{p.whiteX, p.whiteY, 1.0};
    const cmsCIExyYTRIPLE primaries{
        {p.redX, p.redY, 1.0}, {p.greenX, p.greenY, 1.0}, {p.blueX, p.blueY, 1.0}};
    // Parametric curves of type 4: Y = (aX + b)^g for X >= d, else cX.
    const double srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    double params[5] = {1.0, 1.0, 0.0, 0.0, 0.0};
    switch (curve) {
    case TransferCurve::Srgb:
    case TransferCurve::Bt709:
        std::copy(std::begin(srgb), std::end(srgb), params);
        break;
    case TransferCurve::Gamma22:
        params[0] = 2.2;
        break;
    case TransferCurve::Gamma28:
        params[0] = 2.8;
        break;
    case TransferCurve::Linear:
        break;
    }
    cmsToneCurve* tone = cmsBuildParametricToneCurve(nullptr, 4, params);
    if (!tone)
        return false;
    cmsToneCurve* curves[3] = {tone, tone, tone};
    const Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(tone);
    return applyTransform(image, profile, PixelType);
}

} // namespace fotarik::imaging
