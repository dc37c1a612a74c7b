#include "walker.h"

#include "errors.h"
#include "pseudofs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace fotarik::search {

namespace {

// Levels up to this depth keep their listing open while a sub-folder is walked, so a
// sub-folder is opened relative to its parent. Deeper levels read their whole listing
// first and close it: a tree thousands of levels deep must not run out of descriptors.
constexpr size_t MaxKeepOpenDepth = 96;
constexpr size_t ListingBufferSize = 64 * 1024;

constexpr std::string_view RecycleBin = "$RECYCLE.BIN";

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Without /proc the type names are unknown; the magic numbers still tell the worst ones.
bool isPseudoMagic(long magic)
{
    switch (static_cast<unsigned long>(magic)) {
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

enum class EntryKind { File, Folder, LinkedFolder, Gone };

struct Listing
{
    std::vector<char> buffer;
};

class Walker
{
public:
    Walker(const PatternList& patterns, bool withSubFolders, int32_t& runningTotal, WalkSink& sink)
        : m_patterns(patterns), m_withSubFolders(withSubFolders), m_total(runningTotal), m_sink(sink)
    {
        // Leave most descriptors to the rest of the program (and to a low limit).
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            const rlim_t spare = limit.rlim_cur > 64 ? (limit.rlim_cur - 64) / 2 : 0;
            m_keepOpenDepth = std::clamp<size_t>(size_t(spare), 4, MaxKeepOpenDepth);
        }
    }

    int32_t walkStart(std::string folder)
    {
        m_path = std::move(folder);
        return walk(-1, 0, 0, 0);
    }

private:
    // m_path holds the folder to walk; its name starts at nameOffset. parentFd is the
    // parent's open listing, or -1 to open by the whole path.
    int32_t walk(int parentFd, size_t nameOffset, size_t depth, dev_t parentDevice)
    {
        m_sink.serveEvents();

        const bool isStart = depth == 0;
        if (isStart && (m_path.empty() || m_path.back() != '/'))
            m_path.push_back('/');
        // A sub-folder is opened by its bare name: with a trailing "/" the kernel would
        // follow a link that replaced the folder since it was listed.
        int fd;
        if (isStart)
            fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        else if (parentFd >= 0)
            fd = ::openat(parentFd, m_path.c_str() + nameOffset,
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        else
            fd = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (!isStart)
            m_path.push_back('/');
        if (fd < 0)
            return 0;
        FileDescriptor dir(fd);

        struct stat st;
        if (::fstat(fd, &st) != 0)
            return 0;
        if (!isStart && st.st_dev != parentDevice && isPseudoMount(fd, st.st_dev))
            return 0;
        const dev_t device = st.st_dev;

        const size_t folderLength = m_path.size();
        Listing& listing = listingAt(depth);
        const bool keepOpen = depth < m_keepOpenDepth;
        size_t filled = 0;
        size_t pos = 0;
        bool atEnd = false;
        if (!keepOpen) {
            filled = readAll(fd, listing);
            dir.close();
            atEnd = true;
        }
        const int entryDirFd = keepOpen ? fd : -1;

        int32_t hits = 0;
        bool folderShown = false;
        while (true) {
            if (pos >= filled) {
                if (atEnd)
                    break;
                const ssize_t n = ::getdents64(fd, listing.buffer.data(), listing.buffer.size());
                if (n <= 0)
                    break;
                filled = size_t(n);
                pos = 0;
            }
            const auto* entry = reinterpret_cast<const dirent64*>(listing.buffer.data() + pos);
            pos += entry->d_reclen;

            if (!folderShown) {
                m_sink.folderEntered(m_path);
                folderShown = true;
            }
            if (m_sink.cancelRequested())
                return hits;

            const std::string_view name(entry->d_name);
            const EntryKind kind = classify(entry->d_type, entryDirFd, entry->d_name, folderLength);
            switch (kind) {
            case EntryKind::Gone:
                break;
            case EntryKind::File:
                if (m_patterns.matches(name)) {
                    addHit(hits, 1);
                    m_path.append(name);
                    m_sink.hitFound(m_path, m_total);
                    m_path.resize(folderLength);
                }
                break;
            case EntryKind::Folder:
            case EntryKind::LinkedFolder:
                if (name == "." || name == ".." || name == RecycleBin)
                    break;
                if (!m_withSubFolders) {
                    addHit(hits, 1);
                } else if (kind == EntryKind::Folder) {
                    m_path.append(name);
                    const int32_t inner = walk(entryDirFd, folderLength, depth + 1, device);
                    m_path.resize(folderLength);
                    // The inner walk has advanced the running total itself.
                    if (__builtin_add_overflow(hits, inner, &hits))
                        raiseOverflow();
                }
                break;
            }
        }
        return hits;
    }

    void addHit(int32_t& hits, int32_t n)
    {
        if (__builtin_add_overflow(hits, n, &hits) || __builtin_add_overflow(m_total, n, &m_total))
            raiseOverflow();
    }

    EntryKind classify(unsigned char type, int dirFd, const char* name, size_t folderLength)
    {
        if (type == DT_DIR)
            return EntryKind::Folder;
        if (type != DT_LNK && type != DT_UNKNOWN)
            return EntryKind::File;

        // Only links and file systems without entry types cost a look at the inode. Once
        // the listing is closed the name is looked up through the whole path.
        const int at = dirFd >= 0 ? dirFd : AT_FDCWD;
        if (dirFd < 0) {
            m_path.resize(folderLength);
            m_path.append(name);
            name = m_path.c_str();
        }
        const EntryKind kind = classifyAt(type, at, name);
        m_path.resize(folderLength);
        return kind;
    }

    static EntryKind classifyAt(unsigned char type, int at, const char* name)
    {
        struct stat st;
        if (type == DT_UNKNOWN) {
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return EntryKind::Gone;
            if (S_ISDIR(st.st_mode))
                return EntryKind::Folder;
            if (!S_ISLNK(st.st_mode))
                return EntryKind::File;
        }
        // A link to a folder is never entered; any other link, dangling ones included,
        // is a name like a file's.
        const bool toFolder = ::fstatat(at, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        return toFolder ? EntryKind::LinkedFolder : EntryKind::File;
    }

    Listing& listingAt(size_t depth)
    {
        while (m_listings.size() <= depth)
            m_listings.push_back(std::make_unique<Listing>());
        Listing& l = *m_listings[depth];
        if (l.buffer.size() < ListingBufferSize)
            l.buffer.resize(ListingBufferSize);
        return l;
    }

    static size_t readAll(int fd, Listing& listing)
    {
        size_t filled = 0;
        while (true) {
            if (listing.buffer.size() - filled < ListingBufferSize / 2)
                listing.buffer.resize(listing.buffer.size() * 2);
            const ssize_t n =
                ::getdents64(fd, listing.buffer.data() + filled, listing.buffer.size() - filled);
            if (n <= 0)
                return filled;
            filled += size_t(n);
        }
    }

    bool isPseudoMount(int fd, dev_t device)
    {
        if (!m_mountsRead) {
            readMountTypes();
            m_mountsRead = true;
        }
        if (!m_mountTypes.empty()) {
            const auto it = m_mountTypes.find(device);
            if (it != m_mountTypes.end())
                return isPseudoFileSystem(it->second);
        }
        struct statfs fs;
        return ::fstatfs(fd, &fs) == 0 && isPseudoMagic(fs.f_type);
    }

    // Device number -> file-system type of every mount, read once per walk and only when
    // the walk crosses a mount point.
    void readMountTypes()
    {
        FILE* f = std::fopen("/proc/self/mountinfo", "re");
        if (!f)
            return;
        char* line = nullptr;
        size_t capacity = 0;
        while (::getline(&line, &capacity, f) > 0) {
            unsigned major = 0;
            unsigned minor = 0;
            if (std::sscanf(line, "%*s %*s %u:%u", &major, &minor) != 2)
                continue;
            const char* sep = std::strstr(line, " - ");
            if (!sep)
                continue;
            const char* type = sep + 3;
            const char* typeEnd = std::strchr(type, ' ');
            if (!typeEnd)
                continue;
            m_mountTypes.emplace(makedev(major, minor), std::string(type, typeEnd));
        }
        std::free(line);
        std::fclose(f);
    }

    const PatternList& m_patterns;
    const bool m_withSubFolders;
    int32_t& m_total;
    WalkSink& m_sink;
    std::string m_path;
    std::vector<std::unique_ptr<Listing>> m_listings;
    std::unordered_map<dev_t, std::string> m_mountTypes;
    bool m_mountsRead = false;
    size_t m_keepOpenDepth = MaxKeepOpenDepth;
};

} // namespace

int32_t SearchFolder(std::string folderPath, const PatternList& patterns, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink)
{
    Walker walker(patterns, withSubFolders != 0, runningTotal, sink);
    return walker.walkStart(std::move(folderPath));
}

int32_t SearchFolder(std::string folderPath, std::string_view patternList, const int16_t& withSubFolders,
                     int32_t& runningTotal, WalkSink& sink)
{
    const PatternList patterns(patternList);
    return SearchFolder(std::move(folderPath), patterns, withSubFolders, runningTotal, sink);
}

} // namespace fotarik::search
