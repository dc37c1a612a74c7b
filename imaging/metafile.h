#pragma once
// Windows metafiles (WMF through libwmf, EMF through libemf2svg), both turned into SVG
// and drawn by Qt's SVG renderer, which fills and antialiases properly.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <functional>

namespace fotarik::imaging {

enum class MetafileKind { None, Wmf, Emf };

// Recognises a metafile by its first bytes (at least 44 are needed for EMF).
MetafileKind metafileKind(const QByteArray& head);

// Renders the metafile in data. Its natural size is its physical size on a 96 dpi screen
// (placeable WMF: bounds / units per inch; EMF: the frame in 0.01 mm); fit turns that into
// the size to draw at. Returns a premultiplied ARGB image of exactly that size with the
// undrawn parts transparent, or a null image when the file cannot be read.
QImage renderMetafile(MetafileKind kind, const QByteArray& data, const std::function<QSize(QSize)>& fit);

} // namespace fotarik::imaging
