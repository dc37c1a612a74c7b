// The drive list's volumes: read from the kernel's mount table without waiting on any
// mount, and questions to a mount asked on threads that may be given up.

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "budgets.h"
#include "volumes.h"

using namespace fotarik;

class TstVolumes : public QObject
{
    Q_OBJECT

private slots:
    void listsTheRootAndNoPseudoFileSystems();
    void readyVolumesAndMissingOnes();
    void aQuestionThatNeverAnswersIsGivenUp();
};

void TstVolumes::listsTheRootAndNoPseudoFileSystems()
{
    const std::vector<Volume> volumes = userVolumes();
    QVERIFY(volumeIndexOf(volumes, "/") >= 0);
    for (const Volume& v : volumes) {
        QVERIFY2(!v.mountPoint.startsWith("/proc") && !v.mountPoint.startsWith("/sys"),
                 v.mountPoint.constData());
        QVERIFY2(v.mountPoint != "/dev/pts", v.mountPoint.constData());
    }
    QVERIFY(std::is_sorted(volumes.begin(), volumes.end(),
                           [](const Volume& a, const Volume& b) { return a.mountPoint < b.mountPoint; }));
}

void TstVolumes::readyVolumesAndMissingOnes()
{
    QVERIFY(volumeReady("/"));
    QTemporaryDir dir;
    QVERIFY(volumeReady(QFile::encodeName(dir.path())));
    QVERIFY(!volumeReady(QFile::encodeName(dir.path()) + "/fehlt"));
}

void TstVolumes::aQuestionThatNeverAnswersIsGivenUp()
{
    // One question blocks until the test lets it go (as a call into a hung mount blocks),
    // the others answer: the blocked one counts as unanswered, the others as they said.
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable open;
        bool released = false;
        std::atomic<bool> finished{false};
    };
    auto gate = std::make_shared<Gate>();
    std::vector<std::function<bool()>> questions;
    questions.emplace_back([] { return true; });
    questions.emplace_back([gate] {
        std::unique_lock lock(gate->mutex);
        gate->open.wait(lock, [&] { return gate->released; });
        gate->finished = true;
        return true;
    });
    questions.emplace_back([] { return false; });
    const std::vector<Answer> answers = askAll(std::move(questions), budget::VolumeScan);
    QCOMPARE(answers.size(), size_t(3));
    QVERIFY(answers[0] == Answer::Yes);
    QVERIFY(answers[1] == Answer::None);
    QVERIFY(answers[2] == Answer::No);
    QVERIFY(!gate->finished);
    // The abandoned thread ends once its call returns, and touches nothing that is gone.
    {
        std::lock_guard lock(gate->mutex);
        gate->released = true;
    }
    gate->open.notify_all();
    QTRY_VERIFY_WITH_TIMEOUT(gate->finished, budget::ms(budget::TestWait));
}

QTEST_APPLESS_MAIN(TstVolumes)
#include "tst_volumes.moc"
