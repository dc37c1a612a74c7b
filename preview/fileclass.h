#pragma once
// The class of a path, decided by its last three (or four) characters only.

#include <QByteArray>
#include <QString>

namespace fotarik {

enum class FileKind { Picture, Text, WaveSound, MidiSound, Video, Mp3, Program, Other };

FileKind FileClass(const QString& path);
inline FileKind FileClass(const QByteArray& path)
{
    return FileClass(QString::fromUtf8(path));
}

} // namespace fotarik
