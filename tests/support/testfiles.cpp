#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTest>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fotarik::test {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    QVERIFY2(f.write(content) == content.size(), qPrintable(path));
}

void writePicture(const QString& path, int w, int h, const QColor& colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    QVERIFY2(image.save(path), qPrintable(path));
}

void makeFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY2(fd >= 0, path.constData());
    ::close(fd);
}

void writeBytes(const QByteArray& path, const QByteArray& content)
{
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY2(fd >= 0, path.constData());
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    QVERIFY2(written, path.constData());
}

void makeFile(const std::string& path)
{
    makeFile(QByteArray::fromStdString(path));
}

void makeFolder(const QByteArray& path)
{
    QVERIFY2(::mkdir(path.constData(), 0755) == 0, path.constData());
}

void makeFolder(const std::string& path)
{
    makeFolder(QByteArray::fromStdString(path));
}

void removeTreeByBytes(const QByteArray& root)
{
    ::nftw(
        root.constData(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void removeTreeByBytes(const std::string& root)
{
    removeTreeByBytes(QByteArray::fromStdString(root));
}

} // namespace fotarik::test
