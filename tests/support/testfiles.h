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

} // namespace fotarik::test
