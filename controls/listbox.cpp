#include "listbox.h"

#include <QItemSelectionModel>
#include <QMimeData>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "fileurl.h"

namespace fotarik {

namespace {

// Grows by half: realloc of large blocks remaps pages, and untouched capacity costs no
// memory, so a modest factor keeps the slack small without making growth slow.
size_t grownCapacity(size_t current, size_t needed)
{
    return std::max(needed, current + current / 2 + 4096);
}

// A row spans the list's horizontal extent, or the visible width when that is wider, so
// that long entries are clipped at the extent rather than at the first entry's width.
class ListBoxDelegate : public QStyledItemDelegate
{
public:
    explicit ListBoxDelegate(ListBox* list) : QStyledItemDelegate(list), m_list(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const int height = QStyledItemDelegate::sizeHint(option, index).height();
        return {std::max(m_list->horizontalExtent(), m_list->viewport()->width()), height};
    }

private:
    ListBox* m_list;
};

} // namespace

ListBoxModel::ListBoxModel(QObject* parent) : QAbstractListModel(parent)
{
    m_publishTimer.setSingleShot(true);
    connect(&m_publishTimer, &QTimer::timeout, this, &ListBoxModel::publishPending);
    m_offsets = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    if (!m_offsets)
        throw std::bad_alloc();
    m_offsets[0] = 0;
    m_offsetsCapacity = 1;
}

ListBoxModel::~ListBoxModel()
{
    std::free(m_bytes);
    std::free(m_offsets);
}

bool ListBoxModel::reserveBytes(size_t extra)
{
    const size_t used = m_offsets[m_count];
    if (extra > std::numeric_limits<uint32_t>::max() - used)
        return false; // offsets are 32-bit: the list holds up to 4 GiB of text
    if (used + extra <= m_bytesCapacity)
        return true;
    const size_t capacity =
        std::min<size_t>(grownCapacity(m_bytesCapacity, used + extra), std::numeric_limits<uint32_t>::max());
    auto* grown = static_cast<char*>(std::realloc(m_bytes, capacity));
    if (!grown)
        return false;
    m_bytes = grown;
    m_bytesCapacity = capacity;
    return true;
}

bool ListBoxModel::reserveOffsets()
{
    if (m_count == std::numeric_limits<int32_t>::max() - 1)
        return false;
    const size_t needed = size_t(m_count) + 2;
    if (needed <= m_offsetsCapacity)
        return true;
    const size_t capacity = grownCapacity(m_offsetsCapacity, needed);
    auto* grown = static_cast<uint32_t*>(std::realloc(m_offsets, capacity * sizeof(uint32_t)));
    if (!grown)
        return false;
    m_offsets = grown;
    m_offsetsCapacity = capacity;
    return true;
}

bool ListBoxModel::insert(int32_t index, QByteArrayView text)
{
    Q_ASSERT(index >= 0 && index <= m_count);
    const auto length = size_t(text.size());
    if (!reserveBytes(length) || !reserveOffsets())
        return false;

    if (index == m_count) {
        // Appending: the view hears of it with the next batch.
        std::memcpy(m_bytes + m_offsets[m_count], text.data(), length);
        m_offsets[m_count + 1] = m_offsets[m_count] + uint32_t(length);
        ++m_count;
        schedulePublish();
        return true;
    }

    publishPending();
    beginInsertRows({}, index, index);
    const uint32_t at = m_offsets[index];
    std::memmove(m_bytes + at + length, m_bytes + at, m_offsets[m_count] - at);
    std::memcpy(m_bytes + at, text.data(), length);
    std::memmove(m_offsets + index + 1, m_offsets + index, (size_t(m_count) - index + 1) * sizeof(uint32_t));
    for (int32_t i = index + 1; i <= m_count + 1; ++i)
        m_offsets[i] += uint32_t(length);
    ++m_count;
    ++m_published;
    endInsertRows();
    return true;
}

void ListBoxModel::clear()
{
    m_publishTimer.stop();
    beginResetModel();
    std::free(m_bytes);
    m_bytes = nullptr;
    m_bytesCapacity = 0;
    m_count = 0;
    m_published = 0;
    if (auto* shrunk = static_cast<uint32_t*>(std::realloc(m_offsets, sizeof(uint32_t)))) {
        m_offsets = shrunk;
        m_offsetsCapacity = 1;
    }
    m_offsets[0] = 0;
    endResetModel();
}

void ListBoxModel::schedulePublish()
{
    if (m_publishTimer.isActive())
        return;
    // Each batch makes the view lay out all its rows again (some 40 ns a row) and repaint,
    // so batches come at the pace of a screen refresh (40 ms; the first rows after a pause
    // at once), slowing to one every 200 ms for huge lists. Past a few million rows a
    // layout alone takes longer than that; the pause then grows with the list (five times
    // a layout), so layouts never take over the walk. The layouts and paints cost a small
    // part of a fast walk, and the list on screen is never far behind. Once the rows shown
    // end above the last one, new rows change nothing on screen but the scroll bar, which
    // moves five times a second: a fast walk then pays for a layout only that often.
    const bool endInSight = !m_endInSight || m_endInSight();
    const int pace = endInSight ? std::clamp(m_published / 1000, 40, 200) : 200;
    const int interval = std::max(pace, m_published / 5000);
    const qint64 sinceLast = m_lastPublish.isValid() ? m_lastPublish.elapsed() : interval;
    m_publishTimer.start(static_cast<int>(std::max<qint64>(0, interval - sinceLast)));
}

void ListBoxModel::publishPending()
{
    m_publishTimer.stop();
    if (m_published == m_count)
        return;
    beginInsertRows({}, m_published, m_count - 1);
    m_published = m_count;
    endInsertRows();
    m_lastPublish.start();
}

size_t ListBoxModel::overheadBytes() const
{
    return m_offsetsCapacity * sizeof(uint32_t) + (m_bytesCapacity - m_offsets[m_count]);
}

int ListBoxModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_published;
}

QVariant ListBoxModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_count)
        return {};
    const QByteArrayView bytes = item(index.row());
    return QString::fromUtf8(bytes.data(), bytes.size());
}

Qt::ItemFlags ListBoxModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags f = QAbstractListModel::flags(index);
    if (m_entriesAreFiles && index.isValid())
        f |= Qt::ItemIsDragEnabled;
    return f;
}

QStringList ListBoxModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list")};
}

QMimeData* ListBoxModel::mimeData(const QModelIndexList& indexes) const
{
    if (!m_entriesAreFiles)
        return nullptr;
    QList<QUrl> urls;
    for (const QModelIndex& index : indexes)
        if (index.isValid() && index.row() < m_count)
            urls << fileUrl(item(index.row()).toByteArray());
    if (urls.isEmpty())
        return nullptr;
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

ListBox::ListBox(QWidget* parent) : QListView(parent), m_model(new ListBoxModel(this))
{
    setModel(m_model);
    // The scroll bar stands at its end (also when all rows fit) where the last row shows.
    m_model->setEndInSight([this] {
        const QScrollBar* bar = verticalScrollBar();
        return isVisible() && bar->value() >= bar->maximum();
    });
    setItemDelegate(new ListBoxDelegate(this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTextElideMode(Qt::ElideNone);
}

bool ListBox::validIndex(int32_t index) const
{
    if (index >= 0 && index < m_model->count())
        return true;
    setLastError(ErrInvalidIndex);
    return false;
}

int32_t ListBox::listCount() const
{
    return m_model->count();
}

int32_t ListBox::insertItem(int32_t index, const QByteArray& text)
{
    if (index == -1)
        index = m_model->count();
    if (index < 0 || index > m_model->count()) {
        setLastError(ErrInvalidIndex);
        return Err;
    }
    if (!m_model->insert(index, text))
        return ErrSpace;
    if (index == m_model->count() - 1)
        m_widths.appended(*this, index, text);
    else
        m_widths.stop();
    return index;
}

int32_t ListBox::addItemSorted(const QByteArray& text)
{
    // Same order as the display: case-insensitive on the decoded text; equal entries
    // keep their order of arrival.
    const QString key = QString::fromUtf8(text);
    int32_t lo = 0;
    int32_t hi = m_model->count();
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const QByteArrayView probe = m_model->item(mid);
        if (QString::fromUtf8(probe.data(), probe.size()).compare(key, Qt::CaseInsensitive) <= 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return insertItem(lo, text);
}

void ListBox::clearItems()
{
    m_model->clear();
    m_widths.cleared();
}

int32_t ListBox::currentListIndex() const
{
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
}

int32_t ListBox::setCurrentListIndex(int32_t index)
{
    if (index == -1) {
        selectionModel()->clearSelection();
        return Err;
    }
    if (!validIndex(index))
        return Err;
    m_model->publishPending();
    const QModelIndex item = m_model->index(index);
    selectionModel()->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect);
    scrollTo(item);
    return index;
}

int32_t ListBox::itemLength(int32_t index) const
{
    if (!validIndex(index))
        return Err;
    return int32_t(m_model->item(index).size());
}

bool ListBox::itemBytes(int32_t index, QByteArray& out) const
{
    if (!validIndex(index))
        return false;
    out = m_model->item(index).toByteArray();
    return true;
}

void ListBox::forEachItem(const std::function<void(int32_t, QByteArrayView)>& fn) const
{
    const int32_t n = m_model->count();
    for (int32_t i = 0; i < n; ++i)
        fn(i, m_model->item(i));
}

QString ListBox::itemText(int32_t index) const
{
    if (index < 0 || index >= m_model->count())
        return {};
    const QByteArrayView bytes = m_model->item(index);
    return QString::fromUtf8(bytes.data(), bytes.size());
}

void ListBox::setDragsFiles(bool files)
{
    m_model->setEntriesAreFiles(files);
    setDragEnabled(files);
    setDragDropMode(files ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
    setDefaultDropAction(Qt::CopyAction);
}

void ListBox::setHorizontalExtent(int pixels)
{
    pixels = std::max(0, pixels);
    if (pixels == m_horizontalExtent)
        return;
    m_horizontalExtent = pixels;
    scheduleDelayedItemsLayout();
}

void ListBox::mousePressEvent(QMouseEvent* event)
{
    QListView::mousePressEvent(event);
    emit MouseDown(event->button());
}

void ListBox::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        mousePressEvent(event);
        return;
    }
    QListView::mouseDoubleClickEvent(event);
    emit DblClick();
}

QItemSelectionModel::SelectionFlags ListBox::selectionCommand(const QModelIndex& index,
                                                              const QEvent* event) const
{
    // A single-selection list box keeps its entry selected when it is clicked again, also
    // with Ctrl held: selecting never turns into deselecting.
    QItemSelectionModel::SelectionFlags command = QListView::selectionCommand(index, event);
    if (selectionMode() == QAbstractItemView::SingleSelection && (command & QItemSelectionModel::Deselect))
        command = (command & ~QItemSelectionModel::Deselect) | QItemSelectionModel::ClearAndSelect;
    return command;
}

void ListBox::resizeEvent(QResizeEvent* event)
{
    QListView::resizeEvent(event);
    // Rows span at least the visible width, so a change of it needs a new layout.
    if (event->size().width() != event->oldSize().width())
        scheduleDelayedItemsLayout();
}

} // namespace fotarik
