#pragma once
// `fotarik --find FOLDER ["PATTERNS"] [--no-subfolders] [-0|--print0]`: the search walk for a terminal or
// a script. Needs no display; call it before any QApplication exists.

#include "patterntext.h"

#include <QString>
#include <string>
#include <string_view>

namespace fotarik::search {

// The pattern list used when none is given.
inline constexpr std::string_view DefaultFindPatterns = "*.JPG;*.JPEG;*.JFIF;*.JPE";

// argv[1] is "--find". Writes each hit's path bytes and "\n" ("\0" with -0 or --print0)
// to standard output as found
// (flushed at least once per folder), then the walker's result as the last line of
// standard error; returns 0. A bad call, an invalid pattern or a start folder that
// cannot be listed: one line on standard error and 2.
int runFindCommand(int argc, char** argv);

} // namespace fotarik::search
