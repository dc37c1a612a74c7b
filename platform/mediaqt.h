#pragma once
// The media backend that really plays: Qt Multimedia (GStreamer). One QMediaPlayer with its
// own audio output per open device, a top-level video window for files that carry a picture,
// and one more player for wave sounds. Nothing waits for the player; the first error stops the
// device, so a machine without a sound card neither hangs nor shows anything.

#include <QObject>
#include <map>
#include <memory>

#include "mediacommands.h"

class QMediaPlayer;
class QWidget;

namespace fotarik {

class QtMediaBackend : public QObject, public MediaBackend
{
    Q_OBJECT
public:
    explicit QtMediaBackend(QObject* parent = nullptr);
    ~QtMediaBackend() override;

    uint32_t openDevice(MediaDeviceId id, const QByteArray& path) override;
    uint32_t playDevice(MediaDeviceId id, std::optional<int64_t> fromMs) override;
    void stopDevice(MediaDeviceId id) override;
    void closeDevice(MediaDeviceId id) override;
    bool playWave(const QByteArray& path) override;
    void stopWave() override;

    // For tests and diagnostics: the player of a device (nullptr when not open), its video
    // window (created with the device, shown once the file turns out to carry a picture), the
    // player of the current wave sound.
    QMediaPlayer* player(MediaDeviceId id) const;
    QWidget* videoWindow(MediaDeviceId id) const;
    QMediaPlayer* wavePlayer() const;

private:
    struct Device;
    std::unique_ptr<Device> makeDevice(const QByteArray& path, bool withWindow);
    void closeEverything();

    std::map<MediaDeviceId, std::unique_ptr<Device>> m_devices;
    std::unique_ptr<Device> m_wave;
};

// The Qt backend the interpreter uses unless another is installed; made on first use as a child
// of the application. nullptr without an application object, or when create is false and none
// was made yet.
QtMediaBackend* qtMediaBackend(bool create = true);

} // namespace fotarik
