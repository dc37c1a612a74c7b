#pragma once
// A text file of any size, read on demand. A worker thread of its own opens the file,
// settles its encoding, builds an index of where its rows start (a checkpoint every
// thousand rows or 64 KiB) and reads the blocks of rows a view asks for, so that nothing
// the user interface thread does waits for the drive. The index and a bounded cache of
// decoded blocks are all it keeps in memory; the file is read with pread, so a file that
// shrinks meanwhile only ends early.
//
// A row is a line of the text, or a piece of a long line: a line longer than
// MaxRowBytes is shown in pieces of at most that many bytes, cut between characters,
// each on a row of its own. Every line break a text box makes ends a row: LF, CR, CR LF,
// form feed, and in Unicode texts U+2028 and U+2029.

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QObject;

namespace fotarik {

enum class TextEncoding : uint8_t {
    Utf8,
    Windows1252,
    Utf16LE,
    Utf16BE,
};

// Bytes of a line shown on one row; a longer line goes on over the next rows.
inline constexpr qsizetype MaxRowBytes = 1024;

// Where a row ends in a buffer of bytes: its text is [start, contentEnd), the next row
// starts at next. More is true when the buffer ended before the row could be decided
// (only when the buffer is not the end of the data).
struct RowSpan
{
    qsizetype contentEnd = 0;
    qsizetype next = 0;
    bool last = false; // the data ended inside this row: no row follows
    bool more = false;
};
RowSpan scanRow(const uchar* data, qsizetype size, qsizetype start, bool atEnd, TextEncoding encoding);

// The text of one row's bytes. A NUL byte is shown as the symbol for NUL (U+2400).
QString decodeRow(const uchar* data, qsizetype size, TextEncoding encoding);

// Splits text into rows by the same rules (soft is true where a long line goes on).
struct TextRow
{
    QString text;
    bool soft = false;
};
std::vector<TextRow> splitRows(const QString& text);

// Test seam: called by the worker before it opens the file and before every read, on the
// worker thread. A test blocks in it to stand for a drive that does not answer.
using TextReadHook = void (*)();
void setTextReadHookForTests(TextReadHook hook);

class TextFile
{
public:
    enum class State : uint8_t {
        Opening,
        Open,
        Failed,
    };

    // Starts the worker. notify (living in the user interface thread) receives an event
    // of type NotifyEvent whenever something new can be shown; it may be changed later.
    explicit TextFile(QByteArray path);
    ~TextFile(); // lets the worker go; it ends at its next step
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    static int notifyEventType();
    void setReceiver(QObject* receiver);

    const QByteArray& path() const { return m_path; }

    // Waits at most timeoutMs until the file is open and its first screen can be shown
    // (for a small file: all of it). Returns the state then.
    State waitForFirstScreen(int timeoutMs);
    State state() const;
    int error() const; // errno or NotARegularFile when Failed
    // The file's identity and state when opened (device, inode, size, modification time).
    QByteArray stamp() const;
    qint64 fileSize() const;
    TextEncoding encoding() const;
    // Bumped whenever rows shown before may have changed (the encoding was corrected,
    // the file turned out shorter): a view drops what it holds.
    uint64_t generation() const;

    // Rows known so far; the whole count once complete().
    qint64 rowCount() const;
    bool complete() const;
    // The row's text when its block is in memory; otherwise asks the worker for it.
    std::optional<QString> row(qint64 index);
    // The rows a view shows: the worker reads their blocks first (and the ones around).
    void want(qint64 firstRow, qint64 lastRow);

    // Every row of a complete index, read on the calling thread (for small texts: editing,
    // the text as a whole). Empty optional when the file cannot be read.
    std::optional<std::vector<TextRow>> readAllRows();
    // Rows first..last (as far as they are counted) when their blocks are all in memory;
    // never touches the drive. A small file is all in memory once its first screen is shown.
    std::optional<std::vector<TextRow>> cachedRows(qint64 first, qint64 last) const;

    // Rows first..last (or first to the end of the text, once it is counted: toEnd waits
    // for that), read on the calling thread: any thread may call it. Rows whose bytes
    // add up to more than mostBytes are not read (tooBig). A file that got shorter
    // gives fewer rows.
    struct RowsRead
    {
        std::vector<TextRow> rows;
        bool tooBig = false;
        bool failed = false;
    };
    RowsRead readRows(qint64 first, qint64 last, qint64 mostBytes, bool toEnd = false);

    struct Shared;

private:
    QByteArray m_path;
    std::shared_ptr<Shared> m_shared;
};

} // namespace fotarik
