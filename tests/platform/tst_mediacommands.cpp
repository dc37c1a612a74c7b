#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cctype>
#include <unistd.h>

#include "capturingmessageseam.h"
#include "media.h"
#include "mediacommands.h"
#include "mediashortpath.h"
#include "recordingbackend.h"
#include "testfiles.h"

using namespace fotarik;

namespace {

// Device numbers run on over the whole process; the tests compare the order, not the numbers.
QByteArrayList withoutIds(QByteArrayList entries)
{
    for (QByteArray& e : entries) {
        QByteArray out;
        for (qsizetype i = 0; i < e.size(); ++i) {
            out += e[i];
            if (e[i] == '#') {
                while (i + 1 < e.size() && std::isdigit(uchar(e[i + 1])))
                    ++i;
            }
        }
        e = out;
    }
    return entries;
}

} // namespace

class TstMediaCommands : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void parses_data();
    void parses();
    void quotesPathsThatHoldBlanks_data();
    void quotesPathsThatHoldBlanks();
    void recognisesMedia_data();
    void recognisesMedia();
    void shortPathIsThePathWhenTheFileExists();

    void playMp3OpensUnderTheAliasAndPlaysFromTheStart();
    void secondMp3StopsAndClosesTheFirstBeforeItOpens();
    void failedOpenSendsNoPlay();
    void fileThatIsNoMediaFailsTheOpen();
    void missingMp3SendsNoCommand();
    void blankInPathIsQuotedAndReachesThePlayerWhole();
    void nonUtf8PathReachesThePlayerByteForByte();
    void stopOfAnAliasNotOpenFailsQuietly();
    void midiPlaysThroughTheInterpreter();
    void missingMidiShowsTheInterpretersMessage();
    void videoPlaysImplicitlyAndAMissingOneFailsSilently();
    void closeAllClosesEveryDeviceButNotTheWave();
    void waveStartsAndStops();
    void grammarErrors_data();
    void grammarErrors();
    void keywordsIgnoreLetterCase();

private:
    QByteArray file(const QByteArray& name, const QByteArray& bytes);

    QTemporaryDir m_dir;
    std::unique_ptr<RecordingBackend> m_rec;
    std::unique_ptr<CapturingMessageSeam> m_messages;
};

void TstMediaCommands::init()
{
    m_rec = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
}

void TstMediaCommands::cleanup()
{
    m_messages.reset();
    m_rec.reset();
}

QByteArray TstMediaCommands::file(const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
    fotarik::test::writeBytes(path, bytes);
    return path;
}

void TstMediaCommands::parses_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("verb");
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("alias");
    QTest::addColumn<qint64>("from"); // -1: none

    using V = MediaCommand::Verb;
    QTest::newRow("open mp3") << QByteArray("open /a/b.mp3 type MPEGVideo alias MyAlias") << int(V::Open)
                              << QByteArray("/a/b.mp3") << QByteArray("mpegvideo") << QByteArray("MyAlias")
                              << qint64(-1);
    QTest::newRow("open quoted") << QByteArray("open \"/a b/c d.mp3\" type MPEGVideo alias MyAlias")
                                 << int(V::Open) << QByteArray("/a b/c d.mp3") << QByteArray("mpegvideo")
                                 << QByteArray("MyAlias") << qint64(-1);
    QTest::newRow("quoted with quote")
        << QByteArray("play \"/a \"\"b\"\".avi\"") << int(V::Play) << QByteArray("/a \"b\".avi")
        << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("quoted keyword as path")
        << QByteArray("play \"from\"") << int(V::Play) << QByteArray("from") << QByteArray() << QByteArray()
        << qint64(-1);
    QTest::newRow("play from 0") << QByteArray("play MyAlias from 0") << int(V::Play) << QByteArray("MyAlias")
                                 << QByteArray() << QByteArray() << qint64(0);
    QTest::newRow("Play midi") << QByteArray("Play /a/x.mid") << int(V::Play) << QByteArray("/a/x.mid")
                               << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("stop") << QByteArray("stop MyAlias") << int(V::Stop) << QByteArray("MyAlias")
                          << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("close") << QByteArray("close MyAlias") << int(V::Close) << QByteArray("MyAlias")
                           << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("Close all") << QByteArray("Close all") << int(V::Close) << QByteArray("all")
                               << QByteArray() << QByteArray() << qint64(-1);
    QTest::newRow("extra blanks") << QByteArray("  play \t MyAlias   from  250 ") << int(V::Play)
                                  << QByteArray("MyAlias") << QByteArray() << QByteArray() << qint64(250);
    QTest::newRow("non-utf-8 path") << QByteArray("play /a/gr\xe4.avi") << int(V::Play)
                                    << QByteArray("/a/gr\xe4.avi") << QByteArray() << QByteArray()
                                    << qint64(-1);
}

void TstMediaCommands::parses()
{
    QFETCH(QByteArray, command);
    QFETCH(int, verb);
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, alias);
    QFETCH(qint64, from);

    MediaCommand c;
    QCOMPARE(parseMediaCommand(command, &c), mci::NoError);
    QCOMPARE(int(c.verb), verb);
    QCOMPARE(c.device, device);
    QCOMPARE(c.type, type);
    QCOMPARE(c.alias, alias);
    QCOMPARE(c.from.value_or(-1), from);
}

void TstMediaCommands::quotesPathsThatHoldBlanks_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain") << QByteArray("/a/b.mp3") << QByteArray("/a/b.mp3");
    QTest::newRow("blank") << QByteArray("/a b/c.mp3") << QByteArray("\"/a b/c.mp3\"");
    QTest::newRow("tab") << QByteArray("/a\tb.mp3") << QByteArray("\"/a\tb.mp3\"");
    QTest::newRow("quote") << QByteArray("/a\"b.mp3") << QByteArray("\"/a\"\"b.mp3\"");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TstMediaCommands::quotesPathsThatHoldBlanks()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, written);
    QCOMPARE(quoteMediaPath(path), written);
    if (path.isEmpty())
        return;
    // Whatever the path holds, the command gives it back unchanged.
    MediaCommand c;
    QCOMPARE(parseMediaCommand("open " + written + " alias X", &c), mci::NoError);
    QCOMPARE(c.device, path);
    QCOMPARE(c.alias, QByteArray("X"));
}

void TstMediaCommands::recognisesMedia_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("media");
    QTest::newRow("mp3 with tag") << QByteArray("ID3\x03\x00") << true;
    QTest::newRow("mp3 frame") << QByteArray("\xff\xfb\x90\x64\x00", 5) << true;
    QTest::newRow("mp3 frame after junk") << QByteArray("\0\0\0\xff\xfb\x90\x64", 7) << true;
    QTest::newRow("wave") << QByteArray("RIFF\x24\x08\0\0WAVEfmt ", 16) << true;
    QTest::newRow("midi") << QByteArray("MThd\0\0\0\x06", 8) << true;
    QTest::newRow("mp4") << QByteArray("\0\0\0\x20"
                                       "ftypisom",
                                       12)
                         << true;
    QTest::newRow("ogg") << QByteArray("OggS\0\x02", 6) << true;
    QTest::newRow("text") << QByteArray("Das ist keine Musik.\n") << false;
    QTest::newRow("png") << QByteArray("\x89PNG\r\n\x1a\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("bad frame header") << QByteArray("\xff\xfb\xf0\x64", 4) << false;
}

void TstMediaCommands::recognisesMedia()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, media);
    QCOMPARE(looksLikeMedia(head), media);
}

void TstMediaCommands::shortPathIsThePathWhenTheFileExists()
{
    const QByteArray path = file("kurz mit blank.mp3", "ID3");
    QCOMPARE(getShortPathName(path), path);
    QCOMPARE(getShortPathName(path + ".fehlt").size(), 0);
    QCOMPARE(getShortPathName(QByteArray()).size(), 0);
    const QByteArray longPath = QFile::encodeName(m_dir.path()) + '/' + QByteArray(240, 'l') + ".mp3";
    file(longPath.mid(longPath.lastIndexOf('/') + 1), "ID3");
    QCOMPARE(getShortPathName(longPath), longPath); // no 255-character ceiling
}

void TstMediaCommands::playMp3OpensUnderTheAliasAndPlaysFromTheStart()
{
    const QByteArray path = file("a.mp3", "ID3\x03");
    QVERIFY(PlayMp3(path, QStringLiteral("MyAlias")));
    QCOMPARE(withoutIds(m_rec->log()),
             QByteArrayList({"open # " + path + " = 0",
                             "mciSendString(open " + path + " type MPEGVideo alias MyAlias) = 0",
                             "play # from 0 = 0", "mciSendString(play MyAlias from 0) = 0"}));
    QVERIFY(mediaDeviceId("MyAlias") > 0);
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::secondMp3StopsAndClosesTheFirstBeforeItOpens()
{
    const QByteArray first = file("eins.mp3", "ID3");
    const QByteArray second = file("zwei.mp3", "ID3");
    QVERIFY(PlayMp3(first, QStringLiteral("MyAlias")));
    const QByteArray firstId = "#" + QByteArray::number(mediaDeviceId("MyAlias"));
    m_rec->clear();

    // The preview's stop sequence, then the next MP3.
    StopMp3(QStringLiteral("MyAlias"));
    closeAllMedia();
    stopWaveSound();
    QVERIFY(PlayMp3(second, QStringLiteral("MyAlias")));
    const QByteArray secondId = "#" + QByteArray::number(mediaDeviceId("MyAlias"));
    QVERIFY(secondId != firstId);

    QCOMPARE(m_rec->commands(),
             QByteArrayList({"mciSendString(stop MyAlias) = 0", "mciSendString(close MyAlias) = 0",
                             "mciExecute(Close all) = 0", "sndPlaySound(NULL, 1) = 1",
                             "mciSendString(open " + second + " type MPEGVideo alias MyAlias) = 0",
                             "mciSendString(play MyAlias from 0) = 0"}));
    QCOMPARE(m_rec->calls(), QByteArrayList({"stop " + firstId, "close " + firstId, "stop wave",
                                             "open " + secondId + ' ' + second + " = 0",
                                             "play " + secondId + " from 0 = 0"}));
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::failedOpenSendsNoPlay()
{
    m_rec->failOpensWith = mci::CannotLoadDriver;
    const QByteArray path = file("a.mp3", "ID3");
    QVERIFY(!PlayMp3(path, QStringLiteral("MyAlias")));
    QCOMPARE(m_rec->commands(),
             QByteArrayList({"mciSendString(open " + path + " type MPEGVideo alias MyAlias) = 266"}));
    QCOMPARE(mediaDeviceId("MyAlias"), -1);
    // Nothing is open, so the next preview's stop fails quietly.
    StopMp3(QStringLiteral("MyAlias"));
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::fileThatIsNoMediaFailsTheOpen()
{
    const QByteArray path = file("brief.mp3", "Lieber Hans, ...\n");
    QVERIFY(!PlayMp3(path, QStringLiteral("MyAlias")));
    QCOMPARE(m_rec->log(),
             QByteArrayList({"mciSendString(open " + path + " type MPEGVideo alias MyAlias) = 304"}));
}

void TstMediaCommands::missingMp3SendsNoCommand()
{
    QVERIFY(!PlayMp3(QFile::encodeName(m_dir.path()) + "/fehlt.mp3", QStringLiteral("MyAlias")));
    QVERIFY(m_rec->log().isEmpty());
}

void TstMediaCommands::blankInPathIsQuotedAndReachesThePlayerWhole()
{
    const QByteArray path = file("mein lied (live).mp3", "ID3");
    QVERIFY(PlayMp3(path, QStringLiteral("MyAlias")));
    QCOMPARE(m_rec->commands().value(0),
             "mciSendString(open \"" + path + "\" type MPEGVideo alias MyAlias) = 0");
    QCOMPARE(withoutIds(m_rec->calls()).value(0), "open # " + path + " = 0");
}

void TstMediaCommands::nonUtf8PathReachesThePlayerByteForByte()
{
    const QByteArray path = file("gr\xfc\xdf.mp3", "ID3");
    QVERIFY(PlayMp3(path, QStringLiteral("MyAlias")));
    ::unlink(path.constData()); // QTemporaryDir cannot name it to remove it
    QCOMPARE(withoutIds(m_rec->calls()).value(0), "open # " + path + " = 0");
}

void TstMediaCommands::stopOfAnAliasNotOpenFailsQuietly()
{
    StopMp3(QStringLiteral("MyAlias"));
    QCOMPARE(m_rec->log(),
             QByteArrayList({"mciSendString(stop MyAlias) = 263", "mciSendString(close MyAlias) = 263"}));
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::midiPlaysThroughTheInterpreter()
{
    const QByteArray path = file("lied.mid", QByteArray("MThd\0\0\0\x06\0\0\0\x01\0\x60", 14));
    startMidiSound(path);
    QCOMPARE(withoutIds(m_rec->log()),
             QByteArrayList({"open # " + path + " = 0", "play # = 0", "mciExecute(Play " + path + ") = 0"}));
    QVERIFY(mediaDeviceId(path) > 0); // the implicit device carries the file's name
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::missingMidiShowsTheInterpretersMessage()
{
    startMidiSound(QFile::encodeName(m_dir.path()) + "/fehlt.mid");
    QCOMPARE(m_rec->log(), QByteArrayList({"mciExecute(Play ) = 292"}));
    QCOMPARE(m_messages->messages.size(), size_t(1));
    const Message& m = m_messages->messages.front();
    QCOMPARE(m.text, QStringLiteral("Medienbefehl fehlgeschlagen: Play \nIm Befehl fehlt der Gerätename."));
    QCOMPARE(m.caption, QStringLiteral("Fotarik"));
    QCOMPARE(m.icon, MsgIcon::Critical);
}

void TstMediaCommands::videoPlaysImplicitlyAndAMissingOneFailsSilently()
{
    const QByteArray path = file("film.avi", "RIFF\0\0\0\0AVI LIST");
    startVideo(path);
    QCOMPARE(withoutIds(m_rec->log()), QByteArrayList({"open # " + path + " = 0", "play # = 0",
                                                       "mciSendString(play " + path + ") = 0"}));
    m_rec->clear();
    startVideo(QFile::encodeName(m_dir.path()) + "/fehlt.avi");
    QCOMPARE(m_rec->log(), QByteArrayList({"mciSendString(play ) = 292"}));
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::closeAllClosesEveryDeviceButNotTheWave()
{
    const QByteArray mp3 = file("a.mp3", "ID3");
    const QByteArray mid = file("b.mid", "MThd");
    const QByteArray avi = file("c.avi", "RIFF");
    const QByteArray wav = file("d.wav", "RIFF");
    QVERIFY(PlayMp3(mp3, QStringLiteral("MyAlias")));
    startMidiSound(mid);
    startVideo(avi);
    startWaveSound(wav);
    const MediaDeviceId ids[] = {mediaDeviceId("MyAlias"), mediaDeviceId(mid), mediaDeviceId(avi)};
    m_rec->clear();

    closeAllMedia();
    QByteArrayList calls = m_rec->calls();
    std::sort(calls.begin(), calls.end());
    QByteArrayList expected;
    for (MediaDeviceId id : ids) {
        QVERIFY(id > 0);
        expected.append("close #" + QByteArray::number(id));
    }
    std::sort(expected.begin(), expected.end());
    QCOMPARE(calls, expected);
    QCOMPARE(mediaDeviceId("MyAlias"), -1);
    QCOMPARE(mediaDeviceId(mid), -1);
    // Closing with nothing open is no error.
    closeAllMedia();
    QCOMPARE(m_rec->commands().last(), QByteArray("mciExecute(Close all) = 0"));
    QVERIFY(m_messages->messages.empty());
}

void TstMediaCommands::waveStartsAndStops()
{
    const QByteArray path = file("ton.wav", "RIFF\0\0\0\0WAVE");
    startWaveSound(path);
    stopWaveSound();
    QCOMPARE(m_rec->log(), QByteArrayList({"wave " + path, "sndPlaySound(" + path + ", 1) = 1", "stop wave",
                                           "sndPlaySound(NULL, 1) = 1"}));
    m_rec->clear();
    // A missing wave file plays nothing, but still ends the one playing.
    QVERIFY(!sndPlaySound(path + ".fehlt", SndAsync));
    QCOMPARE(m_rec->calls(), QByteArrayList({"stop wave"}));
    // Playing in the foreground is refused rather than freezing the window.
    QVERIFY(!sndPlaySound(path, 0));
}

void TstMediaCommands::grammarErrors_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<uint>("error");
    QTest::newRow("empty") << QByteArray("") << uint(mci::UnrecognizedCommand);
    QTest::newRow("unknown verb") << QByteArray("pause MyAlias") << uint(mci::UnrecognizedCommand);
    QTest::newRow("no device") << QByteArray("close") << uint(mci::MissingDeviceName);
    QTest::newRow("empty quoted device") << QByteArray("play \"\"") << uint(mci::MissingDeviceName);
    QTest::newRow("open quote") << QByteArray("play \"/a b.avi") << uint(mci::MissingParameter);
    QTest::newRow("unknown keyword") << QByteArray("play MyAlias wait") << uint(mci::UnrecognizedKeyword);
    QTest::newRow("from on stop") << QByteArray("stop MyAlias from 0") << uint(mci::UnrecognizedKeyword);
    QTest::newRow("from without value") << QByteArray("play MyAlias from") << uint(mci::MissingParameter);
    QTest::newRow("bad from") << QByteArray("play MyAlias from x1") << uint(mci::BadInteger);
    QTest::newRow("negative from") << QByteArray("play MyAlias from -5") << uint(mci::BadInteger);
    QTest::newRow("unknown device type")
        << QByteArray("open /x.mp3 type cdaudio2 alias A") << uint(mci::InvalidDeviceName);
    QTest::newRow("play all") << QByteArray("play all") << uint(mci::CannotUseAll);
    QTest::newRow("close unknown") << QByteArray("close Unbekannt") << uint(mci::InvalidDeviceName);
    QTest::newRow("play unknown name") << QByteArray("play Unbekannt") << uint(mci::InvalidDeviceName);
    QTest::newRow("play missing file") << QByteArray("play /gibt/es/nicht.avi") << uint(mci::FileNotFound);
    QTest::newRow("open missing file")
        << QByteArray("open /gibt/es/nicht.mp3 type MPEGVideo alias A") << uint(mci::FileNotFound);
}

void TstMediaCommands::grammarErrors()
{
    QFETCH(QByteArray, command);
    QFETCH(uint, error);
    QCOMPARE(mciSendString(command), error);
    QVERIFY(m_rec->calls().isEmpty()); // nothing reached the player
    QVERIFY(!mciErrorText(error).isEmpty());
}

void TstMediaCommands::keywordsIgnoreLetterCase()
{
    const QByteArray path = file("Laut.MP3", "ID3");
    QCOMPARE(mciSendString("OPEN " + path + " TYPE mpegVIDEO ALIAS Musik"), mci::NoError);
    QCOMPARE(mciSendString("open " + path + " type MPEGVideo alias MUSIK"), mci::DuplicateAlias);
    QCOMPARE(mciSendString("Play musik From 0"), mci::NoError);
    QCOMPARE(mciSendString("STOP Musik"), mci::NoError);
    QCOMPARE(mciSendString("close MUSIK"), mci::NoError);
    QCOMPARE(mediaDeviceId("Musik"), -1);
    QCOMPARE(withoutIds(m_rec->calls()),
             QByteArrayList({"open # " + path + " = 0", "play # from 0 = 0", "stop #", "close #"}));
}

QTEST_MAIN(TstMediaCommands)
#include "tst_mediacommands.moc"
