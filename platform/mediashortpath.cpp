#include "mediashortpath.h"

#include <sys/stat.h>

namespace fotarik {

QByteArray getShortPathName(const QByteArray& longPath)
{
    struct stat st
    {
    };
    if (longPath.isEmpty() || ::stat(longPath.constData(), &st) != 0)
        return {};
    return longPath;
}

} // namespace fotarik
