#pragma once
// File systems that hold no user files: walking them is slow, endless or has side
// effects. The drive list leaves their mounts out and the folder walker never enters
// them, from this one list. Needs no Qt.

#include <string_view>

namespace fotarik {

// True for the type names of such file systems as /proc/self/mountinfo gives them
// (proc, sysfs, devpts, cgroup2, fuse.portal, ...). tmpfs is not one: it may hold
// user files (e.g. /tmp).
bool isPseudoFileSystem(std::string_view type);

} // namespace fotarik
