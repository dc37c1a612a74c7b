#include "modul1.h"

#include "errorcatalogue.h"

#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QTextDocument>
#include <QVariant>

#include <cerrno>
#include <optional>

#include "raisederror.h"
#include "readablefile.h"

namespace fotarik {
namespace {

// A text file bigger than this is shown up to this size: a multi-gigabyte log would
// otherwise freeze the window and exhaust memory.
constexpr qsizetype MaxTextBytes = 16 * 1024 * 1024;
// The text box lays out every line (a few microseconds each), so 16 MiB of very short
// lines would still freeze it for half a minute: such a file is shown up to this line.
constexpr qsizetype MaxTextLines = 300000;

// The text box shapes a whole line at once: one line of megabytes (a minified page, a
// log without line breaks) would freeze it for seconds and take gigabytes. A longer line
// is shown in pieces of this many characters, each on a line of its own.
constexpr qsizetype MaxLineLength = 1024;

// Breaks every line longer than MaxLineLength into pieces, never inside a surrogate pair.
QString breakLongLines(QString text)
{
    const QChar* p = text.constData();
    const qsizetype n = text.size();
    bool needed = false;
    for (qsizetype i = 0; i < n && !needed;) {
        qsizetype end = text.indexOf(u'\n', i);
        if (end < 0)
            end = n;
        needed = end - i > MaxLineLength;
        i = end + 1;
    }
    if (!needed)
        return text;
    QString out;
    out.reserve(n + n / MaxLineLength + 1);
    for (qsizetype i = 0; i < n;) {
        qsizetype end = text.indexOf(u'\n', i);
        if (end < 0)
            end = n;
        qsizetype start = i;
        while (end - start > MaxLineLength) {
            qsizetype cut = start + MaxLineLength;
            if (p[cut].isLowSurrogate())
                --cut; // the pair stays together on the next line
            out.append(p + start, cut - start);
            out += u'\n';
            start = cut;
        }
        out.append(p + start, end - start);
        if (end < n)
            out += u'\n';
        i = end + 1;
    }
    return out;
}

// Cuts bytes after their MaxTextLines-th line break; true when something was cut.
bool cutAfterMaxLines(QByteArray& bytes)
{
    qsizetype at = -1;
    for (qsizetype line = 0; line < MaxTextLines; ++line) {
        at = bytes.indexOf('\n', at + 1);
        if (at < 0)
            return false;
    }
    if (at + 1 >= bytes.size())
        return false;
    bytes.truncate(at + 1);
    return true;
}

[[noreturn]] void raiseFileError(int err)
{
    if (err == ENOENT || err == ENOTDIR)
        raiseFileNotFound("Modul1");
    raisePathFileAccess("Modul1");
}

// Names the file's state: the same name means the same file, unchanged.
QByteArray fileStamp(const struct stat& s)
{
    return QByteArray::number(qulonglong(s.st_dev)) + ':' + QByteArray::number(qulonglong(s.st_ino)) + ':' +
           QByteArray::number(qlonglong(s.st_size)) + ':' + QByteArray::number(qlonglong(s.st_mtim.tv_sec)) +
           '.' + QByteArray::number(qlonglong(s.st_mtim.tv_nsec));
}

// What a box remembers of the text it was given: the file's path and state, and the
// document's revision right after.
constexpr char ShownFileProperty[] = "fotarikTextFile";
constexpr char ShownRevisionProperty[] = "fotarikTextRevision";

bool showsFile(const QPlainTextEdit* box, const QByteArray& path, const QByteArray& stamp)
{
    return box && box->property(ShownFileProperty).toByteArray() == path + '\0' + stamp &&
           box->property(ShownRevisionProperty).toInt() == box->document()->revision();
}

QByteArray readHead(const ReadableFile& file, bool* truncated)
{
    int error = 0;
    QByteArray bytes = readAtMost(file.fd, MaxTextBytes, &error);
    if (error != 0)
        raiseFileError(error);
    *truncated = file.size > MaxTextBytes;
    return bytes;
}

// Length of the input without a UTF-8 sequence cut off at its end.
qsizetype withoutCutSequence(const QByteArray& bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 4 && back <= size; ++back) {
        const auto c = uchar(bytes[size - back]);
        if ((c & 0xC0) == 0x80)
            continue; // continuation byte, look further back
        const int need = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
        return need > back ? size - back : size;
    }
    return size;
}

std::optional<QString> decodeUtf8(QByteArrayView bytes)
{
    // Stateless: an incomplete sequence at the end counts as an error instead of being held back.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

QString decodeWindows1252(QByteArrayView bytes)
{
    QStringDecoder cp1252("windows-1252");
    if (!cp1252.isValid())
        return QString::fromLatin1(bytes);
    return cp1252.decode(bytes);
}

} // namespace

QString decodeText(const QByteArray& bytes)
{
    if (auto text = decodeUtf8(bytes))
        return *text;
    return decodeWindows1252(bytes);
}

bool TextFileShown(const QByteArray& path, const QPlainTextEdit* box)
{
    const ReadableFile file = openForReading(path);
    return file.isOpen() && showsFile(box, path, fileStamp(file.status));
}

void LoadTextFile(const QByteArray& path, QPlainTextEdit* box)
{
    // A FIFO or device that happens to end in ".txt" must not hang the preview.
    const ReadableFile file = openForReading(path);
    if (!file.isOpen())
        raiseFileError(file.missing() ? ENOENT : EACCES);
    const QByteArray stamp = fileStamp(file.status);
    if (showsFile(box, path, stamp))
        return;
    bool truncated = false;
    QByteArray bytes = readHead(file, &truncated);
    if (cutAfterMaxLines(bytes))
        truncated = true;
    QString text;
    if (truncated) {
        // The cut at 16 MiB may split a character; that alone must not turn UTF-8 into Windows-1252.
        if (auto utf8 = decodeUtf8(QByteArrayView(bytes).first(withoutCutSequence(bytes))))
            text = *utf8;
        else
            text = decodeWindows1252(bytes);
    } else {
        text = decodeText(bytes);
    }
    // Only what the box will show is broken into pieces.
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text.truncate(nul);
    SetTextByMessage(box, breakLongLines(std::move(text)));
    box->setProperty(ShownFileProperty, QByteArray(path + '\0' + stamp));
    box->setProperty(ShownRevisionProperty, box->document()->revision());
}

int32_t SetTextByMessage(QPlainTextEdit* box, const QString& text)
{
    if (!box)
        raiseObjectVariableNotSet("Modul1");
    // The text travels as a NUL-terminated string, so the box shows it up to its first NUL.
    const qsizetype nul = text.indexOf(QChar(0));
    box->setPlainText(nul < 0 ? text : text.left(nul));
    return 1;
}

} // namespace fotarik
