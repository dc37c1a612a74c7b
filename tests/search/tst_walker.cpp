#include "raisederror.h"
#include "testfiles.h"
#include "walker.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using fotarik::RaisedError;
using fotarik::test::makeFile;
using fotarik::test::makeFolder;
using fotarik::test::removeTreeByBytes;
using fotarik::search::SearchFolder;
using fotarik::search::WalkSink;

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

std::string tempRoot(const QTemporaryDir& dir)
{
    return dir.path().toStdString();
}

} // namespace

class TestWalker : public QObject
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
};

void TestWalker::hitsCarryTheNormalisedFolderAndRunningTotal()
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

void TestWalker::subFolderHitsComeWhereTheSubFolderIsListed()
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

void TestWalker::subFoldersOffCountsFoldersWithoutListingThem()
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

void TestWalker::skipNamesAreExactCase()
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

void TestWalker::eventsAreServedOncePerFolderAndTheFolderShownOnce()
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

void TestWalker::cancelKeepsTheHitsFoundBefore()
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

void TestWalker::folderThatCannotBeListedIsSkipped()
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

void TestWalker::unreadableFolderIsSkipped()
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

void TestWalker::linksAreNeverEntered()
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

void TestWalker::namesPassThroughAsBytes()
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

void TestWalker::nameMatchingTwoElementsIsOneHit()
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

void TestWalker::invalidPatternEndsTheWalkAtTheFirstFile()
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

void TestWalker::manyFilesInOneFolder()
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

void TestWalker::deepTreeWithFewDescriptors()
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
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 48;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
    RecordingSink sink;
    int32_t total = 0;
    const int16_t withSub = -1;
    const int32_t result = SearchFolder(root, Pictures, withSub, total, sink);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    QCOMPARE(result, levels);
    QCOMPARE(sink.hits.size(), size_t(levels));
    const std::vector<std::string> paths = sink.hitPaths();
    QVERIFY(std::find(paths.begin(), paths.end(), folder + "/bild.jpg") != paths.end());
    QCOMPARE(sink.served, levels + 1);
}

void TestWalker::startFolderThatCannotBeListedGivesZero()
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
void TestWalker::pseudoFileSystemMountsAreNotEntered()
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

QTEST_APPLESS_MAIN(TestWalker)
#include "tst_walker.moc"
