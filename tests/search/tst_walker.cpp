#include "hangfsmount.h"
#include "raisederror.h"
#include "readahead.h"
#include "testfiles.h"
#include "walker.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <pthread.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using fotarik::RaisedError;
using fotarik::search::SearchFolder;
using fotarik::search::WalkOptions;
using fotarik::search::WalkSink;
using fotarik::test::makeFile;
using fotarik::test::makeFolder;
using fotarik::test::removeTreeByBytes;
using fotarik::test::threadCount;
using fotarik::test::threadsBackTo;

namespace {

const std::string_view Pictures = "*.JPG;*.JPEG;*.JFIF;*.JPE";

struct Hit
{
    std::string path;
    int32_t total;
};

class RecordingSink : public WalkSink
{
public:
    void serveEvents() override
    {
        ++served;
        if (onServe)
            onServe(served);
    }
    void folderEntered(std::string_view folder) override
    {
        folders.emplace_back(folder);
        if (onFolder)
            onFolder(folders.back());
    }
    bool cancelRequested() override
    {
        ++cancelChecks;
        return cancel;
    }
    void hitFound(std::string_view path, int32_t total) override
    {
        QVERIFY2(!cancel, "hit reported after the cancel");
        hits.push_back({std::string(path), total});
    }

    std::vector<std::string> hitPaths() const
    {
        std::vector<std::string> paths;
        for (const auto& h : hits)
            paths.push_back(h.path);
        return paths;
    }

    int served = 0;
    int cancelChecks = 0;
    bool cancel = false;
    std::vector<std::string> folders;
    std::vector<Hit> hits;
    std::function<void(int)> onServe;
    std::function<void(const std::string&)> onFolder;
};

// The names of a folder in the order the file system lists them, without "." and "..".
std::vector<std::string> listingOrder(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (!d)
        return names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    ::closedir(d);
    return names;
}

// Removes the contents of the folder open as fd, level by level relative to it, so that
// no path grows beyond what the system accepts. Closes fd.
void removeContentsAt(int fd)
{
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    for (const std::string& n : names) {
        if (::unlinkat(fd, n.c_str(), 0) == 0)
            continue;
        const int sub = ::openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
            removeContentsAt(sub);
        ::unlinkat(fd, n.c_str(), AT_REMOVEDIR);
    }
    ::closedir(d);
}

std::string tempRoot(const QTemporaryDir& dir)
{
    return dir.path().toStdString();
}

// Everything a walk tells its sink, in order, as one log: a plain walk and a walk that
// reads ahead must produce the very same log.
class LogSink : public WalkSink
{
public:
    void serveEvents() override
    {
        log.push_back("S");
        if (onServe)
            onServe(++served);
    }
    void folderEntered(std::string_view folder) override
    {
        log.push_back("F " + std::string(folder));
        ++folders;
        if (onFolder)
            onFolder(std::string(folder));
    }
    bool cancelRequested() override
    {
        log.push_back("C");
        return cancelAfterFolders > 0 && folders >= cancelAfterFolders;
    }
    void hitFound(std::string_view path, int32_t total) override
    {
        log.push_back("H " + std::string(path) + " " + std::to_string(total));
        ++hits;
    }

    std::vector<std::string> log;
    int served = 0;
    int folders = 0;
    int hits = 0;
    int cancelAfterFolders = 0;
    std::function<void(int)> onServe;
    std::function<void(const std::string&)> onFolder;
};

struct WalkRecord
{
    int32_t result = 0;
    int32_t total = 0;
    std::vector<std::string> log;
    int hits = 0;
    bool threadsGone = false;
    fotarik::search::WalkStatistics statistics;
};

// Walks root with the given options; prepare (if any) sets the tree up anew and may hook
// into the sink. Checks that no reader thread outlives the walk.
WalkRecord walkWith(const std::string& root, std::string_view patterns, int16_t withSub, WalkOptions options,
                    const std::function<void(LogSink&)>& prepare = {})
{
    LogSink sink;
    if (prepare)
        prepare(sink);
    WalkRecord r;
    const int threadsBefore = threadCount();
    options.statistics = &r.statistics;
    r.result = SearchFolder(root, patterns, withSub, r.total, sink, options);
    r.threadsGone = threadsBackTo(threadsBefore);
    r.log = std::move(sink.log);
    r.hits = sink.hits;
    return r;
}

// The same with the given read-ahead.
WalkRecord walkWith(const std::string& root, std::string_view patterns, int16_t withSub, int readAheadThreads,
                    const std::function<void(LogSink&)>& prepare = {})
{
    WalkOptions options;
    options.readAheadThreads = readAheadThreads;
    return walkWith(root, patterns, withSub, options, prepare);
}

// The first differing line of two logs, for a readable failure.
std::string firstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return "at " + std::to_string(i) + ": \"" + a[i] + "\" vs \"" + b[i] + "\"";
    return "lengths " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
}

#define COMPARE_WALKS(plain, ahead)                                                                          \
    do {                                                                                                     \
        QCOMPARE((ahead).result, (plain).result);                                                            \
        QCOMPARE((ahead).total, (plain).total);                                                              \
        QVERIFY2((ahead).log == (plain).log, firstDifference((plain).log, (ahead).log).c_str());             \
        QVERIFY((plain).threadsGone && (ahead).threadsGone);                                                 \
    } while (false)

// Listings of folders changed in the last moments before they were read ahead are not
// trusted; a tree just made waits a little so that reading ahead is exercised.
void letTreeSettle()
{
    ::usleep(80 * 1000);
}

// A tree of folders and files from a fixed seed: up to `depth` levels, mixed names.
void makeRandomTree(const std::string& root, unsigned seed, int depth, int& folderBudget)
{
    std::srand(seed);
    std::function<void(const std::string&, int)> fill = [&](const std::string& folder, int level) {
        const int files = std::rand() % 12;
        for (int i = 0; i < files; ++i) {
            static const char* const ext[] = {".jpg", ".JPEG", ".txt", ".png", ".jpg.bak", ".Jpe"};
            makeFile(folder + "/f" + std::to_string(i) + ext[std::rand() % 6]);
        }
        if (level >= depth)
            return;
        const int subs = level == 0 ? 8 : std::rand() % 6;
        for (int i = 0; i < subs && folderBudget > 0; ++i) {
            --folderBudget;
            const std::string sub = folder + "/d" + std::to_string(level) + "_" + std::to_string(i);
            makeFolder(sub);
            fill(sub, level + 1);
        }
    };
    fill(root, 0);
}

// A mount namespace of this test's own (see enterPrivateMountNamespace); mounting needs root.
QString privateMountNamespace()
{
    if (::geteuid() != 0)
        return QStringLiteral("mounting needs root");
    return fotarik::test::enterPrivateMountNamespace();
}

// Lowers the process's descriptor limit while it lives, so that a walk must let deep
// descriptors go; the old limit comes back when it goes.
class FewDescriptors
{
public:
    explicit FewDescriptors(rlim_t limit)
    {
        m_set = ::getrlimit(RLIMIT_NOFILE, &m_saved) == 0;
        struct rlimit low = m_saved;
        low.rlim_cur = limit;
        m_set = m_set && ::setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~FewDescriptors() { restore(); }
    FewDescriptors(const FewDescriptors&) = delete;
    FewDescriptors& operator=(const FewDescriptors&) = delete;

    bool set() const { return m_set; }
    void restore()
    {
        if (m_set)
            ::setrlimit(RLIMIT_NOFILE, &m_saved);
        m_set = false;
    }

private:
    struct rlimit m_saved
    {
    };
    bool m_set = false;
};

// Mounts made by a test, taken away again (last first) when it ends, also when it failed.
class TestMounts
{
public:
    ~TestMounts()
    {
        for (auto it = m_points.rbegin(); it != m_points.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
    bool mount(const std::string& source, const std::string& point, const char* type, unsigned long flags,
               const char* data = nullptr)
    {
        if (::mount(source.c_str(), point.c_str(), type, flags, data) != 0)
            return false;
        m_points.push_back(point);
        return true;
    }
    void unmount(const std::string& point)
    {
        const auto it = std::find(m_points.begin(), m_points.end(), point);
        if (it != m_points.end() && ::umount2(point.c_str(), MNT_DETACH) == 0)
            m_points.erase(it);
    }

private:
    std::vector<std::string> m_points;
};

} // namespace

class TstWalker : public QObject
{
    Q_OBJECT

private slots:
    void hitsCarryTheNormalisedFolderAndRunningTotal();
    void subFolderHitsComeWhereTheSubFolderIsListed();
    void subFoldersOffCountsFoldersWithoutListingThem();
    void skipNamesAreExactCase();
    void eventsAreServedOncePerFolderAndTheFolderShownOnce();
    void cancelKeepsTheHitsFoundBefore();
    void folderThatCannotBeListedIsSkipped();
    void unreadableFolderIsSkipped();
    void linksAreNeverEntered();
    void namesPassThroughAsBytes();
    void nameMatchingTwoElementsIsOneHit();
    void invalidPatternEndsTheWalkAtTheFirstFile();
    void manyFilesInOneFolder();
    void deepTreeWithFewDescriptors();
    void startFolderThatCannotBeListedGivesZero();
    void pseudoFileSystemMountsAreNotEntered();
    void readAheadWalkEqualsPlainWalk();
    void readAheadGrowsWhenListingsAreSlow();
    void readersLeaveTheNextFolderToTheWalk();
    void readAheadSeesFoldersChangedAfterTheyWereRead();
    void readAheadInDeepTreeWithFewDescriptors();
    void readAheadStaysNearTheTopOfAVeryDeepTree();
    void readAheadWithHugeFolders();
    void readAheadCancelledInTheMiddle();
    void guardedWalkEqualsPlainWalk();
    void guardedCallThatHangsIsGivenUpOnCancel();
    void guardedWalkSeesFoldersChangedJustAfterTheyWereRead();
    void mountPointsInsideTheTree();
    void deepFolderOpenedAgainAcrossAMountPoint();
    void deepFolderSwappedWhileWalkedIsNotWalkedOn();
};

void TstWalker::hitsCarryTheNormalisedFolderAndRunningTotal()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFile(root + "/Foto.jpg");
    makeFile(root + "/Foto.jpg.bak");
    makeFile(root + "/scan.JPE");

    for (const std::string& start : {root, root + "/"}) {
        RecordingSink sink;
        int32_t total = 10; // the run's total so far; a walk only adds to it
        const int16_t sub = -1;
        QCOMPARE(SearchFolder(start, Pictures, sub, total, sink), 2);
        QCOMPARE(total, 12);
        QCOMPARE(sink.hits.size(), size_t(2));
        std::vector<std::string> paths = sink.hitPaths();
        std::sort(paths.begin(), paths.end());
        QCOMPARE(paths[0], root + "/Foto.jpg");
        QCOMPARE(paths[1], root + "/scan.JPE");
        QCOMPARE(sink.hits[0].total, 11);
        QCOMPARE(sink.hits[1].total, 12);
        QCOMPARE(sink.folders, std::vector<std::string>{root + "/"});
    }
}

void TstWalker::subFolderHitsComeWhereTheSubFolderIsListed()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (int i = 0; i < 40; ++i)
        makeFile(root + "/f" + std::to_string(i) + ".jpg");
    makeFolder(root + "/Unter");
    makeFile(root + "/Unter/a.jpg");
    makeFile(root + "/Unter/b.JPEG");
    makeFile(root + "/Unter/c.txt");

    const std::vector<std::string> order = listingOrder(root);
    const auto sub = std::find(order.begin(), order.end(), "Unter");
    if (sub + 1 == order.end())
        QSKIP("the file system lists the sub-folder last");

    std::vector<std::string> expected;
    for (const std::string& name : order) {
        if (name != "Unter") {
            expected.push_back(root + "/" + name);
            continue;
        }
        for (const std::string& inner : listingOrder(root + "/Unter"))
            if (inner != "c.txt")
                expected.push_back(root + "/Unter/" + inner);
    }

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 42);
    QCOMPARE(sink.hitPaths(), expected);
    // The folder label follows the walk down and is not set back to the parent.
    QCOMPARE(sink.folders, (std::vector<std::string>{root + "/", root + "/Unter/"}));
}

void TstWalker::subFoldersOffCountsFoldersWithoutListingThem()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFile(root + "/a.jpg");
    makeFile(root + "/b.jpg");
    makeFile(root + "/c.jpeg");
    makeFile(root + "/d.png");
    makeFolder(root + "/x");
    makeFolder(root + "/y");
    makeFile(root + "/x/inner.jpg");
    makeFolder(root + "/$RECYCLE.BIN");

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = 0;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 5);
    QCOMPARE(total, 5);
    QCOMPARE(sink.hits.size(), size_t(3));
    for (const Hit& h : sink.hits)
        QVERIFY(h.path.find("/x/") == std::string::npos);
    QCOMPARE(sink.served, 1);
    QCOMPARE(sink.folders.size(), size_t(1));
}

void TstWalker::skipNamesAreExactCase()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFolder(root + "/$RECYCLE.BIN");
    makeFile(root + "/$RECYCLE.BIN/gone.jpg");
    makeFolder(root + "/$Recycle.Bin");
    makeFile(root + "/$Recycle.Bin/kept.jpg");
    makeFolder(root + "/.hidden");
    makeFile(root + "/.hidden/also.jpg");

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 2);
    std::vector<std::string> paths = sink.hitPaths();
    std::sort(paths.begin(), paths.end());
    QCOMPARE(paths, (std::vector<std::string>{root + "/$Recycle.Bin/kept.jpg", root + "/.hidden/also.jpg"}));
}

void TstWalker::eventsAreServedOncePerFolderAndTheFolderShownOnce()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFolder(root + "/a");
    makeFolder(root + "/a/b");
    makeFolder(root + "/c");
    makeFile(root + "/a/b/x.jpg");

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 1);
    QCOMPARE(sink.served, 4);
    std::vector<std::string> folders = sink.folders;
    std::sort(folders.begin(), folders.end());
    QCOMPARE(folders, (std::vector<std::string>{root + "/", root + "/a/", root + "/a/b/", root + "/c/"}));
    // Every entry, "." and ".." included, is preceded by a cancel check.
    QCOMPARE(sink.cancelChecks, 4 + 3 + 3 + 2);
}

void TstWalker::cancelKeepsTheHitsFoundBefore()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (int f = 0; f < 8; ++f) {
        const std::string folder = root + "/d" + std::to_string(f);
        makeFolder(folder);
        makeFolder(folder + "/deeper");
        for (int i = 0; i < 3; ++i) {
            makeFile(folder + "/p" + std::to_string(i) + ".jpg");
            makeFile(folder + "/deeper/q" + std::to_string(i) + ".jpg");
        }
    }
    const int16_t withSub = -1;

    RecordingSink full;
    int32_t fullTotal = 0;
    QCOMPARE(SearchFolder(root, Pictures, withSub, fullTotal, full), 48);

    // The cancel button is seen while events are served at the start of a folder.
    RecordingSink sink;
    sink.onServe = [&](int served) {
        if (served == 6)
            sink.cancel = true;
    };
    int32_t total = 0;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    QVERIFY(result > 0);
    QVERIFY(result < 48);
    QCOMPARE(total, result);
    QCOMPARE(int32_t(sink.hits.size()), result);
    const std::vector<std::string> all = full.hitPaths();
    const std::vector<std::string> expected(all.begin(), all.begin() + result);
    QCOMPARE(sink.hitPaths(), expected);
    QCOMPARE(sink.served, 6);
}

void TstWalker::folderThatCannotBeListedIsSkipped()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (const char* name : {"a", "gone", "z"}) {
        makeFolder(root + "/" + name);
        makeFile(root + "/" + name + "/in.jpg");
    }
    makeFile(root + "/vanishing.jpg");

    // The folder and a file disappear after the parent has been listed.
    RecordingSink sink;
    sink.onFolder = [&](const std::string& folder) {
        if (folder == root + "/") {
            ::unlink((root + "/gone/in.jpg").c_str());
            ::rmdir((root + "/gone").c_str());
            ::unlink((root + "/vanishing.jpg").c_str());
        }
    };
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    std::vector<std::string> paths = sink.hitPaths();
    std::sort(paths.begin(), paths.end());
    // A listed file is reported as the listing named it, even when it is gone since.
    QCOMPARE(paths,
             (std::vector<std::string>{root + "/a/in.jpg", root + "/vanishing.jpg", root + "/z/in.jpg"}));
    QCOMPARE(result, 3);
    QCOMPARE(sink.served, 4);
    QCOMPARE(sink.folders.size(), size_t(3));
}

void TstWalker::unreadableFolderIsSkipped()
{
    if (::geteuid() == 0)
        QSKIP("permissions do not deny the super-user");
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (const char* name : {"a", "locked", "z"}) {
        makeFolder(root + "/" + name);
        makeFile(root + "/" + name + "/in.jpg");
    }
    ::chmod((root + "/locked").c_str(), 0);
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    ::chmod((root + "/locked").c_str(), 0755);
    QCOMPARE(result, 2);
    QCOMPARE(sink.hits.size(), size_t(2));
}

void TstWalker::linksAreNeverEntered()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFolder(root + "/a");
    makeFile(root + "/a/real.jpg");
    QCOMPARE(::symlink("..", (root + "/a/loop").c_str()), 0);
    QCOMPARE(::symlink(".", (root + "/a/self.jpg").c_str()), 0);
    QCOMPARE(::symlink("real.jpg", (root + "/a/link.jpg").c_str()), 0);
    QCOMPARE(::symlink("nowhere", (root + "/a/dangling.jpg").c_str()), 0);

    RecordingSink sink;
    // A walk that follows the loop would run in circles: it is stopped at the first
    // folder entered through a link, so the test fails here instead of hanging.
    sink.onFolder = [&](const std::string& folder) {
        if (folder.find("/loop/") != std::string::npos || folder.find("/self.jpg/") != std::string::npos)
            sink.cancel = true;
    };
    int32_t total = 0;
    int16_t withSub = -1;
    const int32_t found = SearchFolder(root, Pictures, withSub, total, sink);
    QVERIFY2(!sink.cancel, "a link to a folder was entered");
    QCOMPARE(found, 3);
    std::vector<std::string> paths = sink.hitPaths();
    std::sort(paths.begin(), paths.end());
    // A link to a file is tested like a file, a dangling link too; a link to a folder
    // (self.jpg) is no file and is not entered.
    QCOMPARE(paths, (std::vector<std::string>{root + "/a/dangling.jpg", root + "/a/link.jpg",
                                              root + "/a/real.jpg"}));
    QCOMPARE(sink.served, 2);

    // Without sub-folders a link to a folder counts like the folder it stands for.
    RecordingSink flat;
    total = 0;
    withSub = 0;
    QCOMPARE(SearchFolder(root + "/a", "*.png", withSub, total, flat), 2);
    QVERIFY(flat.hits.empty());
}

void TstWalker::namesPassThroughAsBytes()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    const std::vector<std::string> names = {"mit Leerzeichen.jpg", "Übersicht ä.JPG", "neue\nZeile.jpg",
                                            "kaputt\xff\xfe.jpg", "\xe4rger.jpg"};
    makeFolder(root + "/Ordner \xff");
    for (const std::string& n : names)
        makeFile(root + "/Ordner \xff/" + n);

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 5);
    std::vector<std::string> paths = sink.hitPaths();
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> expected;
    for (const std::string& n : names)
        expected.push_back(root + "/Ordner \xff/" + n);
    std::sort(expected.begin(), expected.end());
    removeTreeByBytes(root + "/Ordner \xff");
    QCOMPARE(paths, expected);
}

void TstWalker::nameMatchingTwoElementsIsOneHit()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFile(root + "/A.JPG");
    makeFile(root + "/B.JPG");
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, "*.JPG;A.*", withSub, total, sink), 2);
    QCOMPARE(sink.hits.size(), size_t(2));
}

void TstWalker::invalidPatternEndsTheWalkAtTheFirstFile()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFolder(root + "/sub");
    makeFile(root + "/sub/a.jpg");
    makeFile(root + "/b.jpg");

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    try {
        SearchFolder(root, "*.JPG;[a", withSub, total, sink);
        QFAIL("the walk did not end with an error");
    } catch (const RaisedError& e) {
        QCOMPARE(e.number(), 93);
    }
    QVERIFY(sink.hits.empty());
    QCOMPARE(total, 0);

    // Without a file to test there is nothing to fail on.
    QTemporaryDir empty;
    RecordingSink quiet;
    QCOMPARE(SearchFolder(tempRoot(empty), "[a", withSub, total, quiet), 0);
}

void TstWalker::manyFilesInOneFolder()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (int i = 0; i < 100000; ++i)
        makeFile(root + "/n" + std::to_string(i) + (i % 10 == 0 ? ".jpg" : ".txt"));

    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink), 10000);
    QCOMPARE(sink.hits.back().total, 10000);
    std::vector<std::string> paths = sink.hitPaths();
    std::sort(paths.begin(), paths.end());
    QVERIFY(std::adjacent_find(paths.begin(), paths.end()) == paths.end());
    QCOMPARE(sink.served, 1);
    QCOMPARE(sink.folders.size(), size_t(1));
    QCOMPARE(sink.cancelChecks, 100002);
}

void TstWalker::deepTreeWithFewDescriptors()
{
    QTemporaryDir dir;
    std::string folder = tempRoot(dir);
    const std::string root = folder;
    const int levels = 200;
    for (int i = 0; i < levels; ++i) {
        folder += "/Ebene " + std::to_string(i);
        makeFolder(folder);
        makeFile(folder + "/bild.jpg");
        makeFile(folder + "/text.txt");
    }

    // A low descriptor limit must not cut the walk short.
    FewDescriptors few(48);
    QVERIFY(few.set());
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    few.restore();

    QCOMPARE(result, levels);
    QCOMPARE(sink.hits.size(), size_t(levels));
    const std::vector<std::string> paths = sink.hitPaths();
    QVERIFY(std::find(paths.begin(), paths.end(), folder + "/bild.jpg") != paths.end());
    QCOMPARE(sink.served, levels + 1);
}

void TstWalker::startFolderThatCannotBeListedGivesZero()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFile(root + "/plain.jpg");
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    QCOMPARE(SearchFolder(root + "/missing", Pictures, withSub, total, sink), 0);
    QCOMPARE(SearchFolder(root + "/plain.jpg", Pictures, withSub, total, sink), 0);
    QCOMPARE(total, 0);
    QVERIFY(sink.folders.empty());
    QCOMPARE(sink.served, 2);
}

// The terminal devices' file system, mounted at /dev/pts, is never entered by a walk that
// starts above it.
void TstWalker::pseudoFileSystemMountsAreNotEntered()
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        QSKIP("no /proc/self/mountinfo");
    bool devptsAtDevPts = false;
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        // "id parent major:minor root mountpoint options ... - type source options"
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() > 4 && dash > 0 && dash + 1 < fields.size() && fields[4] == "/dev/pts" &&
            fields[dash + 1] == "devpts")
            devptsAtDevPts = true;
    }
    if (!devptsAtDevPts)
        QSKIP("devpts is not mounted at /dev/pts here");

    RecordingSink sink;
    sink.onFolder = [&](const std::string& folder) {
        if (folder.rfind("/dev/pts", 0) == 0)
            sink.cancel = true; // entered: stop at once, the check below fails
    };
    int32_t total = 0;
    const int16_t withSub = -1;
    SearchFolder("/dev", "*.NICHTS", withSub, total, sink);
    QVERIFY2(!sink.cancel, "the walk entered /dev/pts");
    QVERIFY(!sink.folders.empty());
    QCOMPARE(sink.folders.front(), std::string("/dev/"));
}

void TstWalker::readAheadWalkEqualsPlainWalk()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    int budget = 1500;
    makeRandomTree(root, 4711, 7, budget);
    makeFolder(root + "/$RECYCLE.BIN");
    makeFile(root + "/$RECYCLE.BIN/weg.jpg");
    QCOMPARE(::symlink("d0_0", (root + "/verweis").c_str()), 0);
    letTreeSettle();
    const int threads = threadCount();

    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QVERIFY2(plain.hits > 500, std::to_string(plain.hits).c_str());
    QCOMPARE(plain.statistics.listingsReadAhead, size_t(0));
    for (int readers : {1, 2, 4, 8}) {
        const WalkRecord ahead = walkWith(root, Pictures, -1, readers);
        COMPARE_WALKS(plain, ahead);
        QVERIFY(ahead.statistics.listingsReadAhead > 0);
        QVERIFY(ahead.statistics.peakReadAheadBytes > 0);
    }
    // The choice left to the walker walks the same, however many readers it starts (that
    // depends on the cores and on how fast the listings come: readAheadGrowsWhenListingsAreSlow).
    const WalkRecord chosen = walkWith(root, Pictures, -1, -1);
    COMPARE_WALKS(plain, chosen);
    // Without sub-folders there is nothing to read ahead; the count includes the folders.
    const WalkRecord flatPlain = walkWith(root, Pictures, 0, 0);
    const WalkRecord flatAhead = walkWith(root, Pictures, 0, 4);
    COMPARE_WALKS(flatPlain, flatAhead);
    QVERIFY(threadsBackTo(threads));
}

// The threads of this process now running as walk readers.
int readerThreads()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const std::string comm = "/proc/self/task/" + std::string(e->d_name) + "/comm";
            if (FILE* f = std::fopen(comm.c_str(), "r")) {
                char name[32] = {};
                n += std::fgets(name, sizeof name, f) && std::string_view(name) == "walk reader\n";
                std::fclose(f);
            }
        }
        ::closedir(d);
    }
    return n;
}

void TstWalker::readAheadGrowsWhenListingsAreSlow()
{
    // The walk left to choose starts its readers with it, at most two, and more of them once
    // their calls turn out slow: one call as long as a disk seek (in the first folder only),
    // or a run of calls each slower than the cache. From the cache too it finds what a plain
    // walk finds, and the readers are gone afterwards.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (int a = 0; a < 16; ++a) {
        const std::string folder = root + "/a" + std::to_string(a);
        makeFolder(folder);
        for (int b = 0; b < 4; ++b) {
            makeFolder(folder + "/b" + std::to_string(b));
            makeFile(folder + "/b" + std::to_string(b) + "/bild.jpg");
        }
    }
    const std::string first = root + "/" + listingOrder(root).front();
    letTreeSettle();
    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QCOMPARE(plain.result, 64);

    struct Slowness
    {
        const char* what;
        std::chrono::microseconds each;
        bool onlyInFirst;
    };
    for (const Slowness slowness :
         {Slowness{"from the cache", std::chrono::microseconds(0), false},
          Slowness{"one long call", std::chrono::microseconds(20000), true},
          Slowness{"a run of slow calls", std::chrono::microseconds(1000), false}}) {
        const bool slow = slowness.each.count() > 0;
        WalkOptions options;
        options.readAheadThreads = -1;
        options.onCall = [=](std::string_view path) {
            if (slow && (!slowness.onlyInFirst || path.substr(0, first.size()) == first))
                std::this_thread::sleep_for(slowness.each);
        };
        int mostReaders = 0;
        const WalkRecord ahead = walkWith(root, Pictures, -1, options, [&](LogSink& sink) {
            sink.onFolder = [&](const std::string&) { mostReaders = std::max(mostReaders, readerThreads()); };
        });
        COMPARE_WALKS(plain, ahead);
        QVERIFY2(mostReaders >= 1, slowness.what);
        if (slow) {
            QVERIFY2(ahead.statistics.listingsReadAhead > 0, slowness.what);
            QVERIFY2(mostReaders > 2,
                     (std::string(slowness.what) + ": " + std::to_string(mostReaders)).c_str());
        }
    }
}

void TstWalker::readersLeaveTheNextFolderToTheWalk()
{
    // A chain of folders, each holding one sub-folder and a picture, on a drive that takes
    // 3 ms a folder: at any moment the one folder left to read is the one the walk enters
    // next, which it lists itself. So the readers read nothing, and they wait meanwhile
    // rather than look for work over and over.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    std::string folder = root;
    for (int i = 0; i < 60; ++i) {
        folder += "/k" + std::to_string(i);
        makeFolder(folder);
        makeFile(folder + "/bild.jpg");
    }
    letTreeSettle();
    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QCOMPARE(plain.result, 60);

    for (const int readers : {-1, 2}) {
        WalkOptions options;
        options.readAheadThreads = readers;
        options.onCall = [](std::string_view) { std::this_thread::sleep_for(std::chrono::milliseconds(3)); };
        struct rusage before, after;
        ::getrusage(RUSAGE_SELF, &before);
        const auto began = std::chrono::steady_clock::now();
        const WalkRecord ahead = walkWith(root, Pictures, -1, options);
        const auto wall = std::chrono::steady_clock::now() - began;
        ::getrusage(RUSAGE_SELF, &after);
        COMPARE_WALKS(plain, ahead);
        QCOMPARE(ahead.statistics.listingsReadAhead, size_t(0));
        // The walk sleeps through most of its time; a reader that kept looking for work
        // would use a core for all of it.
        const auto cpu = [](const struct rusage& r) {
            return std::chrono::seconds(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                   std::chrono::microseconds(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
        };
        const auto used = cpu(after) - cpu(before);
        QVERIFY2(used < wall / 2,
                 (std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(used).count()) +
                  " ms of CPU in " +
                  std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()) + " ms")
                     .c_str());
    }
}

void TstWalker::readAheadSeesFoldersChangedAfterTheyWereRead()
{
    // Folders met late in the walk change while it is in the first one, after the readers
    // had time to list them: one vanishes, one is swapped for a link to a folder holding
    // other files, one is replaced by another folder, one becomes unreadable, one gets a
    // new file. Both walks must see the tree as it is when they reach each folder.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    const std::string t = root + "/t";
    // Roles go by listing order, so that the changed folders come after the first one.
    std::string first, gone, swapped, replaced, locked, grows;
    const auto setUp = [&] {
        removeTreeByBytes(t);
        makeFolder(t);
        for (int i = 0; i < 8; ++i) {
            const std::string f = t + "/k" + std::to_string(i);
            makeFolder(f);
            makeFile(f + "/in.jpg");
            makeFolder(f + "/inner");
            makeFile(f + "/inner/tief.jpg");
        }
        const std::vector<std::string> order = listingOrder(t);
        first = t + "/" + order[0];
        gone = t + "/" + order[1];
        swapped = t + "/" + order[2];
        replaced = t + "/" + order[3];
        locked = t + "/" + order[4];
        grows = t + "/" + order[5];
        makeFolder(first + "/warte");
        makeFolder(root + "/elsewhere");
        makeFile(root + "/elsewhere/fremd.jpg");
        makeFolder(root + "/other");
        makeFile(root + "/other/anders.jpg");
    };
    const auto change = [&](LogSink& sink) {
        setUp();
        letTreeSettle();
        sink.onFolder = [&, done = false](const std::string& folder) mutable {
            if (done || folder != first + "/warte/")
                return;
            done = true;
            ::usleep(100 * 1000); // the readers list everything queued meanwhile
            removeTreeByBytes(gone);
            QCOMPARE(::rename(swapped.c_str(), (root + "/swapped-away").c_str()), 0);
            QCOMPARE(::symlink((root + "/elsewhere").c_str(), swapped.c_str()), 0);
            QCOMPARE(::rename(replaced.c_str(), (root + "/replaced-away").c_str()), 0);
            QCOMPARE(::rename((root + "/other").c_str(), replaced.c_str()), 0);
            QCOMPARE(::chmod(locked.c_str(), 0), 0);
            makeFile(grows + "/inner/neu.jpg");
        };
    };
    const auto cleanUp = [&] {
        ::chmod(locked.c_str(), 0755);
        for (const char* name : {"/swapped-away", "/replaced-away", "/elsewhere", "/other"})
            removeTreeByBytes(root + name);
    };

    const WalkRecord plain = walkWith(t, Pictures, -1, 0, change);
    cleanUp();
    const WalkRecord ahead = walkWith(t, Pictures, -1, 4, change);
    cleanUp();
    COMPARE_WALKS(plain, ahead);
    QVERIFY(ahead.statistics.listingsReadAhead > 0);

    const auto has = [&](const std::string& path) {
        return std::any_of(ahead.log.begin(), ahead.log.end(),
                           [&](const std::string& line) { return line.rfind("H " + path + " ", 0) == 0; });
    };
    QVERIFY(has(first + "/in.jpg"));
    QVERIFY(!has(gone + "/in.jpg"));
    QVERIFY(!has(swapped + "/in.jpg"));
    QVERIFY(!has(swapped + "/fremd.jpg"));
    QVERIFY(has(replaced + "/anders.jpg"));
    QVERIFY(!has(replaced + "/in.jpg"));
    QVERIFY(has(grows + "/inner/neu.jpg"));
    if (::geteuid() != 0)
        QVERIFY(!has(locked + "/in.jpg"));
}

void TstWalker::readAheadInDeepTreeWithFewDescriptors()
{
    // 300 levels of 20-byte names, each with a picture and a side branch: deeper than any
    // path an open by path accepts and than the descriptors the walk may hold.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(parent >= 0);
    const int levels = 300;
    for (int i = 0; i < levels; ++i) {
        char name[21];
        std::snprintf(name, sizeof name, "Ebene_%014d", i);
        QCOMPARE(::mkdirat(parent, name, 0755), 0);
        QCOMPARE(::mkdirat(parent, "Seite", 0755), 0);
        const int side = ::openat(parent, "Seite", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(side >= 0);
        ::close(::openat(side, "seite.jpg", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::close(side);
        ::close(::openat(parent, "bild.jpg", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        const int child = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(parent);
        QVERIFY(child >= 0);
        parent = child;
    }
    ::close(parent);
    letTreeSettle();

    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QCOMPARE(plain.result, 2 * levels);
    const WalkRecord ahead = walkWith(root, Pictures, -1, 4);
    COMPARE_WALKS(plain, ahead);
    QVERIFY(ahead.statistics.listingsReadAhead > 0);

    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    for (rlim_t limit : {rlim_t(24), rlim_t(80), rlim_t(200)}) {
        struct rlimit low = saved;
        low.rlim_cur = limit;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        const WalkRecord fewPlain = walkWith(root, Pictures, -1, 0);
        const WalkRecord fewAhead = walkWith(root, Pictures, -1, 4);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        COMPARE_WALKS(plain, fewPlain);
        COMPARE_WALKS(plain, fewAhead);
    }
    removeContentsAt(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void TstWalker::readAheadStaysNearTheTopOfAVeryDeepTree()
{
    // 1000 levels with a picture each. What the readers keep per folder grows with its
    // depth, so they take on the upper levels only; below those the walk lists the folders
    // itself, with and without its guard, and finds the same.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    const int levels = 1000;
    int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(parent >= 0);
    for (int i = 0; i < levels; ++i) {
        ::close(::openat(parent, "b.jpg", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        QCOMPARE(::mkdirat(parent, "d", 0755), 0);
        const int child = ::openat(parent, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(parent);
        QVERIFY(child >= 0);
        parent = child;
    }
    ::close(parent);
    letTreeSettle();

    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QCOMPARE(plain.result, levels);
    for (const bool guarded : {false, true}) {
        auto deepest = std::make_shared<std::atomic<size_t>>(0);
        WalkOptions options;
        options.readAheadThreads = 4;
        options.guardCalls = guarded;
        options.onCall = [deepest, rootSize = root.size()](std::string_view path) {
            char name[32] = {};
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            if (std::string_view(name) != "walk reader" || path.size() <= rootSize)
                return;
            const size_t steps = size_t(std::count(path.begin() + rootSize, path.end(), '/'));
            size_t seen = deepest->load();
            while (steps > seen && !deepest->compare_exchange_weak(seen, steps)) {
            }
        };
        fotarik::search::WalkStatistics statistics;
        options.statistics = &statistics;
        LogSink sink;
        int32_t total = 0;
        const int16_t withSub = -1;
        const int threads = threadCount();
        QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink, options), plain.result);
        QCOMPARE(total, plain.total);
        QVERIFY(threadsBackTo(threads));
        std::vector<std::string> a = plain.log, b = sink.log;
        a.erase(std::remove(a.begin(), a.end(), "C"), a.end());
        b.erase(std::remove(b.begin(), b.end(), "C"), b.end());
        QVERIFY2(a == b, firstDifference(a, b).c_str());
        // The guarded walk waits for the readers; the other one lists a folder itself when
        // it gets there first, which in a chain of single folders it mostly does.
        if (guarded)
            QVERIFY(statistics.listingsReadAhead > 0);
        QVERIFY(statistics.listingsReadAhead <= fotarik::search::detail::MaxReadAheadDepth);
        QVERIFY2((!guarded || deepest->load() > 0) &&
                     deepest->load() <= fotarik::search::detail::MaxReadAheadDepth,
                 std::to_string(deepest->load()).c_str());
    }
    removeContentsAt(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void TstWalker::readAheadWithHugeFolders()
{
    // One folder of 200 000 entries (more than a reader takes on) and one of 20 000
    // (read ahead whole), among ordinary ones.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    for (const char* name : {"a", "riesig", "m", "gross", "z"}) {
        makeFolder(root + "/" + name);
        makeFile(root + "/" + name + "/x.jpg");
    }
    // Hard links: names are all the walk reads, and links are made faster than files (a
    // file takes some 65 000 links at most).
    QTemporaryDir sources;
    int links = 0;
    const auto makeLink = [&](const std::string& name) {
        const std::string source = tempRoot(sources) + "/q" + std::to_string(links++ / 50000);
        if (links % 50000 == 1)
            makeFile(source);
        QVERIFY(::link(source.c_str(), name.c_str()) == 0);
    };
    for (int i = 0; i < 200000; ++i)
        makeLink(root + "/riesig/n" + std::to_string(i) + (i % 10 == 0 ? ".jpg" : ".txt"));
    for (int i = 0; i < 20000; ++i)
        makeLink(root + "/gross/n" + std::to_string(i) + (i % 4 == 0 ? ".jpeg" : ".dat"));
    makeFolder(root + "/gross/unten");
    makeFile(root + "/gross/unten/y.jpg");
    letTreeSettle();

    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    QCOMPARE(plain.result, 5 + 20000 + 5000 + 1);
    const WalkRecord ahead = walkWith(root, Pictures, -1, 4);
    COMPARE_WALKS(plain, ahead);
    QVERIFY(ahead.statistics.listingsReadAhead > 0);
    QVERIFY(ahead.statistics.peakReadAheadBytes <= 48u * 1024 * 1024);
}

void TstWalker::readAheadCancelledInTheMiddle()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    int budget = 800;
    makeRandomTree(root, 99, 6, budget);
    letTreeSettle();
    const int threads = threadCount();

    const WalkRecord full = walkWith(root, Pictures, -1, 0);
    for (int at : {1, 2, 7, 50, 300}) {
        const auto cancelAt = [at](LogSink& sink) { sink.cancelAfterFolders = at; };
        const WalkRecord plain = walkWith(root, Pictures, -1, 0, cancelAt);
        const WalkRecord ahead = walkWith(root, Pictures, -1, 4, cancelAt);
        COMPARE_WALKS(plain, ahead);
        QVERIFY(plain.result < full.result);
        QCOMPARE(plain.result, plain.hits);
        // The walk stops at once: the last thing it does is the check that said stop.
        QCOMPARE(ahead.log.back(), std::string("C"));
        QVERIFY(ahead.threadsGone);
    }

    // An error ends the walk with an exception; the readers are gone all the same.
    LogSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    WalkOptions options;
    options.readAheadThreads = 4;
    QVERIFY_THROWS_EXCEPTION(RaisedError, SearchFolder(root, "*.JPG;[a", withSub, total, sink, options));
    QVERIFY(threadsBackTo(threads));
}

void TstWalker::guardedWalkEqualsPlainWalk()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    int budget = 400;
    makeRandomTree(root, 123, 5, budget);
    const WalkRecord plain = walkWith(root, Pictures, -1, 0);
    // From the cache, and from a drive that takes 6 ms a folder: there the walk starts more
    // readers than the two it begins with.
    for (const bool slow : {false, true}) {
        struct Readers
        {
            std::mutex mutex;
            std::set<pthread_t> seen;
        };
        auto readers = std::make_shared<Readers>();
        LogSink sink;
        WalkOptions options;
        options.guardCalls = true;
        options.onCall = [readers, slow](std::string_view) {
            char name[32] = {};
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            if (std::string_view(name) != "walk reader")
                return;
            {
                const std::lock_guard lock(readers->mutex);
                readers->seen.insert(::pthread_self());
            }
            if (slow)
                std::this_thread::sleep_for(std::chrono::milliseconds(6));
        };
        fotarik::search::WalkStatistics statistics;
        options.statistics = &statistics;
        int32_t total = 0;
        const int16_t withSub = -1;
        const int threads = threadCount();
        QCOMPARE(SearchFolder(root, Pictures, withSub, total, sink, options), plain.result);
        QCOMPARE(total, plain.total);
        // The folders below the start come from the readers, which are gone afterwards.
        QVERIFY(statistics.listingsReadAhead > 0);
        QVERIFY(threadsBackTo(threads));
        if (slow)
            QVERIFY2(readers->seen.size() > 2, std::to_string(readers->seen.size()).c_str());
        // Waits on a call may ask for a cancel more often; everything else is the same.
        std::vector<std::string> a = plain.log, b = sink.log;
        a.erase(std::remove(a.begin(), a.end(), "C"), a.end());
        b.erase(std::remove(b.begin(), b.end(), "C"), b.end());
        QVERIFY2(a == b, firstDifference(a, b).c_str());
    }
}

void TstWalker::guardedWalkSeesFoldersChangedJustAfterTheyWereRead()
{
    // The window's walk takes its listings from the readers. Four folders met after the
    // first change moments after a reader listed them, while the walk is in the first one:
    // one gets a new file, one is swapped for another folder by two renames, one is
    // removed, one trades places with another folder in one exchange. The walk must see
    // each as it is when it gets there; the folders that did not change are taken as read,
    // without looking their names up again.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    const std::string t = root + "/t";
    makeFolder(t);
    for (int i = 0; i < 6; ++i) {
        const std::string f = t + "/k" + std::to_string(i);
        makeFolder(f);
        makeFile(f + "/in.jpg");
        makeFolder(f + "/inner");
        makeFile(f + "/inner/tief.jpg");
    }
    makeFolder(root + "/other");
    makeFile(root + "/other/anders.jpg");
    makeFolder(root + "/third");
    makeFile(root + "/third/dritte.jpg");
    const std::vector<std::string> order = listingOrder(t);
    const std::string first = t + "/" + order[0];
    const std::string grows = t + "/" + order[1];
    const std::string swapped = t + "/" + order[2];
    const std::string gone = t + "/" + order[3];
    const std::string exchanged = t + "/" + order[4];
    letTreeSettle();

    struct Seen
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> byReaders;
        std::vector<std::string> byTheGuard;
    };
    auto seen = std::make_shared<Seen>();
    WalkOptions options;
    options.guardCalls = true;
    options.readAheadThreads = 4;
    options.onCall = [seen](std::string_view path) {
        char name[32] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        std::lock_guard lock(seen->mutex);
        (std::string_view(name) == "walk reader" ? seen->byReaders : seen->byTheGuard).emplace_back(path);
        seen->changed.notify_all();
    };
    fotarik::search::WalkStatistics statistics;
    options.statistics = &statistics;
    bool readBeforeTheChange = false;
    RecordingSink sink;
    sink.onFolder = [&](const std::string& folder) {
        if (folder != first + "/")
            return;
        // Both folders have been listed once a reader goes on to their sub-folders.
        std::unique_lock lock(seen->mutex);
        readBeforeTheChange = seen->changed.wait_for(lock, std::chrono::seconds(10), [&] {
            const auto& r = seen->byReaders;
            const auto read = [&](const std::string& path) {
                return std::find(r.begin(), r.end(), path) != r.end();
            };
            return read(grows + "/inner") && read(swapped + "/inner") && read(gone + "/inner") &&
                   read(exchanged + "/inner");
        });
        lock.unlock();
        makeFile(grows + "/neu.jpg");
        QCOMPARE(::rename(swapped.c_str(), (root + "/swapped-away").c_str()), 0);
        QCOMPARE(::rename((root + "/other").c_str(), swapped.c_str()), 0);
        removeTreeByBytes(gone);
        QCOMPARE(
            ::renameat2(AT_FDCWD, (root + "/third").c_str(), AT_FDCWD, exchanged.c_str(), RENAME_EXCHANGE),
            0);
    };
    int32_t total = 0;
    const int16_t withSub = -1;
    SearchFolder(t, Pictures, withSub, total, sink, options);
    QVERIFY(readBeforeTheChange);

    const std::vector<std::string> hits = sink.hitPaths();
    const auto has = [&](const std::string& path) {
        return std::find(hits.begin(), hits.end(), path) != hits.end();
    };
    QVERIFY(has(first + "/in.jpg"));
    QVERIFY(has(grows + "/in.jpg"));
    QVERIFY(has(grows + "/neu.jpg"));
    QVERIFY(has(swapped + "/anders.jpg"));
    QVERIFY(!has(swapped + "/in.jpg"));
    QVERIFY(!has(swapped + "/inner/tief.jpg"));
    QVERIFY(!has(gone + "/in.jpg"));
    QVERIFY(!has(gone + "/inner/tief.jpg"));
    QVERIFY(has(exchanged + "/dritte.jpg"));
    QVERIFY(!has(exchanged + "/in.jpg"));
    QVERIFY(!has(exchanged + "/inner/tief.jpg"));
    for (size_t i = 5; i < order.size(); ++i)
        QVERIFY(has(t + "/" + order[i] + "/inner/tief.jpg"));
    QCOMPARE(total, int32_t(hits.size()));
    // 2 a folder, one new, one each in the folders swapped in, none in the one removed.
    QCOMPARE(total, 2 * 6 + 1 - 2 + 1 - 2 - 2 + 1);
    QVERIFY(statistics.listingsReadAhead > 0);
    // The walk's own guarded calls list the start folder and the two changed folders; the
    // names of the folders in the changed one are looked up again once it changed; nothing
    // below an unchanged folder is looked at: that is taken as the readers read it.
    std::lock_guard lock(seen->mutex);
    for (const std::string& path : seen->byTheGuard) {
        const bool changed = path.rfind(grows, 0) == 0 || path.rfind(swapped, 0) == 0 ||
                             path.rfind(gone, 0) == 0 || path.rfind(exchanged, 0) == 0;
        const bool nameInStart =
            path.rfind(t + "/", 0) == 0 && path.find('/', t.size() + 1) == std::string::npos && path != first;
        QVERIFY2(path == t || path == t + "/" || changed || nameInStart, path.c_str());
    }
    removeTreeByBytes(root + "/swapped-away");
    removeTreeByBytes(root + "/third");
}

void TstWalker::guardedCallThatHangsIsGivenUpOnCancel()
{
    // The open of one folder blocks (as on a mount that never answers) until the test ends;
    // a cancel asked for while the walk waits on it ends the walk at once with the hits so far.
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    makeFile(root + "/a.jpg");
    makeFolder(root + "/haengt");
    makeFile(root + "/haengt/nie.jpg");
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable open;
        bool released = false;
        std::atomic<bool> entered{false};
    };
    auto gate = std::make_shared<Gate>();
    WalkOptions options;
    options.guardCalls = true;
    options.onCall = [gate, hung = root + "/haengt"](std::string_view path) {
        if (path != hung)
            return;
        gate->entered = true;
        std::unique_lock lock(gate->mutex);
        gate->open.wait(lock, [&] { return gate->released; });
    };
    int servedWhileWaiting = 0;
    int32_t total = 0;
    const int16_t withSub = -1;
    // Cancel once the walk is seen serving events while the open hangs.
    class CancelWhenHung : public RecordingSink
    {
    public:
        explicit CancelWhenHung(Gate& g, int& n) : m_gate(g), m_n(n) {}
        void serveEventsWhileListing() override
        {
            if (m_gate.entered) {
                ++m_n;
                cancel = true;
            }
        }

    private:
        Gate& m_gate;
        int& m_n;
    } cancelling(*gate, servedWhileWaiting);
    const int32_t result = SearchFolder(root, Pictures, withSub, total, cancelling, options);
    QVERIFY(gate->entered);
    QCOMPARE(servedWhileWaiting, 1);
    QVERIFY(result <= 1);
    QCOMPARE(int32_t(cancelling.hits.size()), result);
    for (const Hit& h : cancelling.hits)
        QCOMPARE(h.path, root + "/a.jpg");
    {
        std::lock_guard lock(gate->mutex);
        gate->released = true;
    }
    gate->open.notify_all();
}

// Mounts met inside the tree: the folders of another file system are walked, those of a
// pseudo file system are not (also one mounted while the walk runs, and one whose mount
// point has a blank in its name), and a folder bound inside itself is walked once more
// through the binding, not endlessly. The same with reading ahead and with guarded calls.
void TstWalker::mountPointsInsideTheTree()
{
    const QString why = privateMountNamespace();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    TestMounts mounts;
    makeFolder(root + "/a");
    makeFolder(root + "/a/m");
    QVERIFY(mounts.mount("fotarik-test", root + "/a/m", "tmpfs", 0, "size=1m"));
    makeFile(root + "/a/m/innen.jpg");
    makeFolder(root + "/a/m/sub");
    makeFile(root + "/a/m/sub/tiefer.jpg");
    makeFolder(root + "/pro c");
    QVERIFY(mounts.mount("proc", root + "/pro c", "proc", 0));
    makeFolder(root + "/b");
    makeFile(root + "/b/x.jpg");
    makeFolder(root + "/b/selbst");
    QVERIFY(mounts.mount(root + "/b", root + "/b/selbst", nullptr, MS_BIND));
    makeFolder(root + "/spaet");
    makeFolder(root + "/spaet/q");
    makeFile(root + "/spaet/q/verdeckt.jpg"); // hidden by the mount made while walking
    letTreeSettle();

    const std::vector<std::string> expected = {root + "/a/m/innen.jpg", root + "/a/m/sub/tiefer.jpg",
                                               root + "/b/selbst/x.jpg", root + "/b/x.jpg"};
    for (const char* mode : {"plain", "read ahead", "guarded"}) {
        RecordingSink sink;
        bool enteredPseudo = false;
        sink.onFolder = [&](const std::string& folder) {
            if (folder.rfind(root + "/pro c/", 0) == 0 || folder.rfind(root + "/spaet/q/", 0) == 0)
                enteredPseudo = true;
            if (folder == root + "/")
                ::usleep(100 * 1000); // the readers go as far as they may meanwhile
            if (folder == root + "/spaet/") {
                // The listing of spaet is read; q becomes a mount point before it is entered,
                // and the walk has time to notice the changed mount table.
                QVERIFY(mounts.mount("proc", root + "/spaet/q", "proc", 0));
                ::usleep(120 * 1000);
            }
        };
        WalkOptions options;
        // The guarded walk as the window's, with the readers it picks.
        options.readAheadThreads = std::string_view(mode) == "read ahead" ? 2
                                   : std::string_view(mode) == "plain"    ? 0
                                                                          : -1;
        options.guardCalls = std::string_view(mode) == "guarded";
        // The window's readers keep out of a mount of another file system: they look at a
        // folder named like a mount point before they list it.
        auto readIntoProc = std::make_shared<std::atomic<bool>>(false);
        options.onCall = [readIntoProc, proc = root + "/pro c/"](std::string_view path) {
            char name[32] = {};
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            if (std::string_view(name) == "walk reader" && path.substr(0, proc.size()) == proc)
                *readIntoProc = true;
        };
        int32_t total = 0;
        const int16_t withSub = -1;
        const int32_t result = SearchFolder(root, Pictures, withSub, total, sink, options);
        mounts.unmount(root + "/spaet/q");
        std::vector<std::string> paths = sink.hitPaths();
        std::sort(paths.begin(), paths.end());
        QVERIFY2(paths == expected, mode);
        QCOMPARE(result, int32_t(expected.size()));
        QVERIFY2(!enteredPseudo, mode);
        QVERIFY2(!*readIntoProc, mode);
        QVERIFY2(std::find(sink.folders.begin(), sink.folders.end(), root + "/b/selbst/") !=
                     sink.folders.end(),
                 mode);
    }
}

// Builds under root: folders e0 ... e(levels-1) nested, returning the innermost path.
static std::string nestedFolders(const std::string& root, int levels, const char* name)
{
    std::string folder = root;
    for (int i = 0; i < levels; ++i) {
        folder += "/" + std::string(name) + std::to_string(i);
        makeFolder(folder);
    }
    return folder;
}

// The two sub-folders k1 and k2 of x, in the order x lists them.
static std::pair<std::string, std::string> twoSubFoldersInListingOrder(const std::string& x)
{
    makeFolder(x + "/k1");
    makeFolder(x + "/k2");
    const std::vector<std::string> order = listingOrder(x);
    return {x + "/" + order.at(0), x + "/" + order.at(1)};
}

// With few descriptors the folders deep down let theirs go and are opened again by name
// from the nearest ancestor still open, each checked to be the folder walked before: a
// mount point on the way (another file system's root) passes that check.
void TstWalker::deepFolderOpenedAgainAcrossAMountPoint()
{
    const QString why = privateMountNamespace();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    TestMounts mounts;
    const std::string point = nestedFolders(root, 6, "e");
    QVERIFY(mounts.mount("fotarik-test", point, "tmpfs", 0, "size=4m"));
    makeFolder(point + "/x");
    const auto [first, second] = twoSubFoldersInListingOrder(point + "/x");
    const std::string bottom = nestedFolders(first, 14, "t");
    makeFile(bottom + "/unten.jpg");
    makeFile(second + "/zweiter.jpg");

    FewDescriptors few(48);
    QVERIFY(few.set());
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    few.restore();

    QCOMPARE(sink.hitPaths(), (std::vector<std::string>{bottom + "/unten.jpg", second + "/zweiter.jpg"}));
    QCOMPARE(result, 2);
}

// A deep folder swapped for another one while its first sub-folder is walked: when the walk
// comes back to it for the next sub-folder, the folder now under its name is not the one
// listed, and nothing of it is reported.
void TstWalker::deepFolderSwappedWhileWalkedIsNotWalkedOn()
{
    QTemporaryDir dir;
    const std::string root = tempRoot(dir);
    const std::string x = nestedFolders(root, 6, "e") + "/x";
    makeFolder(x);
    const auto [first, second] = twoSubFoldersInListingOrder(x);
    const std::string bottom = nestedFolders(first, 14, "t");
    makeFile(bottom + "/unten.jpg");
    makeFile(second + "/zweiter.jpg");
    const std::string secondName = second.substr(x.size());

    FewDescriptors few(48);
    QVERIFY(few.set());
    RecordingSink sink;
    bool swapped = false;
    sink.onFolder = [&](const std::string& folder) {
        if (folder != bottom + "/")
            return;
        swapped = ::rename(x.c_str(), (x + ".weg").c_str()) == 0;
        makeFolder(x);
        makeFolder(x + secondName);
        makeFile(x + secondName + "/fremd.jpg");
    };
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    few.restore();

    QVERIFY(swapped);
    QCOMPARE(sink.hitPaths(), (std::vector<std::string>{bottom + "/unten.jpg"}));
    QCOMPARE(result, 1);
    for (const std::string& folder : sink.folders)
        QVERIFY2(folder.rfind(x + secondName, 0) != 0, folder.c_str());
}

QTEST_APPLESS_MAIN(TstWalker)
#include "tst_walker.moc"
