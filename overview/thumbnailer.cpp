#include "thumbnailer.h"

#include <QSet>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "budgets.h"
#include "decoderworker.h"
#include "modul1.h"
#include "readablefile.h"

namespace fotarik::overview {
namespace {

std::atomic<int> g_liveWorkers{0};
std::atomic<int> g_givenUp{0};
std::atomic<ThumbnailHook> g_hook{nullptr};

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

std::optional<Thumbnail> makeThumbnail(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio,
                                       const std::function<bool()>& stillWanted)
{
    if (const ThumbnailHook hook = g_hook.load())
        hook();
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
    // The preview's way: the file opened here (never blocking), decoded by a worker.
    imaging::DecodeJob job(openForReading(path),
                           imaging::DecodeParams{pixels, pixels, -1, -1, 0x00FFFFFF, devicePixelRatio});
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
        return result;
    result.kind = Thumbnail::Kind::Picture;
    result.image = std::move(decoded.picture.image);
    return result;
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
    bool stopping = false;
    Thumbnailer* owner = nullptr; // null once the owner is gone
};

namespace {

QByteArray keyOf(const QByteArray& path, int pixels)
{
    return QByteArray::number(pixels) + '\n' + path;
}

} // namespace

Thumbnailer::Thumbnailer(Deliver deliver, QObject* parent)
    : QObject(parent), m_deliver(std::move(deliver)), m_shared(std::make_shared<Shared>())
{
    m_shared->maxWorkers = std::clamp(QThread::idealThreadCount(), 1, MaxWorkers);
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
        QByteArray key = keyOf(request.path, pixels);
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
    {
        // Its own scope: the shared state may go with this thread, before the count does.
        const std::shared_ptr<Shared> s = std::move(shared);
        for (;;) {
            Shared::Job job;
            {
                const std::lock_guard lock(s->mutex);
                if (s->stopping || s->pending.empty()) {
                    --s->workers;
                    break;
                }
                job = std::move(s->pending.front());
                s->pending.pop_front();
                s->running.insert(job.key);
            }
            const auto stillWanted = [&] {
                const std::lock_guard lock(s->mutex);
                return !s->stopping && s->wanted.contains(job.key);
            };
            std::optional<Thumbnail> made = makeThumbnail(job.request.path, job.request.text, job.pixels,
                                                          job.devicePixelRatio, stillWanted);
            const std::lock_guard lock(s->mutex);
            if (!made)
                g_givenUp.fetch_add(1);
            if (!made || !s->owner) {
                s->running.remove(job.key);
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
