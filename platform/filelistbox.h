#pragma once
// The file list: the files of Path that match Pattern (";"-separated wildcards, any
// letter case). The search window keeps it hidden; it reads the folder only when it
// is shown or its entries are asked for, so following the folder list costs nothing.

#include <QListWidget>

#include "widgetlistaccess.h"

namespace fotarik {

class FileListBox : public QListWidget, public WidgetListAccess<ListWidgetAdapter>
{
    Q_OBJECT
    Q_PROPERTY(QString Path READ Path WRITE setPath)
    Q_PROPERTY(QString Pattern READ Pattern WRITE setPattern)

public:
    explicit FileListBox(QWidget* parent = nullptr);

    QString Path() const;
    const QByteArray& pathBytes() const { return m_path; }
    void setPath(const QString& path);
    void setPathBytes(const QByteArray& path);
    QString Pattern() const { return m_pattern; }
    void setPattern(const QString& pattern);

    // The matching file names, read now if the folder changed since the last read.
    QStringList fileNames();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void reload();

    QByteArray m_path;
    QString m_pattern = QStringLiteral("*.*");
    bool m_stale = true;
};

} // namespace fotarik
