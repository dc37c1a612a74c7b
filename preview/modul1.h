#pragma once
// Text file loading into a text box.

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace fotarik {

class TextView;

// Shows the whole file in box, however big: decoded as UTF-16 when it starts with its
// byte-order mark, else as UTF-8 when all of its bytes are valid UTF-8 (a BOM is dropped),
// otherwise as Windows-1252. A line longer than a row goes on over the next rows. The
// file is read on demand on a thread of its own; this waits for the file to open and
// its first screen to be read within budget::TextFirstScreen, and when the drive is
// slower than that, the text appears when it arrives. Anything but a regular file (a
// pipe, a device) is refused without waiting. A file that cannot be read raises
// RaisedError and leaves the box as it was.
// When box already shows this file, unchanged since and not edited, nothing changes
// (a window that is resized or shown again displays the same entry once more).
void LoadTextFile(const QByteArray& path, TextView* box);

// Whether box shows the file at path as LoadTextFile loaded it, unchanged since.
bool textFileShown(const QByteArray& path, const TextView* box);

// Sets the box's text in one call, up to its first NUL (the text travels as a
// NUL-terminated string); returns 1 (the message's "true").
int32_t SetTextByMessage(TextView* box, const QString& text);

// The decoding rule above, for callers that have the bytes already.
QString decodeText(const QByteArray& bytes);

} // namespace fotarik
