#include "appicon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace fotarik {

QIcon appIcon()
{
    static const QIcon icon = [] {
        QIcon made;
        QSvgRenderer drawing(QStringLiteral(":/fotarik/fotarik.svg"));
        if (!drawing.isValid())
            return made;
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            drawing.render(&painter);
            painter.end();
            made.addPixmap(QPixmap::fromImage(image));
        }
        return made;
    }();
    return icon;
}

} // namespace fotarik
