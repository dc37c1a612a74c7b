#pragma once
// The drive list: the mounted volumes that hold user files, shown by mount point (and
// label). Its Drive is the selected volume's mount point.

#include <QComboBox>

#include "volumes.h"
#include "widgetlistaccess.h"

namespace fotarik {

class DriveListBox : public QComboBox, public WidgetListAccess<ComboBoxAdapter>
{
    Q_OBJECT
    Q_PROPERTY(QString Drive READ Drive WRITE setDrive)

public:
    explicit DriveListBox(QWidget* parent = nullptr);

    QString Drive() const;
    QByteArray driveBytes() const;
    // Selects the volume holding path (longest mount-point prefix) and raises Change.
    // A path on no known volume raises 68 "Gerät nicht verfügbar".
    void setDrive(const QString& path);
    void setDriveBytes(const QByteArray& path);

    // Re-reads the mounted volumes (tests may hand in their own list).
    void refreshVolumes();
    void setVolumes(std::vector<Volume> volumes);
    const std::vector<Volume>& volumes() const { return m_volumes; }

signals:
    void Change();

private:
    std::vector<Volume> m_volumes;
};

} // namespace fotarik
