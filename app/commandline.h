#pragma once
// The program's command line: options it knows, and "the command line" that chooses the
// start folder (the other arguments joined by single blanks).

#include <QString>
#include <QStringList>

namespace fotarik {

struct CommandLine
{
    enum class Mode { Window, Help, Version, Find, Thumbnail };
    Mode mode = Mode::Window;
    QString startPath; // arguments joined by blanks (quotes are removed by the window)
};

CommandLine parseCommandLine(const QStringList& arguments);

QString usageText();

} // namespace fotarik
