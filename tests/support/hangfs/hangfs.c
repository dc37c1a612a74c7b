// A small FUSE file system for tests of drives that answer slowly or not at all. It runs
// in the foreground until it is killed: hangfs MODE MOUNTPOINT. Every folder holds
// "a.jpg" (an empty file) and, but for the deepest, the folder "d"; MODE says what else
// is true:
//   statfs   statfs never answers (as a hung network mount at start-up)
//   readdir  the listing of /haengt (listed between a.jpg and d) never answers
//   slow     every request is answered after 200 ms; the tree is 3 levels deep
//   endless  every folder has the sub-folder "d", for ever
// Outside "endless" and "slow" the tree is one level: /d holds only a.jpg. A request that
// never answers waits until the process is killed, which aborts the connection and ends
// every call waiting on it. Each request that starts to wait for ever writes one line to
// standard output, so that a test knows when a program is stuck in it.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum Mode { StatfsHangs, ReaddirHangs, Slow, Endless };
static enum Mode mode;

static void hang(void)
{
    // One write, so that lines of requests hanging at once do not mix.
    static const char line[] = "hang\n";
    if (write(STDOUT_FILENO, line, sizeof line - 1) < 0) {
        // Nobody listens: the request waits all the same.
    }
    for (;;)
        pause();
}

static void pace(void)
{
    if (mode == Slow) {
        const struct timespec t = {0, 200 * 1000 * 1000};
        nanosleep(&t, NULL);
    }
}

// The depth of a path made of "d" steps ("/" is 0), or -1 when it names no folder.
static int folderDepth(const char* path)
{
    if (strcmp(path, "/") == 0)
        return 0;
    if (mode == ReaddirHangs && strcmp(path, "/haengt") == 0)
        return 1;
    int depth = 0;
    for (const char* p = path; *p;) {
        if (strncmp(p, "/d", 2) != 0 || (p[2] != '\0' && p[2] != '/'))
            return -1;
        ++depth;
        p += 2;
    }
    const int deepest = mode == Endless ? 1 << 30 : mode == Slow ? 3 : 1;
    return depth <= deepest ? depth : -1;
}

static int hasSubFolder(int depth)
{
    const int deepest = mode == Endless ? 1 << 30 : mode == Slow ? 3 : 1;
    return depth < deepest;
}

static int fsGetattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    pace();
    memset(st, 0, sizeof *st);
    if (folderDepth(path) >= 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const char* slash = strrchr(path, '/');
    char parent[4096];
    const size_t n = (size_t)(slash - path);
    if (n >= sizeof parent)
        return -ENOENT;
    memcpy(parent, path, n);
    parent[n] = '\0';
    if (strcmp(slash, "/a.jpg") == 0 && (n == 0 || folderDepth(parent) >= 0)) {
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        return 0;
    }
    return -ENOENT;
}

static int fsReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                     struct fuse_file_info* fi, enum fuse_readdir_flags flags)
{
    (void)offset;
    (void)fi;
    (void)flags;
    pace();
    if (mode == ReaddirHangs && strcmp(path, "/haengt") == 0)
        hang();
    const int depth = folderDepth(path);
    if (depth < 0)
        return -ENOENT;
    struct stat dirStat = {.st_mode = S_IFDIR | 0755};
    struct stat fileStat = {.st_mode = S_IFREG | 0644};
    fill(buf, ".", &dirStat, 0, 0);
    fill(buf, "..", &dirStat, 0, 0);
    fill(buf, "a.jpg", &fileStat, 0, 0);
    if (mode == ReaddirHangs && depth == 0)
        fill(buf, "haengt", &dirStat, 0, 0);
    if (hasSubFolder(depth))
        fill(buf, "d", &dirStat, 0, 0);
    return 0;
}

static int fsOpendir(const char* path, struct fuse_file_info* fi)
{
    (void)fi;
    pace();
    return folderDepth(path) >= 0 ? 0 : -ENOENT;
}

static int fsOpen(const char* path, struct fuse_file_info* fi)
{
    (void)fi;
    pace();
    struct stat st;
    return fsGetattr(path, &st, NULL);
}

static int fsRead(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi)
{
    (void)path;
    (void)buf;
    (void)size;
    (void)offset;
    (void)fi;
    pace();
    return 0;
}

static int fsStatfs(const char* path, struct statvfs* st)
{
    (void)path;
    if (mode == StatfsHangs)
        hang();
    pace();
    memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    st->f_blocks = 1024;
    st->f_namemax = 255;
    return 0;
}

static void* fsInit(struct fuse_conn_info* conn, struct fuse_config* cfg)
{
    (void)conn;
    // Nothing is kept by the kernel: every call comes here.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}

static const struct fuse_operations operations = {
    .getattr = fsGetattr,
    .readdir = fsReaddir,
    .opendir = fsOpendir,
    .open = fsOpen,
    .read = fsRead,
    .statfs = fsStatfs,
    .init = fsInit,
};

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: hangfs statfs|readdir|slow|endless MOUNTPOINT\n");
        return 2;
    }
    if (strcmp(argv[1], "statfs") == 0)
        mode = StatfsHangs;
    else if (strcmp(argv[1], "readdir") == 0)
        mode = ReaddirHangs;
    else if (strcmp(argv[1], "slow") == 0)
        mode = Slow;
    else if (strcmp(argv[1], "endless") == 0)
        mode = Endless;
    else {
        fprintf(stderr, "hangfs: unknown mode %s\n", argv[1]);
        return 2;
    }
    // Foreground, many threads (a hung request does not hold up the others).
    char* args[] = {argv[0], "-f", "-o", "fsname=hangfs,subtype=hangfs,max_threads=64", argv[2], NULL};
    return fuse_main(5, args, &operations, NULL);
}
