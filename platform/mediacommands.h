#pragma once
// The media command interpreter: it accepts the command strings of the preview's media
// playback ("open <file> type MPEGVideo alias <alias>", "play <alias> from 0", "stop <alias>",
// "close <alias>", "Close all", "play <file>") and the wave-sound call, and plays them through
// an exchangeable backend. Commands are byte strings so that any file name the file system
// holds can be played.

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace fotarik {

// Results of mciSendString: 0 for success, otherwise an error number of the classic command interface.
namespace mci {
inline constexpr uint32_t NoError = 0;
inline constexpr uint32_t UnrecognizedKeyword = 259;
inline constexpr uint32_t UnrecognizedCommand = 261;
inline constexpr uint32_t InvalidDeviceName = 263;
inline constexpr uint32_t DeviceOpen = 265;
inline constexpr uint32_t CannotLoadDriver = 266;
inline constexpr uint32_t BadInteger = 270;
inline constexpr uint32_t MissingParameter = 273;
inline constexpr uint32_t FileNotFound = 275;
inline constexpr uint32_t CannotUseAll = 279;
inline constexpr uint32_t DuplicateAlias = 289;
inline constexpr uint32_t MissingDeviceName = 292;
inline constexpr uint32_t InvalidFile = 304;
} // namespace mci

// German description of an error number, as the interpreter's message box shows it.
QString mciErrorText(uint32_t error);

// Flag of sndPlaySound: return at once and play in the background (the only mode supported).
inline constexpr uint32_t SndAsync = 1;

// One command, taken apart. Keywords are matched without regard to letter case; the device
// (file or alias) is kept as written.
struct MediaCommand
{
    enum class Verb { Open, Play, Stop, Close };
    Verb verb = Verb::Play;
    QByteArray device;           // file or device name; "all" with close
    QByteArray type;             // open: device type, lower-case; empty when not given
    QByteArray alias;            // open: alias; empty when not given
    std::optional<int64_t> from; // play: start position in milliseconds
};

// Parses command into *out; returns 0 or the error number that mciSendString would return.
uint32_t parseMediaCommand(const QByteArray& command, MediaCommand* out);

// A path as written into a command: in double quotes when it holds a blank or a quote (a
// quote inside is doubled), so that a command can never be misread; otherwise unchanged.
QByteArray quoteMediaPath(const QByteArray& path);

// Whether the first bytes of a file look like a sound or video container the players know.
bool looksLikeMedia(const QByteArray& head);

using MediaDeviceId = int;

// What plays the devices. The interpreter owns the device names and the command grammar; a
// backend only plays files. Every call returns at once.
class MediaBackend
{
public:
    virtual ~MediaBackend() = default;
    // Prepares device id for the file at path; 0 or an error number.
    virtual uint32_t openDevice(MediaDeviceId id, const QByteArray& path) = 0;
    // Starts playing; fromMs is the start position, or nothing to go on from where it stands.
    virtual uint32_t playDevice(MediaDeviceId id, std::optional<int64_t> fromMs) = 0;
    virtual void stopDevice(MediaDeviceId id) = 0;
    virtual void closeDevice(MediaDeviceId id) = 0;
    // One wave sound at a time: a new one replaces the one playing.
    virtual bool playWave(const QByteArray& path) = 0;
    virtual void stopWave() = 0;
    // Told of every command with its result, after it ran (for tracing backends).
    virtual void commandDone(const char* /*call*/, const QByteArray& /*command*/, uint32_t /*result*/) {}
};

// Installs the backend that plays all commands from now on; nullptr restores the Qt Multimedia
// backend. The devices open in the previous backend are closed first. Returns the previous one
// (nullptr when it was the default).
MediaBackend* setMediaBackend(MediaBackend* backend);

// The device open under name (alias or file), or -1.
MediaDeviceId mediaDeviceId(const QByteArray& name);

// Sends a command; 0 on success, otherwise an error number. Never shows a message.
uint32_t mciSendString(const QByteArray& command);
// Executes a command; on failure shows the interpreter's message box. True on success.
bool mciExecute(const QByteArray& command);
// Plays a wave file in the background (flags SndAsync); with no name, stops the wave sound.
bool sndPlaySound(const std::optional<QByteArray>& name, uint32_t flags);

} // namespace fotarik
