#include "twips.h"

#include <QGuiApplication>
#include <QScreen>

namespace fotarik {

double twipsPerPixel()
{
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (QScreen* screen = app->primaryScreen()) {
            const double dpi = screen->logicalDotsPerInchX();
            if (dpi > 0)
                return 1440.0 / dpi;
        }
    }
    return 15.0;
}

} // namespace fotarik
