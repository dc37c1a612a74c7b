#pragma once
// The part of the program that needs Qt Gui, Widgets or Multimedia: the search window,
// --thumbnail, the decoder worker, --help and --version. It is a private library next to
// the program (lib/fotarik/gui/ below the prefix), loaded only when one of them is asked for,
// so that `fotarik --find` starts with Qt Core alone.

// The library's file name and the one function it exports.
#define FOTARIK_GUI_LIBRARY "libfotarik_gui.so"
#define FOTARIK_GUI_ENTRY "fotarik_gui_main"

namespace fotarik {

// Loads the library and runs the program's main there with these arguments; its exit code.
// When the library cannot be loaded: the reason on standard error and 127, as a shell
// gives for a program it cannot start.
int runGuiParts(int argc, char** argv);

} // namespace fotarik
