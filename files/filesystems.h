#pragma once
// What file system a folder lives on, for a walk that must not enter some of them.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>

namespace fotarik {

// The type name of every mounted file system by its device number, as the system's mount
// table gives them ("ext4", "proc", "fuse.sshfs", ...); empty when the table cannot be
// read.
std::unordered_map<dev_t, std::string> mountTypesByDevice();

// The type number of the file system that the open fd lives on (the system's "magic"),
// for where the mount table is not there to give its name; none when it cannot be asked.
std::optional<uint64_t> fileSystemTypeNumber(int fd);

} // namespace fotarik
