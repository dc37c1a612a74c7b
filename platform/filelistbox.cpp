#include "filelistbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include "dirlistbox.h"
#include "raisederror.h"

namespace fotarik {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {}

QString FileListBox::Path() const { return QFile::decodeName(m_path); }

void FileListBox::setPath(const QString& path) { setPathBytes(QFile::encodeName(path)); }

void FileListBox::setPathBytes(const QByteArray& path)
{
    const QByteArray folder = normalisedFolder(path);
    if (folder.isEmpty() || !QDir(QFile::decodeName(folder)).exists())
        throw RaisedError(76, QStringLiteral("FileListBox"), QStringLiteral("Pfad nicht gefunden"));
    m_path = folder;
    m_stale = true;
    if (isVisible())
        reload();
}

void FileListBox::setPattern(const QString& pattern)
{
    m_pattern = pattern;
    m_stale = true;
    if (isVisible())
        reload();
}

void FileListBox::showEvent(QShowEvent* event)
{
    QListWidget::showEvent(event);
    if (m_stale)
        reload();
}

QStringList FileListBox::fileNames()
{
    if (m_stale)
        reload();
    QStringList names;
    for (int i = 0; i < count(); ++i)
        names << item(i)->text();
    return names;
}

void FileListBox::reload()
{
    m_stale = false;
    clear();
    if (m_path.isEmpty())
        return;
    QStringList filters;
    for (const QString& p : m_pattern.split(u';'))
        if (!p.trimmed().isEmpty())
            filters << p.trimmed();
    QDir dir(QFile::decodeName(m_path));
    addItems(dir.entryList(filters, QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase));
}

} // namespace fotarik
