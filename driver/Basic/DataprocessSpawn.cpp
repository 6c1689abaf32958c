// The external programs a download runs (zip, cp): started clean, bounded in
// time, and never left behind by a host that dies.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../LoadLogDll.h"
#include "../ForkSafety.h"
#include "DataprocessFiles.h"

extern char** environ;

// Raw system calls, not the C library's wrappers: the driver must load on
// the terminals' older C libraries, whose kernels may not have them either.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace dcjfile {

namespace {

constexpr int kDefaultSeconds = 60;
// SIGKILL ends a process at once, but one stuck in the kernel (a dead
// network mount) may take a while; the driver call must end anyway.
constexpr int kReapSeconds = 5;
constexpr long kMillisecond = 1000L * 1000;

// All the child needs, made ready before the fork: after vfork it runs in
// the host's memory, where it may neither allocate nor take a lock.
struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    pid_t parent;      // the host, noted before the fork
    int deathSignal;   // sent to it when the host dies
    pid_t group;       // process group to join; 0: a group of its own
    int reportFd;      // takes errno when the start fails; a successful exec closes it
    int fdLimit;       // last resort of the descriptor sweep
    struct sigaction byDefault;
    sigset_t noSignals;
};

[[noreturn]] void FailStart(int reportFd)
{
    const int err = errno;
    ssize_t ignored = write(reportFd, &err, sizeof(err));
    (void)ignored;
    _exit(127);
}

// Closes every descriptor from 3 up but keep (>= 3).
void CloseOthers(int keep, int fdLimit)
{
    bool closed = keep == 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep) - 1, 0u) == 0;
    closed = closed && syscall(SYS_close_range, static_cast<unsigned>(keep) + 1, ~0u, 0u) == 0;
    if (closed) return;
    // Kernels before close_range: the list of open descriptors. It is
    // listed by number, so closing what has been read skips nothing.
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buf[1024];
        long n;
        while ((n = syscall(SYS_getdents64, dir, buf, sizeof(buf))) > 0) {
            for (long at = 0; at < n;) {
                unsigned short length;
                memcpy(&length, buf + at + 16, sizeof(length));
                int fd = 0;
                const char* name = buf + at + 19;
                bool number = *name != '\0';
                for (; *name != '\0'; ++name) {
                    number = number && *name >= '0' && *name <= '9';
                    fd = fd * 10 + (*name - '0');
                }
                if (number && fd > 2 && fd != keep && fd != dir) close(fd);
                at += length;
            }
        }
        close(dir);
        if (n == 0) return;
    }
    for (int fd = 3; fd < fdLimit; ++fd) {
        if (fd != keep) close(fd);
    }
}

// The child between vfork and exec: async-signal-safe calls only.
[[noreturn]] __attribute__((noinline)) void RunChild(const ChildPlan* plan)
{
    // Told when the host dies, so a host killed mid-download leaves nothing
    // behind; a host already gone before this took effect is no host.
    if (prctl(PR_SET_PDEATHSIG, plan->deathSignal, 0, 0, 0) != 0) FailStart(plan->reportFd);
    if (getppid() != plan->parent) _exit(127);
    // The tool's own group: a time-out, the tool's end or the host's death
    // kills whatever the tool started, too.
    if (setpgid(0, plan->group) != 0) FailStart(plan->reportFd);
    // The host's handlers must not run here, in its memory (every signal is
    // blocked until now), and what it ignores or blocks is its own business:
    // a tool that inherits an ignored SIGCHLD cannot wait for its children.
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &plan->byDefault, nullptr);

    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) FailStart(plan->reportFd);
    for (int fd = 0; fd <= 2; ++fd) {
        // dup2 onto itself would keep the close-on-exec flag.
        const int ok = null == fd ? fcntl(fd, F_SETFD, 0) : dup2(null, fd);
        if (ok < 0) FailStart(plan->reportFd);
    }
    CloseOthers(plan->reportFd, plan->fdLimit);

    sigprocmask(SIG_SETMASK, &plan->noSignals, nullptr);
    execve(plan->path, plan->argv, plan->envp);
    FailStart(plan->reportFd);
}

// vfork: no copy of a large host's memory for every tool. The parent waits
// here until the child has exec'd or exited.
__attribute__((noinline)) pid_t StartChild(const ChildPlan* plan)
{
    const pid_t pid = vfork();
    if (pid == 0) RunChild(plan);
    return pid;
}

// The first executable file of that name on PATH, as execvp would take it.
bool FindProgram(const std::string& name, std::string* path)
{
    if (name.empty()) return false;
    if (name.find('/') != std::string::npos) {
        *path = name;
        return true;
    }
    const char* env = getenv("PATH");
    const std::string dirs = env != nullptr ? env : "/bin:/usr/bin";
    for (std::string::size_type start = 0;;) {
        const std::string::size_type colon = dirs.find(':', start);
        const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        *path = dir + "/" + name;
        struct stat st;
        // Only absolute folders: an empty or relative entry is the host's
        // current folder, where anyone who may write there could put a zip.
        if (dir[0] == '/' && stat(path->c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            faccessat(AT_FDCWD, path->c_str(), X_OK, AT_EACCESS) == 0) {
            return true;
        }
        if (colon == std::string::npos) return false;
        start = colon + 1;
    }
}

struct timespec Deadline(int seconds)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

long long NanosecondsLeft(const struct timespec& deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
}

enum class Wait { Ended, Gone, Expired, Poll };

// Ended: *status is the child's; Gone: the host reaped it (ECHILD).
Wait TryReap(pid_t pid, int* status)
{
    for (;;) {
        const pid_t got = waitpid(pid, status, WNOHANG);
        if (got == pid) return Wait::Ended;
        if (got == 0) return Wait::Poll;
        if (errno != EINTR) return Wait::Gone;
    }
}

// Sleeps on a pidfd until the child ends or the deadline. Poll: no pidfd
// here (older kernels), the polling wait takes over.
Wait WaitByPidfd(pid_t pid, const struct timespec& deadline, int* status)
{
    // Registered: a child the host forks meanwhile does not keep it.
    const int fd = dcjfork::PidfdTracked(pid);
    if (fd < 0) return Wait::Poll;
    Wait result;
    for (;;) {
        // Reaped first: a child the host reaped already is not ours to
        // wait for, whatever process its number names by now.
        result = TryReap(pid, status);
        if (result != Wait::Poll) break;
        const long long left = NanosecondsLeft(deadline);
        if (left <= 0) {
            result = Wait::Expired;
            break;
        }
        const long long ms = (left + kMillisecond - 1) / kMillisecond;
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms > 3600 * 1000 ? 3600 * 1000 : static_cast<int>(ms));
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 0) {
            // Readable means ended: one more look, then polling in the
            // unlikely case it cannot be reaped yet.
            result = TryReap(pid, status);
            break;
        }
    }
    dcjfork::CloseTracked(fd);
    return result;
}

Wait WaitByPolling(pid_t pid, const struct timespec& deadline, int* status)
{
    long pause = kMillisecond;
    for (;;) {
        const Wait result = TryReap(pid, status);
        if (result != Wait::Poll) return result;
        const long long left = NanosecondsLeft(deadline);
        if (left <= 0) return Wait::Expired;
        struct timespec nap = {0, left < pause ? static_cast<long>(left) : pause};
        nanosleep(&nap, nullptr);  // EINTR: the loop works out what is left
        if (pause < 20 * kMillisecond) pause = pause * 2 < 20 * kMillisecond ? pause * 2 : 20 * kMillisecond;
    }
}

Wait WaitUntil(pid_t pid, const struct timespec& deadline, int* status, bool usePidfd)
{
    const Wait result = usePidfd ? WaitByPidfd(pid, deadline, status) : Wait::Poll;
    return result == Wait::Poll ? WaitByPolling(pid, deadline, status) : result;
}

// Starts path (argv, the host's environment) as RunChild prepares it; its
// pid, or -1 when it could not be started.
pid_t Launch(const char* path, char* const* argv, int deathSignal, pid_t group, char* const* envp = environ)
{
    // Registered: a child the host forks meanwhile must not keep the
    // write end, or the read below would wait for that child to end. Both
    // ends lie above 2, where the child puts /dev/null.
    int report[2];
    if (dcjfork::PipeTracked(report) != 0) return -1;

    ChildPlan plan;
    memset(&plan, 0, sizeof(plan));
    plan.path = path;
    plan.argv = argv;
    plan.envp = envp;
    plan.parent = getpid();
    plan.deathSignal = deathSignal;
    plan.group = group;
    plan.reportFd = report[1];
    struct rlimit files;
    plan.fdLimit = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < (1u << 20)
                       ? static_cast<int>(files.rlim_cur)
                       : 1 << 20;
    plan.byDefault.sa_handler = SIG_DFL;
    sigemptyset(&plan.byDefault.sa_mask);
    sigemptyset(&plan.noSignals);

    sigset_t all, hostMask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &hostMask);
    pid_t pid;
    {
        dcjfork::KeepInOwnChild keep(report[1]);
        pid = StartChild(&plan);
    }
    pthread_sigmask(SIG_SETMASK, &hostMask, nullptr);
    dcjfork::CloseTracked(report[1]);
    if (pid < 0) {
        dcjfork::CloseTracked(report[0]);
        return -1;
    }
    // Nothing to read: the exec closed the report end. (After a plain fork,
    // as under a thread sanitizer, this waits for the exec.)
    int startError = 0;
    ssize_t n;
    do {
        n = read(report[0], &startError, sizeof(startError));
    } while (n < 0 && errno == EINTR);
    dcjfork::CloseTracked(report[0]);
    if (n > 0) {
        // It exits at once; ECHILD when the host reaped it.
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

// The tool dies with the host by its own death signal, but what it started
// would not: a watchdog in the tool's group, told by the same death, kills
// the whole group. A shell: the driver ships no program of its own, and
// the watchdog must outlive the host's memory.
pid_t StartWatchdog(pid_t group)
{
    static const char kScript[] = "trap 'kill -KILL 0' TERM; while :; do sleep 60 & wait $!; done";
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char script[sizeof(kScript)];
    memcpy(script, kScript, sizeof(kScript));
    char* const argv[] = {sh, dashC, script, nullptr};
    return Launch(sh, argv, SIGTERM, group);
}

// After the tool: anything it left in its group goes with the watchdog.
// Only while the watchdog is ours and unreaped does the group's number
// surely still name that group.
void EndGroup(pid_t group, pid_t watchdog, bool usePidfd)
{
    if (watchdog <= 0) return;
    int status;
    if (TryReap(watchdog, &status) != Wait::Poll) return;
    if (group > 1) kill(-group, SIGKILL);
    WaitUntil(watchdog, Deadline(kReapSeconds), &status, usePidfd);
}

int Run(const std::vector<std::string>& argv, int timeLimitSeconds, bool usePidfd)
{
    std::string path;
    std::vector<char*> args, env;
    try {
        if (argv.empty() || !FindProgram(argv[0], &path)) return -1;
        args.reserve(argv.size() + 1);
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        // The host's environment, but for the options zip reads from it
        // (ZIPOPT, ZIP): an option meant for the host's own archives (a
        // password, an exclusion, a conversion) must not change what is
        // packed here and then confirmed.
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            if (strncmp(*e, "ZIPOPT=", 7) != 0 && strncmp(*e, "ZIP=", 4) != 0) env.push_back(*e);
        }
        env.push_back(nullptr);
        LogFlushBeforeWait();
    } catch (...) {
        return -1;
    }

    const pid_t pid = Launch(path.c_str(), args.data(), SIGKILL, 0, env.data());
    if (pid < 0) return -1;
    const pid_t watchdog = StartWatchdog(pid);

    int status = 0;
    const int seconds = timeLimitSeconds > 0 ? timeLimitSeconds : kDefaultSeconds;
    Wait result = WaitUntil(pid, Deadline(seconds), &status, usePidfd);
    if (result == Wait::Expired) {
        // The whole group: what the tool started goes with it. The group is
        // the child's own (set before its exec), never the host's.
        if (pid > 1) kill(-pid, SIGKILL);
        LOG_ERRORF("CDataProcess::RunProgram: %s still running after %d s, killed", argv[0].c_str(), seconds);
        if (WaitUntil(pid, Deadline(kReapSeconds), &status, usePidfd) == Wait::Expired) {
            LOG_ERRORF("CDataProcess::RunProgram: %s (pid %d) not ended %d s after SIGKILL", argv[0].c_str(),
                       static_cast<int>(pid), kReapSeconds);
        }
        EndGroup(pid, watchdog, usePidfd);
        return kTimedOut;
    }
    EndGroup(pid, watchdog, usePidfd);
    // Gone: it has ended, but the host reaped it and its status.
    if (result == Wait::Gone) return kOutcomeUnknown;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, int timeLimitSeconds)
{
    return Run(argv, timeLimitSeconds, true);
}

int RunProgramPolling(const std::vector<std::string>& argv, int timeLimitSeconds)
{
    return Run(argv, timeLimitSeconds, false);
}

}  // namespace dcjfile
