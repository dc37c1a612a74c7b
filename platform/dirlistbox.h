#pragma once
// The folder list: the current folder with its chain of parents, then its sub-folders.
// Indexes follow the classic folder list: -1 is the current folder, -2 its parent and
// so on up to the root; 0 .. ListCount-1 are the sub-folders.

#include <QListWidget>

#include "widgetlistaccess.h"

namespace fotarik {

class DirListBox : public QListWidget, public WidgetListAccess<ListWidgetAdapter>
{
    Q_OBJECT
    Q_PROPERTY(QString Path READ Path WRITE setPath)
    Q_PROPERTY(int ListIndex READ ListIndex WRITE setListIndex)
    Q_PROPERTY(int ListCount READ ListCount)

public:
    explicit DirListBox(QWidget* parent = nullptr);

    QString Path() const;
    const QByteArray& pathBytes() const { return m_path; }
    // Shows folder path (file-system bytes) and raises Change. A folder that cannot be
    // opened raises 76 "Pfad nicht gefunden" and leaves the list as it was.
    void setPath(const QString& path);
    void setPathBytes(const QByteArray& path);

    // Full path of the entry at a classic index; an index outside raises 381.
    QString List(int index) const;
    QByteArray listBytes(int index) const;
    int ListIndex() const;
    void setListIndex(int index);
    int ListCount() const { return static_cast<int>(m_subFolders.size()); }

    // Reads the folder tree of the current path again from the disk.
    void Refresh();

signals:
    void Change();
    void MouseUp(Qt::MouseButton button);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void rebuild(const QByteArray& path, std::vector<QByteArray> subFolders);
    int rowOf(int classicIndex) const;

    QByteArray m_path;
    std::vector<QByteArray> m_chain;      // root .. current folder, full paths
    std::vector<QByteArray> m_subFolders; // full paths
};

// Sub-folders of folder (not hidden ones, links to folders included), sorted as a file
// manager sorts them. Throws 76 when the folder cannot be opened.
std::vector<QByteArray> readSubFolders(const QByteArray& folder);

// path without empty ("//") or "." segments, a trailing "/" kept (a path that ended in
// "/." gets one); ".." stays as it is, since it may lead out of a linked folder. A
// relative path stays relative.
QByteArray normalisedPath(const QByteArray& path);

// folder normalised, with no trailing "/" (the root stays "/"); "" for an empty text.
QByteArray normalisedFolder(const QByteArray& path);

} // namespace fotarik
