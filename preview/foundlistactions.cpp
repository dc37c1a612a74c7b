#include "foundlistactions.h"

#include <QKeyEvent>
#include <QMenu>

#include "desktopservices.h"
#include "listbox.h"
#include "modlargelist.h"
#include "trystep.h"

namespace fotarik {

FoundListActions::FoundListActions(ListBox* list, std::function<void()> doubleClick, QObject* parent)
    : QObject(parent), m_list(list), m_doubleClick(std::move(doubleClick))
{
    m_list->setDragsFiles(true);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, &FoundListActions::showMenu);
    m_list->installEventFilter(this);
}

std::optional<QByteArray> FoundListActions::selectedPath() const
{
    QByteArray path;
    const bool read = tryStep("read the selected entry", [&] {
        const int32_t index = GetListIndex(m_list);
        if (index < 0 || index >= GetListCount(m_list))
            return;
        path = GetListItem(m_list, index);
    });
    if (!read || path.isEmpty())
        return std::nullopt;
    return path;
}

bool FoundListActions::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_list || event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    // The same steps as a double click, on the selected hit; without one, nothing.
    if (selectedPath())
        m_doubleClick();
    return true;
}

void FoundListActions::addFileActions(QMenu* menu, const QByteArray& file, QObject* context)
{
    // Each request returns at once; a failure is told in a message box when it is known.
    QWidget* window = menu->parentWidget() ? menu->parentWidget()->window() : nullptr;
    connect(menu->addAction(openText()), &QAction::triggered, context, [file, window] {
        tryStep("open in the default application", [&] { openWithDefaultApplication(file, window); });
    });
    connect(menu->addAction(showText()), &QAction::triggered, context, [file, window] {
        tryStep("show in the file manager", [&] { showInFileManager(file, window); });
    });
    connect(menu->addAction(copyText()), &QAction::triggered, context,
            [file] { tryStep("copy the path", [&] { copyPathToClipboard(file); }); });
}

void FoundListActions::addMenuEntry(const QString& text, std::function<void()> triggered)
{
    m_extraEntries.emplace_back(text, std::move(triggered));
}

void FoundListActions::showMenu(const QPoint& viewportPos)
{
    const std::optional<QByteArray> path = selectedPath();
    if (!path)
        return;
    // The menu acts on the hit it was opened for, even if the list changes meanwhile.
    const QByteArray file = *path;
    auto* menu = new QMenu(m_list);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    addFileActions(menu, file, this);
    if (!m_extraEntries.empty())
        menu->addSeparator();
    for (const auto& [text, triggered] : m_extraEntries)
        connect(menu->addAction(text), &QAction::triggered, this, triggered);
    menu->popup(m_list->viewport()->mapToGlobal(viewportPos));
}

} // namespace fotarik
