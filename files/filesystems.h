#pragma once
// What file system a folder lives on, for a walk that must not enter some of them.

#include "uniquefd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace fotarik {

// The type name of every mounted file system by its device number, as the system's mount
// table gives them ("ext4", "proc", "fuse.sshfs", ...); empty when the table cannot be
// read.
std::unordered_map<dev_t, std::string> mountTypesByDevice();

// The type number of the file system that the open fd lives on (the system's "magic"),
// for where the mount table is not there to give its name; none when it cannot be asked.
std::optional<uint64_t> fileSystemTypeNumber(int fd);

// The system's mount table, held open so that a change to it (a mount or an unmount
// anywhere) is noticed without reading it again. Reading it never touches a mounted file
// system, so a mount that does not answer cannot hold it up.
class MountTable
{
public:
    // Opens the table; valid() is false where it cannot be read (no /proc).
    MountTable();
    bool valid() const { return m_fd.valid(); }

    // Every mount point in the table, as absolute paths in bytes; none when it cannot
    // be read. Reading it counts as seeing every change so far.
    std::optional<std::vector<std::string>> mountPoints();

    // Whether the table changed since it was last read or asked (one look, no wait).
    // True when that cannot be told.
    bool changed();

private:
    UniqueFd m_fd;
};

// The absolute path by which the open fd is reached in this process's view of the file
// systems; none when it cannot be told or it is not reachable by a path (removed,
// outside the process's root).
std::optional<std::string> pathOfOpenFile(int fd);

} // namespace fotarik
