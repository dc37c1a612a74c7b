#pragma once
// The program-wide values (globals.h) as a freshly started program has them, for a test's
// init(): one test function's full-screen window or picture must not leak into the next.

#include <cstdint>

#include "globals.h"

namespace fotarik::test {

struct ProgramFlags
{
    int16_t vollbildAktiv = 0;
    // A test that checks that a double click clears it starts with it set.
    int16_t vollbildGeladen = 0;
};

inline void resetProgramFlags(ProgramFlags start = {})
{
    VollbildAktiv = start.vollbildAktiv;
    VollbildGeladen = start.vollbildGeladen;
    ScaledWidth = 0.0f;
    ScaledHeight = 0.0f;
}

} // namespace fotarik::test
