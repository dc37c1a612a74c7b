#pragma once
// Conversions of fractional values to integers: to the nearest value, halves to the
// even neighbour (166.5 -> 166, 167.5 -> 168). A result outside the target range
// raises the overflow error (6).

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "errorcatalogue.h"

namespace fotarik {

template <typename Int> Int roundHalfEven(double v)
{
    if (std::isnan(v))
        raiseOverflow();
    const double r = std::nearbyint(v); // default rounding mode is to nearest, ties to even
    if (r < static_cast<double>(std::numeric_limits<Int>::min()) ||
        r > static_cast<double>(std::numeric_limits<Int>::max()))
        raiseOverflow();
    return static_cast<Int>(r);
}

inline int32_t round32(double v)
{
    return roundHalfEven<int32_t>(v);
}
inline int16_t round16(double v)
{
    return roundHalfEven<int16_t>(v);
}

// 10 to the power (number of characters of n in decimal, sign included, minus 2),
// rounded half to even: 0 for 0..9, 1 for -1 and 10..99, 10 for 100..999, ...
inline int32_t largeChangeFor(int32_t n)
{
    const int digits = static_cast<int>(std::to_string(n).size());
    return round32(std::pow(10.0, digits - 2));
}

} // namespace fotarik
