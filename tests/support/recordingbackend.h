#pragma once
// Test double of the media commands' backend.

#include <QByteArrayList>
#include <vector>

#include "mediacommands.h"

namespace fotarik {

// A backend for tests: records every command and every backend call in order with its result,
// plays nothing. It installs itself while it lives.
class RecordingBackend : public MediaBackend
{
public:
    RecordingBackend();
    ~RecordingBackend() override;
    RecordingBackend(const RecordingBackend&) = delete;
    RecordingBackend& operator=(const RecordingBackend&) = delete;

    uint32_t openDevice(MediaDeviceId id, const QByteArray& path) override;
    uint32_t playDevice(MediaDeviceId id, std::optional<int64_t> fromMs) override;
    void stopDevice(MediaDeviceId id) override;
    void closeDevice(MediaDeviceId id) override;
    bool playWave(const QByteArray& path) override;
    void stopWave() override;
    void commandDone(const char* call, const QByteArray& command, uint32_t result) override;

    // Entries such as "mciSendString(open /a.mp3 type MPEGVideo alias MyAlias) = 0".
    QByteArrayList commands() const { return entries(true); }
    // Entries such as "open #1 /a.mp3 = 0", "play #1 from 0 = 0", "wave /a.wav", "stop wave".
    QByteArrayList calls() const { return entries(false); }
    // Both, interleaved in the order they happened (backend calls come before their command).
    const QByteArrayList& log() const { return m_log; }
    void clear()
    {
        m_log.clear();
        m_isCommand.clear();
    }

    uint32_t failOpensWith = 0; // non-zero: every openDevice fails with this number
    uint32_t failPlaysWith = 0; // non-zero: every playDevice fails with this number

private:
    QByteArrayList entries(bool commands) const;

    QByteArrayList m_log;
    std::vector<bool> m_isCommand;
    MediaBackend* m_previous = nullptr;
};

} // namespace fotarik
