#include "volumes.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>

#include "budgets.h"
#include "pseudofs.h"
#include "uniquefd.h"

namespace fotarik {

namespace {

// Fields of /proc/self/mountinfo write blanks, tabs, line breaks and "\" as "\ooo".
QByteArray unescapeOctal(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            bool ok = false;
            const int v = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.push_back(char(v));
                i += 3;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

// Names in /dev/disk/by-label write unusual bytes as "\xHH".
QString unescapeLabel(const QByteArray& name)
{
    QByteArray out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            bool ok = false;
            const int v = name.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.push_back(char(v));
                i += 3;
                continue;
            }
        }
        out.push_back(name[i]);
    }
    return QString::fromUtf8(out);
}

// Device node -> volume label, from the links udev keeps (nothing mounted is touched).
std::vector<std::pair<QByteArray, QString>> labelsByDevice()
{
    std::vector<std::pair<QByteArray, QString>> out;
    const QDir dir(QStringLiteral("/dev/disk/by-label"));
    for (const QString& name : dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(dir.filePath(name));
        if (!target.isEmpty())
            out.emplace_back(QFile::encodeName(target), unescapeLabel(QFile::encodeName(name)));
    }
    return out;
}

struct Mount
{
    QByteArray mountPoint;
    QByteArray type;
    QByteArray source;
};

std::vector<Mount> readMountInfo()
{
    std::vector<Mount> out;
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        // "id parent major:minor root mountpoint options [optional...] - type source options"
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 5 || dash < 5 || dash + 2 >= fields.size())
            continue;
        out.push_back(Mount{unescapeOctal(fields[4]), fields[dash + 1], unescapeOctal(fields[dash + 2])});
    }
    return out;
}

std::string_view view(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
}

bool isFolder(const QByteArray& path)
{
    struct stat st
    {
    };
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::vector<Answer> askAll(std::vector<std::function<bool()>> questions, budget::Duration wait)
{
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        std::vector<Answer> answers;
        size_t open = 0;
    };
    auto shared = std::make_shared<Shared>();
    shared->answers.assign(questions.size(), Answer::None);
    shared->open = questions.size();
    for (size_t i = 0; i < questions.size(); ++i) {
        std::thread([shared, i, question = std::move(questions[i])] {
            const bool yes = question();
            std::lock_guard lock(shared->mutex);
            shared->answers[i] = yes ? Answer::Yes : Answer::No;
            if (--shared->open == 0)
                shared->done.notify_all();
        }).detach();
    }
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, wait, [&] { return shared->open == 0; });
    return shared->answers;
}

std::vector<Volume> userVolumes()
{
    // The mounts as the kernel lists them: nothing here waits on a mounted file system.
    std::vector<Mount> mounts;
    for (Mount& m : readMountInfo()) {
        if (isPseudoMount(view(m.type), view(m.mountPoint)))
            continue;
        const auto same = [&](const Mount& other) { return other.mountPoint == m.mountPoint; };
        // A mount point mounted over again shows the last mount.
        mounts.erase(std::remove_if(mounts.begin(), mounts.end(), same), mounts.end());
        mounts.push_back(std::move(m));
    }
    // Bind-mounted single files (containers) are no drives. Telling them from folders
    // asks the mounts themselves, so each is asked on a thread of its own for a moment;
    // one that does not answer is shown all the same (and is not ready when chosen).
    std::vector<std::function<bool()>> questions;
    for (const Mount& m : mounts)
        questions.emplace_back([path = m.mountPoint] { return isFolder(path); });
    const std::vector<Answer> folders = askAll(std::move(questions), budget::VolumeScan);

    const auto labels = labelsByDevice();
    std::vector<Volume> out;
    for (size_t i = 0; i < mounts.size(); ++i) {
        if (folders[i] == Answer::No)
            continue;
        QString label;
        for (const auto& [device, name] : labels)
            if (device == mounts[i].source)
                label = name;
        out.push_back(Volume{mounts[i].mountPoint, label});
    }
    if (std::none_of(out.begin(), out.end(), [](const Volume& v) { return v.mountPoint == "/"; }))
        out.push_back(Volume{"/", QString()});
    std::sort(out.begin(), out.end(),
              [](const Volume& a, const Volume& b) { return a.mountPoint < b.mountPoint; });
    return out;
}

bool volumeReady(const QByteArray& mountPoint, budget::Duration wait)
{
    // Ready when it can be opened, says how large it is and lists its first entries.
    const auto question = [path = mountPoint] {
        const UniqueFd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct statfs fs
        {
        };
        if (!fd || ::fstatfs(fd.get(), &fs) != 0)
            return false;
        char buffer[4096];
        return ::getdents64(fd.get(), buffer, sizeof buffer) >= 0;
    };
    return askAll({question}, wait).front() == Answer::Yes;
}

int volumeIndexOf(const std::vector<Volume>& volumes, const QByteArray& path)
{
    int best = -1;
    qsizetype bestLen = -1;
    for (size_t i = 0; i < volumes.size(); ++i) {
        const QByteArray& mp = volumes[i].mountPoint;
        const bool prefixes = mp == "/" ? path.startsWith('/') : (path == mp || path.startsWith(mp + '/'));
        if (prefixes && mp.size() > bestLen) {
            best = static_cast<int>(i);
            bestLen = mp.size();
        }
    }
    return best;
}

} // namespace fotarik
