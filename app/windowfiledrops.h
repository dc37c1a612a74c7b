#pragma once
// Files dragged over a window are the window's drop, whatever child lies under the pointer:
// a text box, a list or any widget that takes drops of its own never sees a drag of files
// and so never pastes a dropped file's name as text. The drags are taken before they reach
// any widget of the window (an application-wide event filter), so this holds for children
// added or replaced later too. Drags of anything else (plain text into a text box) go on
// as usual. A drag that starts in one of the refused sources (the window's own found
// list) is no drop anywhere in the window.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

class QMimeData;
class QWidget;

namespace fotarik {

class WindowFileDrops : public QObject
{
    Q_OBJECT

public:
    // dropped: runs with the dropped files' names (the file system's bytes), at least one.
    WindowFileDrops(QWidget* window, std::function<void(const QList<QByteArray>&)> dropped);
    ~WindowFileDrops() override;

    void refuseDragsFrom(QWidget* source);

    // The local files a drag carries, in its order; empty when it carries none.
    static QList<QByteArray> localFiles(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool refused(const QObject* source) const;

    QPointer<QWidget> m_window;
    std::function<void(const QList<QByteArray>&)> m_dropped;
    QList<QPointer<QWidget>> m_refused;
};

} // namespace fotarik
