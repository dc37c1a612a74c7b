#pragma once
// Text file loading into a text box.

#include <QByteArray>
#include <QString>
#include <cstdint>

class QPlainTextEdit;

namespace fotarik {

// Loads the whole file (at most its first 16 MiB) into box, decoded as UTF-8 when the
// bytes are valid UTF-8 (a BOM is dropped), otherwise as Windows-1252. A file that
// cannot be read raises RaisedError and leaves the box as it was.
void LoadTextFile(const QByteArray& path, QPlainTextEdit* box);

// Sets the box's text in one call; returns 1 (the message's "true").
int32_t SetTextByMessage(QPlainTextEdit* box, const QString& text);

// The decoding rule above, for callers that have the bytes already.
QString decodeText(const QByteArray& bytes);

} // namespace fotarik
