#include "folderlisting.h"

#include <dirent.h>

namespace fotarik {

ssize_t readListingBlock(int fd, char* buffer, size_t size)
{
    return ::getdents64(fd, buffer, size);
}

ListedEntry nextListedEntry(const char* block, size_t& pos)
{
    const auto* entry = reinterpret_cast<const dirent64*>(block + pos);
    pos += entry->d_reclen;
    ListedEntry listed;
    listed.name = std::string_view(entry->d_name);
    switch (entry->d_type) {
    case DT_DIR:
        listed.type = ListedType::Folder;
        break;
    case DT_LNK:
        listed.type = ListedType::Link;
        break;
    case DT_UNKNOWN:
        listed.type = ListedType::Unknown;
        break;
    default:
        listed.type = ListedType::Other;
        break;
    }
    return listed;
}

} // namespace fotarik
