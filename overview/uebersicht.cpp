#include "uebersicht.h"

#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>
#include <algorithm>
#include <limits>

#include "fileclass.h"
#include "foundlistactions.h"
#include "listbox.h"
#include "trystep.h"

namespace fotarik {
namespace overview {
namespace {

constexpr int CellPadding = 4;

QByteArray cacheKey(const QByteArray& path, int pixels)
{
    return QByteArray::number(pixels) + '\n' + path;
}

bool madeByThePool(FileKind kind)
{
    return kind == FileKind::Picture || kind == FileKind::Text;
}

QString fileNameOf(const QByteArray& path)
{
    return QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
}

} // namespace

// The grid: the list view in wrapping rows of uniform cells. It tells the window which
// cells it painted, so only those (and a screen ahead) are made.
class ThumbnailGrid : public QListView
{
public:
    explicit ThumbnailGrid(Uebersicht* window) : QListView(window), m_window(window)
    {
        // The user scrolled: the cell asked for has been seen, or is no longer wanted; where
        // they scrolled to is held from now on.
        connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this] {
            m_keepInView = -1;
            m_holdRow = -1;
        });
    }

    void relayout() { scheduleDelayedItemsLayout(); }

    // Scrolls row into view, now if it is laid out, else as soon as the layout reaches it,
    // and again after each new layout (more hits, another width) until the user scrolls.
    void keepInView(int32_t row)
    {
        m_keepInView = row;
        m_holdRow = -1;
        // A hidden grid is laid out when shown, at its size then.
        if (isVisible())
            scrollToKept();
    }
    void forgetKeptRow()
    {
        m_keepInView = -1;
        m_holdRow = -1;
    }

    void doItemsLayout() override
    {
        // Rows are placed a batch at a time; the first batch reaches the row to be kept in
        // view (or the cells to be held there), so it is shown from the first paint on
        // instead of after the rows before it.
        const int batch = batchSize();
        setBatchSize(std::max(batch, rowsToReach()));
        QListView::doItemsLayout();
        setBatchSize(batch);
        scrollToKept();
    }

    // Rows painted by the current paint event.
    void painted(int32_t row)
    {
        m_paintFirst = std::min(m_paintFirst, row);
        m_paintLast = std::max(m_paintLast, row);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        m_window->m_painted = true;
        m_paintFirst = std::numeric_limits<int32_t>::max();
        m_paintLast = -1;
        QListView::paintEvent(event);
        if (m_paintLast < 0)
            return;
        // A paint of the whole view shows what is on screen now: that, and a screen ahead in
        // the direction of the last scroll, is all the work wanted. A paint of a part only adds.
        const bool whole = event->rect().contains(viewport()->rect());
        const int32_t span = m_paintLast - m_paintFirst + 1;
        m_window->requestCells(m_paintFirst, m_paintLast, whole);
        if (whole) {
            if (m_scrolledUp)
                m_window->requestCells(std::max(0, m_paintFirst - span), m_paintFirst - 1, false);
            else
                m_window->requestCells(m_paintLast + 1, m_paintLast + span, false);
        }
    }

    void timerEvent(QTimerEvent* event) override
    {
        // A batch of the layout placed (a layout begun while the last was running starts
        // from the top without a first batch of its own: this one reaches the cells held).
        const int batch = batchSize();
        setBatchSize(std::max(batch, rowsToReach()));
        QListView::timerEvent(event);
        setBatchSize(batch);
        scrollToKept();
    }

    void rowsInserted(const QModelIndex& parent, int start, int end) override
    {
        // More hits make the list view place every cell again from the top, and until it has
        // come back to the cells in view the scroll range is cut short: the user who
        // scrolled down would be thrown up. The cell at the top of the view (and how much of
        // it shows) is held there until the layout is through. A hold not yet through stays.
        if (m_keepInView < 0 && m_holdRow < 0 && verticalScrollBar()->value() > 0) {
            const QModelIndex top = indexAt(QPoint(1, 1));
            if (top.isValid()) {
                m_holdRow = top.row();
                m_holdOffset = visualRect(top).top();
            }
        }
        QListView::rowsInserted(parent, start, end);
    }

    void scrollContentsBy(int dx, int dy) override
    {
        if (dy != 0)
            m_scrolledUp = dy > 0;
        QListView::scrollContentsBy(dx, dy);
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        m_keepInView = -1;
        m_pressing = true;
        QListView::mousePressEvent(event);
        m_pressing = false;
        const QModelIndex at = indexAt(event->position().toPoint());
        if (at.isValid())
            emit m_window->entrySelected(at.row());
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override
    {
        QListView::mouseDoubleClickEvent(event);
        const QModelIndex at = indexAt(event->position().toPoint());
        if (at.isValid() && event->button() == Qt::LeftButton)
            open(at.row());
    }

    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override
    {
        QListView::currentChanged(current, previous);
        // A press reports its entry itself, once the view has handled it; a selection that
        // follows the search window's reports nothing back.
        if (current.isValid() && !m_pressing && !m_window->m_following)
            emit m_window->entrySelected(current.row());
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        m_keepInView = -1;
        m_holdRow = -1;
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (currentIndex().isValid())
                open(currentIndex().row());
            return;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            m_window->setCellPixels(m_window->cellPixels() + Uebersicht::CellPixelsStep);
            return;
        case Qt::Key_Minus:
            m_window->setCellPixels(m_window->cellPixels() - Uebersicht::CellPixelsStep);
            return;
        default:
            QListView::keyPressEvent(event);
        }
    }

    void wheelEvent(QWheelEvent* event) override
    {
        if (!(event->modifiers() & Qt::ControlModifier)) {
            QListView::wheelEvent(event);
            return;
        }
        const int steps = event->angleDelta().y() / 120;
        if (steps != 0)
            m_window->setCellPixels(m_window->cellPixels() + steps * Uebersicht::CellPixelsStep);
        event->accept();
    }

private:
    // The rows the first batch of a layout must place to reach the row kept in view, or the
    // cells held and a screen of them.
    int rowsToReach() const
    {
        const int rows = model() ? model()->rowCount() : 0;
        if (m_keepInView >= 0 && m_keepInView < rows)
            return m_keepInView + 2;
        if (m_holdRow >= 0 && m_holdRow < rows) {
            const QSize cell = sizeHintForIndex(model()->index(m_holdRow, 0));
            const int perScreen = cell.isEmpty() ? 0
                                                 : (viewport()->width() / cell.width() + 1) *
                                                       (viewport()->height() / cell.height() + 2);
            return int(std::min<qint64>(rows, qint64(m_holdRow) + perScreen + 1));
        }
        return 0;
    }

    // The cells held where they were when more hits came, once the layout has placed them.
    void restoreHeld()
    {
        if (m_holdRow < 0)
            return;
        const int rows = model()->rowCount();
        if (m_holdRow >= rows) {
            m_holdRow = -1;
            return;
        }
        const QRect placed = rectForIndex(model()->index(m_holdRow, 0));
        if (!placed.isValid())
            return; // not laid out yet
        const int value = placed.top() - m_holdOffset;
        if (value > verticalScrollBar()->maximum())
            updateGeometries();
        verticalScrollBar()->setValue(value);
        // Through: every row placed, the scroll range whole again.
        if (rectForIndex(model()->index(rows - 1, 0)).isValid())
            m_holdRow = -1;
    }

    void scrollToKept()
    {
        restoreHeld();
        if (m_keepInView < 0 || m_keepInView >= model()->rowCount())
            return;
        const QModelIndex index = model()->index(m_keepInView, 0);
        const QRect placed = rectForIndex(index);
        if (!placed.isValid())
            return; // not laid out yet
        // The scroll range is brought up to the rows placed so far only once all are.
        if (placed.bottom() > verticalScrollBar()->maximum() + viewport()->height())
            updateGeometries();
        scrollTo(index);
    }

    void open(int32_t row)
    {
        if (madeByThePool(FileClass(m_window->pathOf(row))))
            emit m_window->entryOpened(row);
    }

    Uebersicht* m_window;
    int32_t m_keepInView = -1;
    int32_t m_holdRow = -1; // the cell held at the top of the view while the layout is redone
    int m_holdOffset = 0;   // where its top was in the view
    int32_t m_paintFirst = 0;
    int32_t m_paintLast = -1;
    bool m_scrolledUp = false;
    bool m_pressing = false;
};

// One cell: the thumbnail (or its symbol) in a square, the file name below it.
class CellDelegate : public QStyledItemDelegate
{
public:
    CellDelegate(Uebersicht* window, ThumbnailGrid* grid)
        : QStyledItemDelegate(window), m_window(window), m_grid(grid)
    {
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        const int side = m_window->cellPixels();
        return {m_window->columnWidth(), side + 3 * CellPadding + option.fontMetrics.height()};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const int32_t row = index.row();
        m_grid->painted(row);
        const QByteArray path = m_window->pathOf(row);
        const int side = m_window->cellPixels();
        const QRect cell = option.rect;
        // The columns share out the width: each picture and its name in the middle of its own.
        const int left = cell.left() + std::max(CellPadding, (cell.width() - side) / 2);
        const QRect square(left, cell.top() + CellPadding, side, side);
        const QRect nameRect(left, square.bottom() + 1 + CellPadding, side, option.fontMetrics.height());
        QStyle* style = m_grid->style();
        if (option.state & QStyle::State_Selected)
            painter->fillRect(cell, option.palette.highlight());

        const FileKind kind = FileClass(path);
        const Thumbnail* thumbnail = madeByThePool(kind) ? m_window->cached(path) : nullptr;
        const auto drawSymbol = [&](QStyle::StandardPixmap which) {
            const int size = std::max(32, side / 2);
            const QRect at(square.center().x() - size / 2, square.center().y() - size / 2, size, size);
            style->standardIcon(which).paint(painter, at);
        };
        if (!madeByThePool(kind)) {
            drawSymbol(kind == FileKind::Video ? QStyle::SP_MediaPlay
                       : kind == FileKind::WaveSound || kind == FileKind::MidiSound || kind == FileKind::Mp3
                           ? QStyle::SP_MediaVolume
                           : QStyle::SP_FileIcon);
        } else if (!thumbnail) {
            painter->setPen(QPen(option.palette.mid().color(), 1, Qt::DotLine));
            painter->drawRect(square.adjusted(side / 8, side / 8, -side / 8, -side / 8));
        } else if (thumbnail->kind == Thumbnail::Kind::Picture) {
            const QSizeF logical = thumbnail->image.deviceIndependentSize();
            const QPointF at(square.left() + (side - logical.width()) / 2,
                             square.top() + (side - logical.height()) / 2);
            painter->drawImage(at, thumbnail->image);
        } else if (thumbnail->kind == Thumbnail::Kind::Text) {
            const QRect page = square.adjusted(side / 10, 0, -side / 10, 0);
            painter->fillRect(page, Qt::white);
            painter->setPen(option.palette.mid().color());
            painter->drawRect(page.adjusted(0, 0, -1, -1));
            QFont small = option.font;
            small.setPointSizeF(std::max(4.0, small.pointSizeF() * side / 256.0));
            painter->setFont(small);
            painter->setPen(Qt::black);
            const QFontMetrics metrics(small);
            const QRect inner = page.adjusted(3, 3, -3, -3);
            painter->save();
            painter->setClipRect(inner);
            int y = inner.top() + metrics.ascent();
            for (const QString& line : thumbnail->lines) {
                if (y - metrics.ascent() > inner.bottom())
                    break;
                painter->drawText(inner.left(), y, line);
                y += metrics.lineSpacing();
            }
            painter->restore();
            painter->setFont(option.font);
        } else {
            drawSymbol(QStyle::SP_MessageBoxWarning);
        }

        painter->setPen(option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                                   : QPalette::Text));
        painter->drawText(nameRect, Qt::AlignHCenter | Qt::AlignTop,
                          option.fontMetrics.elidedText(fileNameOf(path), Qt::ElideMiddle, side));
    }

private:
    Uebersicht* m_window;
    ThumbnailGrid* m_grid;
};

} // namespace overview

using overview::CellState;
using overview::Thumbnail;
using overview::Thumbnailer;

Uebersicht::Uebersicht(ListBox* foundList, QWidget* parent)
    : QWidget(parent, Qt::Window), m_foundList(foundList), m_model(foundList->listModel()),
      m_cache(DefaultCacheBytes)
{
    setObjectName(QStringLiteral("Uebersicht"));
    setAttribute(Qt::WA_DeleteOnClose);
    if (parent)
        setWindowIcon(parent->windowIcon());
    m_thumbnailer =
        std::make_unique<Thumbnailer>([this](Thumbnailer::Result&& r) { delivered(std::move(r)); });

    m_grid = new overview::ThumbnailGrid(this);
    m_grid->setObjectName(QStringLiteral("lvwMiniaturen"));
    m_grid->setViewMode(QListView::ListMode);
    m_grid->setFlow(QListView::LeftToRight);
    m_grid->setWrapping(true);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setMovement(QListView::Static);
    m_grid->setUniformItemSizes(true);
    // Laid out a batch at a time: a million hits show their first screen at once, the rest
    // are placed in the next passes of the event loop.
    m_grid->setLayoutMode(QListView::Batched);
    m_grid->setBatchSize(LayoutBatch);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The scroll bar is always there: the columns fill the width, and a bar that came and
    // went with the number of hits would lay them all out again, and again.
    m_grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_grid->setDragEnabled(true);
    m_grid->setDragDropMode(QAbstractItemView::DragOnly);
    m_grid->setItemDelegate(new overview::CellDelegate(this, m_grid));
    m_grid->setModel(m_model);
    m_grid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_grid, &QWidget::customContextMenuRequested, this, &Uebersicht::showMenu);
    setCellPixels(DefaultCellPixels);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_grid);
    resize(5 * (DefaultCellPixels + 2 * overview::CellPadding) + 40, 720);

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &Uebersicht::updateCaption);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &Uebersicht::updateCaption);
    connect(m_model, &QAbstractItemModel::modelReset, this, &Uebersicht::modelReset);
    connect(foundList->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &Uebersicht::followFoundList);
    updateCaption();
    setFocusProxy(m_grid);
    followFoundList(foundList->currentIndex());
}

Uebersicht::~Uebersicht()
{
    m_thumbnailer->stop();
}

QString Uebersicht::captionFor(int count)
{
    // The count as the search window shows it: decimal digits, no separators.
    if (count == 1)
        return QStringLiteral("Übersicht – 1 Datei");
    return QStringLiteral("Übersicht – %1 Dateien").arg(count);
}

QListView* Uebersicht::grid() const
{
    return m_grid;
}

void Uebersicht::updateCaption()
{
    setWindowTitle(captionFor(m_model->rowCount()));
}

void Uebersicht::setCellPixels(int pixels)
{
    pixels = std::clamp(pixels, MinCellPixels, MaxCellPixels);
    m_cellPixels = pixels;
    // A new size wants new thumbnails: the waiting ones for the old size are of no use.
    m_thumbnailer->want({}, pixels, devicePixelRatioF(), m_generation, true);
    m_grid->relayout();
    m_grid->viewport()->update();
}

void Uebersicht::setCacheBytes(qint64 bytes)
{
    m_cache.setMaxCost(bytes);
}

int Uebersicht::columnWidth() const
{
    // As many columns as cells of the size chosen fit, sharing out what is left over. The
    // list view starts a new line where a cell would reach the viewport's last pixel.
    const int cell = m_cellPixels + 2 * overview::CellPadding;
    const int width = m_grid->viewport()->width() - 1;
    const int columns = std::max(1, width / cell);
    return std::max(cell, width / columns);
}

QByteArray Uebersicht::pathOf(int32_t row) const
{
    if (row < 0 || row >= m_model->count())
        return {};
    return m_model->item(row).toByteArray();
}

const Thumbnail* Uebersicht::cached(const QByteArray& path) const
{
    return m_cache.object(overview::cacheKey(path, m_cellPixels));
}

CellState Uebersicht::cellState(int32_t row) const
{
    const QByteArray path = pathOf(row);
    if (!overview::madeByThePool(FileClass(path)))
        return CellState::Symbol;
    const Thumbnail* thumbnail = cached(path);
    if (!thumbnail)
        return CellState::Waiting;
    switch (thumbnail->kind) {
    case Thumbnail::Kind::Picture:
        return CellState::Picture;
    case Thumbnail::Kind::Text:
        return CellState::Text;
    case Thumbnail::Kind::Failed:
        break;
    }
    return CellState::Failed;
}

void Uebersicht::requestCells(int32_t first, int32_t last, bool replace)
{
    first = std::max(first, 0);
    last = std::min(last, m_model->rowCount() - 1);
    std::vector<Thumbnailer::Request> requests;
    for (int32_t row = first; row <= last; ++row) {
        QByteArray path = pathOf(row);
        const FileKind kind = FileClass(path);
        if (!overview::madeByThePool(kind) || cached(path))
            continue;
        requests.push_back({row, std::move(path), kind == FileKind::Text});
    }
    if (requests.empty() && !replace)
        return;
    m_thumbnailer->want(requests, m_cellPixels, devicePixelRatioF(), m_generation, replace);
}

void Uebersicht::delivered(Thumbnailer::Result&& result)
{
    if (result.generation != m_generation)
        return; // made for the hits of an earlier search
    auto* thumbnail = new Thumbnail(std::move(result.thumbnail));
    const qint64 cost = thumbnail->bytes();
    m_cache.insert(overview::cacheKey(result.path, result.pixels), thumbnail, cost);
    if (result.pixels == m_cellPixels && result.row < m_model->rowCount())
        m_grid->update(m_model->index(result.row));
}

void Uebersicht::modelReset()
{
    // A new search: its files may have changed since, so nothing made before is kept.
    ++m_generation;
    m_grid->forgetKeptRow();
    m_thumbnailer->want({}, m_cellPixels, devicePixelRatioF(), m_generation, true);
    m_cache.clear();
    updateCaption();
}

void Uebersicht::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Opened on a chosen entry: it is in view from the start, wherever it is in the list.
    if (!m_shownBefore && m_grid->currentIndex().isValid())
        m_grid->keepInView(m_grid->currentIndex().row());
    m_shownBefore = true;
}

void Uebersicht::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_painted = false;
}

bool Uebersicht::lostFromScreen() const
{
    // Shown and painted once, so it was on the screen; not exposed now, and not because it
    // was minimised: nothing of it is left there.
    const QWindow* window = windowHandle();
    return isVisible() && m_painted && window && !window->isExposed() &&
           !(windowState() & Qt::WindowMinimized);
}

void Uebersicht::followFoundList(const QModelIndex& current)
{
    // The search window moved its entry (hsb, its list, a key): the grid's selection goes
    // along and the cell is scrolled into view.
    if (!current.isValid() || current.row() == m_grid->currentIndex().row())
        return;
    m_following = true;
    m_grid->setCurrentIndex(m_model->index(current.row()));
    m_following = false;
    m_grid->keepInView(current.row());
}

void Uebersicht::showMenu(const QPoint& viewportPos)
{
    const QModelIndex at = m_grid->indexAt(viewportPos);
    if (!at.isValid())
        return;
    m_grid->setCurrentIndex(at);
    const QByteArray file = pathOf(at.row());
    auto* menu = new QMenu(m_grid);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    FoundListActions::addFileActions(menu, file, this);
    menu->popup(m_grid->viewport()->mapToGlobal(viewportPos));
}

} // namespace fotarik
