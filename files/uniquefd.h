#pragma once
// The one owner of a file descriptor: move-only, closes what it holds, and hands the
// descriptor over to a stdio stream where a library wants a FILE*.

#include <cstdio>
#include <memory>
#include <utility>

#include <unistd.h>

namespace fotarik {

struct FileCloser
{
    void operator()(std::FILE* file) const noexcept
    {
        if (file)
            std::fclose(file);
    }
};
// A stdio stream that closes itself.
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

class UniqueFd
{
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(m_fd, -1); }
    // Closes what is held and takes fd.
    void reset(int fd = -1) noexcept
    {
        const int old = std::exchange(m_fd, fd);
        if (old >= 0)
            ::close(old);
    }

    // Hands the descriptor over to a stream opened with mode; the stream then owns it.
    // On failure the descriptor is closed and the result is empty. Either way this
    // owner is left empty.
    UniqueFile toFile(const char* mode) &&
    {
        if (m_fd < 0)
            return {};
        std::FILE* file = ::fdopen(m_fd, mode);
        if (!file) {
            reset();
            return {};
        }
        m_fd = -1;
        return UniqueFile(file);
    }

private:
    int m_fd = -1;
};

} // namespace fotarik
