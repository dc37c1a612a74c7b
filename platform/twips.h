#pragma once
// Twips: 1440 per inch, 15 per pixel at 96 logical dpi.

namespace fotarik {

// Twips per pixel of the primary screen (15 when no screen is known).
double twipsPerPixel();

// Design positions are stored in twips and converted once, here.
inline int twipsToPixels(double twips, double tpp = 15.0)
{
    return static_cast<int>(twips / tpp + 0.5);
}

} // namespace fotarik
