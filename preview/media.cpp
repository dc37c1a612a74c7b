#include "media.h"

#include "mediacommands.h"
#include "mediashortpath.h"

namespace fotarik {

bool PlayMp3(const QByteArray& path, const QString& alias)
{
    const QByteArray shortPath = getShortPathName(path);
    if (shortPath.isEmpty())
        return false;
    const QByteArray name = alias.toUtf8();
    if (mciSendString("open " + quoteMediaPath(shortPath) + " type MPEGVideo alias " + name) == 0) {
        if (mciSendString("play " + name + " from 0") == 0)
            return true;
    }
    return false;
}

void StopMp3(const QString& alias)
{
    const QByteArray name = alias.toUtf8();
    mciSendString("stop " + name);
    mciSendString("close " + name);
}

// Without a short path the command goes out with an empty path and fails; for MIDI the
// interpreter then tells the user, the video start fails silently.
void startMidiSound(const QByteArray& path)
{
    mciExecute("Play " + quoteMediaPath(getShortPathName(path)));
}

void startVideo(const QByteArray& path)
{
    mciSendString("play " + quoteMediaPath(getShortPathName(path)));
}

void startWaveSound(const QByteArray& path)
{
    sndPlaySound(path, SndAsync);
}

void stopWaveSound()
{
    sndPlaySound(std::nullopt, SndAsync);
}

void closeAllMedia()
{
    mciExecute("Close all");
}

} // namespace fotarik
