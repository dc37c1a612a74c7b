#include "filesystems.h"

#include "uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

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

namespace {

// Fields of the mount table write blanks, tabs, line breaks and "\" as "\ooo".
std::string unescapeOctal(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        const auto digit = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && digit(i + 1) && digit(i + 2) && digit(i + 3)) {
            out.push_back(char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

} // namespace

MountTable::MountTable() : m_fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}

std::optional<std::vector<std::string>> MountTable::mountPoints()
{
    if (!m_fd)
        return std::nullopt;
    changed(); // what follows is read after this look
    if (::lseek(m_fd.get(), 0, SEEK_SET) != 0)
        return std::nullopt;
    std::string text;
    char block[16 * 1024];
    while (true) {
        const ssize_t n = ::read(m_fd.get(), block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        text.append(block, size_t(n));
    }
    // "id parent major:minor root mountpoint options ... - type source options"
    std::vector<std::string> points;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        size_t field = 0;
        for (int skip = 0; skip < 4 && field != std::string_view::npos; ++skip) {
            field = line.find(' ', field);
            if (field != std::string_view::npos)
                ++field;
        }
        if (field == std::string_view::npos)
            continue;
        const size_t fieldEnd = std::min(line.find(' ', field), line.size());
        points.push_back(unescapeOctal(line.substr(field, fieldEnd - field)));
    }
    return points;
}

bool MountTable::changed()
{
    if (!m_fd)
        return true;
    // The table reports a change as an exceptional condition, once per look.
    struct pollfd p
    {
    };
    p.fd = m_fd.get();
    p.events = POLLPRI;
    int n;
    do
        n = ::poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    return n != 0 && (n < 0 || (p.revents & (POLLPRI | POLLERR | POLLNVAL)) != 0);
}

std::optional<std::string> pathOfOpenFile(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string path(4096, '\0');
    while (true) {
        const ssize_t n = ::readlink(link.c_str(), path.data(), path.size());
        if (n < 0)
            return std::nullopt;
        if (size_t(n) < path.size()) {
            path.resize(size_t(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    return path;
}

} // namespace fotarik
