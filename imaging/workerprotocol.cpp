#include "workerprotocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <fcntl.h>

#include "gdiplusresize.h"
#include "scaledpicture.h"

namespace fotarik::imaging::worker {
namespace {

constexpr int MaxSide = 1 << 20;

bool plausibleRatio(double ratio)
{
    return std::isfinite(ratio) && ratio >= 1.0 && ratio <= 16.0;
}

int devicePixels(int logical, double ratio)
{
    return std::max(1, qRound(logical * ratio));
}

} // namespace

QSize answerPixelLimit(const WorkerRequest& request)
{
    if (request.boxWidth < 1 || request.boxHeight < 1 || request.boxWidth > MaxSide ||
        request.boxHeight > MaxSide || !plausibleRatio(request.devicePixelRatio))
        return {};
    return QSize(devicePixels(request.boxWidth, request.devicePixelRatio),
                 devicePixels(request.boxHeight, request.devicePixelRatio));
}

uint64_t answerCapacity(const WorkerRequest& request)
{
    const QSize limit = answerPixelLimit(request);
    if (limit.isEmpty())
        return 0;
    const uint64_t bytes = uint64_t(limit.width()) * uint64_t(limit.height()) * 4;
    return std::min<uint64_t>(bytes, uint64_t(pictureBudgetBytes()));
}

int requiredSeals()
{
    return F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
}

CheckedMessage checkAnswer(const void* packet, size_t length, const WorkerRequest& request,
                           int64_t memorySize, int seals)
{
    CheckedMessage invalid;
    if (!packet || length != sizeof(WorkerMessage))
        return invalid;
    WorkerMessage m;
    std::memcpy(&m, packet, sizeof m);
    if (m.magic != AnswerMagic || m.id != request.id || m.retiring > 1)
        return invalid;
    switch (m.kind) {
    case MessageKind::Declared: {
        if (m.declaredWidth < 0 || m.declaredHeight < 0)
            return invalid;
        CheckedMessage c;
        c.verdict = CheckedMessage::Verdict::Declared;
        c.declared = QSize(m.declaredWidth, m.declaredHeight);
        return c;
    }
    case MessageKind::Refused: {
        if (m.reason != RefusalReason::CannotDecode && m.reason != RefusalReason::BadRequest &&
            m.reason != RefusalReason::NoRoom && m.reason != RefusalReason::FreshWorker)
            return invalid;
        CheckedMessage c;
        c.verdict = CheckedMessage::Verdict::Refused;
        c.retiring = m.retiring != 0;
        c.freshWorker = m.reason == RefusalReason::FreshWorker;
        return c;
    }
    case MessageKind::Picture:
        break;
    default:
        return invalid;
    }
    const QSize limit = answerPixelLimit(request);
    if (limit.isEmpty())
        return invalid;
    // The fitted size never passes the box, and the pixels are that size at the ratio.
    if (m.logicalWidth < 1 || m.logicalHeight < 1 || m.logicalWidth > request.boxWidth ||
        m.logicalHeight > request.boxHeight)
        return invalid;
    if (m.pixelWidth != devicePixels(m.logicalWidth, request.devicePixelRatio) ||
        m.pixelHeight != devicePixels(m.logicalHeight, request.devicePixelRatio))
        return invalid;
    if (m.pixelWidth > limit.width() || m.pixelHeight > limit.height())
        return invalid;
    if (int64_t(m.bytesPerLine) != int64_t(m.pixelWidth) * 4)
        return invalid;
    const int64_t bytes = int64_t(m.bytesPerLine) * m.pixelHeight;
    if (bytes > int64_t(request.capacity) || memorySize < bytes || memorySize > int64_t(request.capacity))
        return invalid;
    if ((seals & requiredSeals()) != requiredSeals())
        return invalid;
    CheckedMessage c;
    c.verdict = CheckedMessage::Verdict::Picture;
    c.pixels = QSize(m.pixelWidth, m.pixelHeight);
    c.logical = QSize(m.logicalWidth, m.logicalHeight);
    c.bytesPerLine = int(m.bytesPerLine);
    c.retiring = m.retiring != 0;
    return c;
}

} // namespace fotarik::imaging::worker
