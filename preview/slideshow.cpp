#include "slideshow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QTimer>
#include <algorithm>

namespace fotarik {

void runSlideshow(int16_t& diaFlag, const SlideshowSteps& steps)
{
    // Wakes the wait below, so it sleeps between events instead of spinning; it is set to
    // the time left (at most 5 ms) so a wait ends on time, not up to a tick late.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    for (;;) {
        diaFlag = Dia::Running;
        const int32_t last = steps.last();
        bool showed = false;
        for (int32_t i = 0; i <= last; ++i) {
            if (steps.gone() || diaFlag == Dia::Stop)
                return;
            steps.show(i);
            showed = true;
            clock.start();
            double duration = 0;
            for (;;) {
                tick.start(std::clamp(static_cast<int>(duration * 1000 - clock.elapsed()), 1, 5));
                QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
                if (steps.gone())
                    return;
                duration = steps.duration();
                if (diaFlag == Dia::Next) {
                    diaFlag = Dia::Running;
                    break;
                }
                if (clock.nsecsElapsed() / 1e9 >= duration)
                    break;
            }
        }
        if (!showed || diaFlag == Dia::Stop || !steps.repeat())
            return;
    }
}

QString displayTimeText(int tenths)
{
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return QStringLiteral("Anzeigedauer ") + locale.toString(tenths / 10.0, 'f', 1) + QStringLiteral(" s");
}

} // namespace fotarik
