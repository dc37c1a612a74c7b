#pragma once
// The program's command line: the options it knows. Without one, the arguments joined by
// single blanks choose the start folder. An argument that starts with "-" is an option,
// up to a "--", after which every argument is part of the path.

#include <QList>
#include <QString>
#include <QStringList>

namespace fotarik {

struct CommandLine
{
    enum class Mode { Window, Help, Version, Find, Thumbnail, UsageError };
    Mode mode = Mode::Window;
    // UsageError: what is wrong, in German, for standard error.
    QString error;
    // Window: the indexes of the arguments that make the start path ("--" left out).
    QList<int> pathArguments;
};

CommandLine parseCommandLine(const QStringList& arguments);

QString usageText();

// The text for a usage error: what is wrong and how the program is called.
QString usageErrorText(const CommandLine& commandLine);

} // namespace fotarik
