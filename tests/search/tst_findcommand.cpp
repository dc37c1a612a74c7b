// `fotarik --find` run as a user runs it: the built program, its output streams and status.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testfiles.h"

using fotarik::test::makeFile;
using fotarik::test::makeFolder;
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

class TestFindCommand : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultPatternsFindPicturesInAllSubFolders();
    void patternTextIsPreparedLikeTheSearchRun();
    void noSubFoldersCountsFolders();
    void rawBytesOfNamesAreWritten();
    void invalidPatternExitsWith2();
    void unlistableFolderExitsWith2();
    void missingFolderArgumentExitsWith2();

private:
    QTemporaryDir* m_dir = nullptr;
    QByteArray m_root;
};

void TestFindCommand::init()
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

void TestFindCommand::cleanup()
{
    // Qt cannot remove names that are not UTF-8; remove by bytes first.
    removeTreeByBytes(m_root);
    delete m_dir;
    m_dir = nullptr;
}

void TestFindCommand::defaultPatternsFindPicturesInAllSubFolders()
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

void TestFindCommand::patternTextIsPreparedLikeTheSearchRun()
{
    const Outcome o = runFind({m_root, "  *.TXT;*.png;  "});
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(sortedLines(o.out), (QList<QByteArray>{m_root + "/Unter Ordner/notiz.txt", m_root + "/e.png"}));
    QCOMPARE(lastLine(o.err), QByteArray("2"));
}

void TestFindCommand::noSubFoldersCountsFolders()
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

void TestFindCommand::rawBytesOfNamesAreWritten()
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

void TestFindCommand::invalidPatternExitsWith2()
{
    for (const QByteArray& pattern : {QByteArray("*.JPG;[a"), QByteArray("[z-a]")}) {
        const Outcome o = runFind({m_root, pattern});
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.err.contains("Ungültige Musterzeichenfolge"));
    }
}

void TestFindCommand::unlistableFolderExitsWith2()
{
    for (const QByteArray& folder : {m_root + "/fehlt", m_root + "/a.jpg"}) {
        const Outcome o = runFind({folder});
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
        QVERIFY(o.err.contains(folder));
    }
}

void TestFindCommand::missingFolderArgumentExitsWith2()
{
    for (const QList<QByteArray>& args :
         {QList<QByteArray>{}, QList<QByteArray>{""}, QList<QByteArray>{m_root, "*.jpg", "zuviel"}}) {
        const Outcome o = runFind(args);
        QCOMPARE(o.exitCode, 2);
        QVERIFY(o.out.isEmpty());
        QCOMPARE(o.err.count('\n'), 1);
    }
}

QTEST_APPLESS_MAIN(TestFindCommand)
#include "tst_findcommand.moc"
