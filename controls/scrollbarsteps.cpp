#include "scrollbarsteps.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QWheelEvent>

namespace fotarik {

namespace {

class ScrollBarSteps : public QObject
{
public:
    explicit ScrollBarSteps(QScrollBar* bar) : QObject(bar), m_bar(bar) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != m_bar)
            return false;
        if (event->type() == QEvent::KeyPress)
            return key(static_cast<QKeyEvent*>(event));
        if (event->type() == QEvent::Wheel)
            return wheel(static_cast<QWheelEvent*>(event));
        return false;
    }

private:
    bool key(QKeyEvent* event)
    {
        QAbstractSlider::SliderAction action = QAbstractSlider::SliderNoAction;
        switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Up:
            action = QAbstractSlider::SliderSingleStepSub;
            break;
        case Qt::Key_Right:
        case Qt::Key_Down:
            action = QAbstractSlider::SliderSingleStepAdd;
            break;
        case Qt::Key_PageUp:
            action = QAbstractSlider::SliderPageStepSub;
            break;
        case Qt::Key_PageDown:
            action = QAbstractSlider::SliderPageStepAdd;
            break;
        case Qt::Key_Home:
            action = QAbstractSlider::SliderToMinimum;
            break;
        case Qt::Key_End:
            action = QAbstractSlider::SliderToMaximum;
            break;
        default:
            return false;
        }
        m_bar->triggerAction(action);
        event->accept();
        return true;
    }

    bool wheel(QWheelEvent* event)
    {
        // Turning the wheel toward the user (or tilting it to the right) moves toward the
        // maximum. Fine-grained wheels send parts of a notch; they add up to whole steps.
        const QPoint angle = event->angleDelta();
        m_pending += angle.y() != 0 ? angle.y() : angle.x();
        while (m_pending <= -Notch) {
            m_pending += Notch;
            m_bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        }
        while (m_pending >= Notch) {
            m_pending -= Notch;
            m_bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        }
        event->accept();
        return true;
    }

    static constexpr int Notch = 120; // QWheelEvent's eighths of a degree in one notch
    QScrollBar* m_bar;
    int m_pending = 0;
};

} // namespace

void stepWithKeysAndWheel(QScrollBar* bar)
{
    bar->setFocusPolicy(Qt::StrongFocus);
    bar->installEventFilter(new ScrollBarSteps(bar));
}

} // namespace fotarik
