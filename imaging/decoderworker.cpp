// The program's side of the decoder worker: starting workers, handing them requests and
// checking their answers.

#include "decoderworker.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <spawn.h>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "budgets.h"
#include "workerprotocol.h"

extern char** environ;

namespace fotarik::imaging {

namespace workerclient {

std::atomic<bool> g_capable{false};

void markWorkerCapable()
{
    g_capable = true;
}

using Clock = std::chrono::steady_clock;

struct Worker
{
    pid_t pid = 0;
    UniqueFd channel;
    uint64_t startSize = 0; // its address space once it had served its first request
    bool served = false;
    bool background = false; // runs below the window's priority, serves only background work
};

// Reads the small file name (relative to the folder at, or AT_FDCWD) into text, ended by a
// NUL; whether it held anything.
bool readSmallFile(int at, const char* name, char* text, size_t size)
{
    const int fd = ::openat(at, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::read(fd, text, size - 1);
    ::close(fd);
    text[n > 0 ? n : 0] = '\0';
    return n > 0;
}

// A worker's address space as /proc tells it (0 when unknown): the worker cannot look itself.
uint64_t addressSpaceOf(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", int(pid));
    char text[64];
    if (!readSmallFile(AT_FDCWD, path, text, sizeof text))
        return 0;
    return std::strtoull(text, nullptr, 10) * uint64_t(::sysconf(_SC_PAGESIZE));
}

// What the scheduler tells of a worker's threads (/proc/PID/task/TID/schedstat and stat):
// the time they have spent runnable but waiting for a CPU (-1 when unknown), and whether
// one of them is runnable now. A thread's wait is added up only once it gets a CPU: one
// that waits still is seen by its state.
struct SchedulerAccount
{
    std::chrono::nanoseconds waited{-1};
    bool runnable = false;
};

SchedulerAccount schedulerAccountOf(pid_t pid)
{
    SchedulerAccount account;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", int(pid));
    const int tasks = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0)
        return account;
    DIR* dir = ::fdopendir(tasks);
    if (!dir) {
        ::close(tasks);
        return account;
    }
    const auto readAt = [tasks](const char* task, const char* file, char* text, size_t size) {
        char name[48];
        std::snprintf(name, sizeof name, "%.20s/%s", task, file);
        return readSmallFile(tasks, name, text, size);
    };
    long long waited = 0;
    bool any = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        char text[512];
        unsigned long long onCpu = 0;
        unsigned long long waiting = 0;
        if (readAt(entry->d_name, "schedstat", text, sizeof text) &&
            std::sscanf(text, "%llu %llu", &onCpu, &waiting) == 2) {
            waited += (long long)waiting;
            any = true;
        }
        // The state follows the command name, which may hold anything but ends at the last ')'.
        if (readAt(entry->d_name, "stat", text, sizeof text)) {
            const char* close = std::strrchr(text, ')');
            if (close && close[1] == ' ' && close[2] == 'R')
                account.runnable = true;
        }
    }
    ::closedir(dir);
    if (any)
        account.waited = std::chrono::nanoseconds(waited);
    return account;
}

// A worker retires once it has grown this much: the next picture gets a fresh one.
constexpr uint64_t MaxGrowthBytes = 128ULL * 1024 * 1024;

// How a worker that is gone ended: by its CPU limit, or otherwise.
DecodeOutcome reapEnded(pid_t pid, std::vector<pid_t>& zombies)
{
    // Its channel is closed, so it is ending; give it a moment to be reaped.
    for (int i = 0; i < 50; ++i) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
                return DecodeOutcome::CpuLimit;
            return DecodeOutcome::Crashed;
        }
        if (r < 0)
            return DecodeOutcome::Crashed;
        ::usleep(2000);
    }
    ::kill(pid, SIGKILL);
    zombies.push_back(pid);
    return DecodeOutcome::Crashed;
}

class Pool
{
public:
    ~Pool()
    {
        // Closing the channels ends the idle workers; the others were stopped by their jobs.
        const std::lock_guard lock(m_mutex);
        for (auto& idle : m_idle)
            idle.clear();
    }

    // An idle worker of the kind asked for, or a new one; with fresh always a new one.
    std::unique_ptr<Worker> acquire(bool background, bool fresh = false)
    {
        const std::lock_guard lock(m_mutex);
        reapZombies();
        std::vector<std::unique_ptr<Worker>>& idle = m_idle[background];
        while (!fresh && !idle.empty()) {
            std::unique_ptr<Worker> w = std::move(idle.back());
            idle.pop_back();
            // An idle worker says nothing: one that is readable or hung up is gone.
            pollfd p{w->channel.get(), POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) {
                m_busy.push_back(w->pid);
                return w;
            }
            discardLocked(std::move(w), true);
        }
        std::unique_ptr<Worker> w = spawn(background);
        if (w)
            m_busy.push_back(w->pid);
        return w;
    }

    void release(std::unique_ptr<Worker> w)
    {
        const uint64_t size = addressSpaceOf(w->pid);
        if (!w->served) {
            w->served = true;
            w->startSize = size;
        }
        const std::lock_guard lock(m_mutex);
        unbusy(w->pid);
        std::vector<std::unique_ptr<Worker>>& idle = m_idle[w->background];
        if (idle.size() >= KeptIdle || (w->startSize > 0 && size > w->startSize + MaxGrowthBytes) ||
            (w->background && m_backgroundHolders == 0)) {
            discardLocked(std::move(w), false);
            return;
        }
        idle.push_back(std::move(w));
    }

    // A worker that will not be used again: killed (when it may still run) and reaped.
    void discard(std::unique_ptr<Worker> w, bool kill)
    {
        const std::lock_guard lock(m_mutex);
        unbusy(w->pid);
        discardLocked(std::move(w), kill);
    }

    // A worker whose channel reported its end: how it ended.
    DecodeOutcome ended(std::unique_ptr<Worker> w)
    {
        const std::lock_guard lock(m_mutex);
        unbusy(w->pid);
        w->channel.reset();
        return reapEnded(w->pid, m_zombies);
    }

    // One more or one fewer holder of BackgroundWork; with the last gone the idle workers
    // for background work end.
    void holdBackground(bool hold)
    {
        const std::lock_guard lock(m_mutex);
        m_backgroundHolders += hold ? 1 : -1;
        if (m_backgroundHolders == 0)
            discardIdleLocked(true);
    }

    void setMisbehaviour(const QByteArray& mode)
    {
        const std::lock_guard lock(m_mutex);
        m_misbehaviour = mode;
        discardIdleLocked(false);
        discardIdleLocked(true);
    }

    QList<pid_t> busy()
    {
        const std::lock_guard lock(m_mutex);
        return QList<pid_t>(m_busy.begin(), m_busy.end());
    }

    QList<pid_t> all()
    {
        const std::lock_guard lock(m_mutex);
        QList<pid_t> pids(m_busy.begin(), m_busy.end());
        for (const auto& idle : m_idle)
            for (const auto& w : idle)
                pids << w->pid;
        return pids;
    }

    void stopIdle()
    {
        std::vector<std::unique_ptr<Worker>> idle;
        {
            const std::lock_guard lock(m_mutex);
            for (auto& kind : m_idle) {
                std::move(kind.begin(), kind.end(), std::back_inserter(idle));
                kind.clear();
            }
        }
        for (auto& w : idle) {
            w->channel.reset();
            int status = 0;
            while (::waitpid(w->pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        const std::lock_guard lock(m_mutex);
        reapZombies();
    }

private:
    static constexpr size_t KeptIdle = 2;

    void unbusy(pid_t pid)
    {
        const auto it = std::find(m_busy.begin(), m_busy.end(), pid);
        if (it != m_busy.end())
            m_busy.erase(it);
    }

    void discardLocked(std::unique_ptr<Worker> w, bool kill)
    {
        if (kill)
            ::kill(w->pid, SIGKILL);
        w->channel.reset();
        int status = 0;
        // A killed worker can still be in the kernel (a hung mount): reaped later then.
        if (::waitpid(w->pid, &status, WNOHANG) != w->pid)
            m_zombies.push_back(w->pid);
    }

    // Ends the idle workers of a kind.
    void discardIdleLocked(bool background)
    {
        for (auto& w : m_idle[background])
            discardLocked(std::move(w), true);
        m_idle[background].clear();
    }

    void reapZombies()
    {
        std::erase_if(m_zombies, [](pid_t pid) {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            return r == pid || r < 0;
        });
    }

    // The environment of a worker: what finds the libraries, the sanitizers' options, and
    // no place it could write to or display on.
    static std::vector<std::string> environment()
    {
        static const char* const kept[] = {"LD_LIBRARY_PATH", "QT_PLUGIN_PATH", "FONTCONFIG_FILE",
                                           "FONTCONFIG_PATH", "ASAN_OPTIONS",   "LSAN_OPTIONS",
                                           "UBSAN_OPTIONS",   "TSAN_OPTIONS",   "LANG",
                                           "LC_ALL",          "LC_CTYPE"};
        std::vector<std::string> env;
        for (const char* name : kept)
            if (const char* value = std::getenv(name))
                env.push_back(std::string(name) + "=" + value);
        // A folder can be made in none of these: /dev/null is no folder.
        for (const char* name : {"TMPDIR", "XDG_RUNTIME_DIR", "HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME",
                                 "XDG_DATA_HOME", "XDG_STATE_HOME"})
            env.push_back(std::string(name) + "=/dev/null/none");
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
        env.emplace_back("QT_NO_GLIB=1");
        return env;
    }

    std::unique_ptr<Worker> spawn(bool background)
    {
        if (!g_capable) {
            static std::once_flag warned;
            std::call_once(warned, [] {
                qWarning(
                    "Pictures are not decoded: this binary does not call runDecodeWorkerIfAsked in main");
            });
            return nullptr;
        }
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return nullptr;
        UniqueFd mine(pair[0]);
        UniqueFd theirs(pair[1]);
        // The worker's end becomes its descriptor 3; dup2 onto itself would keep CLOEXEC.
        if (theirs.get() == 3) {
            theirs.reset(::fcntl(3, F_DUPFD_CLOEXEC, 4));
            if (!theirs)
                return nullptr;
        }
        char exe[4096];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0)
            return nullptr;
        exe[n] = '\0';

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_adddup2(&actions, theirs.get(), 3);
        posix_spawn_file_actions_addclosefrom_np(&actions, 4);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::string mode = "--misbehave=" + m_misbehaviour.toStdString();
        char option[] = "--decode-worker";
        std::vector<char*> argv{exe, option};
        if (!m_misbehaviour.isEmpty())
            argv.push_back(mode.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = environment();
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_t pid = 0;
        // /proc/self/exe in the new process is still this binary, even if the file was replaced.
        const int failed =
            ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0)
            return nullptr;
        // A worker starts at the priority of the thread that started it; one for background
        // work goes down to that work's at once, whoever started it, while it is one thread
        // (the threads it starts later inherit it).
        if (background)
            ::setpriority(PRIO_PROCESS, id_t(pid), backgroundNice());
        auto w = std::make_unique<Worker>();
        w->pid = pid;
        w->channel = std::move(mine);
        w->background = background;
        return w;
    }

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Worker>> m_idle[2]; // by kind: [background]
    int m_backgroundHolders = 0;
    std::vector<pid_t> m_busy;
    std::vector<pid_t> m_zombies;
    QByteArray m_misbehaviour;
};

Pool& pool()
{
    static Pool p;
    return p;
}

std::atomic<uint64_t> g_nextId{1};

} // namespace workerclient

using namespace workerclient;

struct DecodeJob::State
{
    worker::WorkerRequest request;
    std::unique_ptr<Worker> worker;
    UniqueFd file; // kept for a fresh worker, should the first one ask for it
    bool freshTried = false;
    UniqueFd memory;
    Clock::time_point start;
    Clock::time_point deadline; // the wall cap, moved on while the worker computes
    Clock::time_point latest;   // and never beyond this
    // The worker's CPU clock and its wait for a CPU, read once per DecodeStallCheck:
    // whether it is still computing.
    clockid_t cpuClock{};
    bool haveCpuClock = false;
    bool background = false;
    Clock::time_point sampledAt;
    std::chrono::nanoseconds sampledCpu{};
    std::chrono::nanoseconds sampledWait{};
    bool computing = false;
    bool done = false;
    DecodeResult result;

    void finish(DecodeOutcome outcome)
    {
        done = true;
        result.outcome = outcome;
        file.reset();
    }

    void stopWorker(DecodeOutcome outcome)
    {
        if (worker)
            pool().discard(std::move(worker), true);
        memory.reset();
        finish(outcome);
    }

    // Sends the request to the worker acquired; whether it went.
    bool sendRequest()
    {
        // A worker new from spawn measures itself while it sets up.
        request.addressSpace = worker->served ? addressSpaceOf(worker->pid) : 0;
        iovec io{&request, sizeof request};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)] = {};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * 2);
        const int fds[2] = {file.get(), memory.get()};
        std::memcpy(CMSG_DATA(c), fds, sizeof fds);
        ssize_t n;
        do
            n = ::sendmsg(worker->channel.get(), &msg, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n == ssize_t(sizeof request);
    }

    // Reads what the worker sent; true when the job has ended.
    bool readAnswer()
    {
        worker::WorkerMessage m;
        char packet[sizeof m + 64];
        ssize_t n;
        do
            n = ::recv(worker->channel.get(), packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
        while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return false;
        if (n <= 0) {
            memory.reset();
            finish(pool().ended(std::move(worker)));
            return true;
        }
        const size_t length = size_t(n);
        struct stat st
        {
        };
        int64_t memorySize = -1;
        int seals = 0;
        if (::fstat(memory.get(), &st) == 0)
            memorySize = st.st_size;
        seals = ::fcntl(memory.get(), F_GET_SEALS);
        if (seals < 0)
            seals = 0;
        const worker::CheckedMessage c =
            worker::checkAnswer(packet, length <= sizeof packet ? length : 0, request, memorySize, seals);
        using V = worker::CheckedMessage::Verdict;
        switch (c.verdict) {
        case V::Declared: {
            const long long pixels = (long long)c.declared.width() * c.declared.height();
            setAllowance(budget::decodeCpuAllowance(pixels));
            return false;
        }
        case V::Refused:
            if (c.freshWorker && !freshTried) {
                freshTried = true;
                pool().discard(std::move(worker), false);
                return !startOn(true);
            }
            memory.reset();
            if (c.retiring)
                pool().discard(std::move(worker), false);
            else
                pool().release(std::move(worker));
            finish(DecodeOutcome::Refused);
            return true;
        case V::Picture:
            break;
        case V::Invalid:
            stopWorker(DecodeOutcome::BadAnswer);
            return true;
        }
        // Sealed: nobody can change these pixels any more; a private mapping is ours.
        const size_t bytes = size_t(c.bytesPerLine) * size_t(c.pixels.height());
        void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, memory.get(), 0);
        memory.reset();
        if (c.retiring)
            pool().discard(std::move(worker), false);
        else
            pool().release(std::move(worker));
        if (map == MAP_FAILED) {
            finish(DecodeOutcome::Refused);
            return true;
        }
        struct Mapping
        {
            void* at;
            size_t length;
        };
        auto* mapping = new Mapping{map, bytes};
        QImage image(
            static_cast<uchar*>(map), c.pixels.width(), c.pixels.height(), c.bytesPerLine,
            QImage::Format_RGB32,
            [](void* info) {
                auto* held = static_cast<Mapping*>(info);
                ::munmap(held->at, held->length);
                delete held;
            },
            mapping);
        if (image.isNull()) {
            ::munmap(map, bytes);
            delete mapping;
            finish(DecodeOutcome::Refused);
            return true;
        }
        image.setDevicePixelRatio(request.devicePixelRatio);
        result.picture = ScaledPicture{std::move(image), c.logical};
        finish(DecodeOutcome::Decoded);
        return true;
    }

    // Hands the request to a worker (with fresh a new one); whether it went. A worker that
    // ended while idle is seen only when the request cannot be sent: the request never
    // reached it, so a fresh one gets it.
    bool startOn(bool fresh)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            worker = pool().acquire(background, fresh || attempt > 0);
            if (!worker) {
                memory.reset();
                finish(DecodeOutcome::Unavailable);
                return false;
            }
            if (sendRequest()) {
                startSampling();
                return true;
            }
            pool().discard(std::move(worker), true);
        }
        memory.reset();
        finish(DecodeOutcome::Unavailable);
        return false;
    }

    void setAllowance(budget::Duration cpu)
    {
        deadline = start + budget::decodeWallCap(cpu);
        latest = start + budget::decodeWallMost(cpu);
    }

    std::chrono::nanoseconds workerCpu() const
    {
        timespec t{};
        if (!haveCpuClock || ::clock_gettime(cpuClock, &t) != 0)
            return std::chrono::nanoseconds(-1);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }

    SchedulerAccount workerAccount() const
    {
        return worker ? schedulerAccountOf(worker->pid) : SchedulerAccount{};
    }

    void startSampling()
    {
        haveCpuClock = worker && ::clock_getcpuclockid(worker->pid, &cpuClock) == 0;
        sampledAt = Clock::now();
        sampledCpu = workerCpu();
        // Most pictures are done before the first check: their waits are not looked at. The
        // first check counts the CPU time and the state only.
        sampledWait = std::chrono::nanoseconds(-1);
    }

    // A new sample of the worker's CPU clock once a check period has passed. A worker that
    // is runnable, waiting for a CPU the machine gives to others (it runs below them, or
    // the machine is busy), computes as much as one on a CPU: only one that neither ran
    // nor wanted to (held in a call on a drive, stopped) has stalled.
    void sample(Clock::time_point now)
    {
        if (now - sampledAt < budget::DecodeStallCheck)
            return;
        const std::chrono::nanoseconds cpu = workerCpu();
        const SchedulerAccount account = workerAccount();
        std::chrono::nanoseconds used = cpu - sampledCpu;
        if (account.waited.count() >= 0 && sampledWait.count() >= 0)
            used += account.waited - sampledWait;
        computing = cpu.count() >= 0 && sampledCpu.count() >= 0 &&
                    (account.runnable || used * budget::DecodeStallShare >= now - sampledAt);
        sampledAt = now;
        sampledCpu = cpu;
        sampledWait = account.waited;
    }

    // At the wall cap: whether the worker may go on (it is computing, not stalled).
    bool pastWallCap(Clock::time_point now)
    {
        if (now < deadline)
            return false;
        sample(now);
        if (computing && now < latest) {
            deadline = std::min(latest, now + budget::DecodeStallCheck);
            return false;
        }
        return true;
    }

    bool poll(int timeoutMs)
    {
        if (done)
            return true;
        Clock::time_point now = Clock::now();
        sample(now);
        if (pastWallCap(now)) {
            stopWorker(DecodeOutcome::WallLimit);
            return true;
        }
        // Woken for the next sample and the wall cap.
        const auto next = std::min(deadline, sampledAt + budget::DecodeStallCheck);
        const int untilNext = int(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
        pollfd p{worker->channel.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, std::clamp(untilNext, 0, std::max(0, timeoutMs)));
        if (ready > 0) {
            // Everything that is there: a declared note may come with the answer.
            while (!done && !readAnswer()) {
                pollfd again{worker->channel.get(), POLLIN, 0};
                if (::poll(&again, 1, 0) <= 0)
                    break;
            }
        }
        if (!done) {
            now = Clock::now();
            sample(now);
            if (pastWallCap(now))
                stopWorker(DecodeOutcome::WallLimit);
        }
        return done;
    }
};

namespace {

// The waits now running on the user-interface thread, innermost last.
std::vector<DecodeJob*>& waiting()
{
    static std::vector<DecodeJob*> jobs;
    return jobs;
}

} // namespace

DecodeJob::DecodeJob(ReadableFile file, const DecodeParams& params) : d(std::make_unique<State>())
{
    d->start = Clock::now();
    d->background = params.background;
    d->setAllowance(budget::DecodeCpuBase);
    if (!file.isOpen()) {
        d->finish(DecodeOutcome::NoFile);
        return;
    }
    worker::WorkerRequest& r = d->request;
    r.id = g_nextId++;
    r.boxWidth = params.boxWidth;
    r.boxHeight = params.boxHeight;
    r.width = params.width;
    r.height = params.height;
    r.backColour = params.backColour;
    const qreal ratio = params.devicePixelRatio;
    r.devicePixelRatio = std::isfinite(ratio) ? std::clamp<double>(ratio, 1.0, 16.0) : 1.0;
    r.capacity = worker::answerCapacity(r);
    if (r.capacity == 0) {
        d->finish(DecodeOutcome::Refused);
        return;
    }
    d->memory.reset(::memfd_create("fotarik-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!d->memory || ::ftruncate(d->memory.get(), off_t(r.capacity)) != 0) {
        d->finish(DecodeOutcome::Unavailable);
        return;
    }
    d->file = std::move(file.fd);
    d->startOn(false);
}

DecodeJob::~DecodeJob()
{
    if (!d->done)
        d->stopWorker(DecodeOutcome::Superseded);
}

bool DecodeJob::finished()
{
    return d->poll(0);
}

void DecodeJob::cancel()
{
    if (!d->done)
        d->stopWorker(DecodeOutcome::Superseded);
}

pid_t DecodeJob::workerPid() const
{
    return d->worker ? d->worker->pid : 0;
}

DecodeResult DecodeJob::wait(bool serveEvents)
{
    if (d->done)
        return d->result;
    QCoreApplication* app = QCoreApplication::instance();
    const bool events = serveEvents && app && QThread::currentThread() == app->thread();
    if (events) {
        // The newest request is the one the user waits for: the older ones give way.
        for (DecodeJob* older : waiting())
            older->cancel();
        waiting().push_back(this);
    }
    while (!d->done) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(d->deadline - Clock::now());
        const auto slice = events ? std::min<budget::Duration>(left, budget::DecodeWaitSlice) : left;
        if (d->poll(std::max(0, int(slice.count()))))
            break;
        if (events)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    if (events)
        std::erase(waiting(), this);
    return d->result;
}

bool DecodeJob::waitFor(std::chrono::milliseconds most)
{
    const Clock::time_point until = Clock::now() + most;
    while (!d->done) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return d->poll(0);
        d->poll(int(left.count()));
    }
    return true;
}

DecodeResult decodeInWorker(ReadableFile file, const DecodeParams& params, bool serveEvents)
{
    DecodeJob job(std::move(file), params);
    return job.wait(serveEvents);
}

DecodeResult decodeInWorker(const QByteArray& path, const DecodeParams& params, bool serveEvents)
{
    return decodeInWorker(openForReading(path), params, serveEvents);
}

BackgroundWork::BackgroundWork()
{
    pool().holdBackground(true);
}

BackgroundWork::~BackgroundWork()
{
    pool().holdBackground(false);
}

namespace {
std::atomic<int> g_backgroundNiceSteps{BackgroundNiceSteps};
}

int backgroundNice()
{
    // The main thread's (its id is the process's): the window's priority.
    errno = 0;
    const int main = ::getpriority(PRIO_PROCESS, id_t(::getpid()));
    const int base = errno == 0 ? main : 0;
    return std::min(19, base + g_backgroundNiceSteps.load());
}

void setBackgroundNiceStepsForTests(int steps)
{
    g_backgroundNiceSteps = steps < 0 ? BackgroundNiceSteps : steps;
}

void runThisThreadInTheBackground()
{
    // On Linux the nice value is each thread's own: this lowers the caller only.
    const int target = backgroundNice();
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    if (errno == 0 && now < target)
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), target);
}

void setDecodeWorkerMisbehaviour(const QByteArray& mode)
{
    pool().setMisbehaviour(mode);
}

QList<pid_t> busyDecodeWorkers()
{
    return pool().busy();
}

QList<pid_t> decodeWorkers()
{
    return pool().all();
}

void stopIdleDecodeWorkers()
{
    pool().stopIdle();
}

} // namespace fotarik::imaging
