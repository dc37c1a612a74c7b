#pragma once
// The multi-line text box of both windows. It shows a text given to it, or a text file
// of any size: only the rows on screen are laid out, and a file's rows are read on
// demand by the file's own worker (see textfile.h), so a huge or slow file never holds
// up the window. A line longer than a row goes on over the next rows.
//
// Text is selected as in any text box: with the mouse (press and drag, a double click
// takes a word, Shift+click extends), with Shift and the moving keys, Ctrl+A for all of
// it; Ctrl+C or the context menu copies it. A file's selected rows are read for the
// clipboard off the user interface thread, and at most CopyMostBytes of a file are
// copied: a bigger selection is refused with a message, the clipboard keeps what it had.
//
// It can be typed into. A text set with setPlainText, or a file of at most EditableBytes,
// is edited in memory (such a file is held whole once it is shown); a bigger file is
// shown read-only. It never takes a drop itself: a file dropped on it
// goes to the window.

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QTextCursor>

#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "textfile.h"

namespace fotarik {

class TextView : public QAbstractScrollArea
{
    Q_OBJECT
    Q_PROPERTY(QString plainText READ toPlainText WRITE setPlainText)

public:
    // A file up to this size can be edited (in memory).
    static constexpr qint64 EditableBytes = 1024 * 1024;
    // The most of a file's bytes a selection may span to be copied.
    static constexpr qint64 CopyMostBytes = 16 * 1024 * 1024;

    // A place in the text: a row and a position in its text. EndOfRow stands for the end
    // of a row whose text is not read yet.
    static constexpr qsizetype EndOfRow = std::numeric_limits<qsizetype>::max();
    struct Position
    {
        qint64 row = 0;
        qsizetype column = 0;
        friend auto operator<=>(const Position&, const Position&) = default;
    };

    explicit TextView(QWidget* parent = nullptr);
    ~TextView() override;

    // Shows text (its line breaks as rows), dropping a file shown or awaited.
    void setPlainText(const QString& text);
    void clear() { setPlainText(QString()); }
    // All of the text shown, line breaks as "\n" (a long line's rows joined again). A small
    // file's text is in memory; a bigger one is read on the calling thread, so it is meant
    // for tests and small texts (the program itself never asks for a whole file).
    QString toPlainText() const;

    // Shows file, identified by key (path and state) for shownKey().
    void showFile(std::shared_ptr<TextFile> file, const QByteArray& key);
    // Keeps the text shown until file is open, then shows it (its key: path, NUL, stamp);
    // if it fails, nothing changes.
    void showWhenOpen(std::shared_ptr<TextFile> file);
    // The key of the file shown, empty when the text is not a file's or was edited since.
    QByteArray shownKey() const;
    bool waitingForFile() const { return m_pending != nullptr; }

    // Rows: count so far, and whether that is all of them.
    qint64 rowCount() const;
    bool rowCountComplete() const;
    // A row's text, or nothing while it is being read.
    std::optional<QString> rowText(qint64 row) const;
    qint64 firstVisibleRow() const;
    int visibleRowCount() const;
    void scrollToRow(qint64 row);
    // The rows on screen as they are drawn now; nothing while one of them is being read.
    std::optional<QStringList> visibleText() const;

    // Any change of the text (a new text, a file, an edit) counts one up.
    int revision() const { return m_revision; }
    bool isReadOnly() const;

    // Cursor: row and position in the row's text. KeepAnchor extends the selection.
    void moveCursor(QTextCursor::MoveOperation operation,
                    QTextCursor::MoveMode mode = QTextCursor::MoveAnchor);
    qint64 cursorRow() const { return m_cursorRow; }
    qsizetype cursorColumn() const;

    // Where the cursor is drawn at position, in the viewport's coordinates.
    QRect cursorRect(Position position) const;

    // The selection: from its start to its end (in text order), empty when they are equal.
    bool hasSelection() const;
    Position selectionStart() const;
    Position selectionEnd() const;
    void selectAll();
    // The selected text when all of it is in memory; nothing when rows of it are not.
    std::optional<QString> selectedText() const;
    // Puts the selection on the clipboard; a file's rows are read on a thread of their
    // own, and copyPending() is true until they are on the clipboard.
    void copy();
    bool copyPending() const { return m_copyJob != 0; }
    // Editing the selection (ignored when the text cannot be edited).
    void cut();
    void paste();
    void deleteSelection();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void fileChanged();
    void updateScrollBars();
    void changed();
    qint64 rowsPerStep() const;
    int lineHeight() const;
    int textX(const QString& row, qsizetype column) const;
    qsizetype columnAt(const QString& row, int x) const;
    Position positionAt(QPoint point) const;
    void setCursorPosition(Position position, QTextCursor::MoveMode mode);
    void selectWordAt(Position position);
    void dragTo(QPoint point);
    void keepWithinRows();
    void shareSelection();
    void copyArrived(uint64_t job, const QString& text, bool tooBig, bool failed);
    void ensureCursorVisible();
    bool makeEditable();
    bool editKey(QKeyEvent* event);
    void removeSelection();
    void insertText(const QString& text);
    void newLine();
    void deleteBack();
    void deleteForward();
    void edited();
    qsizetype rowLength(qint64 row) const;
    qsizetype clampColumn(qint64 row, qsizetype column) const;

    std::vector<TextRow> m_rows; // the text when it is held in memory
    std::shared_ptr<TextFile> m_file;
    std::shared_ptr<TextFile> m_pending;
    QByteArray m_key;
    uint64_t m_generation = 0;
    int m_revision = 0;
    int m_widest = 0;
    qint64 m_cursorRow = 0;
    qsizetype m_cursorColumn = 0;
    // The cursor is at the end of the text and stays there while more rows are counted.
    bool m_cursorAtEnd = false;
    Position m_anchor;
    bool m_dragging = false;
    QPoint m_dragPoint;
    QBasicTimer m_autoScroll;
    uint64_t m_copyJob = 0;
    uint64_t m_lastCopyJob = 0;
};

} // namespace fotarik
