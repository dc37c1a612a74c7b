#include "filesystems.h"

#include "uniquefd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

namespace fotarik {

std::unordered_map<dev_t, std::string> mountTypesByDevice()
{
    std::unordered_map<dev_t, std::string> types;
    const UniqueFile f(std::fopen("/proc/self/mountinfo", "re"));
    if (!f)
        return types;
    char* line = nullptr;
    size_t capacity = 0;
    while (::getline(&line, &capacity, f.get()) > 0) {
        unsigned major = 0;
        unsigned minor = 0;
        if (std::sscanf(line, "%*s %*s %u:%u", &major, &minor) != 2)
            continue;
        const char* sep = std::strstr(line, " - ");
        if (!sep)
            continue;
        const char* type = sep + 3;
        const char* typeEnd = std::strchr(type, ' ');
        if (!typeEnd)
            continue;
        types.emplace(makedev(major, minor), std::string(type, typeEnd));
    }
    std::free(line);
    return types;
}

std::optional<uint64_t> fileSystemTypeNumber(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return std::nullopt;
    return uint64_t(static_cast<unsigned long>(fs.f_type));
}

} // namespace fotarik
