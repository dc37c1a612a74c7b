#include "gdiplusresize.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <set>

#include "decoderworker.h"
#include "errorcatalogue.h"
#include "globals.h"
#include "messagebox.h"
#include "raisederror.h"
#include "vbmath.h"

namespace fotarik {
namespace {

std::function<bool()>& availabilityProbe()
{
    static std::function<bool()> probe;
    return probe;
}

std::set<uint32_t>& openSessions()
{
    static std::set<uint32_t> sessions;
    return sessions;
}

uint32_t g_lastToken = 0;

QString programName()
{
    if (QCoreApplication::instance()) {
        const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
        if (!name.isEmpty())
            return name;
    }
    return QStringLiteral("fotarik");
}

// Assignment that keeps the old value when the conversion fails, as a guarded step does.
void assignRounded(int32_t& target, double value)
{
    try {
        target = round32(value);
    } catch (const RaisedError&) {
    }
}

} // namespace

bool imagingAvailable()
{
    if (availabilityProbe())
        return availabilityProbe()();
    return QImageReader::supportedImageFormats().contains("jpeg");
}

void setImagingAvailabilityProbe(std::function<bool()> probe)
{
    availabilityProbe() = std::move(probe);
}

uint32_t StartGdiPlus()
{
    if (!imagingAvailable()) {
        // A missing picture library is reported as "file not found" (53).
        showMessage(
            QStringLiteral("Fehler: %1, GdiPlus.dll wurde nicht gefunden!").arg(errors::FileNotFound.number),
            programName(), MsgIcon::Warning);
        return 0;
    }
    // Tokens are handed out in turn, skipping 0 and any still open after a wrap-around.
    do {
        ++g_lastToken;
    } while (g_lastToken == 0 || openSessions().count(g_lastToken));
    openSessions().insert(g_lastToken);
    return g_lastToken;
}

void StopGdiPlus(const uint32_t& token)
{
    if (!imagingAvailable()) {
        // Intended: the stop's message has its own spelling ("Gdiplus", a blank before the comma).
        showMessage(
            QStringLiteral("Fehler: %1 , Gdiplus.dll wurde nicht gefunden!").arg(errors::FileNotFound.number),
            programName(), MsgIcon::Warning);
        return;
    }
    openSessions().erase(token);
}

void fitToBox(int32_t boxWidth, int32_t boxHeight, int32_t& width, int32_t& height)
{
    int32_t w = width;
    int32_t h = height;
    if (w > boxWidth || h > boxHeight) {
        float r = 0.0f;
        if (w >= h) {
            if (h != 0)
                r = float(double(w) / double(h));
            w = boxWidth;
            if (r != 0.0f)
                assignRounded(h, double(w) / double(r));
            if (h > boxHeight) {
                h = boxHeight;
                assignRounded(w, double(r) * double(h));
            }
        }
        if (h > w) {
            if (w != 0)
                r = float(double(h) / double(w));
            h = boxHeight;
            if (r != 0.0f)
                assignRounded(w, double(h) / double(r));
            if (w > boxWidth) {
                w = boxWidth;
                assignRounded(h, double(r) * double(w));
            }
        }
    }
    // A hair-thin picture still gets a visible line rather than an empty bitmap.
    width = std::max(w, 1);
    height = std::max(h, 1);
}

QImage LoadScaledPicture(const QByteArray& path, int32_t boxWidth, int32_t boxHeight, int32_t& width,
                         int32_t& height, uint32_t backColour, qreal devicePixelRatio, bool* superseded)
{
    imaging::DecodeResult result = imaging::decodeInWorker(
        path, {boxWidth, boxHeight, width, height, backColour, devicePixelRatio}, /*serveEvents=*/true);
    if (superseded)
        *superseded = result.outcome == imaging::DecodeOutcome::Superseded;
    imaging::ScaledPicture& picture = result.picture;
    if (picture.isNull())
        return {};
    width = picture.size.width();
    height = picture.size.height();
    return takeScaledPicture(std::move(picture));
}

QImage takeScaledPicture(imaging::ScaledPicture&& picture)
{
    if (!picture.isNull()) {
        ScaledWidth = float(picture.size.width());
        ScaledHeight = float(picture.size.height());
    }
    return std::move(picture.image);
}

} // namespace fotarik
