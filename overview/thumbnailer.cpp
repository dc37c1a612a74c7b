#include "thumbnailer.h"

#include <QSet>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include "budgets.h"
#include "decoderworker.h"
#include "jpegdecoder.h"
#include "modul1.h"
#include "readablefile.h"
#include "thumbnailcache.h"

namespace fotarik::overview {
namespace {

std::atomic<int> g_liveWorkers{0};
std::atomic<int> g_givenUp{0};
std::atomic<ThumbnailHook> g_hook{nullptr};
std::atomic<ThumbnailHook> g_givenUpHook{nullptr};

// Each thread drives one decoder worker, which may take a picture of up to the decoding
// budget; more than a few of them would only add memory, not speed, on the machines this
// runs on.
constexpr int MaxWorkers = 4;

QStringList firstLines(QByteArray bytes, bool wholeFile)
{
    // A cut inside a character would make valid UTF-8 look invalid: end at the last line.
    if (!wholeFile) {
        const qsizetype end = bytes.lastIndexOf('\n');
        if (end > 0)
            bytes.truncate(end + 1);
    }
    const QString text = decodeText(bytes);
    QStringList lines;
    qsizetype start = 0;
    while (lines.size() < TextThumbnailLines && start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        QString line = text.mid(start, std::min<qsizetype>(end - start, TextThumbnailColumns));
        line.replace(u'\t', QStringLiteral("    "));
        line.replace(QChar(0), QChar(0x2400));
        lines << line;
        if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

uint16_t read16(const uchar* p, bool bigEndian)
{
    return bigEndian ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

uint32_t read32(const uchar* p, bool bigEndian)
{
    return bigEndian ? uint32_t(read16(p, true)) << 16 | read16(p + 2, true)
                     : uint32_t(read16(p + 2, false)) << 16 | read16(p, false);
}

// The segments of a JPEG's start up to its first scan: its frame's size (stored
// orientation) and the body of its EXIF segment, where bytes hold them.
struct JpegHead
{
    QSize size;
    QByteArrayView exif; // from the TIFF header on
};

JpegHead readJpegHead(QByteArrayView bytes)
{
    JpegHead head;
    const auto* d = reinterpret_cast<const uchar*>(bytes.data());
    const qsizetype n = bytes.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return head;
    qsizetype at = 2;
    while (at + 4 <= n && d[at] == 0xFF) {
        const uchar marker = d[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        const qsizetype length = read16(d + at + 2, true);
        if (length < 2 || at + 2 + length > n)
            break;
        const uchar* body = d + at + 4;
        const qsizetype bodyLength = length - 2;
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && bodyLength >= 5) {
            head.size = QSize(read16(body + 3, true), read16(body + 1, true));
            break;
        }
        if (marker == 0xE1 && head.exif.isEmpty() && bodyLength > 6 && std::memcmp(body, "Exif\0\0", 6) == 0)
            head.exif = QByteArrayView(reinterpret_cast<const char*>(body + 6), bodyLength - 6);
        at += 2 + length;
    }
    return head;
}

} // namespace

std::optional<ExifThumbnail> exifThumbnail(const QByteArray& start, int pixels, qreal devicePixelRatio)
{
    const JpegHead head = readJpegHead(start);
    if (head.exif.size() < 8 || head.size.isEmpty())
        return std::nullopt;
    const auto* tiff = reinterpret_cast<const uchar*>(head.exif.data());
    const qsizetype size = head.exif.size();
    bool big = false;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (tiff[0] != 'I' || tiff[1] != 'I')
        return std::nullopt;
    if (read16(tiff + 2, big) != 42)
        return std::nullopt;
    // Reads a directory at offset: its entries through entry(tag, type, value), and the
    // offset of the next directory (0 when none or out of bounds).
    const auto directory = [&](uint32_t offset, const auto& entry) -> uint32_t {
        if (offset < 8 || qsizetype(offset) + 2 > size)
            return 0;
        const int entries = read16(tiff + offset, big);
        const qsizetype end = qsizetype(offset) + 2 + qsizetype(entries) * 12;
        if (end + 4 > size)
            return 0;
        for (int i = 0; i < entries; ++i) {
            const uchar* e = tiff + offset + 2 + qsizetype(i) * 12;
            const uint16_t type = read16(e + 2, big);
            const uint32_t value = type == 3 ? read16(e + 8, big) : type == 4 ? read32(e + 8, big) : 0;
            entry(read16(e, big), value);
        }
        const uint32_t next = read32(tiff + end, big);
        return next > offset ? next : 0; // forward only: a loop of directories ends here
    };
    ExifThumbnail result;
    const uint32_t second = directory(read32(tiff + 4, big), [&](uint16_t tag, uint32_t value) {
        if (tag == 0x0112 && value >= 1 && value <= 8)
            result.orientation = int(value);
    });
    uint32_t offset = 0;
    uint32_t length = 0;
    directory(second, [&](uint16_t tag, uint32_t value) {
        if (tag == 0x0201)
            offset = value;
        else if (tag == 0x0202)
            length = value;
    });
    if (second == 0 || offset == 0 || length < 4 || qsizetype(offset) + qsizetype(length) > size)
        return std::nullopt;
    result.jpeg = QByteArray(reinterpret_cast<const char*>(tiff + offset), qsizetype(length));
    const QSize thumbnail = readJpegHead(result.jpeg).size;
    if (thumbnail.isEmpty())
        return std::nullopt;
    // Of use only when it holds at least the pixels the cell shows of the picture, and the
    // picture's shape (many cameras add black bars to fit a fixed thumbnail size).
    const double side = std::ceil(pixels * devicePixelRatio);
    const QSize picture = head.size;
    const double scale = std::min({side / picture.width(), side / picture.height(), 1.0});
    if (thumbnail.width() < std::floor(picture.width() * scale) ||
        thumbnail.height() < std::floor(picture.height() * scale))
        return std::nullopt;
    const double shape = double(picture.width()) / picture.height();
    const double thumbnailShape = double(thumbnail.width()) / thumbnail.height();
    if (std::abs(thumbnailShape - shape) > 0.02 * shape)
        return std::nullopt;
    return result;
}

namespace {

// A picture through a decoder worker, fitted into pixels x pixels: nothing when it was
// given up (no longer wanted), a null image when it could not be decoded.
std::optional<QImage> decode(ReadableFile file, int pixels, qreal devicePixelRatio,
                             const std::function<bool()>& stillWanted)
{
    imaging::DecodeParams params{pixels, pixels, -1, -1, 0x00FFFFFF, devicePixelRatio};
    // Nobody waits for one thumbnail: the window's work goes first.
    params.background = true;
    imaging::DecodeJob job(std::move(file), params);
    while (!job.waitFor(budget::DecodeWaitSlice)) {
        if (stillWanted && !stillWanted()) {
            job.cancel();
            return std::nullopt;
        }
    }
    imaging::DecodeResult decoded = job.wait(/*serveEvents=*/false);
    if (decoded.outcome == imaging::DecodeOutcome::Superseded)
        return std::nullopt;
    if (decoded.outcome != imaging::DecodeOutcome::Decoded || decoded.picture.isNull())
        return QImage();
    return std::move(decoded.picture.image);
}

// Bytes held in memory, handed to a worker as a file of their own (a sealed memory file).
std::optional<QImage> decodeBytes(const QByteArray& bytes, int pixels, qreal devicePixelRatio,
                                  const std::function<bool()>& stillWanted)
{
    ReadableFile file;
    file.fd = UniqueFd(::memfd_create("exif-thumbnail", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!file.fd || ::write(file.fd.get(), bytes.constData(), size_t(bytes.size())) != bytes.size() ||
        ::lseek(file.fd.get(), 0, SEEK_SET) != 0 ||
        ::fcntl(file.fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0 ||
        ::fstat(file.fd.get(), &file.status) != 0)
        return QImage();
    file.size = file.status.st_size;
    return decode(std::move(file), pixels, devicePixelRatio, stillWanted);
}

} // namespace

qint64 Thumbnail::bytes() const
{
    qint64 total = qint64(sizeof(Thumbnail)) + image.sizeInBytes();
    for (const QString& line : lines)
        total += qint64(sizeof(QString)) + line.size() * qint64(sizeof(QChar));
    return total;
}

void setThumbnailHookForTests(ThumbnailHook hook)
{
    g_hook.store(hook);
}

void setGivenUpHookForTests(ThumbnailHook hook)
{
    g_givenUpHook.store(hook);
}

namespace {

// A thumbnail as makeThumbnail makes it; *wholeFile tells whether the picture had to be
// read whole (no smaller thumbnail of it was of use).
std::optional<Thumbnail> makeReading(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio,
                                     const std::function<bool()>& stillWanted, bool* wholeFile)
{
    *wholeFile = false;
    Thumbnail result;
    if (text) {
        const ReadableFile file = openForReading(path);
        if (!file.isOpen())
            return result;
        int error = 0;
        const QByteArray start = readAtMost(file.fd, TextThumbnailReadBytes, &error);
        if (error != 0)
            return result;
        result.kind = Thumbnail::Kind::Text;
        result.lines = firstLines(start, start.size() < TextThumbnailReadBytes);
        return result;
    }
    // The preview's way: the file opened here (never blocking), decoded by a worker. A
    // JPEG's own EXIF thumbnail, where it is big enough, spares the decoding of the whole
    // picture; it is decoded by a worker all the same.
    ReadableFile file = openForReading(path);
    if (file.isOpen()) {
        // A thumbnail another program made of this very file, kept in the thumbnail cache.
        if (std::optional<ReadableFile> cachedFile =
                cachedThumbnail(path, file.status, int(std::ceil(pixels * devicePixelRatio)))) {
            std::optional<QImage> made =
                decode(std::move(*cachedFile), pixels, devicePixelRatio, stillWanted);
            if (!made)
                return std::nullopt;
            if (!made->isNull()) {
                result.kind = Thumbnail::Kind::Picture;
                result.image = std::move(*made);
                return result;
            }
        }
        const QByteArray start = readAtMost(file.fd, ExifReadBytes);
        if (std::optional<ExifThumbnail> exif = exifThumbnail(start, pixels, devicePixelRatio)) {
            std::optional<QImage> small = decodeBytes(exif->jpeg, pixels, devicePixelRatio, stillWanted);
            if (!small)
                return std::nullopt;
            if (!small->isNull()) {
                result.kind = Thumbnail::Kind::Picture;
                result.image = imaging::applyExifOrientation(std::move(*small), exif->orientation);
                return result;
            }
        }
    }
    // Read whole: asked for at once, the drive has it while the decoder starts.
    if (file.isOpen()) {
        *wholeFile = true;
        ::posix_fadvise(file.fd.get(), 0, 0, POSIX_FADV_WILLNEED);
    }
    std::optional<QImage> picture = decode(std::move(file), pixels, devicePixelRatio, stillWanted);
    if (!picture)
        return std::nullopt;
    if (picture->isNull())
        return result;
    result.kind = Thumbnail::Kind::Picture;
    result.image = std::move(*picture);
    return result;
}

// Asks the drive for the start of a picture (whole: all of it) to be read into the cache,
// without waiting for it: the thumbnail made next finds it there.
void readAhead(const QByteArray& path, bool whole)
{
    const ReadableFile file = openForReading(path);
    if (file.isOpen())
        ::posix_fadvise(file.fd.get(), 0, whole ? 0 : std::min<off_t>(file.size, ExifReadBytes),
                        POSIX_FADV_WILLNEED);
}

QByteArrayView folderOf(const QByteArray& path)
{
    return QByteArrayView(path).first(std::max<qsizetype>(0, path.lastIndexOf('/')));
}

} // namespace

std::optional<Thumbnail> makeThumbnail(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio,
                                       const std::function<bool()>& stillWanted)
{
    if (const ThumbnailHook hook = g_hook.load())
        hook();
    bool wholeFile = false;
    return makeReading(path, text, pixels, devicePixelRatio, stillWanted, &wholeFile);
}

struct Thumbnailer::Shared
{
    struct Job
    {
        Request request;
        int pixels = 0;
        qreal devicePixelRatio = 1.0;
        uint64_t generation = 0;
        QByteArray key;
    };

    std::mutex mutex;
    std::deque<Job> pending;
    QSet<QByteArray> wanted;  // keys asked for since the last replacing request
    QSet<QByteArray> running; // keys being made, or made and not yet delivered
    int workers = 0;
    int maxWorkers = 1;
    // Whether the last picture had to be read whole: the next ones (of one camera, mostly)
    // are read ahead as far.
    bool readsWhole = false;
    bool stopping = false;
    Thumbnailer* owner = nullptr; // null once the owner is gone
};

namespace {

// A thumbnail of one file at one size for one list of hits: made again for a new list
// (the file may have changed since), and never mistaken for one of the old list.
QByteArray keyOf(const QByteArray& path, int pixels, uint64_t generation)
{
    return QByteArray::number(generation) + '\n' + QByteArray::number(pixels) + '\n' + path;
}

} // namespace

Thumbnailer::Thumbnailer(Deliver deliver, QObject* parent)
    : QObject(parent), m_deliver(std::move(deliver)), m_shared(std::make_shared<Shared>())
{
    // One thread more than cores: while a thumbnail waits for the drive, the others decode.
    m_shared->maxWorkers = std::clamp(QThread::idealThreadCount() + 1, 1, MaxWorkers);
    m_shared->owner = this;
}

Thumbnailer::~Thumbnailer()
{
    stop();
}

int Thumbnailer::threadCount() const
{
    return m_shared->maxWorkers;
}

int Thumbnailer::liveWorkers()
{
    return g_liveWorkers.load();
}

int Thumbnailer::givenUp()
{
    return g_givenUp.load();
}

int Thumbnailer::outstanding() const
{
    const std::lock_guard lock(m_shared->mutex);
    return int(m_shared->pending.size()) + int(m_shared->running.size());
}

void Thumbnailer::want(const std::vector<Request>& requests, int pixels, qreal devicePixelRatio,
                       uint64_t generation, bool replace)
{
    Shared& s = *m_shared;
    const std::lock_guard lock(s.mutex);
    if (s.stopping)
        return;
    QSet<QByteArray> waiting;
    if (replace) {
        s.pending.clear();
        s.wanted.clear();
    } else {
        for (const Shared::Job& job : s.pending)
            waiting.insert(job.key);
    }
    for (const Request& request : requests) {
        QByteArray key = keyOf(request.path, pixels, generation);
        s.wanted.insert(key);
        if (s.running.contains(key) || waiting.contains(key))
            continue;
        waiting.insert(key);
        s.pending.push_back(Shared::Job{request, pixels, devicePixelRatio, generation, std::move(key)});
    }
    while (s.workers < s.maxWorkers && size_t(s.workers) < s.pending.size()) {
        ++s.workers;
        g_liveWorkers.fetch_add(1);
        std::thread(&Thumbnailer::work, m_shared).detach();
    }
}

void Thumbnailer::stop()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->owner = nullptr;
    m_shared->pending.clear();
    m_shared->wanted.clear();
    m_shared->running.clear();
}

void Thumbnailer::work(std::shared_ptr<Shared> shared)
{
    // A scroll of the window must never wait for a core that makes thumbnails.
    imaging::runThisThreadInTheBackground();
    {
        // Its own scope: the shared state may go with this thread, before the count does.
        const std::shared_ptr<Shared> s = std::move(shared);
        for (;;) {
            Shared::Job job;
            QByteArray next;
            bool whole = false;
            {
                const std::lock_guard lock(s->mutex);
                if (s->stopping || s->pending.empty()) {
                    --s->workers;
                    break;
                }
                job = std::move(s->pending.front());
                s->pending.pop_front();
                s->running.insert(job.key);
                // The picture after this one is read ahead while this one is made; only from
                // the same folder, whose drive has just answered (one that hangs holds the
                // thread that asks).
                if (!s->pending.empty() && !job.request.text && !s->pending.front().request.text &&
                    folderOf(s->pending.front().request.path) == folderOf(job.request.path)) {
                    next = s->pending.front().request.path;
                    whole = s->readsWhole;
                }
            }
            if (const ThumbnailHook hook = g_hook.load())
                hook();
            if (!next.isEmpty())
                readAhead(next, whole);
            const auto stillWanted = [&] {
                const std::lock_guard lock(s->mutex);
                return !s->stopping && s->wanted.contains(job.key);
            };
            bool wholeFile = false;
            std::optional<Thumbnail> made = makeReading(job.request.path, job.request.text, job.pixels,
                                                        job.devicePixelRatio, stillWanted, &wholeFile);
            if (made && !job.request.text) {
                const std::lock_guard lock(s->mutex);
                s->readsWhole = wholeFile;
            }
            if (!made) {
                g_givenUp.fetch_add(1);
                if (const ThumbnailHook hook = g_givenUpHook.load())
                    hook();
            }
            const std::lock_guard lock(s->mutex);
            if (!made || !s->owner) {
                s->running.remove(job.key);
                // Wanted again after it was given up (scrolled away and back): the request
                // was left out then, as this one was still being made, so it is made anew.
                if (!made && !s->stopping && s->wanted.contains(job.key))
                    s->pending.push_front(std::move(job));
                continue;
            }
            // Handed over on the owner's thread; a result still queued when the owner goes
            // is dropped with it. The owner cannot go meanwhile: it takes this lock first.
            Thumbnailer* owner = s->owner;
            QMetaObject::invokeMethod(
                owner,
                [owner, key = job.key,
                 result = Result{job.request.row, job.generation, job.request.path, job.pixels,
                                 std::move(*made)}]() mutable {
                    {
                        const std::lock_guard inner(owner->m_shared->mutex);
                        owner->m_shared->running.remove(key);
                    }
                    owner->m_deliver(std::move(result));
                },
                Qt::QueuedConnection);
        }
    }
    g_liveWorkers.fetch_sub(1);
}

} // namespace fotarik::overview
