#pragma once
// Drives played where a drive is slow, for the search window's walk: every open and
// listing of a folder is held up on the thread that makes it, for the time the object
// lives.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "suche.h"

namespace fotarik::test {

// Every call takes longer by the same time.
class SlowDrive
{
public:
    explicit SlowDrive(unsigned long microseconds)
    {
        Suche::setWalkCallHookForTests([microseconds](std::string_view) { QThread::usleep(microseconds); });
    }
    ~SlowDrive() { Suche::setWalkCallHookForTests({}); }
    SlowDrive(const SlowDrive&) = delete;
    SlowDrive& operator=(const SlowDrive&) = delete;
};

// A drive that answers for the start folder and its first `answered` sub-folders in the
// order the walk enters them, and for nothing else until open(): the walk is sure to wait
// there, serving events, with the hits of those folders in the list, however far the
// readers got ahead while the walk's thread was held up. Closed, a call waits at most
// 30 s, so that a test that never opens it still ends.
class GatedDrive
{
public:
    GatedDrive(const QString& start, int answered) : m_gate(std::make_shared<Gate>())
    {
        const QByteArray root = QFile::encodeName(start);
        m_gate->answered.insert(std::string(root.constData()));
        // The walk enters the sub-folders in the order of the folder's own listing.
        if (DIR* dir = ::opendir(root.constData())) {
            int left = answered;
            while (const dirent* entry = ::readdir(dir)) {
                const std::string_view name(entry->d_name);
                if (left == 0)
                    break;
                if (entry->d_type != DT_DIR || name == "." || name == "..")
                    continue;
                m_gate->answered.insert(std::string(root.constData()) + '/' + entry->d_name);
                --left;
            }
            ::closedir(dir);
        }
        Suche::setWalkCallHookForTests([gate = m_gate](std::string_view path) {
            while (path.size() > 1 && path.back() == '/')
                path.remove_suffix(1);
            if (gate->answered.count(std::string(path)) > 0)
                return;
            std::unique_lock lock(gate->mutex);
            gate->opened.wait_for(lock, std::chrono::seconds(30), [&] { return gate->open; });
        });
    }
    ~GatedDrive()
    {
        open();
        Suche::setWalkCallHookForTests({});
    }
    GatedDrive(const GatedDrive&) = delete;
    GatedDrive& operator=(const GatedDrive&) = delete;

    void open()
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->open = true;
        m_gate->opened.notify_all();
    }

private:
    struct Gate
    {
        std::set<std::string> answered; // written before the hook is set, then only read
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    // Shared with the hook, which a reader let go may still call after the test.
    std::shared_ptr<Gate> m_gate;
};

} // namespace fotarik::test
