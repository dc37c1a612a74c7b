#pragma once
// What the found list offers beyond its mouse press and double click: Enter on the selected
// hit does what a double click does; the context menu (opened after the press has previewed
// the hit) opens the hit in the desktop's default application, shows it in the file manager
// or copies its path; further entries can be added below those. Hits drag out of the list
// as files. Enter or the menu without a selected hit does nothing.

#include <QObject>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

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

    // The three entries for file (open, show, copy) at the end of menu; context ends them.
    static void addFileActions(QMenu* menu, const QByteArray& file, QObject* context);

    // An entry after the file entries (and a separator) of every menu opened from now on.
    void addMenuEntry(const QString& text, std::function<void()> triggered);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMenu(const QPoint& viewportPos);
    std::optional<QByteArray> selectedPath() const;

    ListBox* m_list;
    std::function<void()> m_doubleClick;
    std::vector<std::pair<QString, std::function<void()>>> m_extraEntries;
};

} // namespace fotarik
