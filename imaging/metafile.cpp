#include "metafile.h"

#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QtEndian>
#include <cmath>
#include <cstring>

#include <emf2svg.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

namespace fotarik::imaging {
namespace {

constexpr double ScreenDpi = 96.0;

int32_t readLe32(const QByteArray& d, int at)
{
    return qFromLittleEndian<qint32>(d.constData() + at);
}

uint16_t readLe16(const QByteArray& d, int at)
{
    return qFromLittleEndian<quint16>(d.constData() + at);
}

struct Svg
{
    QByteArray text;
    QSize natural;
    QRectF viewBox; // the part of the drawing that is the picture; empty for all of it
};

// libwmf frees what it allocated on every path through wmf_api_destroy.
class WmfApi
{
public:
    ~WmfApi()
    {
        if (api)
            wmf_api_destroy(api);
    }
    wmfAPI* api = nullptr;
};

Svg wmfToSvg(const QByteArray& data)
{
    WmfApi w;
    wmfAPI_Options options{};
    options.function = wmf_svg_function;
    const unsigned long flags =
        WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&w.api, flags, &options) != wmf_E_None)
        return {};
    // libwmf only reads through the pointer; the buffer outlives the API object.
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(data.constData()));
    if (wmf_mem_open(w.api, bytes, long(data.size())) != wmf_E_None)
        return {};
    wmfD_Rect bbox{};
    if (wmf_scan(w.api, 0, &bbox) != wmf_E_None)
        return {};
    unsigned int width = 0;
    unsigned int height = 0;
    if (wmf_display_size(w.api, &width, &height, ScreenDpi, ScreenDpi) != wmf_E_None || width == 0 ||
        height == 0)
        return {};
    wmf_svg_t* svg = WMF_SVG_GetData(w.api);
    svg->out = wmf_stream_create(w.api, nullptr);
    if (!svg->out)
        return {};
    static char description[] = "Fotarik";
    svg->Description = description;
    svg->bbox = bbox;
    svg->width = width;
    svg->height = height;
    svg->flags |= WMF_SVG_INLINE_IMAGES;
    const wmf_error_t played = wmf_play(w.api, 0, &bbox);
    char* buffer = nullptr;
    unsigned long length = 0;
    wmf_stream_destroy(w.api, svg->out, &buffer, &length);
    Svg result;
    if (played == wmf_E_None && buffer && length > 0) {
        result = {QByteArray(buffer, qsizetype(length)), QSize(int(width), int(height)), {}};
        // libwmf draws every solid brush half transparent; GDI paints them opaque.
        result.text.replace("fill-opacity:0.5;", "fill-opacity:1.0;");
    }
    if (buffer)
        wmf_free(w.api, buffer);
    return result;
}

Svg emfToSvg(const QByteArray& data)
{
    // The frame is the picture's physical extent in 0.01 mm, inclusive.
    const double frameW = double(readLe32(data, 32)) - readLe32(data, 24);
    const double frameH = double(readLe32(data, 36)) - readLe32(data, 28);
    if (!(frameW > 0 && frameH > 0 && frameW < 1e8 && frameH < 1e8))
        return {};
    const QSize natural(std::max(1, int(frameW * ScreenDpi / 2540.0)),
                        std::max(1, int(frameH * ScreenDpi / 2540.0)));

    generatorOptions options{};
    static char noNamespace[] = "";
    options.nameSpace = noNamespace;
    options.svgDelimiter = true;
    options.emfplus = true;
    char* out = nullptr;
    size_t outLength = 0;
    QByteArray copy = data; // emf2svg wants a writable buffer
    const int ok = emf2svg(copy.data(), size_t(copy.size()), &out, &outLength, &options);
    // emf2svg places the bounds (device pixels) at the origin; the picture itself is the
    // frame, converted to device pixels with the reference device's pixels per millimetre.
    QRectF viewBox;
    const double deviceW = readLe32(data, 72), deviceH = readLe32(data, 76);
    const double millimetresW = readLe32(data, 80), millimetresH = readLe32(data, 84);
    if (deviceW > 0 && deviceH > 0 && millimetresW > 0 && millimetresH > 0) {
        const double sx = deviceW / millimetresW / 100.0;
        const double sy = deviceH / millimetresH / 100.0;
        viewBox = QRectF(readLe32(data, 24) * sx - readLe32(data, 8),
                         readLe32(data, 28) * sy - readLe32(data, 12), frameW * sx, frameH * sy);
    }
    Svg result;
    if (ok && out && outLength > 0)
        result = {QByteArray(out, qsizetype(outLength)), natural, viewBox};
    std::free(out);
    return result;
}

std::function<bool()>& guiProvider()
{
    static std::function<bool()> provider;
    return provider;
}

} // namespace

MetafileKind metafileKind(const QByteArray& head)
{
    if (head.size() >= 4 && readLe32(head, 0) == int32_t(0x9AC6CDD7))
        return MetafileKind::Wmf;
    if (head.size() >= 44 && readLe32(head, 0) == 1 && std::memcmp(head.constData() + 40, " EMF", 4) == 0)
        return MetafileKind::Emf;
    if (head.size() >= 18) {
        const uint16_t type = readLe16(head, 0);
        const uint16_t headerWords = readLe16(head, 2);
        const uint16_t version = readLe16(head, 4);
        if ((type == 1 || type == 2) && headerWords == 9 && (version == 0x0100 || version == 0x0300))
            return MetafileKind::Wmf;
    }
    return MetafileKind::None;
}

void setMetafileGuiProvider(std::function<bool()> provider)
{
    guiProvider() = std::move(provider);
}

QImage renderMetafile(MetafileKind kind, const QByteArray& data, const std::function<QSize(QSize)>& fit)
{
    if (data.size() > MaxMetafileBytes)
        return {};
    Svg svg;
    if (kind == MetafileKind::Wmf)
        svg = wmfToSvg(data);
    else if (kind == MetafileKind::Emf && data.size() >= 88)
        svg = emfToSvg(data);
    if (svg.text.isEmpty() || svg.natural.isEmpty() || svg.text.size() > MaxMetafileSvgBytes)
        return {};
    // Text needs fonts, which only a GUI application provides (Qt aborts without one).
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) && svg.text.contains("<text") &&
        !(guiProvider() && guiProvider()()))
        return {};
    QSvgRenderer renderer(svg.text);
    if (!renderer.isValid())
        return {};
    if (!svg.viewBox.isEmpty())
        renderer.setViewBox(svg.viewBox);
    const QSize size = fit(svg.natural);
    const qint64 limit = qint64(QImageReader::allocationLimit()) * 1024 * 1024;
    if (size.isEmpty() || (limit > 0 && qint64(size.width()) * size.height() * 4 > limit))
        return {};
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    renderer.render(&painter, QRectF(0, 0, size.width(), size.height()));
    painter.end();
    return image;
}

} // namespace fotarik::imaging
