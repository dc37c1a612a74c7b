#pragma once
// Files and folders for tests. A helper that cannot make what it is asked for records a
// test failure (like QVERIFY) and returns.

#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <string>

namespace fotarik::test {

// Writes content to path, making the folders on the way.
void writeFile(const QString& path, const QByteArray& content = "x");
// A picture of w x h pixels in one colour, in the format the name's suffix says.
void writePicture(const QString& path, int w, int h, const QColor& colour = Qt::blue);

// A JPEG (as bytes) with an EXIF segment right after its start: an orientation (1-8) and,
// when thumbnail is not empty, that JPEG as its EXIF thumbnail, as cameras store one.
QByteArray withExifThumbnail(const QByteArray& jpeg, const QByteArray& thumbnail, int orientation = 1);

// By bytes, for names that are not UTF-8: an empty file (emptied if it exists), a folder.
void makeFile(const QByteArray& path);
void writeBytes(const QByteArray& path, const QByteArray& content);
void makeFile(const std::string& path);
void makeFolder(const QByteArray& path);
void makeFolder(const std::string& path);

// Removes a tree by its bytes: Qt removes by decoded names and so cannot remove names
// that are not UTF-8.
void removeTreeByBytes(const QByteArray& root);
void removeTreeByBytes(const std::string& root);

// A temporary folder that also goes when it holds names that are not UTF-8, which
// QTemporaryDir leaves behind.
class TemporaryDir : public QTemporaryDir
{
public:
    using QTemporaryDir::QTemporaryDir;
    TemporaryDir(const TemporaryDir&) = delete;
    TemporaryDir& operator=(const TemporaryDir&) = delete;
    ~TemporaryDir()
    {
        if (isValid() && autoRemove())
            removeTreeByBytes(QFile::encodeName(path()));
    }
};
// A chain of `levels` folders named `folder` below root; root and every fileEvery-th
// folder below it hold an empty file named `file`, and so does the deepest. Made level by
// level relative to the parent, so no path limit applies.
void makeFolderChain(const QByteArray& root, int levels, const char* folder, const char* file, int fileEvery);
// Removes everything below root (root stays), however deep, relative to open folders and
// without recursion: neither the path limit nor the test's own stack limits the depth.
void removeContentsIteratively(const QByteArray& root);

// The threads of this process, from /proc.
int threadCount();
// Waits (within the test budget) until the process has at most count threads again: a
// joined thread may linger in /proc for a moment, and threads end on their own time. On
// failure the names of the threads there are logged.
bool threadsBackTo(int count);

} // namespace fotarik::test
