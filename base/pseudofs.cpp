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

} // namespace fotarik
