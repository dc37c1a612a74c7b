#include <cstring>

#include "findcommand.h"
#include "guiparts.h"

int main(int argc, char** argv)
{
    // The terminal search needs Qt Core only and runs before anything else is loaded.
    if (argc > 1 && std::strcmp(argv[1], "--find") == 0)
        return fotarik::search::runFindCommand(argc, argv);
    // Everything else (the window, --thumbnail, a decoder worker, ...) lives in the library.
    return fotarik::runGuiParts(argc, argv);
}
