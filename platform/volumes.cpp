#include "volumes.h"

#include <QFile>
#include <QStorageInfo>
#include <algorithm>
#include <sys/stat.h>

#include "pseudofs.h"

namespace fotarik {

bool isPseudoFileSystem(const QByteArray& fsType, const QByteArray& mountPoint)
{
    if (isPseudoFileSystem(std::string_view(fsType.constData(), static_cast<size_t>(fsType.size()))))
        return true;
    if (fsType == "tmpfs" || fsType == "squashfs") {
        // Run-time and snap package mounts; a tmpfs elsewhere (e.g. /tmp) may hold user files.
        return mountPoint.startsWith("/run") || mountPoint.startsWith("/dev") ||
               mountPoint.startsWith("/sys") || mountPoint.startsWith("/snap");
    }
    return mountPoint.startsWith("/proc") || mountPoint.startsWith("/sys") || mountPoint.startsWith("/dev");
}

std::vector<Volume> userVolumes()
{
    std::vector<Volume> out;
    for (const QStorageInfo& s : QStorageInfo::mountedVolumes()) {
        const QByteArray mp = QFile::encodeName(s.rootPath());
        if (isPseudoFileSystem(s.fileSystemType(), mp))
            continue;
        struct stat st
        {
        };
        if (::stat(mp.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // bind-mounted single files (containers) are no drives
        if (std::any_of(out.begin(), out.end(), [&](const Volume& v) { return v.mountPoint == mp; }))
            continue;
        out.push_back(Volume{mp, s.name()});
    }
    if (std::none_of(out.begin(), out.end(), [](const Volume& v) { return v.mountPoint == "/"; }))
        out.push_back(Volume{"/", QString()});
    std::sort(out.begin(), out.end(),
              [](const Volume& a, const Volume& b) { return a.mountPoint < b.mountPoint; });
    return out;
}

int volumeIndexOf(const std::vector<Volume>& volumes, const QByteArray& path)
{
    int best = -1;
    qsizetype bestLen = -1;
    for (size_t i = 0; i < volumes.size(); ++i) {
        const QByteArray& mp = volumes[i].mountPoint;
        const bool prefixes = mp == "/" ? path.startsWith('/') : (path == mp || path.startsWith(mp + '/'));
        if (prefixes && mp.size() > bestLen) {
            best = static_cast<int>(i);
            bestLen = mp.size();
        }
    }
    return best;
}

} // namespace fotarik
