#include "thumbnailer.h"

#include <QThread>
#include <algorithm>
#include <atomic>

#include "modul1.h"
#include "readablefile.h"
#include "scaledpicture.h"

namespace fotarik::overview {
namespace {

std::atomic<int> g_liveWorkers{0};
std::atomic<ThumbnailHook> g_hook{nullptr};

// Each worker may hold a picture of up to the decoding budget; more than a few of them
// would only add memory, not speed, on the machines this runs on.
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

Thumbnail makeThumbnail(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio)
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
    imaging::ScaledPicture picture =
        imaging::decodeScaledPicture(path, pixels, pixels, -1, -1, 0x00FFFFFF, devicePixelRatio);
    if (picture.isNull())
        return result;
    result.kind = Thumbnail::Kind::Picture;
    result.image = std::move(picture.image);
    return result;
}

Thumbnailer::Thumbnailer(Deliver deliver, QObject* parent) : QObject(parent), m_deliver(std::move(deliver))
{
    m_pool.setMaxThreadCount(std::clamp(QThread::idealThreadCount(), 1, MaxWorkers));
    m_pool.setObjectName(QStringLiteral("thumbnails"));
}

Thumbnailer::~Thumbnailer()
{
    stop();
}

QByteArray Thumbnailer::keyOf(const QByteArray& path, int pixels)
{
    return QByteArray::number(pixels) + '\n' + path;
}

int Thumbnailer::liveWorkers()
{
    return g_liveWorkers.load();
}

int Thumbnailer::outstanding() const
{
    const std::lock_guard lock(m_mutex);
    return int(m_pending.size()) + int(m_running.size());
}

void Thumbnailer::want(const std::vector<Request>& requests, int pixels, qreal devicePixelRatio,
                       uint64_t generation, bool replace)
{
    const std::lock_guard lock(m_mutex);
    if (m_stopping)
        return;
    QSet<QByteArray> waiting;
    if (replace)
        m_pending.clear();
    else
        for (const Job& job : m_pending)
            waiting.insert(job.key);
    for (const Request& request : requests) {
        QByteArray key = keyOf(request.path, pixels);
        if (m_running.contains(key) || waiting.contains(key))
            continue;
        waiting.insert(key);
        m_pending.push_back(Job{request, pixels, devicePixelRatio, generation, std::move(key)});
    }
    while (m_workers < m_pool.maxThreadCount() && size_t(m_workers) < m_pending.size()) {
        ++m_workers;
        g_liveWorkers.fetch_add(1);
        m_pool.start([this] { work(); });
    }
}

void Thumbnailer::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending.clear();
    }
    m_pool.waitForDone();
}

void Thumbnailer::work()
{
    for (;;) {
        Job job;
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping || m_pending.empty()) {
                --m_workers;
                g_liveWorkers.fetch_sub(1);
                return;
            }
            job = std::move(m_pending.front());
            m_pending.pop_front();
            m_running.insert(job.key);
        }
        Result result{job.request.row, job.generation, job.request.path, job.pixels,
                      makeThumbnail(job.request.path, job.request.text, job.pixels, job.devicePixelRatio)};
        // Handed over on the owner's thread; a result still queued when the owner goes is
        // dropped with it.
        QMetaObject::invokeMethod(
            this,
            [this, key = std::move(job.key), result = std::move(result)]() mutable {
                {
                    const std::lock_guard lock(m_mutex);
                    m_running.remove(key);
                }
                m_deliver(std::move(result));
            },
            Qt::QueuedConnection);
    }
}

} // namespace fotarik::overview
