#pragma once
// Prepares the picture the full-screen window will most likely show next (the entry after
// the shown one) in a decoder worker while the user looks at the current one. A prepared
// picture is exactly what LoadScaledPicture would make for the same file and box at display
// time; the display still happens when and where it always does, only sooner.
//
// take hands its picture out through takeScaledPicture, on the user-interface thread.

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <cstdint>
#include <memory>
#include <optional>

#include "decoderworker.h"

namespace fotarik {

class PicturePrefetch
{
public:
    PicturePrefetch() = default;
    ~PicturePrefetch() = default;
    PicturePrefetch(const PicturePrefetch&) = delete;
    PicturePrefetch& operator=(const PicturePrefetch&) = delete;

    void setEnabled(bool enabled);
    bool enabled() const { return m_enabled; }

    // Starts preparing path for the box (stopping any other preparation still running).
    void start(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, uint32_t backColour,
               qreal devicePixelRatio = 1.0);
    // The prepared picture for exactly this file, box and colour, when the file is unchanged
    // since; sets ScaledWidth/ScaledHeight as LoadScaledPicture would (a null picture leaves
    // them). Nothing when no such picture was prepared. A preparation still running is
    // waited for as LoadScaledPicture waits (serving events); when a newer display took
    // over meanwhile, nothing, with *superseded set.
    std::optional<QImage> take(const QByteArray& path, int32_t boxWidth, int32_t boxHeight,
                               uint32_t backColour, qreal devicePixelRatio = 1.0, bool* superseded = nullptr);
    // Stops a running preparation and forgets a prepared picture.
    void cancel();
    // Whether a preparation's answer is in (a picture or a refusal); never waits.
    bool ready() const;

private:
    struct Stamp
    {
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const QByteArray& path);

    bool m_enabled = true;
    QByteArray m_path;
    int32_t m_boxWidth = 0;
    int32_t m_boxHeight = 0;
    uint32_t m_backColour = 0;
    qreal m_devicePixelRatio = 1.0;
    Stamp m_stamp;
    std::unique_ptr<imaging::DecodeJob> m_job;
};

} // namespace fotarik
