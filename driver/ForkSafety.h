// What a host's fork leaves the child, and how the driver keeps it so.
//
// A host may fork from any thread at any moment, from several threads at
// once, while other threads are inside doCommand. The child has only the
// thread that forked. What the child may rely on:
//  - every lock of the driver is free there: the child can call at once;
//  - it holds no descriptor of a call in progress: not the counter's
//    socket, not the working folder (nor its lock) and nothing inside it,
//    so the parent's connection ends when the parent closes it and the
//    parent's next download never waits for a child;
//  - the parent's call goes on untouched.
//
// What a new lock or descriptor of the driver must do to join:
//  - A lock a call may hold across a wait: try it (never wait for it) in
//    Prepare, note in this thread's record whether it was taken, give it
//    back in InParent and make it anew in InChild. The record is per
//    forking thread: two threads forking at once each release exactly what
//    they took.
//  - A descriptor a call holds: create it with OpenTracked / SocketTracked
//    and end it with CloseTracked, never plain open / socket / close. Both
//    steps run under a gate that Prepare waits for; the gate covers only the
//    system call itself, so no fork can fall between a descriptor's creation
//    and its registration, and the child closes every registered one.
//  - Anything opened inside a folder held with WatchFolder is closed in the
//    child too, whoever opened it (read from /proc/self/fd).
//  - Everything the driver opens is close-on-exec, so a child that execs
//    keeps nothing even without the handlers (vfork, posix_spawn).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

namespace dcjfork {

// Registers the handlers; called once, after the device mutex exists.
int RegisterHandlers();

// The handlers themselves. A C library may run the handlers of concurrent
// forks side by side; each thread's own record makes that safe.
void Prepare();
void InParent();
void InChild();

// open() / socket() whose descriptor is registered in the same step; -1
// with errno EMFILE when the driver already holds as many as it tracks.
// Never 0, 1 or 2: those stay free for a host that closed them.
int OpenTracked(const char* path, int flags, mode_t mode = 0);
// The same for a name relative to a folder's descriptor.
int OpenTrackedAt(int dir, const char* name, int flags, mode_t mode = 0);
int SocketTracked(int domain, int type, int protocol);
// pipe2(O_CLOEXEC) with both ends registered: 0, or -1 with errno.
int PipeTracked(int fds[2]);
// A pidfd of the child pid, registered; -1 where the kernel has none.
int PidfdTracked(pid_t pid);
// OpenTracked of a path no link lies on: -1 with errno ELOOP when one does,
// and ENOSYS on a kernel that cannot tell (or what a sandbox answers).
int OpenTrackedWithoutLinks(const char* path, int flags);
// Unregisters and closes in one step; close()'s result.
int CloseTracked(int fd);

// For its lifetime, a child of this thread's own fork keeps fd, a
// registered descriptor it is handed (other threads' forks close it).
class KeepInOwnChild {
public:
    explicit KeepInOwnChild(int fd);
    ~KeepInOwnChild();
    KeepInOwnChild(const KeepInOwnChild&) = delete;
    KeepInOwnChild& operator=(const KeepInOwnChild&) = delete;
};

// Runs fn under the gate: a fork waits until it has ended, so no child
// inherits a lock fn holds or a state it leaves half done.
void UnderGate(void (*fn)());

// localtime_r under the gate: the C library's time-zone lock is not made
// anew in a child, so a fork while a call held it would leave the child
// unable ever to read the local time.
bool LocalTime(time_t when, struct tm* out);

// A folder whose descriptors a child closes, for the life of this object.
class WatchFolder {
public:
    explicit WatchFolder(const std::string& dir);
    // The folder a registered descriptor (OpenTracked...) refers to, while
    // it stays registered; a child reads the path through /proc, where it
    // looks for the descriptors too.
    explicit WatchFolder(int dirFd);
    ~WatchFolder();
    WatchFolder(const WatchFolder&) = delete;
    WatchFolder& operator=(const WatchFolder&) = delete;

private:
    void Watch(const char* real, size_t len);
    int m_slot = -1;
};

}  // namespace dcjfork
