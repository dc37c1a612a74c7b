#pragma once
// "fotarik --thumbnail FILE WxH": the picture LoadScaledPicture makes for a WxH box
// (white background) as PNG on standard output and its size "W H" on standard error.
// Runs without a window system.

namespace fotarik {

// argv[1] is "--thumbnail". Exit code 0, 1 when the file cannot be decoded, 2 for bad usage.
int runThumbnailCommand(int argc, char** argv);

} // namespace fotarik
