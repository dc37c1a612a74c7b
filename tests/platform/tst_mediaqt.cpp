#include <QApplication>
#include <QAudioDevice>
#include <QFile>
#include <QMediaPlayer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cmath>
#include <unistd.h>

#include "budgets.h"
#include "capturingmessageseam.h"
#include "media.h"
#include "mediacommands.h"
#include "mediaqt.h"
#include "testfiles.h"

using namespace fotarik;

namespace {

// A short mono 16-bit sine wave, written byte by byte.
QByteArray sineWave(int milliseconds)
{
    const int rate = 8000;
    const int samples = rate * milliseconds / 1000;
    QByteArray data;
    for (int i = 0; i < samples; ++i) {
        const auto v = qint16(8000 * std::sin(2 * M_PI * 440 * i / rate));
        data.append(char(v & 0xff)).append(char((v >> 8) & 0xff));
    }
    const auto le32 = [](quint32 v) {
        const char b[] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char(v >> 24)};
        return QByteArray(b, 4);
    };
    const auto le16 = [](quint16 v) {
        const char b[] = {char(v & 0xff), char(v >> 8)};
        return QByteArray(b, 2);
    };
    return "RIFF" + le32(quint32(36 + data.size())) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(rate) +
           le32(rate * 2) + le16(2) + le16(16) + "data" + le32(quint32(data.size())) + data;
}

} // namespace

class TstMediaQt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void waveSoundPlaysToItsEnd();
    void waveWithNonUtf8NameAndBlankPlays();
    void mp3AliasDevicePlaysAndCloseAllEndsIt();
    void brokenMediaStopsAtItsFirstError();
    void videoOpensItsOwnWindow();

private:
    QByteArray file(const QByteArray& name, const QByteArray& bytes);

    QTemporaryDir m_dir;
    std::vector<QByteArray> m_oddNames;
};

void TstMediaQt::initTestCase()
{
    QMediaPlayer probe;
    if (!probe.isAvailable())
        QSKIP("no multimedia backend on this machine");
    QVERIFY(qtMediaBackend() != nullptr);
}

void TstMediaQt::cleanup()
{
    closeAllMedia();
    stopWaveSound();
    for (const QByteArray& path : m_oddNames)
        ::unlink(path.constData());
    m_oddNames.clear();
}

QByteArray TstMediaQt::file(const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
    fotarik::test::writeBytes(path, bytes);
    m_oddNames.push_back(path);
    return path;
}

void TstMediaQt::waveSoundPlaysToItsEnd()
{
    startWaveSound(file("ton.wav", sineWave(400)));
    QMediaPlayer* player = qtMediaBackend()->wavePlayer();
    QVERIFY(player);
    QSignalSpy states(player, &QMediaPlayer::playbackStateChanged);
    QTRY_COMPARE_WITH_TIMEOUT(player->mediaStatus(), QMediaPlayer::EndOfMedia,
                              budget::ms(budget::TestMediaWait));
    QCOMPARE(player->error(), QMediaPlayer::NoError);
    QVERIFY(player->duration() >= 300);
    QCOMPARE(player->playbackState(), QMediaPlayer::StoppedState);
}

void TstMediaQt::waveWithNonUtf8NameAndBlankPlays()
{
    startWaveSound(file("gr\xfc\xdf mit blank.wav", sineWave(200)));
    QMediaPlayer* player = qtMediaBackend()->wavePlayer();
    QVERIFY(player);
    QTRY_COMPARE_WITH_TIMEOUT(player->mediaStatus(), QMediaPlayer::EndOfMedia,
                              budget::ms(budget::TestMediaWait));
    QCOMPARE(player->error(), QMediaPlayer::NoError);
    stopWaveSound();
    QCOMPARE(qtMediaBackend()->wavePlayer(), nullptr);
}

void TstMediaQt::mp3AliasDevicePlaysAndCloseAllEndsIt()
{
    // The MP3 device plays whatever its player understands; a long wave keeps it busy.
    QVERIFY(PlayMp3(file("lang mp3.mp3", sineWave(5000)), QStringLiteral("MyAlias")));
    const MediaDeviceId id = mediaDeviceId("MyAlias");
    QMediaPlayer* player = qtMediaBackend()->player(id);
    QVERIFY(player);
    QTRY_COMPARE_WITH_TIMEOUT(player->playbackState(), QMediaPlayer::PlayingState,
                              budget::ms(budget::TestMediaWait));
    QTRY_VERIFY_WITH_TIMEOUT(player->position() > 0, budget::ms(budget::TestMediaWait));
    QCOMPARE(player->error(), QMediaPlayer::NoError);

    StopMp3(QStringLiteral("MyAlias"));
    QCOMPARE(qtMediaBackend()->player(id), nullptr);
    QVERIFY(PlayMp3(file("zweites.mp3", sineWave(5000)), QStringLiteral("MyAlias")));
    const MediaDeviceId second = mediaDeviceId("MyAlias");
    QVERIFY(qtMediaBackend()->player(second));
    closeAllMedia();
    QCOMPARE(qtMediaBackend()->player(second), nullptr);
}

void TstMediaQt::brokenMediaStopsAtItsFirstError()
{
    CapturingMessageSeam messages;
    // Looks like a wave by its first bytes, but is not one.
    const QByteArray path = file("kaputt.mp3", "RIFF\x10\0\0\0WAVEjunkjunkjunkjunk");
    QVERIFY(PlayMp3(path, QStringLiteral("MyAlias")));
    QMediaPlayer* player = qtMediaBackend()->player(mediaDeviceId("MyAlias"));
    QVERIFY(player);
    QTRY_VERIFY_WITH_TIMEOUT(player->error() != QMediaPlayer::NoError, budget::ms(budget::TestMediaWait));
    QTRY_COMPARE_WITH_TIMEOUT(player->playbackState(), QMediaPlayer::StoppedState,
                              budget::ms(budget::TestWait));
    // Once broken, the device refuses to play again instead of pretending.
    QCOMPARE(mciSendString("play MyAlias from 0"), mci::InvalidFile);
    QVERIFY(messages.messages.empty());
}

void TstMediaQt::videoOpensItsOwnWindow()
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        QSKIP("ffmpeg is needed to make a test video");
    const QString avi = m_dir.filePath(QStringLiteral("mein film.avi"));
    QProcess make;
    make.start(ffmpeg, {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=3:size=160x120:rate=10",
                        "-c:v", "mjpeg", avi});
    QVERIFY(make.waitForFinished(60000));
    QCOMPARE(make.exitCode(), 0);

    // The window the user works in keeps the focus while the video plays beside it.
    QWidget search;
    search.setWindowTitle(QStringLiteral("Suche"));
    search.show();
    search.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&search));

    startVideo(QFile::encodeName(avi));
    const MediaDeviceId id = mediaDeviceId(QFile::encodeName(avi));
    QVERIFY(id > 0);
    QWidget* window = qtMediaBackend()->videoWindow(id);
    QVERIFY(window);
    QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), budget::ms(budget::TestMediaWait));
    QVERIFY(window->isWindow());
    // It opens at the video's own size.
    QCOMPARE(window->size(), QSize(160, 120));
    QVERIFY(window->testAttribute(Qt::WA_ShowWithoutActivating));
    QCoreApplication::processEvents(); // the window system's answer to the show
    QCOMPARE(QApplication::activeWindow(), &search);
    QCOMPARE(window->windowTitle(), QStringLiteral("mein film.avi"));
    QCOMPARE(qtMediaBackend()->player(id)->error(), QMediaPlayer::NoError);
    closeAllMedia();
    QCOMPARE(qtMediaBackend()->videoWindow(id), nullptr);
}

QTEST_MAIN(TstMediaQt)
#include "tst_mediaqt.moc"
