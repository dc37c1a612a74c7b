#include "readablefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace fotarik {

bool ReadableFile::missing() const
{
    return error == ENOENT || error == ENOTDIR;
}

ReadableFile openForReading(const QByteArray& path)
{
    ReadableFile result;
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.error = NotARegularFile;
        return result;
    }
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        result.error = errno;
        return result;
    }
    if (::fstat(fd.get(), &info) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.error = NotARegularFile;
        return result;
    }
    // Reads from a regular file never block anyway; the flag only had to guard the open.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    result.fd = std::move(fd);
    result.size = info.st_size;
    result.status = info;
    return result;
}

QByteArray readAtMost(const UniqueFd& fd, qint64 maxBytes, int* error)
{
    if (error)
        *error = 0;
    QByteArray bytes;
    if (maxBytes <= 0 || !fd)
        return bytes;
    struct stat info
    {
    };
    // Sized by the file where it is known, so a small file costs no big buffer.
    qint64 want = maxBytes;
    if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size < want)
        want = info.st_size;
    bytes.resize(qsizetype(want));
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd.get(), bytes.data() + got, size_t(bytes.size() - got), off_t(got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = errno;
            return {};
        }
        if (n == 0)
            break; // the file shrank meanwhile
        got += n;
    }
    bytes.truncate(got);
    return bytes;
}

} // namespace fotarik
