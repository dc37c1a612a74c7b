#include "windowfiledrops.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace fotarik {

WindowFileDrops::WindowFileDrops(QWidget* window, std::function<void(const QList<QByteArray>&)> dropped)
    : QObject(window), m_window(window), m_dropped(std::move(dropped))
{
    if (qApp)
        qApp->installEventFilter(this);
}

WindowFileDrops::~WindowFileDrops()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

void WindowFileDrops::refuseDragsFrom(QWidget* source)
{
    m_refused << source;
}

QList<QByteArray> WindowFileDrops::localFiles(const QMimeData* data)
{
    QList<QByteArray> names;
    if (!data || !data->hasUrls())
        return names;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            names << QFile::encodeName(url.toLocalFile());
    return names;
}

bool WindowFileDrops::refused(const QObject* source) const
{
    for (const QObject* o = source; o; o = o->parent())
        for (const QPointer<QWidget>& r : m_refused)
            if (r && o == r)
                return true;
    return false;
}

bool WindowFileDrops::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !m_window || widget->window() != m_window)
        return false;
    // QDragEnterEvent and QDragMoveEvent are drop events too.
    auto* drag = static_cast<QDropEvent*>(event);
    if (refused(drag->source())) {
        drag->setDropAction(Qt::IgnoreAction);
        drag->ignore();
        return true;
    }
    const QList<QByteArray> names = localFiles(drag->mimeData());
    if (names.isEmpty())
        return false;
    drag->acceptProposedAction();
    if (type == QEvent::Drop)
        m_dropped(names);
    return true;
}

} // namespace fotarik
