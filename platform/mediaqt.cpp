#include "mediaqt.h"

#include <QApplication>
#include <QAudioDevice>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMediaMetaData>
#include <QMediaPlayer>
#include <QPointer>
#include <QUrl>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

#include "readablefile.h"

namespace fotarik {

struct QtMediaBackend::Device
{
    ~Device() { player.reset(); }
    UniqueFd fd; // keeps a file open whose name the player could not be given
    // Destroyed bottom-up: the player goes before the outputs it plays into.
    std::unique_ptr<QVideoWidget> window;
    std::unique_ptr<QAudioOutput> audio;
    std::unique_ptr<QMediaPlayer> player;
    bool failed = false;
};

namespace {

// The player takes file names as text. A name whose bytes do not survive the way through text
// (not UTF-8) is opened here and handed over as the process's own link to the open file.
QUrl fileUrl(const QByteArray& path, UniqueFd* fd)
{
    if (QFile::encodeName(QFile::decodeName(path)) == path)
        return QUrl::fromLocalFile(QFileInfo(QFile::decodeName(path)).absoluteFilePath());
    ReadableFile file = openForReading(path);
    if (!file.isOpen())
        return {};
    *fd = std::move(file.fd);
    return QUrl::fromLocalFile(QStringLiteral("/proc/self/fd/%1").arg(fd->get()));
}

} // namespace

QtMediaBackend::QtMediaBackend(QObject* parent) : QObject(parent)
{
    // Players and windows must be gone before the application tears down its window system.
    if (auto* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &QtMediaBackend::closeEverything);
}

QtMediaBackend::~QtMediaBackend()
{
    closeEverything();
}

void QtMediaBackend::closeEverything()
{
    m_devices.clear();
    m_wave.reset();
}

std::unique_ptr<QtMediaBackend::Device> QtMediaBackend::makeDevice(const QByteArray& path, bool withWindow)
{
    auto device = std::make_unique<Device>();
    Device* d = device.get();
    d->audio = std::make_unique<QAudioOutput>();
    d->player = std::make_unique<QMediaPlayer>();
    d->player->setAudioOutput(d->audio.get());
    if (withWindow) {
        d->window = std::make_unique<QVideoWidget>();
        d->window->setWindowTitle(QFileInfo(QFile::decodeName(path)).fileName());
        // It plays beside the window the user works in, which keeps the focus.
        d->window->setAttribute(Qt::WA_ShowWithoutActivating);
        d->player->setVideoOutput(d->window.get());
        // The window opens at the video's own size: known from the file's description or,
        // when that has none, from the first picture.
        const auto showAt = [d](QSize size) {
            if (d->failed || d->window->isVisible() || !size.isValid() || size.isEmpty())
                return;
            d->window->resize(size);
            // Window systems that activate every window shown anyway hand the focus back.
            QPointer<QWidget> active = QApplication::activeWindow();
            d->window->show();
            if (active && active != d->window.get())
                active->activateWindow();
        };
        connect(d->player.get(), &QMediaPlayer::hasVideoChanged, d->window.get(), [d, showAt](bool hasVideo) {
            if (hasVideo)
                showAt(d->player->metaData().value(QMediaMetaData::Resolution).toSize());
        });
        connect(d->window->videoSink(), &QVideoSink::videoFrameChanged, d->window.get(),
                [showAt](const QVideoFrame& frame) {
                    if (frame.isValid())
                        showAt(frame.size());
                });
    }
    // Only the first error counts: after it the player may still claim to be playing.
    connect(d->player.get(), &QMediaPlayer::errorOccurred, d->player.get(),
            [d](QMediaPlayer::Error error, const QString& text) {
                if (d->failed || error == QMediaPlayer::NoError)
                    return;
                d->failed = true;
                qDebug().noquote() << "media error:" << text;
                d->player->stop();
                if (d->window)
                    d->window->hide();
            });
    d->player->setSource(fileUrl(path, &d->fd));
    return device;
}

uint32_t QtMediaBackend::openDevice(MediaDeviceId id, const QByteArray& path)
{
    auto device = makeDevice(path, true);
    if (!device->player->isAvailable())
        return mci::CannotLoadDriver;
    m_devices[id] = std::move(device);
    return mci::NoError;
}

uint32_t QtMediaBackend::playDevice(MediaDeviceId id, std::optional<int64_t> fromMs)
{
    auto it = m_devices.find(id);
    if (it == m_devices.end())
        return mci::InvalidDeviceName;
    Device& d = *it->second;
    if (d.failed)
        return mci::InvalidFile;
    if (fromMs)
        d.player->setPosition(*fromMs);
    d.player->play();
    return mci::NoError;
}

void QtMediaBackend::stopDevice(MediaDeviceId id)
{
    // Like the classic "stop": playback halts where it is, the device stays open.
    auto it = m_devices.find(id);
    if (it != m_devices.end() && it->second->player->playbackState() == QMediaPlayer::PlayingState)
        it->second->player->pause();
}

void QtMediaBackend::closeDevice(MediaDeviceId id)
{
    m_devices.erase(id);
}

bool QtMediaBackend::playWave(const QByteArray& path)
{
    m_wave.reset();
    auto device = makeDevice(path, false);
    if (!device->player->isAvailable())
        return false;
    device->player->play();
    m_wave = std::move(device);
    return true;
}

void QtMediaBackend::stopWave()
{
    m_wave.reset();
}

QMediaPlayer* QtMediaBackend::player(MediaDeviceId id) const
{
    auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second->player.get();
}

QWidget* QtMediaBackend::videoWindow(MediaDeviceId id) const
{
    auto it = m_devices.find(id);
    return it == m_devices.end() ? nullptr : it->second->window.get();
}

QMediaPlayer* QtMediaBackend::wavePlayer() const
{
    return m_wave ? m_wave->player.get() : nullptr;
}

QtMediaBackend* qtMediaBackend(bool create)
{
    static QPointer<QtMediaBackend> instance;
    if (!instance && create) {
        if (auto* app = QCoreApplication::instance())
            instance = new QtMediaBackend(app);
    }
    return instance;
}

} // namespace fotarik
