#include "guiparts.h"

#include <cstdio>
#include <dlfcn.h>

namespace fotarik {

int runGuiParts(int argc, char** argv)
{
    // By name: the program's RUNPATH ($ORIGIN/../lib/fotarik/gui) leads to it, in the build
    // folder as where it is installed. Every symbol is bound now, so a library that does
    // not fit fails here and not halfway through.
    void* library = ::dlopen(FOTARIK_GUI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "fotarik: %s\n", ::dlerror());
        return 127;
    }
    using Entry = int (*)(int, char**);
    const auto entry = reinterpret_cast<Entry>(::dlsym(library, FOTARIK_GUI_ENTRY));
    if (!entry) {
        std::fprintf(stderr, "fotarik: %s\n", ::dlerror());
        return 127;
    }
    // Never unloaded: its objects live until the process ends.
    return entry(argc, argv);
}

} // namespace fotarik
