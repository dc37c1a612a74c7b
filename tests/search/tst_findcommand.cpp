// `fotarik --find` run as a user runs it: the built program, its output streams and status.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <QDeadlineTimer>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "budgets.h"
#include "hangfsmount.h"
#include "testfiles.h"

namespace budget = fotarik::budget;
using fotarik::test::HangFsMount;
using fotarik::test::makeFile;
using fotarik::test::makeFolder;
using fotarik::test::makeFolderChain;
using fotarik::test::removeContentsIteratively;
using fotarik::test::removeTreeByBytes;

namespace {

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Arguments go to the program as bytes, so names that are not UTF-8 can be passed.
Outcome runFind(const QList<QByteArray>& args)
{
    QProcess p;
    QStringList list{QStringLiteral("--find")};
    for (const QByteArray& a : args)
        list << QFile::decodeName(a);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(FOTARIK_EXECUTABLE), list);
    if (!p.waitForFinished(60000))
        return {};
    Outcome o;
    o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

// Runs `fotarik --find` with its output in files and waits for it, for the peak memory
// of that one child (wait4 reports it).
struct MeasuredOutcome
{
    int exitCode = -1;
    long peakKiB = 0;
};

// Starts `fotarik --find` with its output in files; -1 when it cannot be started.
pid_t spawnFind(const QList<QByteArray>& args, const QByteArray& outFile, const QByteArray& errFile)
{
    std::vector<QByteArray> owned{QByteArray(FOTARIK_EXECUTABLE), QByteArray("--find")};
    for (const QByteArray& a : args)
        owned.push_back(a);
    std::vector<char*> argv;
    for (QByteArray& a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

MeasuredOutcome runFindMeasured(const QList<QByteArray>& args, const QByteArray& outFile,
                                const QByteArray& errFile)
{
    MeasuredOutcome o;
    const pid_t pid = spawnFind(args, outFile, errFile);
    if (pid < 0)
        return o;
    int status = 0;
    struct rusage usage
    {
    };
    if (::wait4(pid, &status, 0, &usage) != pid)
        return o;
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.peakKiB = usage.ru_maxrss;
    return o;
}

// A `fotarik --find` started by a test: killed and reaped when the test ends, also when it
// failed. Declared before the test's file system mount, so that the mount's server is
// killed first (a process stuck in a call on it cannot end before).
class Child
{
public:
    Child() = default;
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            wait();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void adopt(pid_t pid) { m_pid = pid; }
    pid_t pid() const { return m_pid; }
    // Its status once it has ended; -1 while it runs (or when it was never started).
    int poll()
    {
        int status = 0;
        if (m_pid <= 0 || ::waitpid(m_pid, &status, WNOHANG) != m_pid)
            return -1;
        m_pid = -1;
        return status;
    }
    int wait()
    {
        int status = 0;
        while (m_pid > 0 && ::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
};

QByteArray readAll(const QByteArray& path)
{
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray lastLine(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    while (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    return lines.isEmpty() ? QByteArray() : lines.back();
}

QList<QByteArray> sortedLines(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

class TstFindCommand : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultPatternsFindPicturesInAllSubFolders();
    void patternTextIsPreparedLikeTheSearchRun();
    void noSubFoldersCountsFolders();
    void rawBytesOfNamesAreWritten();
    void nulSeparatedOutputKeepsNamesWithLineBreaks();
    void treeDeeperThanPathMaxGivesEveryHit();
    void twentyThousandLevelsInBoundedMemory();
    void invalidPatternExitsWith2();
    void unlistableFolderExitsWith2();
    void missingFolderArgumentExitsWith2();
    void stopSignalEndsAWalkStuckInAListing();
    void slowDriveGivesEveryHit();
    void endlessTreeEndsOnAStopSignal();

private:
    QTemporaryDir* m_dir = nullptr;
    QByteArray m_root;
};

void TstFindCommand::init()
{
    m_dir = new QTemporaryDir;
    m_root = QFile::encodeName(m_dir->path());
    makeFile(m_root + "/a.jpg");
    makeFile(m_root + "/b.JPEG");
    makeFile(m_root + "/c.jfif");
    makeFile(m_root + "/d.Jpe");
    makeFile(m_root + "/e.png");
    makeFile(m_root + "/f.jpg.bak");
    makeFolder(m_root + "/Unter Ordner");
    makeFile(m_root + "/Unter Ordner/g.jpg");
    makeFile(m_root + "/Unter Ordner/notiz.txt");
    makeFolder(m_root + "/leer");
}

void TstFindCommand::cleanup()
{
    // Qt cannot remove names that are not UTF-8, nor paths beyond PATH_MAX; rm can.
    QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), QFile::decodeName(m_root)});
    delete m_dir;
    m_dir = nullptr;
}

void TstFindCommand::defaultPatternsFindPicturesInAllSubFolders()
{
    const Outcome o = runFind({m_root});
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(sortedLines(o.out),
             (QList<QByteArray>{m_root + "/Unter Ordner/g.jpg", m_root + "/a.jpg", m_root + "/b.JPEG",
                                m_root + "/c.jfif", m_root + "/d.Jpe"}));
    QCOMPARE(lastLine(o.err), QByteArray("5"));

    // A trailing "/" on the folder is not doubled.
    const Outcome slash = runFind({m_root + "/"});
    QCOMPARE(sortedLines(slash.out), sortedLines(o.out));
}

void TstFindCommand::patternTextIsPreparedLikeTheSearchRun()
{
    const Outcome o = runFind({m_root, "  *.TXT;*.png;  "});
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(sortedLines(o.out), (QList<QByteArray>{m_root + "/Unter Ordner/notiz.txt", m_root + "/e.png"}));
    QCOMPARE(lastLine(o.err), QByteArray("2"));
}

void TstFindCommand::noSubFoldersCountsFolders()
{
    const Outcome o = runFind({m_root, "*.JPG", "--no-subfolders"});
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(o.out, m_root + "/a.jpg\n");
    // One file and the two sub-folders.
    QCOMPARE(lastLine(o.err), QByteArray("3"));

    const Outcome first = runFind({"--no-subfolders", m_root});
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(lastLine(first.err), QByteArray("6"));
}

void TstFindCommand::rawBytesOfNamesAreWritten()
{
    const QByteArray odd = m_root + "/Unter Ordner/kaputt\xff \xc3\xa4\nzwei.jpg";
    makeFile(odd);
    const Outcome o = runFind({m_root + "/Unter Ordner", "*.jpg"});
    QCOMPARE(o.exitCode, 0);
    QVERIFY(o.out.contains(odd + "\n"));
    QVERIFY(o.out.contains(m_root + "/Unter Ordner/g.jpg\n"));
    QCOMPARE(o.out.size(), odd.size() + 1 + (m_root + "/Unter Ordner/g.jpg\n").size());
    QCOMPARE(lastLine(o.err), QByteArray("2"));
}

void TstFindCommand::nulSeparatedOutputKeepsNamesWithLineBreaks()
{
    const QByteArray odd = m_root + "/Unter Ordner/zwei\nZeilen.jpg";
    makeFile(odd);
    const QList<QByteArray> expected{m_root + "/Unter Ordner/g.jpg",
                                     odd,
                                     m_root + "/a.jpg",
                                     m_root + "/b.JPEG",
                                     m_root + "/c.jfif",
                                     m_root + "/d.Jpe"};
    for (const QByteArray& option : {QByteArray("-0"), QByteArray("--print0")}) {
        const Outcome o = runFind({m_root, option});
        QCOMPARE(o.exitCode, 0);
        // Every path ends in a NUL, none in a line break of its own.
        QVERIFY(o.out.endsWith('\0'));
        QCOMPARE(o.out.count('\0'), expected.size());
        QList<QByteArray> paths = o.out.split('\0');
        QVERIFY(paths.back().isEmpty());
        paths.pop_back();
        std::sort(paths.begin(), paths.end());
        QList<QByteArray> sorted = expected;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(paths, sorted);
        // The count stays a line of its own on standard error.
        QCOMPARE(lastLine(o.err), QByteArray("6"));
    }
    // The option may come first too.
    const Outcome first = runFind({"-0", m_root, "*.jfif"});
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(first.out, m_root + "/c.jfif" + QByteArray(1, '\0'));
}

void TstFindCommand::treeDeeperThanPathMaxGivesEveryHit()
{
    // 300 levels of 20-byte names: the deepest paths are more than 6000 bytes long, beyond
    // what any single open by path accepts. Made level by level relative to the parent.
    const int levels = 300;
    int parent = ::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(parent >= 0);
    QByteArray deepest = m_root;
    for (int i = 0; i < levels; ++i) {
        const QByteArray name = QByteArray("Ebene_") + QByteArray::number(i).rightJustified(14, '0');
        QCOMPARE(name.size(), 20);
        QCOMPARE(::mkdirat(parent, name.constData(), 0755), 0);
        const int child = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(parent);
        QVERIFY(child >= 0);
        parent = child;
        for (const char* file : {"bild.jpg", "text.txt"}) {
            const int fd = ::openat(parent, file, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        deepest += "/" + name;
    }
    ::close(parent);
    QVERIFY(deepest.size() > PATH_MAX);

    const Outcome all = runFind({m_root, "*.jpg"});
    QCOMPARE(all.exitCode, 0);
    QList<QByteArray> hits = sortedLines(all.out);
    QCOMPARE(hits.size(), levels + 2); // and a.jpg, Unter Ordner/g.jpg
    QVERIFY(hits.contains(deepest + "/bild.jpg"));
    QCOMPARE(lastLine(all.err), QByteArray::number(levels + 2));

    // find walks such trees too: both name the same files.
    QProcess find;
    find.start(QStringLiteral("find"),
               {QFile::decodeName(m_root), QStringLiteral("-iname"), QStringLiteral("*.jpg")});
    QVERIFY(find.waitForFinished(60000));
    QCOMPARE(find.exitCode(), 0);
    QCOMPARE(sortedLines(find.readAllStandardOutput()), hits);
}

void TstFindCommand::twentyThousandLevelsInBoundedMemory()
{
    // Deeper than any walk that keeps its levels on the call stack survives; hits at
    // every thousandth level and at the deepest.
    const int levels = 20000;
    const QByteArray root = m_root + "/tief";
    makeFolder(root);
    makeFolderChain(root, levels, "d", "b.jpg", 1000);
    QByteArray expected;
    QByteArray path = root;
    for (int i = 0; i <= levels; ++i) {
        if (i % 1000 == 0 || i == levels)
            expected += path + "/b.jpg\n";
        path += "/d";
    }

    const QByteArray out = m_root + "/out.txt";
    const QByteArray err = m_root + "/err.txt";
    // With the readers the walk would choose and with none: the same hits in the same order.
    [[maybe_unused]] long plainKiB = 0; // read in the plain build only
    for (const char* readers : {"0", "-1", "4"}) {
        ::setenv("FOTARIK_READAHEAD_THREADS", readers, 1);
        const MeasuredOutcome o = runFindMeasured({root, "*.jpg"}, out, err);
        ::unsetenv("FOTARIK_READAHEAD_THREADS");
        QCOMPARE(o.exitCode, 0);
        QVERIFY2(readAll(out) == expected, readers);
        QCOMPARE(lastLine(readAll(err)), QByteArray("21"));
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer keeps freed memory in quarantine; the bound holds for the plain build.
        qInfo("peak memory with %s readers under the sanitizer: %ld KiB (not checked)", readers, o.peakKiB);
#else
        qInfo("peak memory with %s readers: %ld KiB", readers, o.peakKiB);
        QVERIFY2(o.peakKiB > 0 && o.peakKiB <= 64 * 1024, QByteArray::number(qint64(o.peakKiB)).constData());
        // The readers add their own few buffers, nothing that grows with the depth: a deep
        // tree costs them no more than a shallow one.
        if (plainKiB == 0)
            plainKiB = o.peakKiB;
        else
            QVERIFY2(o.peakKiB <= plainKiB + 8 * 1024,
                     (QByteArray(readers) + " readers: " + QByteArray::number(qint64(o.peakKiB)) +
                      " KiB, none: " + QByteArray::number(qint64(plainKiB)) + " KiB")
                         .constData());
#endif
    }
    removeContentsIteratively(root);
}

void TstFindCommand::invalidPatternExitsWith2()
{
    for (const QByteArray& pattern : {QByteArray("*.JPG;[a"), QByteArray("[z-a]")}) {
        const Outcome o = runFind({m_root, pattern});
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.err.contains("Ungültige Musterzeichenfolge"));
    }
}

void TstFindCommand::unlistableFolderExitsWith2()
{
    for (const QByteArray& folder : {m_root + "/fehlt", m_root + "/a.jpg"}) {
        const Outcome o = runFind({folder});
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.err.contains(folder));
    }
}

void TstFindCommand::missingFolderArgumentExitsWith2()
{
    for (const QList<QByteArray>& args :
         {QList<QByteArray>{}, QList<QByteArray>{""}, QList<QByteArray>{m_root, "*.jpg", "zuviel"}}) {
        const Outcome o = runFind(args);
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
    }
}

void TstFindCommand::stopSignalEndsAWalkStuckInAListing()
{
    // The root holds a.jpg, then "haengt", whose listing never answers. SIGTERM while the
    // walk waits there: the hit found so far and the count are written, and the program
    // ends by the signal (for good once the call it is stuck in returns).
    FOTARIK_REQUIRE_HANGFS();
    const QByteArray point = m_root + "/laufwerk";
    makeFolder(point);
    const QByteArray out = m_root + "/out", err = m_root + "/err";
    Child find;
    HangFsMount mount(QStringLiteral("readdir"), QFile::decodeName(point));
    QVERIFY(mount.mounted());
    find.adopt(spawnFind({point}, out, err));
    QVERIFY(find.pid() > 0);
    QTRY_VERIFY_WITH_TIMEOUT(mount.hangingRequests() > 0, budget::ms(budget::TestWait));
    QVERIFY(::kill(find.pid(), SIGTERM) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(readAll(err).endsWith("\n"), budget::ms(budget::TestHangGuard));
    QCOMPARE(lastLine(readAll(err)), QByteArray("1"));
    QCOMPARE(readAll(out), point + "/a.jpg\n");
    QVERIFY(!mount.guardFired());
    mount.remove();
    const int status = find.wait();
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGTERM);
}

void TstFindCommand::slowDriveGivesEveryHit()
{
    // Every request answered after 200 ms, three folders deep with a hit in each: the
    // read-ahead may start on such a drive, and the hits keep the walk's order.
    FOTARIK_REQUIRE_HANGFS();
    const QByteArray point = m_root + "/laufwerk";
    makeFolder(point);
    HangFsMount mount(QStringLiteral("slow"), QFile::decodeName(point));
    QVERIFY(mount.mounted());
    const Outcome o = runFind({point});
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(o.out,
             point + "/a.jpg\n" + point + "/d/a.jpg\n" + point + "/d/d/a.jpg\n" + point + "/d/d/d/a.jpg\n");
    QCOMPARE(lastLine(o.err), QByteArray("4"));
    QVERIFY(!mount.guardFired());
}

void TstFindCommand::endlessTreeEndsOnAStopSignal()
{
    // Every folder has a sub-folder: the walk goes down until SIGTERM, 2 s in, without
    // running out of anything, and writes one hit per level in depth order.
    FOTARIK_REQUIRE_HANGFS();
    const QByteArray point = m_root + "/laufwerk";
    makeFolder(point);
    const QByteArray out = m_root + "/out", err = m_root + "/err";
    Child find;
    HangFsMount mount(QStringLiteral("endless"), QFile::decodeName(point));
    QVERIFY(mount.mounted());
    find.adopt(spawnFind({point}, out, err));
    QVERIFY(find.pid() > 0);
    QTest::qWait(2000);
    QVERIFY(::kill(find.pid(), SIGTERM) == 0);
    int status = -1;
    QDeadlineTimer deadline(budget::ms(budget::TestHangGuard));
    while ((status = find.poll()) == -1 && !deadline.hasExpired())
        QTest::qWait(10);
    QVERIFY2(status != -1, "still running after the stop signal");
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGTERM);
    QList<QByteArray> lines = readAll(out).split('\n');
    QVERIFY(lines.size() > 1);
    QCOMPARE(lines.takeLast(), QByteArray());
    QByteArray folder = point + "/";
    for (const QByteArray& line : lines) {
        QCOMPARE(line, folder + "a.jpg");
        folder += "d/";
    }
    QCOMPARE(lastLine(readAll(err)), QByteArray::number(lines.size()));
    qInfo("levels walked: %lld", static_cast<long long>(lines.size()));
    QVERIFY(!mount.guardFired());
}

QTEST_APPLESS_MAIN(TstFindCommand)
#include "tst_findcommand.moc"
