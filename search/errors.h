#pragma once
// The errors the search raises, declared without Qt so the walker itself needs none.
// Their numbers and texts are in the program's error catalogue (errorcatalogue.h).

namespace fotarik::search {

// 93 "Ungültige Musterzeichenfolge": an element of the pattern list is malformed.
[[noreturn]] void raiseInvalidPattern();
// 6 "Überlauf": a hit count no longer fits in 32 bits.
[[noreturn]] void raiseOverflow();

} // namespace fotarik::search
