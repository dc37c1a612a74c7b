#include "pseudofs.h"

#include <algorithm>
#include <iterator>

namespace fotarik {

bool isPseudoFileSystem(std::string_view type)
{
    static constexpr std::string_view names[] = {
        "autofs",     "binfmt_misc", "bpf",       "cgroup",   "cgroup2", "configfs",
        "debugfs",    "devpts",      "devtmpfs",  "efivarfs", "fusectl", "hugetlbfs",
        "mqueue",     "nfsd",        "nsfs",      "proc",     "pstore",  "ramfs",
        "rpc_pipefs", "securityfs",  "selinuxfs", "sysfs",    "tracefs", "fuse.gvfsd-fuse",
        "fuse.portal"};
    return std::find(std::begin(names), std::end(names), type) != std::end(names);
}

bool isPseudoFileSystemNumber(uint64_t typeNumber)
{
    switch (typeNumber) {
    case 0x9fa0:     // proc
    case 0x62656572: // sysfs
    case 0x1cd1:     // devpts
    case 0x27e0eb:   // cgroup
    case 0x63677270: // cgroup2
    case 0x73636673: // securityfs
    case 0x64626720: // debugfs
    case 0x74726163: // tracefs
    case 0xcafe4a11: // bpf
    case 0x6165676c: // pstore
    case 0x62656570: // configfs
    case 0x0187:     // autofs
        return true;
    default:
        return false;
    }
}

bool isPseudoMount(std::string_view type, std::string_view mountPoint)
{
    if (isPseudoFileSystem(type))
        return true;
    const auto under = [&](std::string_view prefix) { return mountPoint.substr(0, prefix.size()) == prefix; };
    if (type == "tmpfs" || type == "squashfs") {
        // Run-time and snap package mounts.
        return under("/run") || under("/dev") || under("/sys") || under("/snap");
    }
    return under("/proc") || under("/sys") || under("/dev");
}

} // namespace fotarik
