#include "prefetch.h"

#include <QFile>
#include <QFileInfo>

#include "gdiplusresize.h"
#include "readablefile.h"

namespace fotarik {

void PicturePrefetch::setEnabled(bool enabled)
{
    cancel();
    m_enabled = enabled;
}

void PicturePrefetch::cancel()
{
    m_job.reset();
}

bool PicturePrefetch::ready() const
{
    return m_job && m_job->finished();
}

PicturePrefetch::Stamp PicturePrefetch::stampOf(const QByteArray& path)
{
    const QFileInfo info(QFile::decodeName(path));
    if (!info.exists())
        return {};
    return {info.size(), info.lastModified()};
}

void PicturePrefetch::start(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, uint32_t backColour,
                            qreal devicePixelRatio)
{
    // Already prepared or being prepared (a resize or panel toggle displays the same entry again).
    const bool same = path == m_path && boxWidth == m_boxWidth && boxHeight == m_boxHeight &&
                      backColour == m_backColour && devicePixelRatio == m_devicePixelRatio && m_job;
    if (same && m_enabled && stampOf(path) == m_stamp)
        return;
    m_job.reset();
    if (!m_enabled)
        return;
    m_path = path;
    m_boxWidth = boxWidth;
    m_boxHeight = boxHeight;
    m_backColour = backColour;
    m_devicePixelRatio = devicePixelRatio;
    m_stamp = stampOf(path);
    m_job = std::make_unique<imaging::DecodeJob>(
        openForReading(path),
        imaging::DecodeParams{boxWidth, boxHeight, -1, -1, backColour, devicePixelRatio});
}

std::optional<QImage> PicturePrefetch::take(const QByteArray& path, int32_t boxWidth, int32_t boxHeight,
                                            uint32_t backColour, qreal devicePixelRatio, bool* superseded)
{
    if (superseded)
        *superseded = false;
    // Another entry's display leaves the preparation for its own entry in place.
    if (!m_job || path != m_path || boxWidth != m_boxWidth || boxHeight != m_boxHeight ||
        backColour != m_backColour || devicePixelRatio != m_devicePixelRatio)
        return std::nullopt;
    // Taken out first: the events served while waiting may start the next preparation.
    const std::unique_ptr<imaging::DecodeJob> job = std::move(m_job);
    imaging::DecodeResult result = job->wait(/*serveEvents=*/true);
    if (result.outcome == imaging::DecodeOutcome::Superseded) {
        if (superseded)
            *superseded = true;
        return std::nullopt;
    }
    if (stampOf(path) != m_stamp)
        return std::nullopt;
    return takeScaledPicture(std::move(result.picture));
}

} // namespace fotarik
