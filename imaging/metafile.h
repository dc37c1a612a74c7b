#pragma once
// Windows metafiles (WMF through libwmf, EMF through libemf2svg), both turned into SVG
// and drawn by Qt's SVG renderer, which fills and antialiases properly.
//
// The conversion libraries and the renderer were not written for hostile input: a
// metafile of a million records costs them seconds and gigabytes. They run only in the
// decoder worker (decoderworker.h), whose CPU, memory and wall-time limits bound them.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <functional>

namespace fotarik::imaging {

enum class MetafileKind { None, Wmf, Emf };

// Real metafiles (clip art, drawings) are far smaller; a bigger file is no picture.
inline constexpr qint64 MaxMetafileBytes = 8 * 1024 * 1024;
// The most SVG text a conversion may produce (the worker's limits bound its drawing).
inline constexpr qint64 MaxMetafileSvgBytes = 32 * 1024 * 1024;

// Recognises a metafile by its first bytes (at least 44 are needed for EMF).
MetafileKind metafileKind(const QByteArray& head);

// Renders the metafile in data. Its natural size is its physical size on a 96 dpi screen
// (placeable WMF: bounds / units per inch; EMF: the frame in 0.01 mm); fit turns that into
// the size to draw at. Returns a premultiplied ARGB image of exactly that size with the
// undrawn parts transparent, or a null image when the file cannot be read, its conversion
// passes a limit, or it holds text and there is no GUI application (text needs its fonts)
// and the provider below cannot make one.
QImage renderMetafile(MetafileKind kind, const QByteArray& data, const std::function<QSize(QSize)>& fit);

// What renderMetafile calls for a metafile with text when there is no GUI application:
// true when it made one. The decoder worker makes one on the offscreen platform.
void setMetafileGuiProvider(std::function<bool()> provider);

} // namespace fotarik::imaging
