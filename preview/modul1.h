#pragma once
// Text file loading into a text box.

#include <QByteArray>
#include <QString>
#include <cstdint>

class QPlainTextEdit;

namespace fotarik {

// Loads the whole file (at most its first 16 MiB) into box, decoded as UTF-8 when the
// bytes are valid UTF-8 (a BOM is dropped), otherwise as Windows-1252. A line longer than
// 1024 characters is shown broken into lines of that length. Anything but a regular file
// (a pipe, a device) is refused without waiting. A file that cannot be read raises
// RaisedError and leaves the box as it was.
// When box already shows this file, unchanged since and not edited, nothing is read again
// (a window that is resized or shown again displays the same entry once more).
void LoadTextFile(const QByteArray& path, QPlainTextEdit* box);

// Whether box shows the file at path as LoadTextFile loaded it, unchanged since.
bool TextFileShown(const QByteArray& path, const QPlainTextEdit* box);

// Sets the box's text in one call; returns 1 (the message's "true").
int32_t SetTextByMessage(QPlainTextEdit* box, const QString& text);

// The decoding rule above, for callers that have the bytes already.
QString decodeText(const QByteArray& bytes);

} // namespace fotarik
