#pragma once
// Thumbnails of found files, made on a small pool of worker threads sized to the machine.
//
// The window hands over the cells it shows (and a margin ahead) as requests; each new
// list replaces the work still waiting, so cells scrolled out of view cost nothing more.
// Pictures go through the program's scaled-picture decoding with its budgets; texts give
// the first lines of their start, read from a bounded block of a safely opened file.
// Everything else is drawn as a symbol by the window and never reaches the pool. Results
// are handed to the window on its own thread. The destructor drops the waiting work and
// waits for the running one, so no worker outlives its owner.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThreadPool>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace fotarik::overview {

struct Thumbnail
{
    enum class Kind : uint8_t { Picture, Text, Failed };
    Kind kind = Kind::Failed;
    QImage image;      // Picture: fitted into the cell, carrying the screen's pixel ratio
    QStringList lines; // Text: the first lines of the file

    // What the thumbnail holds in memory, for the cache's bound.
    qint64 bytes() const;
};

// Makes one thumbnail on the calling thread: a picture fitted into pixels x pixels
// (logical), or the first lines of a text.
Thumbnail makeThumbnail(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio);

// Test seam: called on the worker thread before each thumbnail is made. A test slows it
// down to stand for a slow drive.
using ThumbnailHook = void (*)();
void setThumbnailHookForTests(ThumbnailHook hook);

// Lines and characters per line a text thumbnail keeps, and the bytes of its start read.
inline constexpr int TextThumbnailLines = 12;
inline constexpr int TextThumbnailColumns = 80;
inline constexpr qint64 TextThumbnailReadBytes = 4096;

class Thumbnailer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        int32_t row = 0;
        QByteArray path;
        bool text = false;
    };
    struct Result
    {
        int32_t row = 0;
        uint64_t generation = 0;
        QByteArray path;
        int pixels = 0;
        Thumbnail thumbnail;
    };
    using Deliver = std::function<void(Result&&)>;

    // deliver is called on this object's thread for every finished thumbnail.
    explicit Thumbnailer(Deliver deliver, QObject* parent = nullptr);
    ~Thumbnailer() override;

    // The work waiting from now on: these requests, in this order (replace), or these after
    // what waits already (not replace). Requests for a thumbnail being made already, or
    // waiting already, are left out.
    void want(const std::vector<Request>& requests, int pixels, qreal devicePixelRatio, uint64_t generation,
              bool replace);
    // Drops the waiting work and waits for the running one.
    void stop();

    int threadCount() const { return m_pool.maxThreadCount(); }
    // Requests waiting or being made.
    int outstanding() const;

    // Worker threads running in the whole program (tests).
    static int liveWorkers();

private:
    struct Job
    {
        Request request;
        int pixels = 0;
        qreal devicePixelRatio = 1.0;
        uint64_t generation = 0;
        QByteArray key;
    };
    void work();
    static QByteArray keyOf(const QByteArray& path, int pixels);

    Deliver m_deliver;
    mutable std::mutex m_mutex;
    std::deque<Job> m_pending;
    QSet<QByteArray> m_running; // keys being made or made and not yet delivered
    int m_workers = 0;
    bool m_stopping = false;
    QThreadPool m_pool;
};

} // namespace fotarik::overview
