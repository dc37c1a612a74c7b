#include "filelistbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <sys/stat.h>

#include "dirlistbox.h"
#include "errorcatalogue.h"

namespace fotarik {

FileListBox::FileListBox(QWidget* parent) : QListWidget(parent) {}

QString FileListBox::Path() const
{
    return QFile::decodeName(m_path);
}

void FileListBox::setPath(const QString& path)
{
    setPathBytes(QFile::encodeName(path));
}

void FileListBox::setPathBytes(const QByteArray& path)
{
    const QByteArray folder = normalisedFolder(path);
    // Tested by bytes: a folder whose name is not UTF-8 has no exact QString form.
    struct stat st
    {
    };
    if (folder.isEmpty() || ::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        raisePathNotFound("FileListBox");
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
    addItems(
        dir.entryList(filters, QDir::Files | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase));
}

} // namespace fotarik
