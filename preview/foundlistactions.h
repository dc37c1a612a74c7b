#pragma once
// What the found list offers beyond its mouse press and double click: Enter on the selected
// hit does what a double click does; the context menu (opened after the press has previewed
// the hit) opens the hit in the desktop's default application, shows it in the file manager
// or copies its path; hits drag out of the list as files. Enter or the menu without a
// selected hit does nothing.

#include <QObject>
#include <functional>
#include <optional>

class QMenu;
class QPoint;

namespace fotarik {

class ListBox;

class FoundListActions : public QObject
{
    Q_OBJECT

public:
    // doubleClick: the list's double-click handler, which Enter runs.
    FoundListActions(ListBox* list, std::function<void()> doubleClick, QObject* parent = nullptr);

    static QString openText() { return QStringLiteral("Öffnen mit Standardprogramm"); }
    static QString showText() { return QStringLiteral("Im Dateimanager zeigen"); }
    static QString copyText() { return QStringLiteral("Pfad kopieren"); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMenu(const QPoint& viewportPos);
    std::optional<QByteArray> selectedPath() const;

    ListBox* m_list;
    std::function<void()> m_doubleClick;
};

} // namespace fotarik
