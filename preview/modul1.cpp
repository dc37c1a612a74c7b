#include "modul1.h"

#include "errorcatalogue.h"

#include <QStringDecoder>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "budgets.h"
#include "raisederror.h"
#include "readablefile.h"
#include "textfile.h"
#include "textview.h"

namespace fotarik {
namespace {

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

QByteArray shownKey(const QByteArray& path, const QByteArray& stamp)
{
    return path + '\0' + stamp;
}

// The file's stamp, asked on a thread of its own so that a drive that does not answer
// costs at most the budget; nothing when the file cannot be opened or did not answer.
std::optional<QByteArray> stampWithin(const QByteArray& path, budget::Duration budget)
{
    struct Answer
    {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        std::optional<QByteArray> stamp;
    };
    auto answer = std::make_shared<Answer>();
    std::thread([answer, path] {
        const ReadableFile file = openForReading(path);
        std::lock_guard lock(answer->mutex);
        if (file.isOpen())
            answer->stamp = fileStamp(file.status);
        answer->answered = true;
        answer->done.notify_all();
    }).detach();
    std::unique_lock lock(answer->mutex);
    answer->done.wait_for(lock, budget, [&] { return answer->answered; });
    return answer->stamp;
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
    if (bytes.size() >= 2 && (uchar(bytes[0]) == 0xFF && uchar(bytes[1]) == 0xFE))
        return QStringDecoder(QStringConverter::Utf16LE).decode(bytes.mid(2));
    if (bytes.size() >= 2 && (uchar(bytes[0]) == 0xFE && uchar(bytes[1]) == 0xFF))
        return QStringDecoder(QStringConverter::Utf16BE).decode(bytes.mid(2));
    if (auto text = decodeUtf8(bytes))
        return *text;
    return decodeWindows1252(bytes);
}

bool textFileShown(const QByteArray& path, const TextView* box)
{
    if (!box || box->shownKey().isEmpty())
        return false;
    const auto stamp = stampWithin(path, budget::TextFirstScreen);
    return stamp && box->shownKey() == shownKey(path, *stamp);
}

void LoadTextFile(const QByteArray& path, TextView* box)
{
    if (!box)
        raiseObjectVariableNotSet("Modul1");
    auto file = std::make_shared<TextFile>(path);
    switch (file->waitForFirstScreen(budget::ms(budget::TextFirstScreen))) {
    case TextFile::State::Failed:
        raiseFileError(file->error());
    case TextFile::State::Opening:
        // The drive is slow: the box keeps its text until the file is open.
        box->showWhenOpen(file);
        return;
    case TextFile::State::Open:
        break;
    }
    const QByteArray key = shownKey(path, file->stamp());
    if (box->shownKey() == key)
        return; // shown already, unchanged and not edited
    box->showFile(std::move(file), key);
}

int32_t SetTextByMessage(TextView* box, const QString& text)
{
    if (!box)
        raiseObjectVariableNotSet("Modul1");
    // The text travels as a NUL-terminated string, so the box shows it up to its first NUL.
    const qsizetype nul = text.indexOf(QChar(0));
    box->setPlainText(nul < 0 ? text : text.left(nul));
    return 1;
}

} // namespace fotarik
