#pragma once
// The entry points the fuzzers drive, shared with the test that replays every input that
// ever failed (tests/fuzz-regressions/<name>/). Each takes any bytes and must neither
// crash, hang nor leak, whatever they are.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace fuzzentry {

struct Entry
{
    const char* name; // also the folder of its regression inputs
    std::function<void(const QByteArray&)> run;
};

// Pattern compiler and matcher: the bytes up to the first newline are the pattern list,
// the rest the name tested against it.
void patternList(const QByteArray& bytes);
// Shortcut target search over the bytes as a shortcut file's content.
void shortcutTarget(const QByteArray& bytes);
// Text decoding (UTF-8 or Windows-1252) of the bytes as a text file's content.
void textDecoder(const QByteArray& bytes);
// The picture front end: the bytes as a file's content, through the decode and scale of
// LoadScaledPicture. Needs a GUI application (metafiles may hold text).
void pictureFrontEnd(const QByteArray& bytes);
// The metafile front end: the bytes (a WMF or EMF header is put in front when they carry
// none) converted and drawn. Needs a GUI application.
void metafileFrontEnd(const QByteArray& bytes);

// The program's check of a decoder worker's answer: the first 12 bytes choose the request's
// box, device pixel ratio, the shared memory's size and seals, the rest is the packet.
// Aborts when an answer passes the check that could make the program read out of bounds.
void workerAnswer(const QByteArray& bytes);

const std::vector<Entry>& entries();

} // namespace fuzzentry
