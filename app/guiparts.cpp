#include "guiparts.h"

#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace fotarik {

int runGuiParts(int argc, char** argv)
{
    // By its place beside the program (../lib/fotarik/gui), in the build folder as where it
    // is installed. The path is made here rather than left to the RUNPATH: a dlopen that a
    // preloaded or sanitizer runtime intercepts is made on behalf of that runtime, whose
    // search path does not hold the program's folder. Every symbol is bound now, so a
    // library that does not fit fails here and not halfway through.
    std::string path = FOTARIK_GUI_LIBRARY;
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string program(self, static_cast<std::size_t>(length));
        const auto slash = program.rfind('/');
        if (slash != std::string::npos)
            path = program.substr(0, slash) + "/../" FOTARIK_GUI_LIBDIR "/" FOTARIK_GUI_LIBRARY;
    }
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
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
