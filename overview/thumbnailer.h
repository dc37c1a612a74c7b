#pragma once
// Thumbnails of found files, made on a few worker threads sized to the machine.
//
// The window hands over the cells it shows (and a margin ahead) as requests; each new
// list replaces the work still waiting, and a thumbnail being made for a cell that is no
// longer wanted (scrolled away, another cell size, another search) is given up, its
// decoder stopped. Pictures are decoded by the sandboxed decoder workers, as the preview's
// are, within the same budgets: a hostile file costs its cell. Texts give the first lines
// of their start, read from a bounded block of a safely opened file. Everything else is
// drawn as a symbol by the window and never reaches the threads. Results are handed to the
// window on its own thread.
//
// The owner never waits for a thread: when it goes, the waiting work is dropped, each
// thread gives up its thumbnail at its next look (stopping its decoder) and ends. A thread
// held in a call on a drive that does not answer ends when the call returns; it only
// touches what it shares with the threads, never the owner.

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "decoderworker.h"

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
// (logical), decoded by a decoder worker, or the first lines of a text. stillWanted (when
// given) is asked while a decoder works; once it says no, the decoder is stopped and
// nothing is returned.
std::optional<Thumbnail> makeThumbnail(const QByteArray& path, bool text, int pixels, qreal devicePixelRatio,
                                       const std::function<bool()>& stillWanted = {});

// The EXIF thumbnail a camera stored in a JPEG, when it is of use for a cell of pixels
// (logical) x pixels: it holds at least the pixels the cell shows of the picture, and the
// picture's shape. start: the first bytes of the file (ExifReadBytes). The thumbnail is
// stored as the picture is, orientation (1-8) says how to turn it for showing.
struct ExifThumbnail
{
    QByteArray jpeg;
    int orientation = 1;
};
inline constexpr qint64 ExifReadBytes = 128 * 1024;
std::optional<ExifThumbnail> exifThumbnail(const QByteArray& start, int pixels, qreal devicePixelRatio);

// Test seam: called on the worker thread before each thumbnail is made. A test slows it
// down or holds it to stand for a slow or hung drive.
using ThumbnailHook = void (*)();
void setThumbnailHookForTests(ThumbnailHook hook);
// Test seam: called on the worker thread after a thumbnail was given up, before the pool
// hears of it. A test holds it to ask for the cell again at that moment.
void setGivenUpHookForTests(ThumbnailHook hook);

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

    // The work wanted from now on: these requests, in this order (replace), or these after
    // what is wanted already (not replace). Requests for a thumbnail being made already,
    // or waiting already, are left out; one being made that is no longer wanted is given up.
    void want(const std::vector<Request>& requests, int pixels, qreal devicePixelRatio, uint64_t generation,
              bool replace);
    // Drops all work; the threads end on their own, nothing is waited for.
    void stop();

    int threadCount() const;
    // Requests waiting or being made.
    int outstanding() const;

    // Worker threads running in the whole program, and the thumbnails given up while
    // being made because they were no longer wanted (tests).
    static int liveWorkers();
    static int givenUp();

private:
    struct Shared;
    static void work(std::shared_ptr<Shared> shared);

    Deliver m_deliver;
    std::shared_ptr<Shared> m_shared;
    // Its decoder workers are kept warm for as long as it lives, not beyond.
    imaging::BackgroundWork m_backgroundWork;
};

} // namespace fotarik::overview
