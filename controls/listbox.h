#pragma once
// The list box of the program: a QListView over a compact model that keeps every entry
// as bytes in one buffer plus one offset, so a million found paths cost little more
// than their bytes. Entries are shown decoded as UTF-8 (invalid bytes as replacement
// characters) but read back exactly as stored.

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QListView>
#include <QTimer>
#include <functional>

#include "listboxaccess.h"
#include "listextent.h"

namespace fotarik {

// Entry storage. Rows appended at the end reach the view in batches (publishPending), so
// that a fast walker does not make the view lay itself out once per entry; any other
// change publishes the pending rows first. count() always includes the pending rows.
class ListBoxModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit ListBoxModel(QObject* parent = nullptr);
    ~ListBoxModel() override;

    int32_t count() const { return m_count; }
    // Only valid until the next change of the model.
    QByteArrayView item(int32_t index) const
    {
        return {m_bytes + m_offsets[index], qsizetype(m_offsets[index + 1] - m_offsets[index])};
    }
    // index 0..count. Returns false when the buffers cannot grow.
    bool insert(int32_t index, QByteArrayView text);
    void clear();
    // Tells the view about rows appended since the last call.
    void publishPending();
    // Answers whether the view shows the last published row. While it does not, new rows
    // would only move the scroll bar, and they reach the view at a slower pace.
    void setEndInSight(std::function<bool()> endInSight) { m_endInSight = std::move(endInSight); }
    int32_t publishedCount() const { return m_published; }
    // Bytes held for the entries beyond their own text (offsets and unused capacity).
    size_t overheadBytes() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // With entries that are full paths, rows drag out as files (text/uri-list).
    void setEntriesAreFiles(bool files) { m_entriesAreFiles = files; }
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

private:
    void schedulePublish();
    bool reserveBytes(size_t extra);
    bool reserveOffsets();

    // Entry i is m_bytes[m_offsets[i] .. m_offsets[i + 1]). Both buffers grow with
    // realloc: large blocks are remapped rather than copied, so growth has no copy peak.
    char* m_bytes = nullptr;
    size_t m_bytesCapacity = 0;
    uint32_t* m_offsets = nullptr;
    size_t m_offsetsCapacity = 0;
    int32_t m_count = 0;
    int32_t m_published = 0;
    bool m_entriesAreFiles = false;
    std::function<bool()> m_endInSight;
    QTimer m_publishTimer;
    QElapsedTimer m_lastPublish;
};

class ListBox : public QListView, public ListBoxAccess
{
    Q_OBJECT
    Q_PROPERTY(bool Sorted READ isSorted WRITE setSorted)
    Q_PROPERTY(int horizontalExtent READ horizontalExtent WRITE setHorizontalExtent)

public:
    explicit ListBox(QWidget* parent = nullptr);

    int32_t listCount() const override;
    int32_t insertItem(int32_t index, const QByteArray& text) override;
    int32_t addItemSorted(const QByteArray& text) override;
    bool isSorted() const override { return m_sorted; }
    void setSorted(bool sorted) { m_sorted = sorted; }
    void clearItems() override;
    int32_t currentListIndex() const override;
    int32_t setCurrentListIndex(int32_t index) override;
    int32_t itemLength(int32_t index) const override;
    bool itemBytes(int32_t index, QByteArray& out) const override;
    void forEachItem(const std::function<void(int32_t, QByteArrayView)>& fn) const override;
    void setListHorizontalExtent(int32_t pixels) override { setHorizontalExtent(pixels); }
    ListWidthTracker* widthTracker() const override { return &m_widths; }

    // The entry as displayed.
    QString itemText(int32_t index) const;

    // Width in pixels the rows span and the horizontal scroll bar covers; 0 lets the
    // rows span the visible width only.
    int horizontalExtent() const { return m_horizontalExtent; }
    void setHorizontalExtent(int pixels);

    // Lets the entries, full paths of files, be dragged out of the list as files.
    void setDragsFiles(bool files);

    // Makes the view show every appended entry now instead of at its next batch.
    void flushPendingRows() { m_model->publishPending(); }
    ListBoxModel* listModel() const { return m_model; }

signals:
    // After the view has handled a mouse press (any button) or a double click (left button
    // only; another button's second press is a press), so the selection already reflects it.
    void MouseDown(Qt::MouseButton button);
    void DblClick();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;

private:
    bool validIndex(int32_t index) const;

    ListBoxModel* m_model;
    bool m_sorted = false;
    int m_horizontalExtent = 0;
    mutable ListWidthTracker m_widths;
};

} // namespace fotarik
