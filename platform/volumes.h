#pragma once
// Mounted volumes that hold user files: what stands in for drive letters.

#include <QByteArray>
#include <QString>
#include <vector>

namespace fotarik {

struct Volume
{
    QByteArray mountPoint; // the volume's "Drive" text
    QString label;         // volume label, may be empty
};

// The mounted volumes without pseudo file systems, sorted by mount point.
std::vector<Volume> userVolumes();

// The volume with the longest mount point that prefixes path; -1 when none does.
int volumeIndexOf(const std::vector<Volume>& volumes, const QByteArray& path);

// True when a mount holds no user files: a pseudo file system (pseudofs.h), or a
// run-time mount under /proc, /sys, /dev, /run or /snap.
bool isPseudoFileSystem(const QByteArray& fsType, const QByteArray& mountPoint);

} // namespace fotarik
