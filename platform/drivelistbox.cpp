#include "drivelistbox.h"

#include <QFile>

#include "errorcatalogue.h"

namespace fotarik {

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent)
{
    refreshVolumes();
    // Only a choice by the user raises Change here; setDrive raises it itself.
    connect(this, &QComboBox::activated, this, [this](int) { emit Change(); });
}

void DriveListBox::refreshVolumes()
{
    setVolumes(userVolumes());
}

void DriveListBox::setVolumes(std::vector<Volume> volumes)
{
    const QByteArray previous = driveBytes();
    m_volumes = std::move(volumes);
    const QSignalBlocker block(this);
    clear();
    for (const Volume& v : m_volumes) {
        QString text = QFile::decodeName(v.mountPoint);
        if (!v.label.isEmpty() && v.label != text)
            text += QStringLiteral("  [%1]").arg(v.label);
        addItem(text);
    }
    const int keep = volumeIndexOf(m_volumes, previous);
    setCurrentIndex(keep >= 0 ? keep : (m_volumes.empty() ? -1 : 0));
}

QByteArray DriveListBox::driveBytes() const
{
    const int i = currentIndex();
    if (i < 0 || i >= static_cast<int>(m_volumes.size()))
        return {};
    return m_volumes[static_cast<size_t>(i)].mountPoint;
}

QString DriveListBox::Drive() const
{
    return QFile::decodeName(driveBytes());
}

void DriveListBox::setDrive(const QString& path)
{
    setDriveBytes(QFile::encodeName(path));
}

void DriveListBox::setDriveBytes(const QByteArray& path)
{
    const int i = volumeIndexOf(m_volumes, path);
    if (i < 0)
        raiseDeviceUnavailable();
    {
        const QSignalBlocker block(this);
        setCurrentIndex(i);
    }
    emit Change();
}

} // namespace fotarik
