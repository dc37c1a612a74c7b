// The decoder worker: a worker that dies, hangs, spins or lies costs one picture and
// never the program; hostile files end within their allowance; the window's events are
// served while a picture is decoded; valid pictures decode the same on a busy machine.

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "budgets.h"
#include "decoderworker.h"
#include "hostileinputs.h"
#include "workermain.h"
#include "workerprotocol.h"
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace fotarik;
using namespace fotarik::imaging;
using namespace std::chrono_literals;

namespace {

const DecodeParams Preview{210, 210, -1, -1, 0x00FFFFFF, 1.0};

// The longest any request may take: the longest wait for the largest CPU allowance.
int mostMs()
{
    return budget::ms(budget::decodeWallMost(budget::DecodeCpuMost));
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "png");
    return bytes;
}

QImage photo(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(image.rect(), QColor(30, 120, 200));
    p.fillRect(QRect(0, 0, w / 2, h / 2), Qt::yellow);
    return image;
}

// A PNG with count zTXt chunks, each inflating to unpacked bytes.
QByteArray pngWithTextChunks(int count, int unpacked)
{
    QByteArray png = pngBytes(photo(64, 48));
    const qsizetype end = png.indexOf("IEND") - 4;
    const QByteArray text = QByteArray("Comment\0\0", 9) + qCompress(QByteArray(unpacked, 'a'), 9).mid(4);
    QByteArray chunks;
    for (int i = 0; i < count; ++i)
        chunks += hostile::pngChunk("zTXt", text);
    return png.left(end) + chunks + png.mid(end);
}

QByteArray riffChunk(const char* type, const QByteArray& data)
{
    QByteArray c = QByteArray(type, 4) + hostile::le32(data.size()) + data;
    if (data.size() % 2)
        c += '\0';
    return c;
}

QByteArray le24(int v)
{
    return hostile::le32(v).left(3);
}

// An animated WebP of one 1 x 1 frame on a canvas of side x side: a hundred bytes.
QByteArray animatedWebp(int side)
{
    QByteArray webp;
    QBuffer buffer(&webp);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "webp");
    writer.setQuality(100); // lossless: a VP8L chunk
    if (!writer.write(photo(1, 1)))
        return {};
    const qsizetype at = webp.indexOf("VP8");
    if (at < 0)
        return {};
    const QByteArray frame = webp.mid(at);
    const QByteArray vp8x =
        riffChunk("VP8X", QByteArray(1, 0x02) + QByteArray(3, '\0') + le24(side - 1) + le24(side - 1));
    const QByteArray anim = riffChunk("ANIM", hostile::le32(0) + hostile::le16(0));
    const QByteArray anmf =
        riffChunk("ANMF", le24(0) + le24(0) + le24(0) + le24(0) + le24(100) + QByteArray(1, '\0') + frame);
    const QByteArray body = QByteArray("WEBP") + vp8x + anim + anmf;
    return QByteArray("RIFF") + hostile::le32(body.size()) + body;
}

// A top-down 8-bit palette bitmap (negative height).
QByteArray topDownBitmap(int w, int h)
{
    const int row = (w + 3) / 4 * 4;
    const int offset = 14 + 40 + 256 * 4;
    QByteArray b =
        QByteArray("BM") + hostile::le32(offset + row * h) + hostile::le32(0) + hostile::le32(offset);
    b += hostile::le32(40) + hostile::le32(w) + hostile::le32(-h) + hostile::le16(1) + hostile::le16(8) +
         hostile::le32(0) + hostile::le32(row * h) + hostile::le32(2835) + hostile::le32(2835) +
         hostile::le32(256) + hostile::le32(0);
    for (int i = 0; i < 256; ++i)
        b += QByteArray(1, char(i)) + QByteArray(1, char(i)) + QByteArray(1, char(i)) + QByteArray(1, '\0');
    for (int y = 0; y < h; ++y) {
        QByteArray line(row, char(y < h / 2 ? 0 : 255)); // top half black, bottom half white
        b += line;
    }
    return b;
}

// A placeable WMF of lines polylines of points points each, drawn with a wide dashed pen.
QByteArray wmfOfPolylines(int lines, int points)
{
    using hostile::le16;
    using hostile::le32;
    QByteArray w = hostile::placeableWmfHeader();
    const qint64 polyline = 4 + 2 * qint64(points);
    const qint64 words = 9 + 8 + 4 + lines * polyline + 3;
    w += le16(1) + le16(9) + le16(0x0300) + le32(words) + le16(1) + le32(polyline) + le16(0);
    w += le32(8) + le16(0x02FA) + le16(1) + le16(40) + le16(0) + le32(0x000000FF); // dashed pen, 40 wide
    w += le32(4) + le16(0x012D) + le16(0);                                         // selected
    for (int l = 0; l < lines; ++l) {
        w += le32(polyline) + le16(0x0325) + le16(points);
        const qsizetype at = w.size();
        w.resize(at + qsizetype(points) * 4);
        char* r = w.data() + at;
        for (int i = 0; i < points; ++i, r += 4) {
            qToLittleEndian<quint16>(quint16((i * 37 + l * 11) % 1000), r);
            qToLittleEndian<quint16>(quint16((i * 53 + l * 7) % 1000), r + 2);
        }
    }
    w += le32(3) + le16(0);
    return w;
}

// A placeable WMF that writes "WWW" in a font of height 300 of its 1000 units: drawing it
// opens font files.
QByteArray wmfOfText()
{
    using hostile::le16;
    using hostile::le32;
    QByteArray w = hostile::placeableWmfHeader();
    QByteArray face("Liberation Sans");
    face.resize(32, '\0');
    QByteArray records;
    // The font: height -300, weight 700, then its face name.
    records += le32(3 + 9 + 16) + le16(0x02FB) + le16(quint16(-300)) + le16(0) + le16(0) + le16(0) +
               le16(700) + QByteArray(8, '\0') + face;
    records += le32(4) + le16(0x012D) + le16(0); // selected
    records += le32(3 + 1 + 2 + 2) + le16(0x0521) + le16(3) + QByteArray("WWW\0", 4) + le16(500) + le16(100);
    records += le32(3) + le16(0);
    w += le16(1) + le16(9) + le16(0x0300) + le32(9 + quint32(records.size()) / 2) + le16(1) + le32(28) +
         le16(0) + records;
    return w;
}

// An EMF that writes "WWW" 300 units high in a bold font (its text is UTF-16).
QByteArray emfOfText()
{
    using hostile::le16;
    using hostile::le32;
    QByteArray face;
    for (const char ch : QByteArray("Liberation Sans"))
        face += le16(quint16(uchar(ch)));
    face.resize(64, '\0');
    QByteArray records;
    // The font (its full form, with the unused names and details zero), made object 1.
    QByteArray font = le32(82) + le32(332) + le32(1);
    font += le32(quint32(-300)) + le32(0) + le32(0) + le32(0) + le32(700) + QByteArray(8, '\0') + face;
    font.resize(332, '\0');
    records += font;
    records += le32(37) + le32(12) + le32(1); // selected
    // The text: bounds, compatible mode, scales, then reference point, length, string
    // offset, options, clipping rectangle, offset of the advances; string and advances.
    QByteArray text = le32(84) + le32(96) + le32(0) + le32(0) + le32(999) + le32(999) + le32(1);
    text += le32(0) + le32(0); // scales (unused in compatible mode)
    text += le32(100) + le32(500) + le32(3) + le32(76) + le32(0) + le32(0) + le32(0) + le32(999) + le32(999) +
            le32(84);
    text += le16('W') + le16('W') + le16('W') + le16(0);
    text += le32(250) + le32(250) + le32(250);
    records += text;
    records += le32(14) + le32(20) + le32(0) + le32(16) + le32(20); // end
    const int count = 1 + 4;
    QByteArray e;
    e += le32(1) + le32(88);
    e += le32(0) + le32(0) + le32(999) + le32(999);     // bounds
    e += le32(0) + le32(0) + le32(26458) + le32(26458); // frame, 0.01 mm
    e += QByteArray(" EMF", 4) + le32(0x10000) + le32(quint32(88 + records.size())) + le32(count);
    e += le16(2) + le16(0) + le32(0) + le32(0) + le32(0);
    e += le32(1000) + le32(1000) + le32(264) + le32(264); // device, millimetres
    return e + records;
}

// How many pixels of image are dark.
int darkPixels(const QImage& image)
{
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
    return dark;
}

// The fields of /proc/PID/stat after the command name (state, parent, ...); none once the
// process is gone.
QList<QByteArray> procStat(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : line.mid(close + 2).split(' ');
}

// The nice value of the process pid's main thread, and the CPU time of the whole process.
int niceOf(pid_t pid)
{
    // After the name: state is field 3 of /proc/PID/stat, nice field 19.
    bool ok = false;
    const int nice = procStat(pid).value(19 - 3).toInt(&ok);
    return ok ? nice : 100;
}

std::chrono::milliseconds cpuOf(pid_t pid)
{
    const QList<QByteArray> fields = procStat(pid);
    const long long ticks = fields.value(14 - 3).toLongLong() + fields.value(15 - 3).toLongLong();
    return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

// The threads of the process pid.
QList<pid_t> tasksOf(pid_t pid)
{
    QList<pid_t> tasks;
    for (const QString& name :
         QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        tasks << pid_t(name.toInt());
    return tasks;
}

// Whether the process pid has ended: gone, or a zombie nobody has reaped yet.
bool processEnded(pid_t pid)
{
    const QByteArray state = procStat(pid).value(0);
    return state.isEmpty() || state == "Z" || state == "X";
}

// The test binary started again as a program that is killed in the middle of a decode:
// "--dying-program FILE busy" keeps a worker decoding FILE (it stalls, asleep) for the
// main thread; "--dying-program FILE idle" leaves a warm worker that a thread which has
// ended since started. It prints the worker's pid and waits to be killed.
[[noreturn]] void runDyingProgram(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray file(argv[2]);
    const bool busy = std::strcmp(argv[3], "busy") == 0;
    pid_t pid = 0;
    std::unique_ptr<DecodeJob> job;
    if (busy) {
        setDecodeWorkerMisbehaviour("hang");
        job = std::make_unique<DecodeJob>(openForReading(file), Preview);
        pid = job->workerPid();
    } else {
        std::thread starter([&] { decodeInWorker(file, Preview, false); });
        starter.join();
        const QList<pid_t> workers = decodeWorkers();
        pid = workers.size() == 1 ? workers.first() : 0;
    }
    std::printf("%d\n", int(pid));
    std::fflush(stdout);
    for (;;)
        ::pause();
}

} // namespace

class TstDecoderWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answerCheckRefusesEveryInconsistency();
    void picturesComeBackAndWorkersAreReused();
    void workerHoldsNothingButItsChannel();
    void killedWorkerCostsOnePicture();
    void workerOutlivesTheThreadThatStartedIt();
    void workerEndsWithAKilledProgram_data();
    void workerEndsWithAKilledProgram();
    void misbehavingWorkersAreRefused_data();
    void misbehavingWorkersAreRefused();
    void filterRefusesWhatDecodingDoesNotNeed_data();
    void filterRefusesWhatDecodingDoesNotNeed();
    void metafileAfterOtherPicturesGetsAFreshWorker();
    void metafileTextIsDrawn_data();
    void metafileTextIsDrawn();
    void hostileFilesEndWithinTheirAllowance_data();
    void hostileFilesEndWithinTheirAllowance();
    void fixedFuzzFindingsAreRefusedByTheDecoder();
    void validPicturesPastQtsDefaultLimitDecode();
    void windowEventsAreServedAndANewerRequestSupersedes();
    void corpusGivesTheSameOutcomesWithBothCoresBusy();
    void backgroundWorkersRunLowerAndServeOnlyTheBackground();
    void workerWaitingForACoreIsNotTakenAsHung();

private:
    QString write(const QString& name, const QByteArray& bytes);
    DecodeResult decodeFile(const QString& path, const DecodeParams& params = Preview);
    void expectNextPictureFine();

    std::unique_ptr<QTemporaryDir> m_dir;
};

QString TstDecoderWorker::write(const QString& name, const QByteArray& bytes)
{
    const QString path = m_dir->filePath(name);
    if (!hostile::writeFile(path, bytes))
        return {};
    return path;
}

DecodeResult TstDecoderWorker::decodeFile(const QString& path, const DecodeParams& params)
{
    return decodeInWorker(QFile::encodeName(path), params, true);
}

void TstDecoderWorker::expectNextPictureFine()
{
    setDecodeWorkerMisbehaviour({});
    const QString path = write(QStringLiteral("next.png"), pngBytes(photo(400, 300)));
    const DecodeResult r = decodeFile(path);
    QCOMPARE(r.outcome, DecodeOutcome::Decoded);
    QCOMPARE(r.picture.size, QSize(210, 157));
    QCOMPARE(r.picture.image.size(), QSize(210, 157));
    QCOMPARE(r.picture.image.pixelColor(10, 10), QColor(Qt::yellow));
}

void TstDecoderWorker::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    setDecodeWorkerMisbehaviour({});
}

void TstDecoderWorker::cleanup()
{
    setDecodeWorkerMisbehaviour({});
    stopIdleDecodeWorkers();
    QVERIFY(busyDecodeWorkers().isEmpty());
}

void TstDecoderWorker::answerCheckRefusesEveryInconsistency()
{
    using namespace fotarik::imaging::worker;
    WorkerRequest request;
    request.id = 7;
    request.boxWidth = 210;
    request.boxHeight = 210;
    request.devicePixelRatio = 1.5;
    request.capacity = answerCapacity(request);
    QCOMPARE(request.capacity, uint64_t(315 * 315 * 4));
    WorkerMessage good;
    good.kind = MessageKind::Picture;
    good.id = 7;
    good.logicalWidth = 210;
    good.logicalHeight = 157;
    good.pixelWidth = 315;
    good.pixelHeight = 236; // round(157 x 1.5)
    good.bytesPerLine = 315 * 4;
    const int64_t size = int64_t(request.capacity);
    const auto verdict = [&](const WorkerMessage& m, int64_t memory = -2, int seals = -2) {
        return checkAnswer(&m, sizeof m, request, memory == -2 ? size : memory,
                           seals == -2 ? requiredSeals() : seals)
            .verdict;
    };
    using V = CheckedMessage::Verdict;
    QCOMPARE(verdict(good), V::Picture);
    const CheckedMessage c = checkAnswer(&good, sizeof good, request, size, requiredSeals());
    QCOMPARE(c.pixels, QSize(315, 236));
    QCOMPARE(c.logical, QSize(210, 157));
    const std::vector<std::pair<const char*, std::function<void(WorkerMessage&)>>> lies = {
        {"magic", [](WorkerMessage& m) { m.magic ^= 1; }},
        {"id", [](WorkerMessage& m) { m.id = 8; }},
        {"kind", [](WorkerMessage& m) { m.kind = MessageKind(9); }},
        {"wider than the box", [](WorkerMessage& m) { m.logicalWidth = 211; }},
        {"pixels not at the ratio", [](WorkerMessage& m) { m.pixelHeight = 237; }},
        {"no pixels", [](WorkerMessage& m) { m.pixelWidth = m.logicalWidth = 0; }},
        {"negative", [](WorkerMessage& m) { m.pixelWidth = m.logicalWidth = -5; }},
        {"line length", [](WorkerMessage& m) { m.bytesPerLine = 315 * 4 + 4; }},
        {"huge lines", [](WorkerMessage& m) { m.bytesPerLine = 0xFFFFFFFC; }},
        {"retiring not a flag", [](WorkerMessage& m) { m.retiring = 2; }},
    };
    for (const auto& [name, lie] : lies) {
        WorkerMessage m = good;
        lie(m);
        QVERIFY2(verdict(m) == V::Invalid, name);
    }
    QCOMPARE(verdict(good, 315 * 4 * 236 - 1), V::Invalid); // shared memory shrunk
    QCOMPARE(verdict(good, size + 4096), V::Invalid);       // or grown
    QCOMPARE(verdict(good, size, requiredSeals() & ~F_SEAL_WRITE), V::Invalid);
    QCOMPARE(checkAnswer(&good, sizeof good - 1, request, size, requiredSeals()).verdict, V::Invalid);
    WorkerMessage declared = good;
    declared.kind = MessageKind::Declared;
    declared.declaredWidth = -1;
    QCOMPARE(verdict(declared), V::Invalid);
    WorkerMessage refused = good;
    refused.kind = MessageKind::Refused;
    refused.reason = RefusalReason(77);
    QCOMPARE(verdict(refused), V::Invalid);
    refused.reason = RefusalReason::CannotDecode;
    QCOMPARE(verdict(refused), V::Refused);
}

void TstDecoderWorker::picturesComeBackAndWorkersAreReused()
{
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(1600, 1200)));
    const DecodeResult first = decodeFile(path);
    QCOMPARE(first.outcome, DecodeOutcome::Decoded);
    QCOMPARE(first.picture.size, QSize(210, 157));
    const QList<pid_t> workers = decodeWorkers();
    QCOMPARE(workers.size(), 1);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(decodeFile(path).outcome, DecodeOutcome::Decoded);
    QCOMPARE(decodeWorkers(), workers); // the same warm worker served them all
    // At device pixels: twice the pixels, the same logical size.
    const DecodeResult sharp = decodeFile(path, {210, 210, -1, -1, 0x00FFFFFF, 2.0});
    QCOMPARE(sharp.outcome, DecodeOutcome::Decoded);
    QCOMPARE(sharp.picture.size, QSize(210, 157));
    QCOMPARE(sharp.picture.image.size(), QSize(420, 314));
    // No file, or no regular file: refused in the program, no worker asked.
    QCOMPARE(decodeFile(m_dir->filePath(QStringLiteral("missing.png"))).outcome, DecodeOutcome::NoFile);
    QCOMPARE(decodeFile(m_dir->path()).outcome, DecodeOutcome::NoFile);
    QCOMPARE(decodeFile(write(QStringLiteral("text.png"), "no picture at all")).outcome,
             DecodeOutcome::Refused);
}

void TstDecoderWorker::workerHoldsNothingButItsChannel()
{
    QCOMPARE(decodeFile(write(QStringLiteral("a.png"), pngBytes(photo(50, 50)))).outcome,
             DecodeOutcome::Decoded);
    const QList<pid_t> workers = decodeWorkers();
    QCOMPARE(workers.size(), 1);
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(workers.first()));
    QStringList open = fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    open.sort();
    QStringList targets;
    for (const QString& fd : open)
        targets << fd + QStringLiteral(" -> ") + QFile::symLinkTarget(fds.filePath(fd));
    QVERIFY2(open == QStringList({"0", "1", "2", "3"}), qPrintable(targets.join(QStringLiteral(", "))));
    QCOMPARE(QFile::symLinkTarget(fds.filePath(QStringLiteral("1"))), QStringLiteral("/dev/null"));
    // Its limits: no file may grow, no core is written.
    QFile limits(QStringLiteral("/proc/%1/limits").arg(workers.first()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(limits.readAll());
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("Max file size\\s+0\\s+0"))), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("Max core file size\\s+0\\s+0"))),
             qPrintable(text));
    // And nowhere to make files: its environment points at no folder.
    QFile environment(QStringLiteral("/proc/%1/environ").arg(workers.first()));
    QVERIFY(environment.open(QIODevice::ReadOnly));
    const QList<QByteArray> env = environment.readAll().split('\0');
    QVERIFY(env.contains("TMPDIR=/dev/null/none"));
    QVERIFY(env.contains("XDG_RUNTIME_DIR=/dev/null/none"));
    QVERIFY(!env.contains(QByteArray("DISPLAY=") + qgetenv("DISPLAY")) || qgetenv("DISPLAY").isEmpty());
}

void TstDecoderWorker::killedWorkerCostsOnePicture()
{
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    setDecodeWorkerMisbehaviour("hang");
    DecodeJob job(openForReading(QFile::encodeName(path)), Preview);
    const pid_t pid = job.workerPid();
    QVERIFY(pid > 0);
    QVERIFY(busyDecodeWorkers().contains(pid));
    QVERIFY(!job.finished());
    QCOMPARE(::kill(pid, SIGKILL), 0);
    QElapsedTimer clock;
    clock.start();
    const DecodeResult r = job.wait(true);
    QCOMPARE(r.outcome, DecodeOutcome::Crashed);
    QVERIFY(r.picture.isNull());
    QVERIFY(!decodeWorkers().contains(pid));
    expectNextPictureFine();
}

void TstDecoderWorker::workerOutlivesTheThreadThatStartedIt()
{
    // A worker started by a thread that has ended since (a thumbnail thread whose work was
    // done) stays warm and serves the next picture: it ends with the program, not with
    // that thread.
    stopIdleDecodeWorkers();
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    DecodeOutcome outcome = DecodeOutcome::Unavailable;
    std::thread starter([&] { outcome = decodeInWorker(QFile::encodeName(path), Preview, false).outcome; });
    starter.join();
    QCOMPARE(outcome, DecodeOutcome::Decoded);
    const QList<pid_t> workers = decodeWorkers();
    QCOMPARE(workers.size(), 1);
    // The kernel tells the worker of the thread's end as that thread is reaped.
    QTest::qWait(300);
    QCOMPARE(::kill(workers.first(), 0), 0);
    QCOMPARE(decodeFile(path).outcome, DecodeOutcome::Decoded);
    QCOMPARE(decodeWorkers(), workers);
}

void TstDecoderWorker::workerEndsWithAKilledProgram_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::newRow("in the middle of a decode") << QByteArray("busy");
    QTest::newRow("warm, its starting thread ended") << QByteArray("idle");
}

void TstDecoderWorker::workerEndsWithAKilledProgram()
{
    // kill -9 of the program, no chance to stop its workers: each ends by itself.
    QFETCH(QByteArray, mode);
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--dying-program"), path, QString::fromLatin1(mode)});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine() || program.state() != QProcess::Running, 30000);
    bool ok = false;
    const pid_t worker = pid_t(program.readLine().trimmed().toInt(&ok));
    QVERIFY(ok && worker > 0);
    QVERIFY(!processEnded(worker));
    // The worker is the program's child, not the test's.
    QCOMPARE(procStat(worker).value(1).toLongLong(), qint64(program.processId()));
    if (mode == "busy") {
        // Asleep in its stalled decode, not spending CPU time the test would wait on.
        QTest::qWait(200);
        QVERIFY(!processEnded(worker));
    }
    QCOMPARE(::kill(pid_t(program.processId()), SIGKILL), 0);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QTRY_VERIFY_WITH_TIMEOUT(processEnded(worker), 30000);
}

void TstDecoderWorker::misbehavingWorkersAreRefused_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<int>("outcome");
    QTest::newRow("garbage") << QByteArray("garbage") << int(DecodeOutcome::BadAnswer);
    QTest::newRow("more pixels than fit") << QByteArray("oversize") << int(DecodeOutcome::BadAnswer);
    QTest::newRow("not sealed") << QByteArray("unsealed") << int(DecodeOutcome::BadAnswer);
    QTest::newRow("crash") << QByteArray("crash") << int(DecodeOutcome::Crashed);
    QTest::newRow("exit") << QByteArray("exit") << int(DecodeOutcome::Crashed);
    QTest::newRow("burns CPU") << QByteArray("spin") << int(DecodeOutcome::CpuLimit);
    QTest::newRow("stalls") << QByteArray("hang") << int(DecodeOutcome::WallLimit);
}

void TstDecoderWorker::misbehavingWorkersAreRefused()
{
    QFETCH(QByteArray, mode);
    QFETCH(int, outcome);
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    setDecodeWorkerMisbehaviour(mode);
    const DecodeResult r = decodeFile(path);
    QCOMPARE(int(r.outcome), outcome);
    QVERIFY(r.picture.isNull());
    QVERIFY(busyDecodeWorkers().isEmpty());
    expectNextPictureFine();
}

void TstDecoderWorker::filterRefusesWhatDecodingDoesNotNeed_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    // A picture's worker may open no file at all; a metafile's may read (fonts), no more.
    QTest::newRow("picture") << QStringLiteral("a.png") << pngBytes(photo(400, 300));
    QTest::newRow("metafile") << QStringLiteral("a.wmf") << wmfOfText();
}

void TstDecoderWorker::filterRefusesWhatDecodingDoesNotNeed()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    const QString path = write(name, content);
    // The probing worker tries to open files, make a socket, connect its channel, signal
    // the program, fork, map memory executable or make it so (also its own program file)
    // and run a program: it refuses the picture when every try failed as it should, and
    // ends when one succeeded.
    setDecodeWorkerMisbehaviour("forbidden");
    const DecodeResult r = decodeFile(path);
    QCOMPARE(r.outcome, DecodeOutcome::Refused);
    expectNextPictureFine();
}

void TstDecoderWorker::metafileTextIsDrawn_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    // A WMF's text is 8-bit, an EMF's UTF-16: converted by a module of the C library, which
    // the worker must have loaded before it may map no new code.
    QTest::newRow("wmf") << QStringLiteral("text.wmf") << wmfOfText();
    QTest::newRow("emf") << QStringLiteral("text.emf") << emfOfText();
}

void TstDecoderWorker::metafileTextIsDrawn()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    // A fresh worker each: the first request loads what the drawing needs.
    stopIdleDecodeWorkers();
    const DecodeResult r = decodeFile(write(name, content));
    QCOMPARE(r.outcome, DecodeOutcome::Decoded);
    QVERIFY2(darkPixels(r.picture.image) > 200, qPrintable(QString::number(darkPixels(r.picture.image))));
    expectNextPictureFine();
}

void TstDecoderWorker::metafileAfterOtherPicturesGetsAFreshWorker()
{
    const QString wmf = write(QStringLiteral("text.wmf"), wmfOfText());
    const DecodeResult first = decodeFile(wmf);
    QCOMPARE(first.outcome, DecodeOutcome::Decoded);
    // The text is drawn: its fonts could be read.
    QVERIFY2(darkPixels(first.picture.image) > 200,
             qPrintable(QString::number(darkPixels(first.picture.image))));
    stopIdleDecodeWorkers();

    QCOMPARE(decodeFile(write(QStringLiteral("a.png"), pngBytes(photo(400, 300)))).outcome,
             DecodeOutcome::Decoded);
    const QList<pid_t> sealed = decodeWorkers();
    QCOMPARE(sealed.size(), 1);
    // That worker may open no more files: it hands the metafile on and retires.
    const DecodeResult after = decodeFile(wmf);
    QCOMPARE(after.outcome, DecodeOutcome::Decoded);
    QCOMPARE(after.picture.size, first.picture.size);
    QCOMPARE(after.picture.image, first.picture.image);
    QVERIFY(!decodeWorkers().contains(sealed.first()));
    expectNextPictureFine();
}

void TstDecoderWorker::hostileFilesEndWithinTheirAllowance_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("picture"); // whether it is a valid picture after all

    QTest::newRow("png with 999 zTXt chunks") << pngWithTextChunks(999, 1 << 20) << true;
    const QByteArray webp = animatedWebp(5792);
    QVERIFY(!webp.isEmpty());
    QTest::newRow("animated webp, 5792 square canvas") << webp << false;
    QTest::newRow("wmf of huge dashed polylines") << wmfOfPolylines(11, 32000) << false;
    QTest::newRow("wmf of many lines") << hostile::wmfOfLines(700000) << false;
    QTest::newRow("emf of a million lines") << hostile::emfOfLines(1000000) << false;
    QTest::newRow("jpeg declaring 45000 square") << hostile::progressiveJpeg(45000, 45000, 200) << false;
    QTest::newRow("png with a 2 GiB chunk") << hostile::pngWithHugeChunkHead(0x7FFFFFFF) << false;
    QTest::newRow("bitmap with an absurd header") << hostile::absurdBitmap() << false;
    QTest::newRow("16-bit rgba png of 134 Mpx, paeth rows") << hostile::png16WithPaethRows(11584) << false;
    QTest::newRow("float tiff of 16 Mpx") << hostile::floatTiff(4000) << false;
    // Valid, and slow to decode: it must not be refused for that.
    QTest::newRow("progressive arithmetic jpeg") << hostile::arithmeticJpeg(4000, 3000) << true;
}

void TstDecoderWorker::hostileFilesEndWithinTheirAllowance()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, picture);
    const QString path = write(QStringLiteral("hostile.pic"), bytes);
    QElapsedTimer clock;
    clock.start();
    const DecodeResult r = decodeFile(path);
    // Whatever it is, it ends: by a picture, a refusal or one of the limits.
    QVERIFY2(clock.elapsed() <= mostMs(), qPrintable(QString::number(clock.elapsed())));
    qInfo("outcome %d after %lld ms", int(r.outcome), qint64(clock.elapsed()));
    if (picture)
        QCOMPARE(r.outcome, DecodeOutcome::Decoded);
    else
        QVERIFY(r.outcome != DecodeOutcome::Unavailable && r.outcome != DecodeOutcome::BadAnswer);
    expectNextPictureFine();
}

void TstDecoderWorker::fixedFuzzFindingsAreRefusedByTheDecoder()
{
    // Every picture file a fuzzer once found too costly or crashing is answered by the
    // decoder itself (a refusal or a picture), not by a limit ending the worker: with the
    // address-space limit on, a decoder that still tried a huge allocation would crash.
    const QDir root(QStringLiteral(FOTARIK_FUZZ_REGRESSIONS));
    int files = 0;
    for (const QString entry : {"picture", "heif", "jxl"}) {
        const QDir dir(root.filePath(entry));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            const QString what = entry + u'/' + name;
            QElapsedTimer clock;
            clock.start();
            const DecodeResult r = decodeFile(dir.filePath(name));
            QVERIFY2(clock.elapsed() <= mostMs(), qPrintable(what));
            QVERIFY2(r.outcome == DecodeOutcome::Refused || r.outcome == DecodeOutcome::Decoded,
                     qPrintable(what + QStringLiteral(": outcome ") + QString::number(int(r.outcome))));
            ++files;
        }
    }
    QVERIFY(files > 0);
    expectNextPictureFine();
}

void TstDecoderWorker::validPicturesPastQtsDefaultLimitDecode()
{
    // Qt reports a top-down bitmap's height as negative; it is a picture all the same.
    const DecodeResult bmp = decodeFile(write(QStringLiteral("topdown.bmp"), topDownBitmap(127, 64)));
    QCOMPARE(bmp.outcome, DecodeOutcome::Decoded);
    QCOMPARE(bmp.picture.size, QSize(127, 64));
    QCOMPARE(bmp.picture.image.pixelColor(60, 5), QColor(Qt::black));
    QCOMPARE(bmp.picture.image.pixelColor(60, 60), QColor(Qt::white));
    // 5800 x 5800 grey: 134 MB at 32 bits, past Qt's default allocation limit of 128 MiB.
    QImage grey(5800, 5800, QImage::Format_Grayscale8);
    grey.fill(128);
    const QString tiff = m_dir->filePath(QStringLiteral("big.tif"));
    QVERIFY(grey.save(tiff, "tiff"));
    grey = QImage();
    const DecodeResult big = decodeFile(tiff);
    QCOMPARE(big.outcome, DecodeOutcome::Decoded);
    QCOMPARE(big.picture.size, QSize(210, 210));
}

void TstDecoderWorker::windowEventsAreServedAndANewerRequestSupersedes()
{
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    setDecodeWorkerMisbehaviour("hang");
    DecodeJob slow(openForReading(QFile::encodeName(path)), Preview);
    const pid_t slowWorker = slow.workerPid();
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
    ticker.start(5);
    DecodeResult newer;
    // A press on another entry while the slow one is waited for.
    QTimer::singleShot(100, this, [&] {
        setDecodeWorkerMisbehaviour({});
        newer = decodeFile(path);
    });
    const DecodeResult outer = slow.wait(true);
    QCOMPARE(outer.outcome, DecodeOutcome::Superseded);
    QCOMPARE(newer.outcome, DecodeOutcome::Decoded);
    QVERIFY(ticks >= 5); // the timer went on firing while the picture was waited for
    QVERIFY(!decodeWorkers().contains(slowWorker));
}

void TstDecoderWorker::corpusGivesTheSameOutcomesWithBothCoresBusy()
{
    const QString corpus = QStringLiteral(FOTARIK_CORPUS_DIR "/images");
    if (!QDir(corpus).exists())
        QSKIP("no picture corpus");
    QStringList files;
    QDirIterator it(corpus, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        if (!f.endsWith(QLatin1String(".md")) && !f.endsWith(QLatin1String(".tsv")) &&
            !f.endsWith(QLatin1String(".json")) && !f.contains(QLatin1String("/LICENSES")))
            files << f;
    }
    files.sort();
    QVERIFY(files.size() > 10);
    std::map<QString, DecodeOutcome> quiet;
    for (const QString& f : files)
        quiet[f] = decodeFile(f).outcome;
    // Both cores busy with two spinning processes.
    std::vector<std::unique_ptr<QProcess>> spinners;
    for (int i = 0; i < 2; ++i) {
        auto p = std::make_unique<QProcess>();
        p->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("while :; do :; done")});
        QVERIFY(p->waitForStarted());
        spinners.push_back(std::move(p));
    }
    QStringList differ;
    for (const QString& f : files) {
        const DecodeOutcome busy = decodeFile(f).outcome;
        if (busy != quiet[f])
            differ << QStringLiteral("%1: %2 quiet, %3 busy").arg(f).arg(int(quiet[f])).arg(int(busy));
    }
    for (auto& p : spinners) {
        p->kill();
        p->waitForFinished();
    }
    QVERIFY2(differ.isEmpty(), qPrintable(differ.join('\n')));
    int decoded = 0;
    for (const auto& [f, outcome] : quiet)
        decoded += outcome == DecodeOutcome::Decoded;
    qInfo("%d of %d corpus files decoded", decoded, int(files.size()));
    QVERIFY(decoded > 0);
}

// The test binary is also the program that workerEndsWithAKilledProgram kills.
void TstDecoderWorker::backgroundWorkersRunLowerAndServeOnlyTheBackground()
{
    errno = 0;
    const int windowNice = ::getpriority(PRIO_PROCESS, id_t(::getpid()));
    QCOMPARE(errno, 0);
    QCOMPARE(backgroundNice(), std::min(19, windowNice + BackgroundNiceSteps));
    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    auto work = std::make_unique<BackgroundWork>();
    // Taken in turns, each kind finds an idle worker of the other kind: it must not take it.
    for (int round = 0; round < 3; ++round) {
        for (const bool background : {false, true}) {
            DecodeParams params = Preview;
            params.background = background;
            DecodeJob job(openForReading(QFile::encodeName(path)), params);
            const pid_t worker = job.workerPid();
            QVERIFY(worker > 0);
            QCOMPARE(niceOf(worker), background ? backgroundNice() : windowNice);
            const DecodeResult r = job.wait(false);
            QCOMPARE(r.outcome, DecodeOutcome::Decoded);
            QCOMPARE(r.picture.size, QSize(210, 157));
        }
    }
    // Warm workers of both kinds are kept, one for background work only while it is wanted.
    const QList<pid_t> warm = decodeWorkers();
    QCOMPARE(warm.size(), 2);
    work.reset();
    QCOMPARE(decodeWorkers().size(), 1);
    QCOMPARE(niceOf(decodeWorkers().first()), windowNice);
    for (const pid_t pid : warm)
        if (pid != decodeWorkers().first())
            QTRY_VERIFY(processEnded(pid));
    // Without anyone wanting them, a background worker serves its picture and ends.
    DecodeParams params = Preview;
    params.background = true;
    QCOMPARE(decodeFile(path, params).outcome, DecodeOutcome::Decoded);
    QCOMPARE(decodeWorkers().size(), 1);
    // A thread of background work goes down to that priority, and only that thread.
    int threadNice = 100;
    std::thread([&] {
        runThisThreadInTheBackground();
        errno = 0;
        threadNice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    }).join();
    QCOMPARE(threadNice, backgroundNice());
    QCOMPARE(::getpriority(PRIO_PROCESS, id_t(::gettid())), windowNice);
}

void TstDecoderWorker::workerWaitingForACoreIsNotTakenAsHung()
{
    // A worker that gets next to nothing of a CPU because others have it (it runs below
    // them, the machine is busy) needs longer than its wall cap: it is still computing,
    // not stalled, and its answer is waited for. Here: it and two spinners share one CPU,
    // and it runs far below them.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    QVERIFY(::sched_getaffinity(0, sizeof allowed, &allowed) == 0);
    int cpu = 0;
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed))
        ++cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    std::atomic<bool> stop{false};
    std::atomic<int> pinned{0};
    std::vector<std::thread> spinners;
    for (int i = 0; i < 2; ++i) {
        spinners.emplace_back([&] {
            if (::sched_setaffinity(0, sizeof one, &one) == 0)
                ++pinned;
            volatile unsigned long n = 0;
            while (!stop.load(std::memory_order_relaxed))
                n = n + 1;
        });
    }
    const auto stopSpinners = qScopeGuard([&] {
        stop = true;
        for (std::thread& t : spinners)
            t.join();
    });
    QTRY_COMPARE(pinned.load(), 2);

    const QString path = write(QStringLiteral("a.png"), pngBytes(photo(400, 300)));
    setDecodeWorkerMisbehaviour("crawl");
    // A warm worker (its first request is refused at once): held back from the moment the
    // second request reaches it, not while it starts.
    QCOMPARE(decodeFile(path).outcome, DecodeOutcome::Refused);
    QElapsedTimer clock;
    clock.start();
    DecodeJob job(openForReading(QFile::encodeName(path)), Preview);
    const pid_t worker = job.workerPid();
    QVERIFY(worker > 0);
    QCOMPARE(decodeWorkers(), QList<pid_t>{worker});
    for (const pid_t task : tasksOf(worker)) {
        QVERIFY(::sched_setaffinity(task, sizeof one, &one) == 0);
        QVERIFY(::setpriority(PRIO_PROCESS, id_t(task), 19) == 0);
    }
    // What it had of a CPU for this request, not for its start and the first one.
    const std::chrono::milliseconds before = cpuOf(worker);
    std::chrono::milliseconds used{};
    while (!job.waitFor(100ms))
        used = std::max(used, cpuOf(worker) - before);
    const DecodeResult r = job.wait(false);
    const auto took = std::chrono::milliseconds(clock.elapsed());
    qInfo("the worker had %lld ms of a CPU in %lld ms", (long long)used.count(), (long long)took.count());
    // The premise: far too little of a CPU to count as computing by its CPU time alone.
    QVERIFY2(
        used * budget::DecodeStallShare < took,
        qPrintable(
            QStringLiteral("the worker had %1 ms of a CPU in %2 ms").arg(used.count()).arg(took.count())));
    QCOMPARE(r.outcome, DecodeOutcome::Refused);
    QVERIFY2(took > budget::decodeWallCap(budget::DecodeCpuBase), qPrintable(QString::number(took.count())));
    QVERIFY(busyDecodeWorkers().isEmpty());
}

FOTARIK_QTEST_WRAPPER(TstDecoderWorker, if (argc >= 4 && std::strcmp(argv[1], "--dying-program") == 0)
                                            runDyingProgram(argc, argv);
                      QTEST_QAPP_SETUP(QCoreApplication))

#include "tst_decoderworker.moc"
