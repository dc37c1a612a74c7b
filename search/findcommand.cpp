#include "findcommand.h"

#include "raisederror.h"
#include "uniquefd.h"
#include "walker.h"

#include "budgets.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fotarik::search {

namespace {

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

void printError(std::string_view text)
{
    std::string line("fotarik --find: ");
    line.append(text);
    line.push_back('\n');
    writeAll(STDERR_FILENO, line.data(), line.size());
}

// A stop asked for by SIGINT or SIGTERM: the walk ends at its next entry, the hits found
// so far are written and the program ends as the signal would have ended it. A second
// signal ends it at once.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void onStopSignal(int signal)
{
    g_stopSignal.store(signal, std::memory_order_relaxed);
}

// A stop signal sent to the process that no thread has taken yet: the walking thread,
// the only one that takes them, cannot while it is stuck in a call that does not return
// (the handler runs only when the call does).
int pendingStopSignal()
{
    sigset_t pending;
    if (::sigpending(&pending) != 0)
        return 0;
    for (const int signal : {SIGTERM, SIGINT})
        if (sigismember(&pending, signal) == 1)
            return signal;
    return 0;
}

void catchStopSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND; // no SA_RESTART: a slow listing call returns early
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// Collects hits in one buffer and writes it in large blocks, the size a pipe takes at
// once, so that a walk pays few system calls for its output. A writer thread hands out
// what has been found at least every WalkEventInterval, so a reader sees hits while a
// slow walk goes on, also while the walk waits in a listing call.
class StdoutSink : public WalkSink
{
public:
    explicit StdoutSink(char separator) : m_separator(separator)
    {
        m_buffer.reserve(Capacity + 4096);
        // The stop signals go to the walking thread, where they cut a slow listing call short.
        sigset_t stopSignals, previous;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
        m_writer = std::thread([this] { writeAtPace(); });
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~StdoutSink() { stop(); }
    StdoutSink(const StdoutSink&) = delete;
    StdoutSink& operator=(const StdoutSink&) = delete;

    void serveEvents() override {}
    void folderEntered(std::string_view) override {}
    bool cancelRequested() override
    {
        return m_failed.load(std::memory_order_relaxed) || g_stopSignal.load(std::memory_order_relaxed) != 0;
    }
    void hitFound(std::string_view path, int32_t) override
    {
        std::lock_guard lock(m_mutex);
        m_buffer.append(path);
        m_buffer.push_back(m_separator);
        ++m_hits;
        if (m_buffer.size() >= Capacity)
            writeLocked();
    }

    // Writes everything collected and stops the writer thread.
    void stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_writer.joinable())
            m_writer.join();
        std::lock_guard lock(m_mutex);
        writeLocked();
    }
    bool failed() const { return m_failed; }

private:
    // Also the watch on a stop signal: a walk that has not ended a while after it is stuck
    // in a call that does not return (a folder on a mount that does not answer). The hits so
    // far and their number are written, and the signal ends the program from here.
    void writeAtPace()
    {
        std::unique_lock lock(m_mutex);
        std::chrono::steady_clock::time_point signalled;
        while (!m_stop) {
            m_wake.wait_for(lock, budget::WalkEventInterval);
            writeLocked();
            int signal = g_stopSignal.load(std::memory_order_relaxed);
            if (signal == 0 && (signal = pendingStopSignal()) != 0)
                g_stopSignal.store(signal, std::memory_order_relaxed);
            if (signal != 0 && !m_stop) {
                const auto now = std::chrono::steady_clock::now();
                if (signalled == std::chrono::steady_clock::time_point())
                    signalled = now;
                else if (now - signalled >= budget::StuckWalkWait)
                    endBySignal(signal);
            }
        }
    }

    // The walk is stuck: the hits so far and their number are written, and the signal ends
    // the process, from this thread. (A signal still pending is taken here once this thread
    // lets it in; one the walking thread took already is sent again.)
    [[noreturn]] void endBySignal(int signal)
    {
        writeLocked();
        const std::string last = std::to_string(m_hits) + "\n";
        writeAll(STDERR_FILENO, last.data(), last.size());
        ::signal(signal, SIG_DFL);
        ::kill(::getpid(), signal);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        // Not reached: the signal's default action ends the process.
        std::_Exit(128 + signal);
    }

    void writeLocked()
    {
        if (m_buffer.empty() || m_failed)
            return;
        if (!writeAll(STDOUT_FILENO, m_buffer.data(), m_buffer.size()))
            m_failed = true;
        m_buffer.clear();
    }

    static constexpr size_t Capacity = 1024 * 1024;
    const char m_separator;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_buffer;
    bool m_stop = false;
    int64_t m_hits = 0;
    std::atomic<bool> m_failed{false};
    std::thread m_writer;
};

} // namespace

int runFindCommand(int argc, char** argv)
{
    const char* folder = nullptr;
    const char* patternText = nullptr;
    int16_t withSubFolders = -1;
    char separator = '\n';
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--no-subfolders")
            withSubFolders = 0;
        else if (arg == "-0" || arg == "--print0")
            separator = '\0';
        else if (!folder)
            folder = argv[i];
        else if (!patternText)
            patternText = argv[i];
        else
            folder = nullptr, i = argc; // one argument too many
    }
    if (!folder || !*folder) {
        printError("Aufruf: fotarik --find ORDNER [\"MUSTER\"] [--no-subfolders] [-0|--print0]");
        return 2;
    }

    const std::string patternList = preparePatternList(patternText ? patternText : DefaultFindPatterns);
    const PatternList patterns(patternList);
    if (!patterns.isValid()) {
        printError("Ungültige Musterzeichenfolge: " + patternList);
        return 2;
    }

    // The walker gives 0 for a folder it cannot list, as for an empty one; only here at
    // the start does the difference matter.
    std::string start(folder);
    if (start.back() != '/')
        start.push_back('/');
    if (!UniqueFd(::open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        printError("Ordner kann nicht gelesen werden: " + start + " (" + std::strerror(errno) + ")");
        return 2;
    }

    catchStopSignals();
    StdoutSink sink(separator);
    int32_t total = 0;
    int32_t result = 0;
    WalkOptions options;
    // For benchmarks: the number of read-ahead threads (0: none).
    if (const char* threads = std::getenv("FOTARIK_READAHEAD_THREADS"))
        options.readAheadThreads = std::atoi(threads);
    try {
        result = SearchFolder(folder, patterns, withSubFolders, total, sink, options);
    } catch (const RaisedError& e) {
        sink.stop();
        printError(e.description().toStdString());
        return 2;
    }
    sink.stop();
    if (sink.failed()) {
        printError(std::string("Ausgabe fehlgeschlagen (") + std::strerror(errno) + ")");
        return 2;
    }
    const std::string last = std::to_string(result) + "\n";
    writeAll(STDERR_FILENO, last.data(), last.size());
    if (const int signal = g_stopSignal.load()) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    return 0;
}

} // namespace fotarik::search
