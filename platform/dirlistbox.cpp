#include "dirlistbox.h"

#include <QApplication>
#include <QCollator>
#include <QFile>
#include <QKeyEvent>
#include <QStyle>
#include <algorithm>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

#include "errorcatalogue.h"

namespace fotarik {
namespace {

RaisedError pathNotFound()
{
    return makeError(errors::PathNotFound);
}

QByteArray joinPath(const QByteArray& folder, const QByteArray& name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

QString displayName(const QByteArray& path)
{
    if (path == "/")
        return QStringLiteral("/");
    return QFile::decodeName(path.mid(path.lastIndexOf('/') + 1));
}

} // namespace

QByteArray normalisedPath(const QByteArray& path)
{
    if (path.isEmpty())
        return path;
    QByteArray out;
    out.reserve(path.size());
    if (path.startsWith('/'))
        out += '/';
    bool trailing = path.endsWith('/');
    for (const QByteArray& segment : path.split('/')) {
        if (segment.isEmpty() || segment == ".") {
            trailing = trailing || segment == ".";
            continue;
        }
        if (!out.isEmpty() && !out.endsWith('/'))
            out += '/';
        out += segment;
    }
    if (trailing && !out.endsWith('/'))
        out += '/';
    return out.isEmpty() ? QByteArray("./") : out;
}

QByteArray normalisedFolder(const QByteArray& path)
{
    QByteArray p = normalisedPath(path);
    while (p.size() > 1 && p.endsWith('/'))
        p.chop(1);
    return p;
}

std::vector<QByteArray> readSubFolders(const QByteArray& folder)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.constData()), &::closedir);
    if (!dir)
        throw pathNotFound();
    std::vector<QByteArray> names;
    while (dirent* e = ::readdir(dir.get())) {
        const QByteArray name(e->d_name);
        if (name.startsWith('.'))
            continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st
            {
            };
            isDir = ::stat(joinPath(folder, name).constData(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir)
            names.push_back(name);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(), [&](const QByteArray& a, const QByteArray& b) {
        return collator.compare(QFile::decodeName(a), QFile::decodeName(b)) < 0;
    });
    for (QByteArray& n : names)
        n = joinPath(folder, n);
    return names;
}

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
}

QString DirListBox::Path() const
{
    return QFile::decodeName(m_path);
}

void DirListBox::setPath(const QString& path)
{
    setPathBytes(QFile::encodeName(path));
}

void DirListBox::setPathBytes(const QByteArray& path)
{
    const QByteArray folder = normalisedFolder(path);
    if (folder.isEmpty() || !folder.startsWith('/'))
        throw pathNotFound();
    rebuild(folder, readSubFolders(folder));
    emit Change();
}

void DirListBox::Refresh()
{
    if (m_path.isEmpty())
        return;
    rebuild(m_path, readSubFolders(m_path));
}

void DirListBox::rebuild(const QByteArray& path, std::vector<QByteArray> subFolders)
{
    m_path = path;
    m_subFolders = std::move(subFolders);
    m_chain.clear();
    m_chain.push_back("/");
    for (qsizetype i = 1; i < m_path.size(); ++i)
        if (m_path[i] == '/')
            m_chain.push_back(m_path.left(i));
    if (m_path != "/")
        m_chain.push_back(m_path);

    const QSignalBlocker block(this);
    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    const QString indent = QStringLiteral("  ");
    int level = 0;
    for (const QByteArray& p : m_chain)
        addItem(new QListWidgetItem(open, indent.repeated(level++) + displayName(p)));
    for (const QByteArray& p : m_subFolders)
        addItem(new QListWidgetItem(closed, indent.repeated(level) + displayName(p)));
    setCurrentRow(static_cast<int>(m_chain.size()) - 1);
}

int DirListBox::rowOf(int classicIndex) const
{
    const int chain = static_cast<int>(m_chain.size());
    if (classicIndex < 0 && -classicIndex <= chain)
        return chain + classicIndex;
    if (classicIndex >= 0 && classicIndex < ListCount())
        return chain + classicIndex;
    raiseInvalidPropertyIndex();
}

QByteArray DirListBox::listBytes(int index) const
{
    const int row = rowOf(index);
    const int chain = static_cast<int>(m_chain.size());
    return row < chain ? m_chain[static_cast<size_t>(row)] : m_subFolders[static_cast<size_t>(row - chain)];
}

QString DirListBox::List(int index) const
{
    return QFile::decodeName(listBytes(index));
}

int DirListBox::ListIndex() const
{
    const int row = currentRow();
    const int chain = static_cast<int>(m_chain.size());
    if (row < 0)
        return -1;
    return row - chain;
}

void DirListBox::setListIndex(int index)
{
    setCurrentRow(rowOf(index));
}

void DirListBox::mouseReleaseEvent(QMouseEvent* event)
{
    QListWidget::mouseReleaseEvent(event);
    emit MouseUp(event->button());
}

void DirListBox::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        try {
            const QByteArray target = listBytes(ListIndex());
            if (target != m_path)
                setPathBytes(target);
        } catch (const RaisedError&) {
        }
        return;
    }
    QListWidget::keyPressEvent(event);
}

} // namespace fotarik
