#include "textview.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <climits>

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
    m_widest = 0;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    changed();
}

QString TextView::toPlainText() const
{
    std::vector<TextRow> fileRows;
    const std::vector<TextRow>* rows = &m_rows;
    if (m_file) {
        auto all = m_file->readAllRows();
        if (!all)
            return QString();
        fileRows = std::move(*all);
        rows = &fileRows;
    }
    QString text;
    for (size_t i = 0; i < rows->size(); ++i) {
        text += (*rows)[i].text;
        if (i + 1 < rows->size() && !(*rows)[i].soft)
            text += u'\n';
    }
    return text;
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
    if (m_file && m_file->generation() != m_generation) {
        m_generation = m_file->generation();
        m_widest = 0;
        changed();
        return;
    }
    updateScrollBars();
    viewport()->update();
}

bool TextView::event(QEvent* e)
{
    if (e->type() == TextFile::notifyEventType()) {
        fileChanged();
        return true;
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
    painter.setPen(palette().color(QPalette::Text));
    int widest = m_widest;
    const qint64 rows = rowCount();
    for (int i = 0; i < count && first + i < rows; ++i) {
        const auto text = rowText(first + i);
        if (!text)
            continue; // being read: drawn when it arrives
        const QString shown = expandTabs(*text);
        const int y = i * lh;
        painter.drawText(x0, y + fm.ascent(), shown);
        widest = std::max(widest, fm.horizontalAdvance(shown));
        if (hasFocus() && first + i == m_cursorRow) {
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
    qsizetype column = 0;
    while (column < row.size() && textX(row, column + 1) <= x + fontMetrics().averageCharWidth() / 2)
        ++column;
    return column;
}

qsizetype TextView::rowLength(qint64 row) const
{
    auto text = rowText(row);
    return text ? text->size() : 0;
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

void TextView::moveCursor(QTextCursor::MoveOperation operation)
{
    const qint64 rows = rowCount();
    switch (operation) {
    case QTextCursor::Start:
        m_cursorRow = 0;
        m_cursorColumn = 0;
        break;
    case QTextCursor::End:
        m_cursorRow = rows - 1;
        m_cursorColumn = rowLength(m_cursorRow);
        break;
    case QTextCursor::StartOfLine:
    case QTextCursor::StartOfBlock:
        m_cursorColumn = 0;
        break;
    case QTextCursor::EndOfLine:
    case QTextCursor::EndOfBlock:
        m_cursorColumn = rowLength(m_cursorRow);
        break;
    case QTextCursor::Up:
    case QTextCursor::PreviousBlock:
        m_cursorRow = std::max<qint64>(0, m_cursorRow - 1);
        break;
    case QTextCursor::Down:
    case QTextCursor::NextBlock:
        m_cursorRow = std::min(rows - 1, m_cursorRow + 1);
        break;
    case QTextCursor::Left:
    case QTextCursor::PreviousCharacter:
        if (m_cursorColumn > 0)
            m_cursorColumn = std::min(m_cursorColumn, rowLength(m_cursorRow)) - 1;
        else if (m_cursorRow > 0)
            m_cursorColumn = rowLength(--m_cursorRow);
        break;
    case QTextCursor::Right:
    case QTextCursor::NextCharacter:
        if (m_cursorColumn < rowLength(m_cursorRow))
            ++m_cursorColumn;
        else if (m_cursorRow + 1 < rows) {
            ++m_cursorRow;
            m_cursorColumn = 0;
        }
        break;
    default:
        break;
    }
    ensureCursorVisible();
}

bool TextView::makeEditable()
{
    if (!m_file)
        return true;
    if (isReadOnly())
        return false;
    auto rows = m_file->readAllRows();
    if (!rows)
        return false;
    m_file->setReceiver(nullptr);
    m_file.reset();
    m_rows = std::move(*rows);
    m_cursorRow = std::min<qint64>(m_cursorRow, qint64(m_rows.size()) - 1);
    return true;
}

void TextView::insertText(const QString& text)
{
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    row.text.insert(m_cursorColumn, text);
    m_cursorColumn += text.size();
}

void TextView::newLine()
{
    TextRow& row = m_rows[size_t(m_cursorRow)];
    m_cursorColumn = std::min(m_cursorColumn, row.text.size());
    TextRow rest{row.text.mid(m_cursorColumn), row.soft};
    row.text.truncate(m_cursorColumn);
    row.soft = false;
    m_rows.insert(m_rows.begin() + m_cursorRow + 1, std::move(rest));
    ++m_cursorRow;
    m_cursorColumn = 0;
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

void TextView::keyPressEvent(QKeyEvent* e)
{
    const bool control = e->modifiers() & Qt::ControlModifier;
    switch (e->key()) {
    case Qt::Key_Up:
        moveCursor(QTextCursor::Up);
        return;
    case Qt::Key_Down:
        moveCursor(QTextCursor::Down);
        return;
    case Qt::Key_Left:
        moveCursor(QTextCursor::Left);
        return;
    case Qt::Key_Right:
        moveCursor(QTextCursor::Right);
        return;
    case Qt::Key_Home:
        moveCursor(control ? QTextCursor::Start : QTextCursor::StartOfLine);
        return;
    case Qt::Key_End:
        moveCursor(control ? QTextCursor::End : QTextCursor::EndOfLine);
        return;
    case Qt::Key_PageUp:
        m_cursorRow = std::max<qint64>(0, m_cursorRow - visibleRowCount());
        scrollToRow(firstVisibleRow() - visibleRowCount());
        ensureCursorVisible();
        return;
    case Qt::Key_PageDown:
        m_cursorRow = std::min(rowCount() - 1, m_cursorRow + visibleRowCount());
        scrollToRow(firstVisibleRow() + visibleRowCount());
        ensureCursorVisible();
        return;
    default:
        break;
    }
    const int key = e->key();
    const bool edit = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Backspace ||
                      key == Qt::Key_Delete ||
                      (!e->text().isEmpty() && !control && !(e->modifiers() & Qt::MetaModifier) &&
                       (e->text().front().isPrint() || e->text().front() == u'\t'));
    if (!edit) {
        e->ignore();
        return;
    }
    if (!makeEditable()) {
        e->ignore();
        return;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        newLine();
    else if (key == Qt::Key_Backspace)
        deleteBack();
    else if (key == Qt::Key_Delete)
        deleteForward();
    else
        insertText(e->text());
    m_key.clear(); // edited: no longer the file as it is on disk
    changed();
    ensureCursorVisible();
}

void TextView::mousePressEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton) {
        const qint64 row = firstVisibleRow() + e->position().toPoint().y() / lineHeight();
        m_cursorRow = std::clamp<qint64>(row, 0, rowCount() - 1);
        const auto text = rowText(m_cursorRow);
        m_cursorColumn =
            text ? columnAt(*text, e->position().toPoint().x() - Margin + horizontalScrollBar()->value()) : 0;
        viewport()->update();
    }
    QAbstractScrollArea::mousePressEvent(e);
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
