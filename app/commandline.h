#pragma once
// The program's command line: the options it knows. Without one, the arguments joined by
// single blanks choose the start folder.

#include <QString>
#include <QStringList>

namespace fotarik {

struct CommandLine
{
    enum class Mode { Window, Help, Version, Find, Thumbnail };
    Mode mode = Mode::Window;
};

CommandLine parseCommandLine(const QStringList& arguments);

QString usageText();

} // namespace fotarik
