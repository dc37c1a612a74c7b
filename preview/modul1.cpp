#include "modul1.h"

#include <QPlainTextEdit>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "raisederror.h"

namespace fotarik {
namespace {

// A text file bigger than this is shown up to this size: a multi-gigabyte log would
// otherwise freeze the window and exhaust memory.
constexpr qsizetype MaxTextBytes = 16 * 1024 * 1024;
// The text box lays out every line (a few microseconds each), so 16 MiB of very short
// lines would still freeze it for half a minute: such a file is shown up to this line.
constexpr qsizetype MaxTextLines = 300000;

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

constexpr int32_t ErrFileNotFound = 53;
constexpr int32_t ErrPathFileAccess = 75;

[[noreturn]] void raiseFileError(int err)
{
    const QString source = QStringLiteral("Modul1");
    if (err == ENOENT || err == ENOTDIR)
        throw RaisedError(ErrFileNotFound, source, QStringLiteral("Datei nicht gefunden"));
    throw RaisedError(ErrPathFileAccess, source, QStringLiteral("Pfad/Datei-Zugriffsfehler"));
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QByteArray readHead(const QByteArray& path, bool* truncated)
{
    // O_NONBLOCK: a FIFO that happens to end in ".txt" must not hang the preview.
    FileDescriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        raiseFileError(errno);
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0)
        raiseFileError(errno);
    if (!S_ISREG(st.st_mode))
        raiseFileError(EISDIR);

    const qsizetype want = st.st_size > MaxTextBytes ? MaxTextBytes : qsizetype(st.st_size);
    QByteArray bytes(want, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, size_t(want - got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raiseFileError(errno);
        }
        if (n == 0)
            break; // the file shrank meanwhile
        got += n;
    }
    bytes.truncate(got);
    *truncated = st.st_size > MaxTextBytes;
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

void LoadTextFile(const QByteArray& path, QPlainTextEdit* box)
{
    bool truncated = false;
    QByteArray bytes = readHead(path, &truncated);
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
    SetTextByMessage(box, text);
}

int32_t SetTextByMessage(QPlainTextEdit* box, const QString& text)
{
    if (!box)
        throw RaisedError(ErrObjectVariableNotSet, QStringLiteral("Modul1"),
                          QStringLiteral("Objektvariable oder With-Blockvariable nicht festgelegt"));
    // The text travels as a NUL-terminated string, so the box shows it up to its first NUL.
    const qsizetype nul = text.indexOf(QChar(0));
    box->setPlainText(nul < 0 ? text : text.left(nul));
    return 1;
}

} // namespace fotarik
