#pragma once
// The multi-line text box of both windows. It shows a text given to it, or a text file
// of any size: only the rows on screen are laid out, and a file's rows are read on
// demand by the file's own worker (see textfile.h), so a huge or slow file never holds
// up the window. A line longer than a row goes on over the next rows.
//
// It can be typed into. A text set with setPlainText, or a file of at most EditableBytes,
// is edited in memory (the first key that changes a file's text reads it whole); a
// bigger file is shown read-only. It never takes a drop itself: a file dropped on it
// goes to the window.

#include <QAbstractScrollArea>
#include <QTextCursor>

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

    explicit TextView(QWidget* parent = nullptr);
    ~TextView() override;

    // Shows text (its line breaks as rows), dropping a file shown or awaited.
    void setPlainText(const QString& text);
    void clear() { setPlainText(QString()); }
    // All of the text shown, line breaks as "\n" (a long line's rows joined again). For
    // a file this reads the file on the calling thread: meant for small texts.
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

    // Cursor: row and position in the row's text.
    void moveCursor(QTextCursor::MoveOperation operation);
    qint64 cursorRow() const { return m_cursorRow; }
    qsizetype cursorColumn() const { return m_cursorColumn; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
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
    void ensureCursorVisible();
    bool makeEditable();
    void insertText(const QString& text);
    void newLine();
    void deleteBack();
    void deleteForward();
    qsizetype rowLength(qint64 row) const;

    std::vector<TextRow> m_rows; // the text when it is held in memory
    std::shared_ptr<TextFile> m_file;
    std::shared_ptr<TextFile> m_pending;
    QByteArray m_key;
    uint64_t m_generation = 0;
    int m_revision = 0;
    int m_widest = 0;
    qint64 m_cursorRow = 0;
    qsizetype m_cursorColumn = 0;
};

} // namespace fotarik
