// The worker's side: the loop that serves decode requests in the worker process.

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <utility>

#include <fcntl.h>
#include <iconv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "budgets.h"
#include "decoderworker.h"
#include "metafile.h"
#include "pictureformat.h"
#include "scaledpicture.h"
#include "workerprotocol.h"
#include "workersandbox.h"

namespace fotarik::imaging {

namespace workerside {

// The channel to the program, as the program set it up at spawn.
constexpr int Channel = 3;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Instrumented = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool Instrumented = true;
#else
constexpr bool Instrumented = false;
#endif
#else
constexpr bool Instrumented = false;
#endif

// A worker retires after this many requests (the program also retires one that has grown
// too much): the next picture gets a fresh one.
constexpr int MaxRequests = 1000;

struct Request
{
    worker::WorkerRequest header;
    timespec startCpu{};
    std::chrono::steady_clock::time_point received;
    bool timerArmed = false;
};

timer_t g_timer{};
bool g_haveTimer = false;
Request* g_current = nullptr;
QByteArray g_misbehaviour;
// The address space when set up, until the program tells a newer figure.
long long g_addressSpace = 0;

// Only while the worker may still open files.
long long addressSpaceBytes()
{
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    return std::strtoll(text, nullptr, 10) * ::sysconf(_SC_PAGESIZE);
}

timespec processCpu()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t;
}

timespec plus(timespec t, budget::Duration d)
{
    const long long ns = t.tv_nsec + (long long)(d.count() % 1000) * 1000000;
    t.tv_sec += time_t(d.count() / 1000 + ns / 1000000000);
    t.tv_nsec = long(ns % 1000000000);
    return t;
}

// The request's CPU allowance counted from its start: the timer ends the worker with
// SIGXCPU when it is used up, RLIMIT_CPU a second later should the timer fail.
void allowCpu(Request& r, budget::Duration allowance)
{
    if (g_haveTimer) {
        itimerspec expiry{};
        expiry.it_value = plus(r.startCpu, allowance);
        r.timerArmed = ::timer_settime(g_timer, TIMER_ABSTIME, &expiry, nullptr) == 0;
    }
    rlimit cpu{};
    ::getrlimit(RLIMIT_CPU, &cpu);
    const timespec end = plus(r.startCpu, allowance);
    const rlim_t soft = rlim_t(end.tv_sec) + 2;
    cpu.rlim_cur = cpu.rlim_max == RLIM_INFINITY ? soft : std::min(soft, cpu.rlim_max);
    ::setrlimit(RLIMIT_CPU, &cpu);
}

void endCpuAllowance()
{
    if (g_haveTimer) {
        const itimerspec off{};
        ::timer_settime(g_timer, 0, &off, nullptr);
    }
    rlimit cpu{};
    ::getrlimit(RLIMIT_CPU, &cpu);
    cpu.rlim_cur = cpu.rlim_max;
    ::setrlimit(RLIMIT_CPU, &cpu);
}

void limitAddressSpace(bool on)
{
    if (Instrumented)
        return; // the sanitizers' shadow memory reserves terabytes of address space
    rlimit as{};
    ::getrlimit(RLIMIT_AS, &as);
    if (on) {
        const long long now = g_addressSpace;
        if (now <= 0)
            return;
        const rlim_t want = rlim_t(now + budget::DecodeWorkerMemoryBytes);
        as.rlim_cur = as.rlim_max == RLIM_INFINITY ? want : std::min(want, as.rlim_max);
    } else {
        as.rlim_cur = as.rlim_max;
    }
    ::setrlimit(RLIMIT_AS, &as);
}

bool send(const worker::WorkerMessage& m)
{
    return ::send(Channel, &m, sizeof m, MSG_NOSIGNAL) == ssize_t(sizeof m);
}

void onDeclaredSize(QSize declared)
{
    Request* r = g_current;
    if (!r)
        return;
    const long long pixels = (long long)declared.width() * declared.height();
    const budget::Duration allowance = budget::decodeCpuAllowance(pixels);
    if (allowance > budget::DecodeCpuBase)
        allowCpu(*r, allowance);
    worker::WorkerMessage m;
    m.kind = worker::MessageKind::Declared;
    m.id = r->header.id;
    m.declaredWidth = declared.width();
    m.declaredHeight = declared.height();
    send(m);
}

// Text in a metafile needs fonts, which a GUI application provides; the program made
// sure it finds no display and nowhere to write.
bool provideGuiApplication()
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return true;
    if (QCoreApplication::instance())
        return false;
    static int argc = 1;
    static char name[] = "fotarik-decode-worker";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static std::unique_ptr<QGuiApplication> app = std::make_unique<QGuiApplication>(argc, argv);
    return true;
}

// The picture's rows written into the program's shared memory through a window of
// mappings (the file is at least bytes long), then sealed.
bool writePicture(int memory, const QImage& image)
{
    const size_t line = size_t(image.width()) * 4;
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t window = size_t(8) << 20;
    const size_t total = line * size_t(image.height());
    size_t done = 0;
    int row = 0;
    while (done < total) {
        const size_t base = done / page * page;
        const size_t length = std::min(window, total - base);
        void* map = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, memory, off_t(base));
        if (map == MAP_FAILED)
            return false;
        auto* bytes = static_cast<uchar*>(map);
        // Whole rows and the start of a row cut by the window's end.
        while (done < base + length) {
            const size_t inRow = done - size_t(row) * line;
            const size_t n = std::min(line - inRow, base + length - done);
            std::memcpy(bytes + (done - base), image.constScanLine(row) + inRow, n);
            done += n;
            if (inRow + n == line)
                ++row;
        }
        ::munmap(map, length);
    }
    return ::fcntl(memory, F_ADD_SEALS, worker::requiredSeals()) == 0;
}

// Tries what the filter forbids at the worker's level; whether every try failed as it should.
bool forbiddenCallsFail()
{
    bool all = true;
    const auto expect = [&](bool failed, int wantedErrno) { all = all && failed && errno == wantedErrno; };
    const auto tryOpen = [&](const char* path, int flags, int wantedErrno) {
        const int fd = ::open(path, flags | O_CLOEXEC, 0600);
        expect(fd < 0, wantedErrno);
        if (fd >= 0)
            ::close(fd);
    };
    if (sandbox::level() == sandbox::Level::Sealed)
        tryOpen("/proc/self/exe", O_RDONLY, EACCES);
    tryOpen("/dev/null", O_WRONLY, EACCES);
    tryOpen("/dev/null", O_RDONLY | O_CREAT, EACCES);
    tryOpen("/dev/shm", O_TMPFILE | O_RDWR, EACCES);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    expect(sock < 0, EPERM);
    if (sock >= 0)
        ::close(sock);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    expect(::connect(Channel, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0, EPERM);
    expect(::kill(::getppid(), 0) < 0, EPERM);
    rlimit theirs{};
    expect(::prlimit(::getppid(), RLIMIT_CPU, nullptr, &theirs) < 0, EPERM);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    expect(child < 0, EPERM);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    // No code may be added: nothing mapped executable, nothing made executable.
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    void* code = ::mmap(nullptr, page, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    expect(code == MAP_FAILED, EPERM);
    if (code != MAP_FAILED)
        ::munmap(code, page);
    void* data = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    all = all && data != MAP_FAILED;
    if (data != MAP_FAILED) {
        expect(::mprotect(data, page, PROT_READ | PROT_EXEC) < 0, EPERM);
        expect(::syscall(SYS_pkey_mprotect, data, page, PROT_READ | PROT_EXEC, -1) < 0, EPERM);
        ::munmap(data, page);
    }
    // Nor the program's own file mapped again as code.
    const int self = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (self >= 0) {
        void* text = ::mmap(nullptr, page, PROT_READ | PROT_EXEC, MAP_PRIVATE, self, 0);
        expect(text == MAP_FAILED, EPERM);
        if (text != MAP_FAILED)
            ::munmap(text, page);
        ::close(self);
    }
    // Should this run, the worker is gone and the program sees it end.
    char program[] = "/bin/true";
    char* const argv[] = {program, nullptr};
    char* const envp[] = {nullptr};
    expect(::execve(program, argv, envp) < 0, EPERM);
    return all;
}

void misbehave(const Request& r, int memory)
{
    worker::WorkerMessage m;
    m.id = r.header.id;
    if (g_misbehaviour == "forbidden") {
        if (!forbiddenCallsFail())
            ::_exit(3);
        return; // refused as a picture it cannot decode
    }
    if (g_misbehaviour == "garbage") {
        std::mt19937 random(unsigned(r.header.id) * 7919u + 17u);
        char bytes[sizeof m + 16];
        for (char& b : bytes)
            b = char(random());
        // The right length with the right magic and id, the rest noise: the hardest case.
        std::memcpy(bytes, &m.magic, sizeof m.magic);
        std::memcpy(bytes + offsetof(worker::WorkerMessage, id), &m.id, sizeof m.id);
        const uint32_t picture = uint32_t(worker::MessageKind::Picture);
        std::memcpy(bytes + offsetof(worker::WorkerMessage, kind), &picture, sizeof picture);
        ::send(Channel, bytes, sizeof m, MSG_NOSIGNAL);
    } else if (g_misbehaviour == "oversize" || g_misbehaviour == "unsealed") {
        const QSize limit = worker::answerPixelLimit(r.header);
        m.kind = worker::MessageKind::Picture;
        m.logicalWidth = r.header.boxWidth;
        m.logicalHeight = r.header.boxHeight;
        m.pixelWidth = limit.width();
        m.pixelHeight = limit.height();
        m.bytesPerLine = uint32_t(limit.width()) * 4;
        if (g_misbehaviour == "oversize") {
            m.pixelHeight = limit.height() * 64;
            m.logicalHeight = r.header.boxHeight * 64;
        }
        send(m);
    } else if (g_misbehaviour == "hang") {
        for (;;)
            ::pause();
    } else if (g_misbehaviour == "spin") {
        volatile unsigned long n = 0;
        for (;;)
            n = n + 1;
    } else if (g_misbehaviour == "crawl") {
        // Computes past the wall cap, then is refused like a file it cannot decode: only a
        // program that stopped a worker waiting for a CPU would not hear the refusal. The
        // first request is refused at once, so that a test can hold back a warm worker.
        static bool first = true;
        if (std::exchange(first, false))
            return;
        const auto until =
            r.received + budget::decodeWallCap(budget::DecodeCpuBase) + std::chrono::seconds(2);
        volatile unsigned long n = 0;
        while (std::chrono::steady_clock::now() < until)
            n = n + 1;
        return;
    } else if (g_misbehaviour == "crash") {
        std::abort();
    } else {
        ::_exit(3);
    }
    (void)memory;
}

// Qt's readers of the other formats are plugins, loaded on first use: loaded before the
// worker may map no new code (nor open files).
void loadQtReaders()
{
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    for (const PictureFormat format : {PictureFormat::Bmp, PictureFormat::Ico, PictureFormat::Cur,
                                       PictureFormat::Gif, PictureFormat::Tiff, PictureFormat::Webp}) {
        QBuffer empty;
        empty.open(QIODevice::ReadOnly);
        QImageReader reader(&empty, qtReaderFormat(format));
        (void)reader.canRead();
    }
}

// What drawing a metafile runs, loaded before the worker may map no new code: the GUI
// application (its platform plugin) for the text, every one of Qt's readers, since a
// picture inside the drawing is read by whichever reader knows its content (asking for no
// format loads them all), and the C library's converter of an EMF's UTF-16 text (a module
// loaded on first use, kept loaded by a conversion kept open). Fonts are only read, which
// the worker may still do later.
void loadMetafileCode()
{
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    static const iconv_t utf16 = ::iconv_open("UTF-8", "UTF-16LE");
    (void)utf16;
    provideGuiApplication();
    QByteArray probe(64, '\0');
    QBuffer buffer(&probe);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    (void)reader.canRead();
}

// The filter a file needs: a metafile's text opens fonts, nothing else opens any file.
sandbox::Level neededLevel(int file)
{
    QByteArray head(FormatHeadBytes, Qt::Uninitialized);
    const ssize_t n = ::pread(file, head.data(), size_t(head.size()), 0);
    head.truncate(n > 0 ? qsizetype(n) : 0);
    const PictureFormat format = pictureFormat(head);
    if (format == PictureFormat::Wmf || format == PictureFormat::Emf)
        return sandbox::Level::Reading;
    return sandbox::Level::Sealed;
}

void refuse(uint64_t id, worker::RefusalReason reason, bool retiring)
{
    worker::WorkerMessage m;
    m.kind = worker::MessageKind::Refused;
    m.id = id;
    m.reason = reason;
    m.retiring = retiring ? 1 : 0;
    send(m);
}

// The program's process: the worker ends with it. The kernel sends the parent-death signal
// when the thread that started the worker ends, and that may be any thread of the program
// (a thumbnail thread ends whenever its work is done) while the worker still serves the
// others: the signal only makes it look whether the program itself is gone.
pid_t g_program = 0;

void onStartingThreadEnded(int)
{
    if (::getppid() != g_program)
        ::_exit(0);
}

[[noreturn]] void serve()
{
    g_program = ::getppid();
    struct sigaction ended
    {
    };
    ended.sa_handler = onStartingThreadEnded;
    ended.sa_flags = SA_RESTART;
    sigemptyset(&ended.sa_mask);
    ::sigaction(SIGUSR1, &ended, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGUSR1);
    if (::getppid() != g_program)
        ::_exit(0); // gone before the signal was asked for
    // Nothing but the channel and the standard streams (/dev/null) is kept.
    ::close_range(Channel + 1, ~0U, 0);
    std::signal(SIGPIPE, SIG_IGN);
    // A write to a file fails (RLIMIT_FSIZE is 0) instead of ending the worker.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::setrlimit(RLIMIT_FSIZE, &none);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Pictures up to the program's own budget decode; Qt's default stops at 128 MiB.
    QImageReader::setAllocationLimit(int(pictureBudgetBytes() / (1024 * 1024)) + 64);
    setDeclaredSizeObserver(onDeclaredSize);
    setMetafileGuiProvider(provideGuiApplication);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGXCPU;
    g_haveTimer = ::timer_create(CLOCK_PROCESS_CPUTIME_ID, &event, &g_timer) == 0;
    g_addressSpace = addressSpaceBytes();

    for (int served = 0;; ++served) {
        Request r;
        iovec io{&r.header, sizeof r.header};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(Channel, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ::_exit(0); // the program went away
        int fds[4];
        int count = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const int k = int((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            for (int i = 0; i < k && count < 4; ++i)
                std::memcpy(&fds[count++], CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        }
        UniqueFd file(count > 0 ? fds[0] : -1);
        UniqueFd memory(count > 1 ? fds[1] : -1);
        for (int i = 2; i < count; ++i)
            ::close(fds[i]);
        const bool retiring = served + 1 >= MaxRequests;
        if (n != ssize_t(sizeof r.header) || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
            r.header.magic != worker::RequestMagic || r.header.version != worker::ProtocolVersion ||
            count != 2) {
            refuse(r.header.id, worker::RefusalReason::BadRequest, true);
            ::_exit(0);
        }
        g_current = &r;
        r.startCpu = processCpu();
        r.received = std::chrono::steady_clock::now();
        allowCpu(r, budget::DecodeCpuBase);
        if (r.header.addressSpace > 0)
            g_addressSpace = (long long)r.header.addressSpace;
        limitAddressSpace(true);
        // Nothing is decoded before the filter is in force; a worker that can no longer
        // open files leaves a metafile to a fresh one.
        const sandbox::Level needed = neededLevel(file.get());
        if (int(sandbox::level()) > int(needed)) {
            refuse(r.header.id, worker::RefusalReason::FreshWorker, true);
            ::_exit(0);
        }
        // Loaded under the filter, before the worker may map no new code.
        const bool filtered = sandbox::narrowTo(needed, [needed] {
            loadQtReaders();
            if (needed == sandbox::Level::Reading)
                loadMetafileCode();
        });
        bool decode = filtered;
        if (filtered && !g_misbehaviour.isEmpty()) {
            misbehave(r, memory.get());
            decode = false;
        }

        ReadableFile readable;
        struct stat st
        {
        };
        ScaledPicture picture;
        if (decode && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode)) {
            readable.fd = std::move(file);
            readable.size = st.st_size;
            readable.status = st;
            picture = decodeScaledPicture(std::move(readable), r.header.boxWidth, r.header.boxHeight,
                                          r.header.width, r.header.height, r.header.backColour,
                                          r.header.devicePixelRatio);
        }
        g_current = nullptr;
        bool answered = false;
        if (!picture.isNull()) {
            QImage image = std::move(picture.image);
            if (image.format() != QImage::Format_RGB32)
                image.convertTo(QImage::Format_RGB32);
            const long long bytes = (long long)image.width() * 4 * image.height();
            struct stat ms
            {
            };
            if (::fstat(memory.get(), &ms) != 0 || ms.st_size < bytes ||
                (long long)r.header.capacity < bytes) {
                memory.reset();
                endCpuAllowance();
                limitAddressSpace(false);
                refuse(r.header.id, worker::RefusalReason::NoRoom, retiring);
                answered = true;
            } else if (writePicture(memory.get(), image)) {
                worker::WorkerMessage m;
                m.kind = worker::MessageKind::Picture;
                m.id = r.header.id;
                m.pixelWidth = image.width();
                m.pixelHeight = image.height();
                m.logicalWidth = picture.size.width();
                m.logicalHeight = picture.size.height();
                m.bytesPerLine = uint32_t(image.width()) * 4;
                image = QImage();
                // Nothing of the request is kept once it is answered.
                memory.reset();
                endCpuAllowance();
                limitAddressSpace(false);
                m.retiring = retiring ? 1 : 0;
                send(m);
                if (retiring)
                    ::_exit(0);
                continue;
            }
        }
        file.reset();
        memory.reset();
        endCpuAllowance();
        limitAddressSpace(false);
        // A worker whose filter failed decodes nothing.
        const bool retire = retiring || !filtered;
        if (!answered)
            refuse(r.header.id, worker::RefusalReason::CannotDecode, retire);
        if (retire)
            ::_exit(0);
    }
}

} // namespace workerside

namespace workerclient {
void markWorkerCapable();
}

void runDecodeWorkerIfAsked(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--decode-worker") == 0) {
        for (int i = 2; i < argc; ++i)
            if (std::strncmp(argv[i], "--misbehave=", 12) == 0)
                workerside::g_misbehaviour = QByteArray(argv[i] + 12);
        workerside::serve();
    }
    workerclient::markWorkerCapable();
}

} // namespace fotarik::imaging
