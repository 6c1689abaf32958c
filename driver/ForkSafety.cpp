#include "ForkSafety.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif
#include <unistd.h>

#include <atomic>
#include <new>

#include "Basic/CancelDeferred.h"
#include "Basic/Dataprocess.h"
#include "Basic/Locker.h"
#include "LoadLogDll.h"
#include "MERV_QOLT_DCJ.h"

// The terminals' older C libraries may not name it.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace dcjfork {

namespace {

// Guards the registry below, and nothing but short steps no child may see
// half done (the system call that creates or ends a registered descriptor,
// reading the local time, filling the GBK tables once): Prepare may wait
// for it.
pthread_mutex_t g_gate = PTHREAD_MUTEX_INITIALIZER;

// A call holds at most a socket, both folders, a file or two, and while a
// tool starts its report pipe and its pidfd.
constexpr int kTracked = 12;
int g_tracked[kTracked] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

constexpr int kWatched = 4;
// A folder known by its path, or by a registered descriptor whose path only
// a child looks up: a fork is rare, a download is not.
struct Watched {
    size_t len = 0;
    int fd = -1;
    bool Free() const { return len == 0 && fd < 0; }
    char path[PATH_MAX];
};
Watched g_watched[kWatched];

// What this thread's Prepare took, for its own InParent / InChild.
struct Holds {
    bool gate = false;
    bool device = false;
    bool deferLog = false;
};
thread_local Holds t_holds;
// This thread is inside the gate: a fork from a signal handler here must not
// wait for it.
thread_local bool t_inGate = false;
// The descriptor this thread hands to a tool it starts: a child of this
// thread's own fork keeps it (a thread sanitizer makes vfork a fork).
thread_local int t_keepInOwnChild = -1;

class Gate {
public:
    Gate()
    {
        pthread_mutex_lock(&g_gate);
        t_inGate = true;
    }
    ~Gate()
    {
        t_inGate = false;
        pthread_mutex_unlock(&g_gate);
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
};

// Under the gate.
bool Register(int fd)
{
    for (int& slot : g_tracked) {
        if (slot < 0) {
            slot = fd;
            return true;
        }
    }
    return false;
}

// A host that closed its standard descriptors keeps them free: its next
// stray print must not land in a received file or be sent to the counter.
int AboveStandard(int fd)
{
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    errno = err;
    return moved;
}

int Registered(int fd)
{
    fd = AboveStandard(fd);
    if (fd < 0) return -1;
    if (!Register(fd)) {
        close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

// "/proc/self/fd/<fd>" without the C library's formatting (not safe here).
void LinkName(int fd, char* out)
{
    static const char kPrefix[] = "/proc/self/fd/";
    memcpy(out, kPrefix, sizeof(kPrefix) - 1);
    char digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + fd % 10);
        fd /= 10;
    } while (fd > 0);
    char* p = out + sizeof(kPrefix) - 1;
    while (n > 0) *p++ = digits[--n];
    *p = '\0';
}

bool IsRegistered(int fd)
{
    for (int slot : g_tracked) {
        if (slot == fd) return true;
    }
    return false;
}

// In the child, before the registered descriptors close: the paths of the
// folders watched by descriptor. One closed meanwhile is no longer
// registered, so a number reused by someone else is never looked up.
void FindWatchedPaths()
{
    for (Watched& w : g_watched) {
        if (w.fd < 0 || !IsRegistered(w.fd)) continue;
        char link[40];
        LinkName(w.fd, link);
        const ssize_t len = readlink(link, w.path, sizeof(w.path));
        // "/" itself: every path starts with it, and none more than once.
        if (len > 1 && static_cast<size_t>(len) < sizeof(w.path) && w.path[0] == '/') w.len = static_cast<size_t>(len);
    }
}

bool InsideWatched(const char* target, size_t len)
{
    for (const Watched& w : g_watched) {
        if (w.len == 0 || len < w.len || memcmp(target, w.path, w.len) != 0) continue;
        if (len == w.len || target[w.len] == '/') return true;
    }
    return false;
}

// In the child: every descriptor that names a watched folder or something in
// it. Async-signal-safe calls only. Listed by number, so closing what has
// been read skips nothing.
void CloseInsideWatched()
{
    bool any = false;
    for (const Watched& w : g_watched) any = any || w.len != 0;
    if (!any) return;
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;  // no /proc: the registered descriptors are closed all the same
    alignas(8) char buf[1024];
    long n;
    while ((n = syscall(SYS_getdents64, dir, buf, sizeof(buf))) > 0) {
        for (long at = 0; at < n;) {
            unsigned short length;
            memcpy(&length, buf + at + 16, sizeof(length));
            const char* name = buf + at + 19;
            at += length;
            int fd = 0;
            bool number = *name != '\0';
            for (; *name != '\0' && number; ++name) {
                number = *name >= '0' && *name <= '9' && fd < INT_MAX / 10;
                fd = fd * 10 + (*name - '0');
            }
            if (!number || fd == dir) continue;
            char link[40];
            LinkName(fd, link);
            char target[PATH_MAX];
            const ssize_t got = readlink(link, target, sizeof(target));
            if (got > 0 && static_cast<size_t>(got) < sizeof(target) && InsideWatched(target, static_cast<size_t>(got))) {
                close(fd);
            }
        }
    }
    close(dir);
}

}  // namespace

int OpenTracked(const char* path, int flags, mode_t mode)
{
    return OpenTrackedAt(AT_FDCWD, path, flags, mode);
}

int OpenTrackedAt(int dir, const char* name, int flags, mode_t mode)
{
    Gate gate;
    int fd;
    do {
        fd = openat(dir, name, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return Registered(fd);
}

int OpenTrackedWithoutLinks(const char* path, int flags)
{
#ifdef SYS_openat2
    // A kernel (or an emulator) without it says so once.
    static std::atomic<bool> unsupported{false};
    if (unsupported.load(std::memory_order_relaxed)) {
        errno = ENOSYS;
        return -1;
    }
    struct open_how how;
    memset(&how, 0, sizeof(how));
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS;
    Gate gate;
    long fd;
    do {
        fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof(how));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOSYS) unsupported.store(true, std::memory_order_relaxed);
    return Registered(static_cast<int>(fd));
#else
    (void)path;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

int SocketTracked(int domain, int type, int protocol)
{
    Gate gate;
    return Registered(socket(domain, type | SOCK_CLOEXEC, protocol));
}

int PipeTracked(int fds[2])
{
    Gate gate;
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    fds[0] = AboveStandard(fds[0]);
    fds[1] = AboveStandard(fds[1]);
    if (fds[0] >= 0 && fds[1] >= 0 && Register(fds[0]) && Register(fds[1])) return 0;
    for (int& slot : g_tracked) {
        if (slot >= 0 && (slot == fds[0] || slot == fds[1])) slot = -1;
    }
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
    errno = EMFILE;
    return -1;
}

int PidfdTracked(pid_t pid)
{
    Gate gate;
    return Registered(static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)));
}

KeepInOwnChild::KeepInOwnChild(int fd)
{
    t_keepInOwnChild = fd;
}

KeepInOwnChild::~KeepInOwnChild()
{
    t_keepInOwnChild = -1;
}

int CloseTracked(int fd)
{
    if (fd < 0) return 0;
    Gate gate;
    for (int& slot : g_tracked) {
        if (slot == fd) slot = -1;
    }
    return close(fd);
}

WatchFolder::WatchFolder(const std::string& dir)
{
    char* real = realpath(dir.c_str(), nullptr);
    if (real == nullptr) return;
    Watch(real, strlen(real));
    free(real);
}

// The child finds descriptors by the path /proc/self/fd names, so that is
// the path to watch; the child reads it from the folder's own descriptor.
WatchFolder::WatchFolder(int dirFd)
{
    if (dirFd < 0) return;
    Gate gate;
    for (int i = 0; i < kWatched && m_slot < 0; ++i) {
        if (!g_watched[i].Free()) continue;
        g_watched[i].fd = dirFd;
        m_slot = i;
    }
}

void WatchFolder::Watch(const char* real, size_t len)
{
    // "/" itself: every path starts with it, and none more than once.
    if (len <= 1 || len >= PATH_MAX) return;
    Gate gate;
    for (int i = 0; i < kWatched && m_slot < 0; ++i) {
        if (!g_watched[i].Free()) continue;
        memcpy(g_watched[i].path, real, len);
        g_watched[i].len = len;
        m_slot = i;
    }
}

WatchFolder::~WatchFolder()
{
    if (m_slot < 0) return;
    Gate gate;
    g_watched[m_slot].len = 0;
    g_watched[m_slot].fd = -1;
}

void UnderGate(void (*fn)())
{
    Gate gate;
    fn();
}

bool LocalTime(time_t when, struct tm* out)
{
    Gate gate;
    return localtime_r(&when, out) != nullptr;
}

// Nothing here waits except for the gate (and, once per process, for the
// GBK tables to be filled), so a fork never queues behind a download or
// another thread's log record.
void Prepare()
{
    // A cancel pending in the forking thread must not act in the open and
    // close calls below, in the middle of the C library's fork.
    const CancelDeferred cancelAfterTheFork;
    Holds& holds = t_holds;
    holds.gate = !t_inGate;
    // Once per process, before the first conversion if a fork comes first.
    if (holds.gate) dcjtext::FillGbkTables();
    if (holds.gate) pthread_mutex_lock(&g_gate);
    holds.device = pthread_mutex_trylock(&mutex) == 0;
    holds.deferLog = LogBeforeFork();
}

void InParent()
{
    Holds& holds = t_holds;
    LogAfterForkInParent(holds.deferLog);
    if (holds.device) pthread_mutex_unlock(&mutex);
    const bool gate = holds.gate;
    holds = Holds();
    if (gate) pthread_mutex_unlock(&g_gate);
}

void InChild()
{
    const CancelDeferred cancelAfterTheFork;
    const Holds holds = t_holds;
    t_holds = Holds();
    // The registry is whole: the gate has been held since Prepare (unless
    // this thread forked from a signal handler inside it, when at most the
    // descriptor being made is missing).
    FindWatchedPaths();
    for (int& slot : g_tracked) {
        if (slot >= 0 && slot != t_keepInOwnChild) close(slot);
        slot = -1;
    }
    CloseInsideWatched();
    for (Watched& w : g_watched) {
        w.len = 0;
        w.fd = -1;
    }
    // Only this thread can have held it: the others are not copied.
    if (holds.gate) pthread_mutex_unlock(&g_gate);

    LogAfterForkInChild(holds.deferLog);
    // Made anew either way: a recursive mutex names its owner by thread id,
    // and the child's thread has a new one, so it could not even unlock it.
    // This thread's hold is given back first all the same (it may fail), so
    // a thread checker sees it end.
    if (holds.device) pthread_mutex_unlock(&mutex);
    CLocker::InitLock(&mutex, true);
    if (holds.device) return;  // no call was in progress: all is as it was
    // The caller's map and the engine's call state were the other thread's;
    // the old map is left as it is (its nodes may be half linked).
    new (&pinMap) std::map<std::string, std::string>();
    dcjtext::SetReplyLimit(SIZE_MAX);
    CTimedLocker::ForgetHoldsAfterFork();
    CDataProcess* engine = CDataProcess::GetInstance();
    if (engine != nullptr) engine->AbandonCallAfterFork();
}

int RegisterHandlers()
{
    return pthread_atfork(Prepare, InParent, InChild);
}

}  // namespace dcjfork
