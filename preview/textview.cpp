#include "textview.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <thread>

#include "messagebox.h"

namespace fotarik {
namespace {

constexpr int Margin = 3;
constexpr int TabWidth = 8;
// The vertical scroll bar counts rows while they fit its int range comfortably.
constexpr qint64 MaxScrollSteps = qint64(1) << 30;

QString expandTabs(const QString& text)
{
    if (!text.contains(u'\t'))
        return text;
    QString out;
    out.reserve(text.size() + TabWidth);
    for (const QChar c : text) {
        if (c == u'\t')
            out += QString(TabWidth - out.size() % TabWidth, u' ');
        else
            out += c;
    }
    return out;
}

// While the mouse is dragged beyond the box, it scrolls on at this pace.
constexpr int AutoScrollMs = 50;
// The selection of the mouse goes to the primary selection of X11 when it is no longer
// than this (rows in memory only: the window never reads a file for it).
constexpr qsizetype MostSharedChars = 1024 * 1024;

// The text from `from` to `to` of rows, the first of which is row firstRow: rows joined
// by "\n", the rows of a long line without one.
QString joinRows(const std::vector<TextRow>& rows, qint64 firstRow, TextView::Position from,
                 TextView::Position to)
{
    QString text;
    for (size_t i = 0; i < rows.size(); ++i) {
        const qint64 row = firstRow + qint64(i);
        if (row < from.row)
            continue;
        if (row > to.row)
            break;
        const QString& t = rows[i].text;
        const qsizetype a = row == from.row ? std::min(from.column, t.size()) : 0;
        const qsizetype b = row == to.row ? std::min(to.column, t.size()) : t.size();
        if (b > a)
            text += QStringView(t).mid(a, b - a);
        if (row < to.row && i + 1 < rows.size() && !rows[i].soft)
            text += u'\n';
    }
    return text;
}

// What assistive technology is told of the box: a multi-line text box, read-only for a file
// too big to edit, whose value is the rows on screen (never the whole of a file, which may
// be huge or on a slow drive).
class AccessibleTextView : public QAccessibleWidget
{
public:
    explicit AccessibleTextView(TextView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) {
            const std::optional<QStringList> rows = view()->visibleText();
            return rows ? rows->join(u'\n') : QString();
        }
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.multiLine = true;
        s.readOnly = view()->isReadOnly();
        s.editable = !s.readOnly;
        s.selectableText = true;
        return s;
    }

private:
    const TextView* view() const { return static_cast<const TextView*>(widget()); }
};

QAccessibleInterface* accessibleTextViewFactory(const QString&, QObject* object)
{
    if (auto* view = qobject_cast<TextView*>(object))
        return new AccessibleTextView(view);
    return nullptr;
}

} // namespace

TextView::TextView(QWidget* parent) : QAbstractScrollArea(parent)
{
    static const bool accessible = [] {
        QAccessible::installFactory(accessibleTextViewFactory);
        return true;
    }();
    Q_UNUSED(accessible);
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    setAttribute(Qt::WA_InputMethodEnabled);
    m_rows.push_back({});
}

TextView::~TextView()
{
    if (m_file)
        m_file->setReceiver(nullptr);
    if (m_pending)
        m_pending->setReceiver(nullptr);
}

void TextView::setPlainText(const QString& text)
{
    if (m_pending) {
        m_pending->setReceiver(nullptr);
        m_pending.reset();
    }
    if (m_file) {
        m_file->setReceiver(nullptr);
        m_file.reset();
    }
    m_key.clear();
    m_rows = splitRows(text);
    m_cursorRow = 0;
    m_cursorColumn = 0;
    m_cursorAtEnd = false;
    m_anchor = {};
    m_widest = 0;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    changed();
}

QString TextView::toPlainText() const
{
    const Position all{std::numeric_limits<qint64>::max(), EndOfRow};
    if (!m_file)
        return joinRows(m_rows, 0, {}, all);
    std::optional<std::vector<TextRow>> rows;
    if (m_file->complete())
        rows = m_file->cachedRows(0, std::numeric_limits<qint64>::max());
    if (!rows)
        rows = m_file->readAllRows();
    return rows ? joinRows(*rows, 0, {}, all) : QString();
}

void TextView::showFile(std::shared_ptr<TextFile> file, const QByteArray& key)
{
    if (m_pending) {
        m_pending->setReceiver(nullptr);
        m_pending.reset();
    }
    if (m_file)
        m_file->setReceiver(nullptr);
    m_file = std::move(file);
    m_key = key;
    m_rows.clear();
    m_generation = m_file->generation();
    m_file->setReceiver(this);
    m_cursorRow = 0;
    m_cursorColumn = 0;
    m_cursorAtEnd = false;
    m_anchor = {};
    m_widest = 0;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    changed();
}

void TextView::showWhenOpen(std::shared_ptr<TextFile> file)
{
    if (m_pending)
        m_pending->setReceiver(nullptr);
    m_pending = std::move(file);
    m_pending->setReceiver(this);
    fileChanged(); // it may have opened in between
}

QByteArray TextView::shownKey() const
{
    return m_key;
}

qint64 TextView::rowCount() const
{
    return m_file ? std::max<qint64>(m_file->rowCount(), 1) : qint64(m_rows.size());
}

bool TextView::rowCountComplete() const
{
    return !m_file || m_file->complete();
}

std::optional<QString> TextView::rowText(qint64 row) const
{
    if (m_file)
        return m_file->row(row);
    if (row < 0 || row >= qint64(m_rows.size()))
        return std::nullopt;
    return m_rows[size_t(row)].text;
}

qint64 TextView::rowsPerStep() const
{
    return std::max<qint64>(1, (rowCount() + MaxScrollSteps - 1) / MaxScrollSteps);
}

int TextView::lineHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

qint64 TextView::firstVisibleRow() const
{
    return std::min(qint64(verticalScrollBar()->value()) * rowsPerStep(), rowCount() - 1);
}

int TextView::visibleRowCount() const
{
    return std::max(1, viewport()->height() / lineHeight());
}

void TextView::scrollToRow(qint64 row)
{
    updateScrollBars(); // the row count may have grown since the last report
    verticalScrollBar()->setValue(int(std::clamp<qint64>(row, 0, rowCount() - 1) / rowsPerStep()));
}

std::optional<QStringList> TextView::visibleText() const
{
    QStringList rows;
    const qint64 first = firstVisibleRow();
    const qint64 end = std::min(rowCount(), first + visibleRowCount());
    for (qint64 r = first; r < end; ++r) {
        auto text = rowText(r);
        if (!text)
            return std::nullopt;
        rows << *text;
    }
    return rows;
}

bool TextView::isReadOnly() const
{
    return m_file && m_file->fileSize() > EditableBytes;
}

void TextView::changed()
{
    ++m_revision;
    updateScrollBars();
    viewport()->update();
}

void TextView::updateScrollBars()
{
    const qint64 steps = (rowCount() + rowsPerStep() - 1) / rowsPerStep();
    QScrollBar* v = verticalScrollBar();
    const int page = std::max(1, int(visibleRowCount() / rowsPerStep()));
    // At the end it stays at the end: the viewport got smaller, or more rows were counted.
    const bool atEnd = v->maximum() > 0 && v->value() == v->maximum();
    v->setRange(0, int(std::max<qint64>(0, steps - page)));
    if (atEnd)
        v->setValue(v->maximum());
    v->setPageStep(page);
    v->setSingleStep(1);
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, m_widest + 2 * Margin - viewport()->width()));
    h->setPageStep(std::max(1, viewport()->width()));
    h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

void TextView::fileChanged()
{
    if (m_pending && m_pending->state() != TextFile::State::Opening) {
        std::shared_ptr<TextFile> pending = std::move(m_pending);
        pending->setReceiver(nullptr);
        if (pending->state() == TextFile::State::Open)
            showFile(pending, pending->path() + '\0' + pending->stamp());
        // A file that could not be opened leaves the box as it was.
    }
    keepWithinRows();
    if (m_file && m_file->generation() != m_generation) {
        m_generation = m_file->generation();
        m_widest = 0;
        changed();
        return;
    }
    updateScrollBars();
    viewport()->update();
}

// The cursor at the end follows the end as more rows are counted; a text that got
// shorter takes the cursor and the selection along.
void TextView::keepWithinRows()
{
    const qint64 last = rowCount() - 1;
    if ((m_cursorAtEnd && m_cursorRow != last) || m_cursorRow > last) {
        m_cursorRow = last;
        m_cursorColumn = clampColumn(last, EndOfRow);
    }
    if (m_anchor.row > last)
        m_anchor = {last, EndOfRow};
}

bool TextView::event(QEvent* e)
{
    if (e->type() == TextFile::notifyEventType()) {
        fileChanged();
        return true;
    }
    if (e->type() == QEvent::ShortcutOverride) {
        // The keys of the box are its own while it has the focus.
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll) ||
            key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Paste)) {
            e->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(e);
}

void TextView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const QFontMetrics fm = fontMetrics();
    const int lh = lineHeight();
    const qint64 first = firstVisibleRow();
    const int count = viewport()->height() / lh + 1;
    if (m_file)
        m_file->want(first, first + count);
    const int x0 = Margin - horizontalScrollBar()->value();
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    const QColor textColour = palette().color(QPalette::Text);
    const bool selected = hasSelection();
    const Position from = selectionStart();
    const Position to = selectionEnd();
    painter.setPen(textColour);
    int widest = m_widest;
    const qint64 rows = rowCount();
    for (int i = 0; i < count && first + i < rows; ++i) {
        const qint64 row = first + i;
        const auto text = rowText(row);
        if (!text)
            continue; // being read: drawn when it arrives
        const QString shown = expandTabs(*text);
        const int y = i * lh;
        painter.drawText(x0, y + fm.ascent(), shown);
        widest = std::max(widest, fm.horizontalAdvance(shown));
        if (selected && row >= from.row && row <= to.row) {
            const qsizetype a = row == from.row ? std::min(from.column, text->size()) : 0;
            const qsizetype b = row == to.row ? std::min(to.column, text->size()) : text->size();
            const int left = x0 + textX(*text, a);
            // The break at the end of a selected row shows as a little more.
            const int right = x0 + textX(*text, b) + (row < to.row ? fm.averageCharWidth() / 2 + 1 : 0);
            if (right > left) {
                const QRect band(left, y, right - left, lh);
                painter.fillRect(band, palette().color(group, QPalette::Highlight));
                painter.save();
                painter.setClipRect(band);
                painter.setPen(palette().color(group, QPalette::HighlightedText));
                painter.drawText(x0, y + fm.ascent(), shown);
                painter.restore();
            }
        }
        if (hasFocus() && row == m_cursorRow) {
            const int cx = x0 + textX(*text, std::min(m_cursorColumn, text->size()));
            painter.drawLine(cx, y, cx, y + lh - 1);
        }
    }
    if (widest > m_widest) {
        m_widest = widest;
        updateScrollBars();
    }
}

void TextView::resizeEvent(QResizeEvent* e)
{
    QAbstractScrollArea::resizeEvent(e);
    updateScrollBars();
}

void TextView::scrollContentsBy(int, int)
{
    viewport()->update();
}

int TextView::textX(const QString& row, qsizetype column) const
{
    const QString prefix = expandTabs(row.left(column));
    return fontMetrics().horizontalAdvance(prefix);
}

qsizetype TextView::columnAt(const QString& row, int x) const
{
    // The boundary between two characters nearest to x: the last one whose character
    // before it has its middle at or left of x.
    qsizetype low = 0;
    qsizetype high = row.size();
    while (low < high) {
        const qsizetype mid = low + (high - low + 1) / 2;
        if (textX(row, mid - 1) + textX(row, mid) <= 2 * x)
            low = mid;
        else
            high = mid - 1;
    }
    if (low > 0 && low < row.size() && row[low].isLowSurrogate())
        --low;
    return low;
}

qsizetype TextView::rowLength(qint64 row) const
{
    auto text = rowText(row);
    return text ? text->size() : 0;
}

qsizetype TextView::clampColumn(qint64 row, qsizetype column) const
{
    auto text = rowText(row);
    return text ? std::min(column, text->size()) : column;
}

qsizetype TextView::cursorColumn() const
{
    return clampColumn(m_cursorRow, m_cursorColumn);
}

QRect TextView::cursorRect(Position position) const
{
    const auto text = rowText(position.row);
    const int x = Margin - horizontalScrollBar()->value() +
                  (text ? textX(*text, std::min(position.column, text->size())) : 0);
    const qint64 y = (position.row - firstVisibleRow()) * lineHeight();
    return QRect(x, int(std::clamp<qint64>(y, INT_MIN / 2, INT_MAX / 2)), 1, lineHeight());
}

bool TextView::hasSelection() const
{
    const Position cursor{m_cursorRow, clampColumn(m_cursorRow, m_cursorColumn)};
    const Position anchor{m_anchor.row, clampColumn(m_anchor.row, m_anchor.column)};
    return cursor != anchor;
}

TextView::Position TextView::selectionStart() const
{
    return std::min(m_anchor, Position{m_cursorRow, m_cursorColumn});
}

TextView::Position TextView::selectionEnd() const
{
    return std::max(m_anchor, Position{m_cursorRow, m_cursorColumn});
}

void TextView::selectAll()
{
    m_anchor = {};
    m_cursorRow = rowCount() - 1;
    m_cursorColumn = clampColumn(m_cursorRow, EndOfRow);
    m_cursorAtEnd = true;
    viewport()->update();
    shareSelection();
}

std::optional<QString> TextView::selectedText() const
{
    if (!hasSelection())
        return QString();
    const Position from = selectionStart();
    const Position to = selectionEnd();
    if (!m_file)
        return joinRows(m_rows, 0, from, to);
    if (m_cursorAtEnd && !m_file->complete())
        return std::nullopt; // its end is not known yet
    const auto rows = m_file->cachedRows(from.row, to.row);
    if (!rows)
        return std::nullopt;
    return joinRows(*rows, from.row, from, to);
}

// On X11 a selected text is offered to middle-click pasting, when it is at hand.
void TextView::shareSelection()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard || !clipboard->supportsSelection() || !hasSelection())
        return;
    if (selectionEnd().row - selectionStart().row > MostSharedChars / 64)
        return;
    const std::optional<QString> text = selectedText();
    if (text && text->size() <= MostSharedChars)
        clipboard->setText(*text, QClipboard::Selection);
}

void TextView::copy()
{
    if (!hasSelection())
        return;
    // Rows in memory (a text set, a small file, the rows in view) are copied at once.
    if (const std::optional<QString> text = selectedText()) {
        QGuiApplication::clipboard()->setText(*text);
        return;
    }
    // A file's rows: read on a thread of their own, so that a big selection or a slow
    // drive never holds up the window. The thread keeps the file open until it is done.
    const Position from = selectionStart();
    const Position to = selectionEnd();
    const bool toEnd = m_cursorAtEnd && to == Position{m_cursorRow, m_cursorColumn};
    const uint64_t job = ++m_lastCopyJob;
    m_copyJob = job;
    viewport()->setCursor(Qt::BusyCursor);
    QPointer<TextView> view(this);
    std::thread([file = m_file, from, to, toEnd, job, view] {
        TextFile::RowsRead read = file->readRows(from.row, to.row, CopyMostBytes, toEnd);
        Position end = to;
        if (toEnd)
            end = {from.row + qint64(read.rows.size()) - 1, EndOfRow};
        const QString text =
            read.tooBig || read.failed ? QString() : joinRows(read.rows, from.row, from, end);
        QMetaObject::invokeMethod(
            qApp,
            [view, job, text, tooBig = read.tooBig, failed = read.failed] {
                if (view)
                    view->copyArrived(job, text, tooBig, failed);
            },
            Qt::QueuedConnection);
    }).detach();
}

void TextView::copyArrived(uint64_t job, const QString& text, bool tooBig, bool failed)
{
    if (job != m_copyJob)
        return;
    m_copyJob = 0;
    viewport()->setCursor(Qt::IBeamCursor);
    if (tooBig) {
        showMessage(QStringLiteral("Der markierte Text ist zu groß für die Zwischenablage (mehr als %1 MB). "
                                   "Es wurde nichts kopiert.")
                        .arg(CopyMostBytes / (1024 * 1024)),
                    appTitle(), MsgIcon::Warning, this);
        return;
    }
    if (failed) {
        showMessage(
            QStringLiteral("Der markierte Text konnte nicht gelesen werden. Es wurde nichts kopiert."),
            appTitle(), MsgIcon::Warning, this);
        return;
    }
    QGuiApplication::clipboard()->setText(text);
}

void TextView::cut()
{
    if (!hasSelection())
        return;
    const std::optional<QString> text = selectedText();
    if (!text || !makeEditable())
        return;
    QGuiApplication::clipboard()->setText(*text);
    removeSelection();
    edited();
}

void TextView::paste()
{
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty() || !makeEditable())
        return;
    removeSelection();
    insertText(text);
    edited();
}

void TextView::deleteSelection()
{
    if (!hasSelection() || !makeEditable())
        return;
    removeSelection();
    edited();
}

void TextView::ensureCursorVisible()
{
    const qint64 first = firstVisibleRow();
    const int visible = visibleRowCount();
    if (m_cursorRow < first)
        scrollToRow(m_cursorRow);
    else if (m_cursorRow >= first + visible)
        scrollToRow(m_cursorRow - visible + 1);
    if (auto text = rowText(m_cursorRow)) {
        const int x = textX(*text, std::min(m_cursorColumn, text->size()));
        QScrollBar* h = horizontalScrollBar();
        if (x < h->value())
            h->setValue(x);
        else if (x > h->value() + viewport()->width() - 2 * Margin)
            h->setValue(x - viewport()->width() + 2 * Margin);
    }
    viewport()->update();
}

void TextView::setCursorPosition(Position position, QTextCursor::MoveMode mode)
{
    m_cursorRow = std::clamp<qint64>(position.row, 0, rowCount() - 1);
    m_cursorColumn = position.column;
    m_cursorAtEnd = false;
    if (mode == QTextCursor::MoveAnchor)
        m_anchor = {m_cursorRow, m_cursorColumn};
}

void TextView::moveCursor(QTextCursor::MoveOperation operation, QTextCursor::MoveMode mode)
{
    const qint64 rows = rowCount();
    // Without Shift, Left and Right end a selection at its start or end.
    if (mode == QTextCursor::MoveAnchor && hasSelection() &&
        (operation == QTextCursor::Left || operation == QTextCursor::Right)) {
        const Position to = operation == QTextCursor::Left ? selectionStart() : selectionEnd();
        const bool atEnd = m_cursorAtEnd && to == Position{m_cursorRow, m_cursorColumn};
        setCursorPosition(to, mode);
        m_cursorAtEnd = atEnd;
        ensureCursorVisible();
        return;
    }
    Position p{m_cursorRow, m_cursorColumn};
    bool toEnd = false;
    switch (operation) {
    case QTextCursor::Start:
        p = {};
        break;
    case QTextCursor::End:
        p = {rows - 1, EndOfRow};
        toEnd = true;
        break;
    case QTextCursor::StartOfLine:
    case QTextCursor::StartOfBlock:
        p.column = 0;
        break;
    case QTextCursor::EndOfLine:
    case QTextCursor::EndOfBlock:
        p.column = EndOfRow;
        break;
    case QTextCursor::Up:
    case QTextCursor::PreviousBlock:
        p.row = std::max<qint64>(0, p.row - 1);
        break;
    case QTextCursor::Down:
    case QTextCursor::NextBlock:
        p.row = std::min(rows - 1, p.row + 1);
        break;
    case QTextCursor::Left:
    case QTextCursor::PreviousCharacter: {
        const auto text = rowText(p.row);
        const qsizetype column = text ? std::min(p.column, text->size()) : 0;
        if (column > 0)
            p.column = column - (column > 1 && (*text)[column - 1].isLowSurrogate() ? 2 : 1);
        else if (p.row > 0)
            p = {p.row - 1, EndOfRow};
        break;
    }
    case QTextCursor::Right:
    case QTextCursor::NextCharacter: {
        const auto text = rowText(p.row);
        const qsizetype column = text ? std::min(p.column, text->size()) : 0;
        if (text && column < text->size())
            p.column = column + ((*text)[column].isHighSurrogate() && column + 1 < text->size() ? 2 : 1);
        else if (p.row + 1 < rows)
            p = {p.row + 1, 0};
        break;
    }
    default:
        break;
    }
    // A row end that is known is kept as a number: the cursor then stays where it is when
    // it moves on to a shorter row and back.
    if (p.column == EndOfRow)
        if (const auto text = rowText(p.row))
            p.column = text->size();
    setCursorPosition(p, mode);
    m_cursorAtEnd = toEnd;
    ensureCursorVisible();
    if (mode == QTextCursor::KeepAnchor)
        shareSelection();
}

bool TextView::makeEditable()
{
    if (!m_file)
        return true;
    if (isReadOnly())
        return false;
    // A small file is in memory as a whole: taking it from there never waits for the drive.
    std::optional<std::vector<TextRow>> rows;
    if (m_file->complete())
        rows = m_file->cachedRows(0, std::numeric_limits<qint64>::max());
    if (!rows)
        rows = m_file->readAllRows();
    if (!rows)
        return false;
    if (rows->empty())
        rows->push_back({});
    m_file->setReceiver(nullptr);
    m_file.reset();
    m_rows = std::move(*rows);
    const qint64 last = qint64(m_rows.size()) - 1;
    m_cursorRow = std::min<qint64>(m_cursorRow, last);
    m_anchor.row = std::min<qint64>(m_anchor.row, last);
    m_cursorColumn = std::min(m_cursorColumn, m_rows[size_t(m_cursorRow)].text.size());
    m_anchor.column = std::min(m_anchor.column, m_rows[size_t(m_anchor.row)].text.size());
    m_cursorAtEnd = false;
    return true;
}

// Removes the selected text of rows in memory; the cursor is where it began.
void TextView::removeSelection()
{
    if (!hasSelection())
        return;
    const Position from = selectionStart();
    const Position to = selectionEnd();
    TextRow& first = m_rows[size_t(from.row)];
    const TextRow& last = m_rows[size_t(to.row)];
    const qsizetype a = std::min(from.column, first.text.size());
    const qsizetype b = std::min(to.column, last.text.size());
    first.text = first.text.left(a) + last.text.mid(b);
    first.soft = last.soft;
    m_rows.erase(m_rows.begin() + from.row + 1, m_rows.begin() + to.row + 1);
    setCursorPosition({from.row, a}, QTextCursor::MoveAnchor);
}

void TextView::insertText(const QString& text)
{
    std::vector<TextRow> pieces = splitRows(text);
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    const QString rest = row.text.mid(m_cursorColumn);
    const bool restSoft = row.soft;
    row.text.truncate(m_cursorColumn);
    row.text += pieces.front().text;
    if (pieces.size() == 1) {
        m_cursorColumn = row.text.size();
        row.text += rest;
        m_anchor = {m_cursorRow, m_cursorColumn};
        return;
    }
    row.soft = pieces.front().soft;
    pieces.back().text += rest;
    const qsizetype column = pieces.back().text.size() - rest.size();
    pieces.back().soft = restSoft;
    const qint64 lastRow = m_cursorRow + qint64(pieces.size()) - 1;
    m_rows.insert(m_rows.begin() + m_cursorRow + 1, std::make_move_iterator(pieces.begin() + 1),
                  std::make_move_iterator(pieces.end()));
    setCursorPosition({lastRow, column}, QTextCursor::MoveAnchor);
}

void TextView::newLine()
{
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    TextRow rest{row.text.mid(m_cursorColumn), row.soft};
    row.text.truncate(m_cursorColumn);
    row.soft = false;
    m_rows.insert(m_rows.begin() + m_cursorRow + 1, std::move(rest));
    setCursorPosition({m_cursorRow + 1, 0}, QTextCursor::MoveAnchor);
}

void TextView::deleteBack()
{
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    if (m_cursorColumn > 0) {
        const qsizetype n = m_cursorColumn > 1 && row.text[m_cursorColumn - 1].isLowSurrogate() ? 2 : 1;
        row.text.remove(m_cursorColumn - n, n);
        m_cursorColumn -= n;
        return;
    }
    if (m_cursorRow == 0)
        return;
    TextRow& previous = m_rows[size_t(m_cursorRow - 1)];
    const bool wasSoft = previous.soft;
    m_cursorColumn = previous.text.size();
    previous.text += row.text;
    previous.soft = row.soft;
    m_rows.erase(m_rows.begin() + m_cursorRow);
    --m_cursorRow;
    if (wasSoft && m_cursorColumn > 0) { // no break between them: the character before goes
        previous.text.remove(m_cursorColumn - 1, 1);
        --m_cursorColumn;
    }
}

void TextView::deleteForward()
{
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    if (m_cursorColumn < row.text.size()) {
        const qsizetype n = row.text[m_cursorColumn].isHighSurrogate() ? 2 : 1;
        row.text.remove(m_cursorColumn, n);
        return;
    }
    if (m_cursorRow + 1 >= qint64(m_rows.size()))
        return;
    const TextRow next = m_rows[size_t(m_cursorRow + 1)];
    const bool wasSoft = row.soft;
    row.text += wasSoft ? next.text.mid(1) : next.text;
    row.soft = next.soft;
    m_rows.erase(m_rows.begin() + m_cursorRow + 1);
}

void TextView::edited()
{
    m_anchor = {m_cursorRow, m_cursorColumn};
    m_cursorAtEnd = false;
    m_key.clear(); // edited: no longer the file as it is on disk
    changed();
    ensureCursorVisible();
}

void TextView::keyPressEvent(QKeyEvent* e)
{
    if (e->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    if (e->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (e->matches(QKeySequence::Cut)) {
        if (isReadOnly())
            copy(); // as a read-only text box does
        else
            cut();
        return;
    }
    if (e->matches(QKeySequence::Paste)) {
        paste();
        return;
    }
    const bool control = e->modifiers() & Qt::ControlModifier;
    const auto mode = e->modifiers() & Qt::ShiftModifier ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor;
    switch (e->key()) {
    case Qt::Key_Up:
        moveCursor(QTextCursor::Up, mode);
        return;
    case Qt::Key_Down:
        moveCursor(QTextCursor::Down, mode);
        return;
    case Qt::Key_Left:
        moveCursor(QTextCursor::Left, mode);
        return;
    case Qt::Key_Right:
        moveCursor(QTextCursor::Right, mode);
        return;
    case Qt::Key_Home:
        moveCursor(control ? QTextCursor::Start : QTextCursor::StartOfLine, mode);
        return;
    case Qt::Key_End:
        moveCursor(control ? QTextCursor::End : QTextCursor::EndOfLine, mode);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        const qint64 page = e->key() == Qt::Key_PageUp ? -visibleRowCount() : visibleRowCount();
        scrollToRow(firstVisibleRow() + page);
        setCursorPosition({m_cursorRow + page, m_cursorColumn}, mode);
        ensureCursorVisible();
        if (mode == QTextCursor::KeepAnchor)
            shareSelection();
        return;
    }
    default:
        break;
    }
    if (!editKey(e))
        e->ignore();
}

// Return, Backspace, Delete and characters: they replace the selection.
bool TextView::editKey(QKeyEvent* e)
{
    const int key = e->key();
    const bool erase = key == Qt::Key_Backspace || key == Qt::Key_Delete;
    const bool edit = key == Qt::Key_Return || key == Qt::Key_Enter || erase ||
                      (!e->text().isEmpty() && !(e->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) &&
                       (e->text().front().isPrint() || e->text().front() == u'\t'));
    if (!edit || !makeEditable())
        return false;
    const bool selected = hasSelection();
    removeSelection();
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        newLine();
    else if (key == Qt::Key_Backspace && !selected)
        deleteBack();
    else if (key == Qt::Key_Delete && !selected)
        deleteForward();
    else if (!erase)
        insertText(e->text());
    edited();
    return true;
}

TextView::Position TextView::positionAt(QPoint point) const
{
    const int lh = lineHeight();
    const int y = point.y();
    const qint64 offset = y >= 0 ? y / lh : -1 - (-y - 1) / lh;
    const qint64 row = std::clamp<qint64>(firstVisibleRow() + offset, 0, rowCount() - 1);
    const auto text = rowText(row);
    const qsizetype column = text ? columnAt(*text, point.x() - Margin + horizontalScrollBar()->value()) : 0;
    return {row, column};
}

void TextView::selectWordAt(Position position)
{
    const auto text = rowText(position.row);
    if (!text || text->isEmpty())
        return;
    const qsizetype at = std::min(position.column, text->size());
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, *text);
    words.setPosition(at);
    const qsizetype start = words.isAtBoundary() && at < text->size() ? at : words.toPreviousBoundary();
    words.setPosition(at);
    qsizetype end = at < text->size() ? words.toNextBoundary() : at;
    if (start < 0 || end < 0)
        return;
    if (end == start)
        end = std::min(text->size(), start + 1);
    setCursorPosition({position.row, start}, QTextCursor::MoveAnchor);
    setCursorPosition({position.row, end}, QTextCursor::KeepAnchor);
}

void TextView::mousePressEvent(QMouseEvent* e)
{
    const QPoint point = e->position().toPoint();
    if (e->button() == Qt::LeftButton) {
        const bool extend = e->modifiers() & Qt::ShiftModifier;
        setCursorPosition(positionAt(point), extend ? QTextCursor::KeepAnchor : QTextCursor::MoveAnchor);
        m_dragging = true;
        m_dragPoint = point;
        viewport()->update();
        e->accept();
        return;
    }
    if (e->button() == Qt::RightButton && !hasSelection()) {
        setCursorPosition(positionAt(point), QTextCursor::MoveAnchor);
        viewport()->update();
    }
    QAbstractScrollArea::mousePressEvent(e);
}

void TextView::dragTo(QPoint point)
{
    m_dragPoint = point;
    const QRect area = viewport()->rect();
    // Beyond the box the selection goes on to the row at its edge; the timer scrolls on.
    const QPoint inside(std::clamp(point.x(), area.left(), area.right()),
                        std::clamp(point.y(), area.top(), area.bottom()));
    setCursorPosition(positionAt(QPoint(point.x(), inside.y())), QTextCursor::KeepAnchor);
    if (inside != point)
        m_autoScroll.start(AutoScrollMs, this);
    else
        m_autoScroll.stop();
    viewport()->update();
}

void TextView::mouseMoveEvent(QMouseEvent* e)
{
    if (m_dragging && (e->buttons() & Qt::LeftButton)) {
        dragTo(e->position().toPoint());
        e->accept();
        return;
    }
    QAbstractScrollArea::mouseMoveEvent(e);
}

void TextView::timerEvent(QTimerEvent* e)
{
    if (e->timerId() != m_autoScroll.timerId()) {
        QAbstractScrollArea::timerEvent(e);
        return;
    }
    if (!m_dragging) {
        m_autoScroll.stop();
        return;
    }
    const QRect area = viewport()->rect();
    const int lh = lineHeight();
    if (m_dragPoint.y() < area.top())
        scrollToRow(firstVisibleRow() - 1 - (area.top() - m_dragPoint.y()) / lh);
    else if (m_dragPoint.y() > area.bottom())
        scrollToRow(firstVisibleRow() + 1 + (m_dragPoint.y() - area.bottom()) / lh);
    QScrollBar* h = horizontalScrollBar();
    if (m_dragPoint.x() < area.left())
        h->setValue(h->value() - h->singleStep());
    else if (m_dragPoint.x() > area.right())
        h->setValue(h->value() + h->singleStep());
    dragTo(m_dragPoint);
}

void TextView::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && m_dragging) {
        m_dragging = false;
        m_autoScroll.stop();
        shareSelection();
        e->accept();
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(e);
}

void TextView::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) {
        selectWordAt(positionAt(e->position().toPoint()));
        viewport()->update();
        shareSelection();
        e->accept();
        return;
    }
    QAbstractScrollArea::mouseDoubleClickEvent(e);
}

void TextView::contextMenuEvent(QContextMenuEvent* e)
{
    // The entries and German texts of the toolkit's own text boxes.
    QMenu menu(this);
    const bool selected = hasSelection();
    const bool editable = !isReadOnly();
    if (editable) {
        QAction* cutAction = menu.addAction(QStringLiteral("&Ausschneiden\tStrg+X"), this, &TextView::cut);
        cutAction->setEnabled(selected);
    }
    QAction* copyAction = menu.addAction(QStringLiteral("&Kopieren\tStrg+C"), this, &TextView::copy);
    copyAction->setEnabled(selected);
    if (editable) {
        const QClipboard* clipboard = QGuiApplication::clipboard();
        QAction* pasteAction = menu.addAction(QStringLiteral("Einf&ügen\tStrg+V"), this, &TextView::paste);
        pasteAction->setEnabled(clipboard && !clipboard->text().isEmpty());
        QAction* deleteAction = menu.addAction(QStringLiteral("Löschen"), this, &TextView::deleteSelection);
        deleteAction->setEnabled(selected);
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("Alles auswählen\tStrg+A"), this, &TextView::selectAll);
    menu.exec(e->globalPos());
}

void TextView::focusInEvent(QFocusEvent* e)
{
    QAbstractScrollArea::focusInEvent(e);
    viewport()->update();
}

void TextView::focusOutEvent(QFocusEvent* e)
{
    QAbstractScrollArea::focusOutEvent(e);
    viewport()->update();
}

} // namespace fotarik
