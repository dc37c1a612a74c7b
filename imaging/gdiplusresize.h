#pragma once
// Imaging session and scaled picture loading.

#include <QByteArray>
#include <QImage>
#include <cstdint>
#include <functional>

namespace fotarik {
namespace imaging {
struct ScaledPicture;
}

// Starts an imaging session: a non-zero token, or 0 (after the start-up message) when
// the picture readers are unavailable. Each window holds its own session.
uint32_t StartGdiPlus();
// Ends the session of token.
void StopGdiPlus(const uint32_t& token);

// Decodes the picture at path (file-system bytes), fits it into boxWidth x boxHeight
// (never enlarging; width/height -1 mean "the picture's own size"), draws it smoothly
// onto a background of backColour (0x00BBGGRR) and returns it at exactly the fitted
// size. width/height return the fitted size and ScaledWidth/ScaledHeight are set.
// A file that cannot be decoded returns a null image and changes nothing. The picture is
// decoded by a worker process (decoderworker.h); on the user-interface thread the
// window's events are served meanwhile, and a load started by them supersedes this one:
// it then returns a null image with *superseded (when given) set, and the caller, whose
// display was taken over, should leave everything as the newer one made it.
// devicePixelRatio: see decodeScaledPicture; everything returned here stays logical.
QImage LoadScaledPicture(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, int32_t& width,
                         int32_t& height, uint32_t backColour, qreal devicePixelRatio = 1.0,
                         bool* superseded = nullptr);

// Hands out a picture made for display, by LoadScaledPicture or prepared ahead: a picture
// that was made sets ScaledWidth/ScaledHeight to its fitted (logical) size; a null one
// leaves them. The one place that sets them.
QImage takeScaledPicture(imaging::ScaledPicture&& picture);

// The fitting arithmetic of LoadScaledPicture on its own: a width x height larger than
// the box in either direction is reduced to fit it with the aspect ratio kept (ratio in
// single precision, rounding half to even); a smaller one is left alone. A side that
// would round to 0 becomes 1.
void fitToBox(int32_t boxWidth, int32_t boxHeight, int32_t& width, int32_t& height);

// Whether the picture readers can be used (the JPEG reader plugin is present). Tests
// replace the probe to act out a missing library; an empty function restores the real one.
bool imagingAvailable();
void setImagingAvailabilityProbe(std::function<bool()> probe);

} // namespace fotarik
