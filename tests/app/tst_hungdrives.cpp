// The search window with drives that answer slowly or not at all: a FUSE file system of
// the test's own (hangfsmount.h) whose statfs never answers, whose folder listing never
// answers, that answers every request after 200 ms, or whose tree never ends. The window
// opens, serves its events and cancels whatever the drive does; when a test ends, no
// mount, process or thread of it is left. Built twice: offscreen and on an X server.

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "drivelistbox.h"
#include "hangfsmount.h"
#include "modlargelist.h"
#include "recordingbackend.h"
#include "suche.h"
#include "testfiles.h"
#include "ui_suche.h"
#include "workermain.h"

using namespace fotarik;
using fotarik::test::HangFsMount;

namespace {

QStringList entries(Suche& w)
{
    QStringList out;
    for (int32_t i = 0; i < GetListCount(w.ui->lstFoundFiles); ++i)
        out << QString::fromUtf8(GetListItem(w.ui->lstFoundFiles, i));
    return out;
}

void search(Suche& w)
{
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
}

// The folder path of a chain of `depth` folders "d" below root, ending in "/".
QString chainFolder(const QString& root, int depth)
{
    QString path = root + QLatin1Char('/');
    for (int i = 0; i < depth; ++i)
        path += QStringLiteral("d/");
    return path;
}

// The threads of this process but Qt's idle pool threads, which the windows' background
// work leaves to expire on their own.
int threadsOutsideThePool()
{
    int n = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        n += !comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "Thread (pooled)";
    }
    return n;
}

// Waits (within the test budget) until no more threads than count are left outside the
// pool: a thread that was stuck on the file system ends once its call returns.
bool threadsBackTo(int count)
{
    QDeadlineTimer deadline(budget::ms(budget::TestWait));
    while (threadsOutsideThePool() > count && !deadline.hasExpired())
        QTest::qWait(1);
    if (threadsOutsideThePool() <= count)
        return true;
    qWarning("%d threads outside the pool, not %d", threadsOutsideThePool(), count);
    return false;
}

} // namespace

class TstHungDrives : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void startsBesideAVolumeWhoseStatfsNeverAnswers();
    void cancelWhileAListingNeverAnswers();
    void listingThatNeverAnswersIsGivenUp();
    void slowDriveIsWalkedToTheEnd();
    void endlessTreeIsCancelledAfterTwoSeconds();

private:
    // A mount point in a fresh temporary folder, and the threads before the test began.
    QString m_point;
    std::unique_ptr<QTemporaryDir> m_dir;
    int m_threads = 0;
    std::unique_ptr<RecordingBackend> m_media;
};

void TstHungDrives::initTestCase()
{
    // Before any window starts a thread: the mounts are seen only by threads started after.
    FOTARIK_REQUIRE_HANGFS();
    m_media = std::make_unique<RecordingBackend>();
    // The threads Qt starts once per process for its first window (on X: its bus and
    // event threads) are there before the first test counts them.
    QTemporaryDir dir;
    Suche w(dir.path());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    search(w);
}

void TstHungDrives::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_point = m_dir->filePath(QStringLiteral("laufwerk"));
    QVERIFY(QDir().mkdir(m_point));
    m_threads = threadsOutsideThePool();
}

void TstHungDrives::startsBesideAVolumeWhoseStatfsNeverAnswers()
{
    // As a hung network mount: the window opens, lists the volume, and a choice of it
    // falls back to the folder's drive without a message.
    HangFsMount mount(QStringLiteral("statfs"), m_point);
    QVERIFY(mount.mounted());
    {
        CapturingMessageSeam messages;
        Suche w(m_dir->path());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QByteArray point = QFile::encodeName(m_point);
        DriveListBox* drives = w.ui->drvList;
        const int index = volumeIndexOf(drives->volumes(), point);
        QVERIFY(index >= 0);
        QCOMPARE(drives->volumes()[size_t(index)].mountPoint, point);
        const QByteArray driveBefore = drives->driveBytes();
        QVERIFY(driveBefore != point);
        drives->setCurrentIndex(index);
        emit drives->activated(index); // the user's choice
        QCOMPARE(drives->driveBytes(), driveBefore);
        QVERIFY(messages.messages.empty());
        // The window still answers: a search in its own folder runs to its end.
        search(w);
        QVERIFY(w.ui->cmdSearch->isEnabled());
        QCOMPARE(w.ui->lblCount->text(), QStringLiteral("0"));
    }
    QVERIFY2(!mount.guardFired(), "the window waited on the volume");
    mount.remove();
    QVERIFY(threadsBackTo(m_threads));
}

void TstHungDrives::cancelWhileAListingNeverAnswers()
{
    // The root holds a.jpg, then "haengt", whose listing never answers, then d/a.jpg.
    HangFsMount mount(QStringLiteral("readdir"), m_point);
    QVERIFY(mount.mounted());
    {
        Suche w(m_point);
        w.show();
        // "Abbrechen" is clicked once the walk has waited in the listing through a few
        // passes of the event loop: the window served them meanwhile.
        int passesWhileHanging = 0;
        QStringList hitsAtClick;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (!w.isSearching() || passesWhileHanging < 0 || mount.hangingRequests() == 0)
                return;
            if (++passesWhileHanging < 5)
                return;
            passesWhileHanging = -1;
            hitsAtClick = entries(w);
            QTest::mouseClick(w.ui->cmdAbbruch, Qt::LeftButton);
        });
        probe.start(0);
        search(w);
        probe.stop();
        QCOMPARE(passesWhileHanging, -1);
        const QStringList expected{m_point + QStringLiteral("/a.jpg")};
        QCOMPARE(hitsAtClick, expected);
        QCOMPARE(entries(w), expected);
        QCOMPARE(w.SearchCancelled, 1);
        QCOMPARE(w.ui->lblCount->text(), QStringLiteral("1"));
        QVERIFY(!w.isSearching());
        QVERIFY(w.ui->cmdSearch->isEnabled());
        QVERIFY(!w.ui->cmdAbbruch->isEnabled());
    }
    QVERIFY2(!mount.guardFired(), "the window waited on the folder");
    mount.remove();
    QVERIFY(threadsBackTo(m_threads));
}

void TstHungDrives::listingThatNeverAnswersIsGivenUp()
{
    // Left alone, the walk gives the folder up after its wait and goes on behind it.
    HangFsMount mount(QStringLiteral("readdir"), m_point, budget::HungFolderWait + budget::TestHangGuard);
    QVERIFY(mount.mounted());
    {
        Suche w(m_point);
        w.show();
        bool servedWhileHanging = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            servedWhileHanging = servedWhileHanging || (w.isSearching() && mount.hangingRequests() > 0);
        });
        probe.start(0);
        search(w);
        probe.stop();
        QVERIFY(servedWhileHanging);
        QCOMPARE(entries(w),
                 QStringList({m_point + QStringLiteral("/a.jpg"), m_point + QStringLiteral("/d/a.jpg")}));
        QCOMPARE(w.ui->lblCount->text(), QStringLiteral("2"));
        QCOMPARE(w.SearchCancelled, 0);
        QVERIFY(w.ui->cmdSearch->isEnabled());
    }
    QVERIFY2(!mount.guardFired(), "the walk never gave the folder up");
    mount.remove();
    QVERIFY(threadsBackTo(m_threads));
}

void TstHungDrives::slowDriveIsWalkedToTheEnd()
{
    // Every request takes 200 ms; the tree is three folders deep with a hit in each.
    HangFsMount mount(QStringLiteral("slow"), m_point);
    QVERIFY(mount.mounted());
    {
        Suche w(m_point);
        w.show();
        // The folder label as the event loop sees it while the walk goes on.
        QStringList shown;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            const QString folder = w.ui->Label1->text();
            if (w.isSearching() && !folder.isEmpty() && (shown.isEmpty() || shown.back() != folder))
                shown << folder;
        });
        probe.start(0);
        search(w);
        probe.stop();
        QStringList expected, folders;
        for (int depth = 0; depth <= 3; ++depth) {
            folders << chainFolder(m_point, depth);
            expected << chainFolder(m_point, depth) + QStringLiteral("a.jpg");
        }
        QCOMPARE(entries(w), expected);
        QCOMPARE(w.ui->lblCount->text(), QStringLiteral("4"));
        QCOMPARE(w.SearchCancelled, 0);
        // Each folder was on the label while its sub-folder took its time to open.
        folders.removeLast();
        QCOMPARE(shown, folders);
    }
    QVERIFY(!mount.guardFired());
    mount.remove();
    QVERIFY(threadsBackTo(m_threads));
}

void TstHungDrives::endlessTreeIsCancelledAfterTwoSeconds()
{
    // Every folder has a sub-folder: the walk goes down until "Abbrechen", 2 s in.
    HangFsMount mount(QStringLiteral("endless"), m_point);
    QVERIFY(mount.mounted());
    {
        Suche w(m_point);
        w.show();
        QElapsedTimer since;
        bool clicked = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (clicked || !w.isSearching() || since.elapsed() < 2000)
                return;
            clicked = true;
            QTest::mouseClick(w.ui->cmdAbbruch, Qt::LeftButton);
        });
        probe.start(0);
        since.start();
        search(w);
        probe.stop();
        QVERIFY(clicked);
        QCOMPARE(w.SearchCancelled, 1);
        QVERIFY(w.ui->cmdSearch->isEnabled());
        // One hit per level, in depth order, none twice and none missing.
        const QStringList hits = entries(w);
        QVERIFY(hits.size() > 1);
        for (int depth = 0; depth < hits.size(); ++depth)
            QCOMPARE(hits[depth], chainFolder(m_point, depth) + QStringLiteral("a.jpg"));
        QCOMPARE(w.ui->lblCount->text(), QString::number(hits.size()));
        qInfo("levels walked in 2 s: %lld", static_cast<long long>(hits.size()));
    }
    QVERIFY(!mount.guardFired());
    mount.remove();
    QVERIFY(threadsBackTo(m_threads));
}

FOTARIK_TEST_MAIN(TstHungDrives)
#include "tst_hungdrives.moc"
