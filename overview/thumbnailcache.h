#pragma once
// The thumbnails other programs keep in the freedesktop thumbnail cache
// ($XDG_CACHE_HOME/thumbnails/{normal,large,x-large,xx-large}/MD5-OF-URI.png), read only:
// this program never writes there. A thumbnail counts only when the URI and the
// modification time it was made for (its Thumb::URI and Thumb::MTime) are those of the file
// now, and when it holds at least the pixels a cell shows of the picture.

#include <QByteArray>
#include <optional>
#include <sys/stat.h>

#include "readablefile.h"

namespace fotarik::overview {

// The file's URI as the thumbnail cache names it: file:// and the path, its bytes escaped
// as GLib escapes them.
QByteArray thumbnailUri(const QByteArray& path);

// The thumbnail's text entries that tell what it was made for, and its own size, read from
// the start of a PNG file (up to its image data).
struct CachedThumbnailInfo
{
    QByteArray uri;
    QByteArray mtime;
    int width = 0; // of the thumbnail
    int height = 0;
    int pictureWidth = 0; // of the picture it was made from (Thumb::Image::Width), 0 if unknown
    int pictureHeight = 0;
};
std::optional<CachedThumbnailInfo> readCachedThumbnailInfo(const QByteArray& pngStart);

// The cached thumbnail of path (whose open file's status is `status`) that serves a cell
// of side x side device pixels, opened, or nothing.
std::optional<ReadableFile> cachedThumbnail(const QByteArray& path, const struct stat& status, int side);

} // namespace fotarik::overview
