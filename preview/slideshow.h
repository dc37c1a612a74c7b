#pragma once
// The timed slideshow of the search window and of the full-screen window: every entry
// in turn, each shown for the display time while the window's events are served, so
// its "Weiter" and "Stop" buttons and a close are seen during the wait.

#include <QString>
#include <cstdint>
#include <functional>

namespace fotarik {

// The values of a window's DiaFlag: its buttons set it while a show runs.
namespace Dia {
inline constexpr int16_t Running = 0; // the show goes on
inline constexpr int16_t Next = 1;    // "Weiter": end the current wait now
inline constexpr int16_t Stop = 2;    // "Stop": end the show before the next entry
} // namespace Dia

// What a window gives the show. `gone` is asked first after every served event: once
// it answers true (the window closed, or was deleted) the show returns without
// touching the window or its DiaFlag again.
struct SlideshowSteps
{
    std::function<bool()> gone;
    std::function<int32_t()> last;     // index of the last entry; below 0 when there is none
    std::function<void(int32_t)> show; // shows entry i
    std::function<double()> duration;  // the display time in seconds, read during every wait
    std::function<bool()> repeat;      // start again at the first entry after the last
};

// Runs the show from entry 0 until its end, a Stop or the window going. The DiaFlag is
// reset at the start of every pass; a Next ends one wait. A pass that had nothing to
// show ends the show (it would repeat without ever serving events), and so does a Stop
// seen only after the last wait.
void runSlideshow(int16_t& diaFlag, const SlideshowSteps& steps);

// The caption of the display-time scroll bar: "Anzeigedauer 2,5 s" for 25 tenths.
QString displayTimeText(int tenths);

} // namespace fotarik
