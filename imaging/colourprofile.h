#pragma once
// Bringing decoded pixels into sRGB, the colour space the screen is taken to have: from an
// embedded ICC profile, or from the primaries and transfer curve a picture declares.
// Conversions run on the picture already reduced to its shown size, so they cost little.

#include <QByteArray>
#include <QImage>

namespace fotarik::imaging {

// An ICC profile larger than this is refused (a real one is at most a few hundred KiB).
inline constexpr qint64 MaxIccProfileBytes = qint64(4) * 1024 * 1024;

// Converts image (RGB32, ARGB32 or ARGB32_Premultiplied) from the colour space of the ICC
// profile icc to sRGB, in place. Grey and RGB profiles are understood; false (and the
// image left as it is) for a profile that is broken, too large, or of another kind.
bool convertIccToSrgb(QImage& image, const QByteArray& icc);

// The colour space a picture declares by CIE xy chromaticities and a transfer curve.
struct Chromaticities
{
    double redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY;
};
enum class TransferCurve { Srgb, Bt709, Gamma22, Gamma28, Linear };

// Converts image from that colour space to sRGB, in place (nothing to do when it is sRGB's
// own); false for chromaticities no colour space can have.
bool convertToSrgb(QImage& image, const Chromaticities& primaries, TransferCurve curve);

} // namespace fotarik::imaging
