#pragma once
// The one way this program opens a file on disk for reading. Every file is untrusted: a
// named pipe, socket or device under a picture's or text's name must not block the
// program or feed it without end, so anything but a regular file is refused at once.

#include <QByteArray>
#include <sys/stat.h>
#include <sys/types.h>

#include "uniquefd.h"

namespace fotarik {

// The error a refused file reports: it exists but is no regular file (folder, pipe,
// socket, device).
inline constexpr int NotARegularFile = -1;

struct ReadableFile
{
    UniqueFd fd;
    off_t size = 0;
    struct stat status
    {
    }; // of the open file
    // 0 when open; otherwise the errno of the failed open or status call (ENOENT,
    // ENOTDIR, EACCES, ...) or NotARegularFile.
    int error = 0;

    bool isOpen() const { return fd.valid(); }
    // Whether the file is simply not there (no such file, or a path part is no folder).
    bool missing() const;
};

// Opens path (file-system bytes, so that names which are not UTF-8 open too) for reading.
// The open never blocks (O_NONBLOCK; a device or pipe is refused from its status before
// it is even opened, and the opened descriptor is checked again, so a swap in between
// is caught too).
ReadableFile openForReading(const QByteArray& path);

// Reads from the start of file at most maxBytes (fewer when the file is shorter or
// shrank meanwhile). *error (when given) is set to the errno of a failed read, else 0.
QByteArray readAtMost(const UniqueFd& fd, qint64 maxBytes, int* error = nullptr);

} // namespace fotarik
