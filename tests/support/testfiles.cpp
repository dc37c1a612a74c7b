#include "testfiles.h"

#include "budgets.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTest>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

void makeFolderChain(const QByteArray& root, int levels, const char* folder, const char* file, int fileEvery)
{
    int parent = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY2(parent >= 0, root.constData());
    for (int i = 0;; ++i) {
        if (i % fileEvery == 0 || i == levels) {
            const int fd = ::openat(parent, file, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            QVERIFY2(fd >= 0, "cannot make a file in the folder chain");
            ::close(fd);
        }
        if (i == levels)
            break;
        const bool made = ::mkdirat(parent, folder, 0755) == 0;
        const int child =
            made ? ::openat(parent, folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        ::close(parent);
        QVERIFY2(child >= 0, "cannot make the folder chain");
        parent = child;
    }
    ::close(parent);
}

void removeContentsIteratively(const QByteArray& root)
{
    int current = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (current < 0)
        return;
    std::vector<std::string> names; // of the folders entered below root
    while (true) {
        // Files go at once; the first sub-folder is entered.
        std::string sub;
        if (DIR* d = ::fdopendir(::dup(current))) {
            while (dirent* e = ::readdir(d)) {
                const std::string_view n(e->d_name);
                if (n == "." || n == "..")
                    continue;
                if (::unlinkat(current, e->d_name, 0) == 0)
                    continue;
                sub = e->d_name;
                break;
            }
            ::closedir(d);
        }
        if (!sub.empty()) {
            const int child = ::openat(current, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                if (::unlinkat(current, sub.c_str(), AT_REMOVEDIR) != 0)
                    break; // cannot be removed: give up rather than loop
                continue;
            }
            ::close(current);
            current = child;
            names.push_back(std::move(sub));
            continue;
        }
        if (names.empty())
            break;
        const int parent = ::openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(current);
        current = parent;
        if (current < 0)
            return;
        ::unlinkat(current, names.back().c_str(), AT_REMOVEDIR);
        names.pop_back();
    }
    ::close(current);
}

int threadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

bool threadsBackTo(int count)
{
    QDeadlineTimer deadline(budget::ms(budget::TestWait));
    while (threadCount() > count && !deadline.hasExpired())
        ::usleep(1000);
    if (threadCount() <= count)
        return true;
    QStringList names;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll().trimmed());
    }
    qWarning("%d threads, not %d: %s", threadCount(), count, qPrintable(names.join(QStringLiteral(", "))));
    return false;
}

QByteArray withExifThumbnail(const QByteArray& jpeg, const QByteArray& thumbnail, int orientation)
{
    // Little-endian TIFF: header, the first directory (orientation), the second (the
    // thumbnail's place and length), then the thumbnail.
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    const auto put16 = [&](int v) {
        tiff.append(char(v & 0xFF));
        tiff.append(char((v >> 8) & 0xFF));
    };
    const auto put32 = [&](uint32_t v) {
        put16(int(v & 0xFFFF));
        put16(int(v >> 16));
    };
    const auto entry = [&](int tag, int type, uint32_t value) {
        put16(tag);
        put16(type);
        put32(1);
        if (type == 3) {
            put16(int(value));
            put16(0);
        } else {
            put32(value);
        }
    };
    const bool withThumbnail = !thumbnail.isEmpty();
    const uint32_t ifd1 = 8 + 2 + 12 + 4;
    put16(1);
    entry(0x0112, 3, uint32_t(orientation));
    put32(withThumbnail ? ifd1 : 0);
    if (withThumbnail) {
        const uint32_t data = ifd1 + 2 + 3 * 12 + 4;
        put16(3);
        entry(0x0103, 3, 6);
        entry(0x0201, 4, data);
        entry(0x0202, 4, uint32_t(thumbnail.size()));
        put32(0);
        tiff.append(thumbnail);
    }
    const QByteArray body = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(body.size()) + 2;
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char((length >> 8) & 0xFF));
    segment.append(char(length & 0xFF));
    segment.append(body);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

} // namespace fotarik::test
