#pragma once
// File systems that hold no user files: walking them is slow, endless or has side
// effects. Everything the program knows of them is here: the drive list leaves their
// mounts out and the folder walker never enters them. Needs no Qt.

#include <cstdint>
#include <string_view>

namespace fotarik {

// True for the type names of such file systems as the mount table gives them (proc,
// sysfs, devpts, cgroup2, fuse.portal, ...). tmpfs is not one: it may hold user files
// (e.g. /tmp).
bool isPseudoFileSystem(std::string_view type);

// True for the type numbers ("magic") of the worst of them (proc, sysfs, cgroup, ...): what
// tells them where the mount table is not there to give their names.
bool isPseudoFileSystemNumber(uint64_t typeNumber);

// True when a mount holds no user files, by its type and where it is mounted: a pseudo
// file system, or a run-time mount under /proc, /sys, /dev, /run or /snap (a tmpfs
// elsewhere, e.g. /tmp, may hold user files).
bool isPseudoMount(std::string_view type, std::string_view mountPoint);

} // namespace fotarik
