#include "findcommand.h"

#include "raisederror.h"
#include "uniquefd.h"
#include "walker.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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

// Collects hits in one buffer and hands them out at every folder start, so a reader sees
// them while the walk goes on without paying a system call per hit.
class StdoutSink : public WalkSink
{
public:
    explicit StdoutSink(char separator) : m_separator(separator) { m_buffer.reserve(Capacity + 4096); }

    void serveEvents() override { flush(); }
    void folderEntered(std::string_view) override {}
    bool cancelRequested() override { return m_failed; }
    void hitFound(std::string_view path, int32_t) override
    {
        m_buffer.append(path);
        m_buffer.push_back(m_separator);
        if (m_buffer.size() >= Capacity)
            flush();
    }

    void flush()
    {
        if (m_buffer.empty() || m_failed)
            return;
        if (!writeAll(STDOUT_FILENO, m_buffer.data(), m_buffer.size()))
            m_failed = true;
        m_buffer.clear();
    }
    bool failed() const { return m_failed; }

private:
    static constexpr size_t Capacity = 64 * 1024;
    const char m_separator;
    std::string m_buffer;
    bool m_failed = false;
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
        sink.flush();
        printError(e.description().toStdString());
        return 2;
    }
    sink.flush();
    if (sink.failed()) {
        printError(std::string("Ausgabe fehlgeschlagen (") + std::strerror(errno) + ")");
        return 2;
    }
    const std::string last = std::to_string(result) + "\n";
    writeAll(STDERR_FILENO, last.data(), last.size());
    return 0;
}

} // namespace fotarik::search
