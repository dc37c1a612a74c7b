#pragma once
// Program-wide values shared by the two windows and the imaging layer.

#include <cstdint>

namespace fotarik {

// 1 while the full-screen window shows files opened from the search window.
inline int16_t VollbildAktiv = 0;
// Cleared by every double click on the found list, set by the full-screen window's load.
inline int16_t VollbildGeladen = 0;

// Pixel size of the last picture made for display (set by takeScaledPicture only); not
// reset by a failed load.
inline float ScaledWidth = 0.0f;
inline float ScaledHeight = 0.0f;

// Screen values captured at start-up for the found-list width fitting.
inline float ScreenTwipsX = 15.0f;
inline int32_t VScrollWidth = 17;

} // namespace fotarik
