#pragma once
// Media playback through the media command interpreter (platform/).

#include <QByteArray>
#include <QString>

namespace fotarik {

// Opens the file under alias and plays it from the start; true only if both the open and
// the play command succeeded. No command is sent when the file has no short path.
bool PlayMp3(const QByteArray& path, const QString& alias);
// Sends "stop <alias>" and "close <alias>", ignoring both results.
void StopMp3(const QString& alias);

// The preview's starts and stops.
void startMidiSound(const QByteArray& path); // "Play <short>" through mciExecute
void startVideo(const QByteArray& path);     // "play <short>" through mciSendString
void startWaveSound(const QByteArray& path); // sndPlaySound(path, async)
void stopWaveSound();                        // sndPlaySound(no name, async)
void closeAllMedia();                        // "Close all" through mciExecute

} // namespace fotarik
