#include "workersandbox.h"

#include <cerrno>
#include <initializer_list>

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace fotarik::imaging::sandbox {
namespace {

Level g_level = Level::Open;

// The request channel (see decoderworker_serve.cpp).
constexpr int Channel = 3;

// The kernel's bit for O_TMPFILE (the C library's O_TMPFILE adds O_DIRECTORY).
constexpr unsigned OpenTmpFileBit = 020000000;

struct Filter
{
    scmp_filter_ctx ctx;
    bool ok = true;

    explicit Filter(uint32_t defaultAction) : ctx(seccomp_init(defaultAction))
    {
        ok = ctx != nullptr;
        // Every thread gets the filter, also those of a decoder's pool started before.
        if (ok)
            ok = seccomp_attr_set(ctx, SCMP_FLTATR_CTL_TSYNC, 1) == 0;
    }
    ~Filter()
    {
        if (ctx)
            seccomp_release(ctx);
    }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    void rule(uint32_t action, int call, std::initializer_list<scmp_arg_cmp> args = {})
    {
        if (ok && seccomp_rule_add_array(ctx, action, call, unsigned(args.size()), args.begin()) != 0)
            ok = false;
    }
    void allow(std::initializer_list<int> calls)
    {
        for (const int call : calls)
            rule(SCMP_ACT_ALLOW, call);
    }
    bool load() { return ok && seccomp_load(ctx) == 0; }
};

// An open whose flags (argument `flagsArg`) ask for more than reading fails with EACCES.
void openOnlyForReading(Filter& f, int call, unsigned flagsArg)
{
    const scmp_datum_t forbidden = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | OpenTmpFileBit;
    f.rule(SCMP_ACT_ALLOW, call, {SCMP_CMP(flagsArg, SCMP_CMP_MASKED_EQ, forbidden, 0)});
    for (const scmp_datum_t bit : {scmp_datum_t(O_WRONLY), scmp_datum_t(O_RDWR), scmp_datum_t(O_CREAT),
                                   scmp_datum_t(O_TRUNC), scmp_datum_t(OpenTmpFileBit)})
        f.rule(SCMP_ACT_ERRNO(EACCES), call, {SCMP_CMP(flagsArg, SCMP_CMP_MASKED_EQ, bit, bit)});
}

// What decoding needs. Anything not named fails with EPERM: a new process or program, a
// socket, another process, and whatever a library might try that a decoder has no use for.
bool loadReading()
{
    Filter f(SCMP_ACT_ERRNO(EPERM));
    f.allow({
        // Reading the picture and the files a metafile's text needs.
        SCMP_SYS(read),
        SCMP_SYS(pread64),
        SCMP_SYS(readv),
        SCMP_SYS(preadv),
        SCMP_SYS(lseek),
        SCMP_SYS(close),
        SCMP_SYS(fstat),
        SCMP_SYS(newfstatat),
        SCMP_SYS(stat),
        SCMP_SYS(lstat),
        SCMP_SYS(statx),
        SCMP_SYS(fstatfs),
        SCMP_SYS(statfs),
        SCMP_SYS(getdents64),
        SCMP_SYS(readlink),
        SCMP_SYS(readlinkat),
        SCMP_SYS(access),
        SCMP_SYS(faccessat),
        SCMP_SYS(faccessat2),
        SCMP_SYS(getcwd),
        SCMP_SYS(fadvise64),
        // Writing goes nowhere but /dev/null, the event descriptors of a GUI application and
        // the shared memory (no file may grow: RLIMIT_FSIZE is 0).
        SCMP_SYS(write),
        SCMP_SYS(writev),
        SCMP_SYS(eventfd2),
        SCMP_SYS(pipe2),
        SCMP_SYS(poll),
        SCMP_SYS(ppoll),
        // The answer's shared memory.
        SCMP_SYS(fcntl),
        // Memory.
        SCMP_SYS(mmap),
        SCMP_SYS(munmap),
        SCMP_SYS(mprotect),
        SCMP_SYS(mremap),
        SCMP_SYS(brk),
        SCMP_SYS(madvise),
        SCMP_SYS(mincore),
        SCMP_SYS(membarrier),
        // Threads of the decoders and of Qt's scaling.
        SCMP_SYS(futex),
        SCMP_SYS(set_robust_list),
        SCMP_SYS(get_robust_list),
        SCMP_SYS(rseq),
        SCMP_SYS(set_tid_address),
        SCMP_SYS(sched_getaffinity),
        SCMP_SYS(sched_yield),
        SCMP_SYS(sched_getparam),
        SCMP_SYS(sched_getscheduler),
        SCMP_SYS(sched_get_priority_min),
        SCMP_SYS(sched_get_priority_max),
        SCMP_SYS(arch_prctl),
        SCMP_SYS(exit),
        SCMP_SYS(exit_group),
        // Clocks, the CPU timer and the limits of the next request.
        SCMP_SYS(clock_gettime),
        SCMP_SYS(clock_getres),
        SCMP_SYS(clock_nanosleep),
        SCMP_SYS(nanosleep),
        SCMP_SYS(gettimeofday),
        SCMP_SYS(time),
        SCMP_SYS(timer_create),
        SCMP_SYS(timer_settime),
        SCMP_SYS(timer_gettime),
        SCMP_SYS(timer_delete),
        SCMP_SYS(getrlimit),
        SCMP_SYS(setrlimit),
        SCMP_SYS(getrusage),
        SCMP_SYS(sysinfo),
        // Signals to itself (abort, the CPU timer).
        SCMP_SYS(rt_sigaction),
        SCMP_SYS(rt_sigprocmask),
        SCMP_SYS(rt_sigreturn),
        SCMP_SYS(sigaltstack),
        SCMP_SYS(rt_sigtimedwait),
        SCMP_SYS(rt_sigsuspend),
        SCMP_SYS(pause),
        SCMP_SYS(restart_syscall),
        // Who it is.
        SCMP_SYS(getpid),
        SCMP_SYS(gettid),
        SCMP_SYS(getppid),
        SCMP_SYS(getuid),
        SCMP_SYS(geteuid),
        SCMP_SYS(getgid),
        SCMP_SYS(getegid),
        SCMP_SYS(uname),
        SCMP_SYS(getrandom),
    });
    // A thread, never a process.
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)});
    // Its flags lie in memory the filter cannot see: the C library falls back to clone.
    f.rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3));
    // Limits and signals for itself only.
    const auto self = scmp_datum_t(::getpid());
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, self)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
    // Naming its threads; narrowing the filter further (a filter only ever takes away).
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_GET_NAME)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, PR_SET_NO_NEW_PRIVS)});
    f.rule(SCMP_ACT_ALLOW, SCMP_SYS(seccomp));
    // No terminal to ask about.
    f.rule(SCMP_ACT_ERRNO(ENOTTY), SCMP_SYS(ioctl));
    // The request channel and nothing else.
    for (const int call : {SCMP_SYS(sendmsg), SCMP_SYS(recvmsg), SCMP_SYS(sendto), SCMP_SYS(recvfrom)})
        f.rule(SCMP_ACT_ALLOW, call, {SCMP_A0(SCMP_CMP_EQ, Channel)});
    openOnlyForReading(f, SCMP_SYS(open), 1);
    openOnlyForReading(f, SCMP_SYS(openat), 2);
    f.rule(SCMP_ACT_ERRNO(EACCES), SCMP_SYS(creat));
    f.rule(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2));
    return f.load();
}

// Laid over the first once the worker's code is loaded: nothing mapped executable, nothing
// made executable (a hijacked decoder cannot bring code of its own).
bool loadNoNewCode()
{
    Filter f(SCMP_ACT_ALLOW);
    f.rule(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(mmap), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    f.rule(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(mprotect), {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC)});
    return f.load();
}

// Laid over the others: no file may be opened any more, nor a folder listed, nor a path
// tested or followed. (Asking a path's status still works: the C library's fstat is the
// same call as stat by path.)
bool loadSealed()
{
    Filter f(SCMP_ACT_ALLOW);
    for (const int call : {SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(creat), SCMP_SYS(access),
                           SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(readlink),
                           SCMP_SYS(readlinkat), SCMP_SYS(statfs), SCMP_SYS(getdents64)})
        f.rule(SCMP_ACT_ERRNO(EACCES), call);
    return f.load();
}

} // namespace

Level level()
{
    return g_level;
}

bool narrowTo(Level wanted, const std::function<void()>& loadCode)
{
    if (g_level == Level::Open && wanted != Level::Open) {
        if (!loadReading())
            return false;
        if (loadCode)
            loadCode();
        if (!loadNoNewCode())
            return false;
        g_level = Level::Reading;
    }
    if (g_level == Level::Reading && wanted == Level::Sealed) {
        if (!loadSealed())
            return false;
        g_level = Level::Sealed;
    }
    return int(g_level) >= int(wanted);
}

} // namespace fotarik::imaging::sandbox
