#include "prefetch.h"

#include <QFile>
#include <QFileInfo>

#include "globals.h"
#include "scaledpicture.h"
#include "trystep.h"

namespace fotarik {

void PicturePrefetch::setEnabled(bool enabled)
{
    join();
    m_prepared.reset();
    m_enabled = enabled;
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
                      backColour == m_backColour && devicePixelRatio == m_devicePixelRatio &&
                      (m_running.valid() || m_prepared.has_value());
    if (same && m_enabled && stampOf(path) == m_stamp)
        return;
    join();
    m_prepared.reset();
    if (!m_enabled)
        return;
    m_path = path;
    m_boxWidth = boxWidth;
    m_boxHeight = boxHeight;
    m_backColour = backColour;
    m_devicePixelRatio = devicePixelRatio;
    m_stamp = stampOf(path);
    // The side-effect-free part of LoadScaledPicture: the worker touches no program-wide value.
    m_running = std::async(std::launch::async, [path, boxWidth, boxHeight, backColour, devicePixelRatio] {
        return imaging::decodeScaledPicture(path, boxWidth, boxHeight, -1, -1, backColour, devicePixelRatio);
    });
}

void PicturePrefetch::join()
{
    if (!m_running.valid())
        return;
    if (!tryStep("prepare the next picture", [&] { m_prepared = m_running.get(); }))
        m_prepared.reset();
}

std::optional<QImage> PicturePrefetch::take(const QByteArray& path, int32_t boxWidth, int32_t boxHeight,
                                            uint32_t backColour, qreal devicePixelRatio)
{
    join();
    // Another entry's display leaves the prepared picture for its own entry in place.
    if (!m_prepared || path != m_path || boxWidth != m_boxWidth || boxHeight != m_boxHeight ||
        backColour != m_backColour || devicePixelRatio != m_devicePixelRatio)
        return std::nullopt;
    std::optional<imaging::ScaledPicture> prepared;
    prepared.swap(m_prepared);
    if (stampOf(path) != m_stamp)
        return std::nullopt;
    if (!prepared->isNull()) {
        // The fitted size in logical pixels, as the load itself sets them.
        ScaledWidth = float(prepared->size.width());
        ScaledHeight = float(prepared->size.height());
    }
    return std::move(prepared->image);
}

} // namespace fotarik
