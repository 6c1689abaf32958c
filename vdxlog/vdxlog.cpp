// libvdxlog.so: one line per record, appended to a log file.
//
//   VDXLOG_FILE       the log file; "-" means standard error as it was when
//                     the library was loaded (so it must be set by then).
//                     Default:
//                     ${TMPDIR:-/tmp}/vdxlog-<uid>/vdxlog.log, in a folder of
//                     the user's own (never standard output, which belongs
//                     to the host).
//   VDXLOG_LEVEL      lowest level written: info (default), warn, error, off.
//   VDXLOG_MAX_BYTES  size at which the file is rotated (default 10 MiB,
//                     at least 4096).
//   VDXLOG_KEEP       rotated files kept, <file>.1 (newest) .. <file>.9
//                     (default 3).
//
// Line: "2026-12-07 09:05:07.123 [812:815] INFO  QOLT DCJ Basic/TCPClient.cpp:88 text"
// with the process and thread id in brackets. Each record is written whole
// by one write() on an O_APPEND descriptor, so records from several threads
// or processes never interleave; nothing is synced. Between LogHold(1) and
// LogHold(0) records below the error level are kept and then written
// together; an error record writes them at once.
//
// The library lives inside someone else's process: it never waits on the
// log, never raises a signal, never follows a link or opens anything but a
// regular file of the user's, never sits on descriptors 0-2, and never
// writes to (or replaces) a descriptor the host has closed and reused.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#define VDXLOG_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Level { kInfo = 0, kWarn = 1, kError = 2, kOff = 3 };

constexpr uint64_t kDefaultMaxBytes = 10u * 1024 * 1024;
constexpr uint64_t kMinMaxBytes = 4096;
constexpr int kDefaultKeep = 3;
constexpr int kMaxKeep = 9;
constexpr const char kPrivateFileName[] = "vdxlog.log";

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Descriptors 0-2 are the host's even while closed: one of ours sitting
// there would receive whatever the host means for its standard streams.
int AboveStandard(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// Blocks signals a write may raise, for the calling thread only, and takes
// back the ones the write raised; what the host had pending stays pending.
class SignalGuard {
public:
    SignalGuard(bool active, int first, int second)
    {
        if (!active) return;
        sigemptyset(&m_set);
        sigaddset(&m_set, first);
        if (second != 0) sigaddset(&m_set, second);
        m_blocked = pthread_sigmask(SIG_BLOCK, &m_set, &m_old) == 0;
        if (m_blocked && sigpending(&m_before) != 0) sigfillset(&m_before);
    }
    ~SignalGuard()
    {
        if (!m_blocked) return;
        sigset_t now;
        if (sigpending(&now) == 0) {
            for (int sig : {SIGPIPE, SIGXFSZ}) {
                if (!sigismember(&m_set, sig) || !sigismember(&now, sig) || sigismember(&m_before, sig)) continue;
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, sig);
                const struct timespec zero = {0, 0};
                while (sigtimedwait(&one, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    sigset_t m_set, m_old, m_before;
    bool m_blocked = false;
};

// Process and thread ids without two system calls per record. The kernel
// wipes a MADV_WIPEONFORK page in every child, whatever made it (fork,
// _Fork, a bare clone) and whether or not a fork handler ran: a zero epoch
// there tells each thread that its cached ids are its parent's.
class ProcessIds {
public:
    ProcessIds()
    {
        const long size = sysconf(_SC_PAGESIZE);
        if (size < static_cast<long>(sizeof(Page))) return;
        void* p = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        // An older kernel refuses the advice; an emulator may take any advice
        // and do nothing, so one that accepts nonsense is not trusted with it.
        // Either way the ids are asked for every record.
        if (madvise(p, static_cast<size_t>(size), INT_MAX) == 0 ||
            madvise(p, static_cast<size_t>(size), MADV_WIPEONFORK) != 0) {
            munmap(p, static_cast<size_t>(size));
            return;
        }
        m_page = new (p) Page();
    }

    void Get(long* pid, long* tid)
    {
        if (m_page == nullptr) {
            *pid = static_cast<long>(getpid());
            *tid = static_cast<long>(syscall(SYS_gettid));
            return;
        }
        const uint64_t epoch = Epoch();
        // Plain thread-local data, no constructor: nothing to run at thread exit.
        static thread_local uint64_t t_epoch = 0;
        static thread_local long t_tid = 0;
        if (t_epoch != epoch) {
            t_tid = static_cast<long>(syscall(SYS_gettid));
            t_epoch = epoch;
        }
        *pid = m_page->pid.load(std::memory_order_relaxed);
        *tid = t_tid;
    }

private:
    struct Page {
        std::atomic<uint64_t> epoch{0};  // 0: not known in this process yet
        std::atomic<long> pid{0};
    };

    // The epoch of this process: new in every child, never 0 once known.
    uint64_t Epoch()
    {
        uint64_t epoch = m_page->epoch.load(std::memory_order_acquire);
        if (epoch != 0) return epoch;
        // Threads racing here are in the same process: same pid. Epochs
        // only grow along a line of children, so a child's never equals the
        // one its forking thread cached in the parent.
        m_page->pid.store(static_cast<long>(getpid()), std::memory_order_relaxed);
        const uint64_t fresh = m_next.fetch_add(1, std::memory_order_relaxed) + 1;
        if (m_page->epoch.compare_exchange_strong(epoch, fresh, std::memory_order_acq_rel)) return fresh;
        return epoch;
    }

    Page* m_page = nullptr;
    std::atomic<uint64_t> m_next{0};
};

class LogSink {
public:
    LogSink()
    {
        // Only when records go there: a copy would keep the host's pipe
        // open after the host closed descriptor 2 to tell its reader it
        // is done.
        const char* env = getenv("VDXLOG_FILE");
        if (env && strcmp(env, "-") == 0) TakeStandardError();
    }

    void Write(Level level, const char* brand, const char* kind, const char* file, int line, const char* msg)
    {
        if (level < Threshold()) return;
        int fd = Descriptor();
        if (fd < 0) return;

        static const char* const kNames[] = {"INFO ", "WARN ", "ERROR"};
        // "YYYY-MM-DD hh:mm:ss.mmm [pid:tid] LEVEL ", without a formatter:
        // printf's machinery is most of a record's own cost.
        char head[96];
        size_t headLen = FormatTime(head, sizeof(head) - 64);
        long pid = 0, tid = 0;
        m_ids.Get(&pid, &tid);
        head[headLen++] = ' ';
        head[headLen++] = '[';
        headLen = PutNumber(head, headLen, pid);
        head[headLen++] = ':';
        headLen = PutNumber(head, headLen, tid);
        head[headLen++] = ']';
        head[headLen++] = ' ';
        memcpy(head + headLen, kNames[level], 5);
        headLen += 5;
        head[headLen++] = ' ';
        char number[24];
        const size_t numberLen = PutNumber(number, 0, line);
        // Its length is known before it is made: made on the stack, unless long.
        const size_t lengths[4] = {Length(brand), Length(kind), Length(file), Length(msg)};
        const size_t size = headLen + lengths[0] + 1 + lengths[1] + 1 + lengths[2] + 1 + numberLen + 1 + lengths[3] + 1;
        char onStack[1024];
        std::string onHeap;
        char* record = onStack;
        if (size > sizeof(onStack)) {
            onHeap.resize(size);
            record = &onHeap[0];
        }
        char* at = record;
        at = Put(at, head, headLen);
        at = PutOneLine(at, Text(brand), lengths[0], ' ');
        at = PutOneLine(at, Text(kind), lengths[1], ' ');
        at = PutOneLine(at, Text(file), lengths[2], ':');
        at = Put(at, number, numberLen);
        *at++ = ' ';
        at = PutOneLine(at, Text(msg), lengths[3], '\n');

        if (m_holdDepth.load(std::memory_order_acquire) == 0 && !m_pendingAny.load(std::memory_order_acquire)) {
            WriteOut(fd, record, size);
            return;
        }
        std::lock_guard<std::mutex> lock(m_holdMutex);
        // Errors are written at once, with whatever waits before them.
        if (m_holdDepth.load(std::memory_order_relaxed) > 0 && level < kError &&
            m_pending.size() + size <= kMaxPending) {
            m_pending.append(record, size);
            m_pendingAny.store(true, std::memory_order_release);
            return;
        }
        m_pending.append(record, size);
        WriteOut(fd, m_pending);
        m_pending.clear();
        m_pendingAny.store(false, std::memory_order_release);
    }

    // Records of a hold are written together, in one write, when the last
    // hold ends: a burst of records costs one system call.
    void Hold(bool on)
    {
        std::lock_guard<std::mutex> lock(m_holdMutex);
        if (on) {
            m_holdDepth.fetch_add(1, std::memory_order_acq_rel);
            return;
        }
        if (m_holdDepth.load(std::memory_order_relaxed) == 0) return;
        if (m_holdDepth.fetch_sub(1, std::memory_order_acq_rel) > 1 || m_pending.empty()) return;
        const int fd = Descriptor();
        if (fd >= 0) WriteOut(fd, m_pending);
        m_pending.clear();
        m_pendingAny.store(false, std::memory_order_release);
    }

    // fork() while another thread is inside the library: the child gets the
    // locks free and none of the parent's held records (the parent writes
    // those itself). Always taken in this order, and waited for: no note of
    // what was taken is shared, so threads forking at once queue here and
    // each gives back exactly its own.
    void BeforeFork()
    {
        m_holdMutex.lock();
        m_mutex.lock();
        m_streamMutex.lock();
        m_timeMutex.lock();
    }
    void AfterForkInParent() { Unlock(); }
    void AfterForkInChild()
    {
        m_holdDepth.store(0, std::memory_order_relaxed);
        m_pending.clear();
        m_pendingAny.store(false, std::memory_order_relaxed);
        Unlock();
    }

private:
    static constexpr size_t kMaxPending = 64 * 1024;

    // Standard error as it is now, at load: if the host closes descriptor 2
    // later, the next socket it opens takes that number, and records
    // written there would go to the counter. A socket there already may be
    // just that: no log.
    void TakeStandardError()
    {
        struct stat st;
        if (fstat(STDERR_FILENO, &st) != 0 || S_ISSOCK(st.st_mode)) return;
        int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (fd < 0) return;
        m_stream = !S_ISREG(st.st_mode);
        if (m_stream) {
            const int own = NonBlockingCopy(fd, st);
            if (own >= 0) {
                close(fd);
                fd = own;
                m_nonBlocking = true;
            }
        }
        if (fstat(fd, &m_stderrId) != 0) {
            close(fd);
            return;
        }
        m_stderr = fd;
    }

    // A pipe or a terminal opened again, as a description of our own with
    // O_NONBLOCK: setting it on the copy would set it on the host's
    // descriptor 2. Not a pty master: opening its name makes a new terminal.
    static int NonBlockingCopy(int fd, const struct stat& st)
    {
        int ptyNumber = 0;
        const bool terminal = S_ISCHR(st.st_mode) && isatty(fd) && ioctl(fd, TIOCGPTN, &ptyNumber) != 0;
        if (!S_ISFIFO(st.st_mode) && !terminal) return -1;
        char path[40];
        snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
        const int own = AboveStandard(open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat got;
        if (own >= 0 && fstat(own, &got) == 0 && SameFile(got, st) && got.st_rdev == st.st_rdev) return own;
        if (own >= 0) close(own);
        return -1;
    }

    void Unlock()
    {
        m_timeMutex.unlock();
        m_streamMutex.unlock();
        m_mutex.unlock();
        m_holdMutex.unlock();
    }

    void WriteOut(int fd, const std::string& text) { WriteOut(fd, text.data(), text.size()); }

    void WriteOut(int fd, const char* text, size_t size)
    {
        // A host that closes descriptors it does not know of may have
        // reused the number, at any moment: looked at before every write.
        // The log file is then opened again; standard error's copy is gone.
        struct stat st;
        if (fstat(fd, &st) != 0 || !(m_rotates ? IsLogFile(st) : SameFile(st, m_stderrId))) {
            if (!m_rotates) return;
            fd = Recheck();
            if (fd < 0 || fstat(fd, &st) != 0 || !IsLogFile(st)) return;
        }
        if (m_stream) {
            std::lock_guard<std::mutex> lock(m_streamMutex);
            WriteToStream(fd, text, size);
            return;
        }
        size_t written = 0;
        {
            // A file size limit of the host's turns a write past it into
            // SIGXFSZ, which kills by default. Asked at every write: the
            // host may set one at any moment.
            struct rlimit limit;
            const bool sizeLimited = getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
            SignalGuard guard(sizeLimited, SIGXFSZ, 0);
            const char* data = text;
            size_t left = size;
            while (left > 0) {
                ssize_t n = write(fd, data, left);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;  // a full disk must never stop the caller
                data += n;
                left -= static_cast<size_t>(n);
                written += static_cast<size_t>(n);
            }
        }
        if (m_rotates && written > 0) Account(written);
    }

    // Standard error is a pipe or a terminal: whatever the reader does not
    // take at once is dropped. Pieces of at most PIPE_BUF bytes, cut after
    // a line where possible, reach a shared pipe whole or not at all.
    // Without a non-blocking copy, poll says whether a piece fits (not
    // always right for a terminal, or with other writers on the pipe).
    // Under m_streamMutex: one record's pieces stay together.
    void WriteToStream(int fd, const char* data, size_t left)
    {
        SignalGuard guard(true, SIGPIPE, SIGTTOU);
        while (left > 0) {
            size_t piece = left;
            if (piece > PIPE_BUF) {
                const void* nl = memrchr(data, '\n', PIPE_BUF);
                piece = nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) + 1 : PIPE_BUF;
            }
            if (!m_nonBlocking) {
                struct pollfd p = {fd, POLLOUT, 0};
                const int ready = poll(&p, 1, 0);
                if (ready < 0 && errno == EINTR) continue;
                if (ready <= 0 || !(p.revents & POLLOUT)) return;
            }
            const ssize_t n = write(fd, data, piece);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // EAGAIN: full
            data += n;
            left -= static_cast<size_t>(n);
        }
    }

    static const char* Text(const char* s) { return s ? s : "(null)"; }
    static size_t Length(const char* s) { return strlen(Text(s)); }

    // Writes v in decimal at buf[at] (room for 21 bytes); the new end.
    static size_t PutNumber(char* buf, size_t at, long v)
    {
        unsigned long u = v < 0 ? 0ul - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        if (v < 0) buf[at++] = '-';
        char digits[24];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        while (n > 0) buf[at++] = digits[--n];
        return at;
    }

    static char* Put(char* at, const char* text, size_t len)
    {
        memcpy(at, text, len);
        return at + len;
    }

    // One record, one line: embedded line breaks, in any field, would forge
    // records. Each becomes a space; then the separator after the field.
    // text ends at text[len].
    static char* PutOneLine(char* at, const char* text, size_t len, char after)
    {
        memcpy(at, text, len);
        for (size_t i = strcspn(text, "\r\n"); i < len; i += 1 + strcspn(text + i + 1, "\r\n")) at[i] = ' ';
        at[len] = after;
        return at + len + 1;
    }

    Level Threshold()
    {
        int cached = m_threshold.load(std::memory_order_relaxed);
        if (cached >= 0) return static_cast<Level>(cached);
        Level level = kInfo;
        const char* env = getenv("VDXLOG_LEVEL");
        if (env && strcmp(env, "warn") == 0) level = kWarn;
        if (env && strcmp(env, "error") == 0) level = kError;
        if (env && strcmp(env, "off") == 0) level = kOff;
        m_threshold.store(level, std::memory_order_relaxed);
        return level;
    }

    size_t FormatTime(char* buf, size_t size)
    {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        char text[32];
        {
            // localtime_r once a second, not once a record. A shared cache,
            // not a thread-local one: a library loaded with dlopen keeps its
            // thread-locals in dynamic TLS, which costs more than this lock.
            std::lock_guard<std::mutex> lock(m_timeMutex);
            if (now.tv_sec != m_cachedSecond) {
                struct tm local;
                localtime_r(&now.tv_sec, &local);
                strftime(m_cachedText, sizeof(m_cachedText), "%Y-%m-%d %H:%M:%S", &local);
                m_cachedSecond = now.tv_sec;
            }
            memcpy(text, m_cachedText, sizeof(text));
        }
        // "YYYY-MM-DD hh:mm:ss" and ".mmm", without a formatter per record.
        const size_t len = strnlen(text, sizeof(text));
        if (size < len + 5) return 0;
        memcpy(buf, text, len);
        const long ms = now.tv_nsec / 1000000L;
        buf[len] = '.';
        buf[len + 1] = static_cast<char>('0' + ms / 100);
        buf[len + 2] = static_cast<char>('0' + ms / 10 % 10);
        buf[len + 3] = static_cast<char>('0' + ms % 10);
        return len + 4;
    }

    // The file is opened on first use and its path looked at at most once a
    // second: after a rotation (the path names another file, or none) it is
    // reopened. The descriptor itself is looked at before every write.
    int Descriptor()
    {
        const time_t now = time(nullptr);
        if (now == m_checkedAt.load(std::memory_order_acquire)) return m_fd.load(std::memory_order_acquire);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (now == m_checkedAt.load(std::memory_order_relaxed)) return m_fd.load(std::memory_order_acquire);
        const int fd = Check();
        // Marked checked only now: a thread that skips the check must find
        // the file already open, not the -1 of before the first open.
        m_checkedAt.store(now, std::memory_order_release);
        return fd;
    }

    int Recheck()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int fd = Check();
        m_checkedAt.store(time(nullptr), std::memory_order_release);
        return fd;
    }

    // Under m_mutex. The settings are read once; the plain members set here
    // are published to threads that skip the lock by m_checkedAt.
    void Configure()
    {
        m_configured = true;
        const char* env = getenv("VDXLOG_FILE");
        if (env && *env) {
            m_path = env;
        } else {
            const char* tmp = getenv("TMPDIR");
            m_folder = std::string((tmp && *tmp) ? tmp : "/tmp") + "/vdxlog-" +
                       std::to_string(static_cast<unsigned long>(getuid()));
            m_path = m_folder + "/" + kPrivateFileName;
        }
        m_maxBytes = MaxBytes(getenv("VDXLOG_MAX_BYTES"));
        m_keep = Keep(getenv("VDXLOG_KEEP"));
        if (m_path != "-") {
            m_rotates = true;
            return;
        }
        // Closed (or a socket) when the library was loaded: no log.
        if (m_stderr >= 0) m_fd.store(m_stderr, std::memory_order_release);
    }

    static uint64_t MaxBytes(const char* env)
    {
        if (env == nullptr || *env < '0' || *env > '9') return kDefaultMaxBytes;
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = strtoull(env, &end, 10);
        if (errno != 0 || *end != '\0' || value == 0) return kDefaultMaxBytes;
        return value < kMinMaxBytes ? kMinMaxBytes : static_cast<uint64_t>(value);
    }

    static int Keep(const char* env)
    {
        if (env == nullptr || *env < '0' || *env > '9') return kDefaultKeep;
        char* end = nullptr;
        const long value = strtol(env, &end, 10);
        if (*end != '\0') return kDefaultKeep;
        return value < 1 ? 1 : value > kMaxKeep ? kMaxKeep : static_cast<int>(value);
    }

    // Under m_mutex.
    int Check()
    {
        if (!m_configured) Configure();
        const int fd = m_fd.load(std::memory_order_acquire);
        if (!m_rotates) return fd;
        struct stat onDisk, open;
        const bool ours = OurFile(fd, &open);
        if (ours && lstat(m_path.c_str(), &onDisk) == 0 && SameFile(onDisk, open)) return fd;
        return Reopen(ours);
    }

    // Whether st is the file the log has open. Rotation changes it while
    // other threads write: a mismatch is asked again under the lock.
    bool IsLogFile(const struct stat& st)
    {
        if (static_cast<uint64_t>(st.st_dev) == m_fileDev.load(std::memory_order_acquire) &&
            static_cast<uint64_t>(st.st_ino) == m_fileIno.load(std::memory_order_acquire)) {
            return true;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        return SameFile(st, m_fileId);
    }

    void NoteLogFile(const struct stat& st)
    {
        m_fileId = st;
        m_fileDev.store(static_cast<uint64_t>(st.st_dev), std::memory_order_release);
        m_fileIno.store(static_cast<uint64_t>(st.st_ino), std::memory_order_release);
    }

    // Under m_mutex: whether fd is still the file we opened (*st its state);
    // a host may close descriptors it does not know of and reuse them.
    bool OurFile(int fd, struct stat* st) const
    {
        return fd >= 0 && fstat(fd, st) == 0 && SameFile(*st, m_fileId);
    }

    // Under m_mutex: the file the path names now, or a fresh one; what we
    // had if that cannot be opened (try again next second). ours: m_fd is
    // still our file, not a number the host has taken over.
    int Reopen(bool ours)
    {
        const int fd = ours ? m_fd.load(std::memory_order_acquire) : -1;
        const int fresh = OpenLog();
        if (fresh < 0) {
            // Not on every record until then.
            m_sinceStat.store(0, std::memory_order_relaxed);
            m_statEvery.store(m_maxBytes / 16, std::memory_order_relaxed);
            m_fd.store(fd, std::memory_order_release);
            return fd;
        }
        struct stat st;
        if (fstat(fresh, &st) != 0) {
            close(fresh);
            m_fd.store(fd, std::memory_order_release);
            return fd;
        }
        if (fd < 0) {
            m_fd.store(fresh, std::memory_order_release);
        } else {
            // Same descriptor number, new file: threads writing right now
            // land in one file or the other, never on a closed descriptor.
            const bool moved = dup3(fresh, fd, O_CLOEXEC) == fd;
            close(fresh);
            if (!moved) return fd;
        }
        NoteLogFile(st);
        SizeIs(static_cast<uint64_t>(st.st_size));
        return m_fd.load(std::memory_order_acquire);
    }

    // Only a regular file of this user's, never through a link, never a
    // wait: a FIFO, a device, a directory or a link at the path is no log.
    int OpenLog() const
    {
        const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY;
        int fd = -1;
        if (m_folder.empty()) {
            fd = open(m_path.c_str(), flags, 0600);
        } else {
            // The default folder sits in a folder anyone may write to: only
            // a real folder of ours that nobody else may write to will do.
            mkdir(m_folder.c_str(), 0700);  // it may exist: checked below
            const int dir = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (dir < 0) return -1;
            struct stat st;
            if (fstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
                (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
                fd = openat(dir, kPrivateFileName, flags, 0600);
            }
            close(dir);
        }
        if (fd < 0) return -1;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            close(fd);
            return -1;
        }
        return AboveStandard(fd);
    }

    // Under m_mutex. The file's size is read again after a sixteenth of the
    // cap (or what is left below it) has been written by this process:
    // other processes appending to the same file make any local count low.
    void SizeIs(uint64_t size)
    {
        const uint64_t left = size < m_maxBytes ? m_maxBytes - size : 1;
        const uint64_t step = m_maxBytes / 16;
        m_sinceStat.store(0, std::memory_order_relaxed);
        m_statEvery.store(left < step ? left : step, std::memory_order_relaxed);
    }

    void Account(size_t written)
    {
        const uint64_t since = m_sinceStat.fetch_add(written, std::memory_order_relaxed) + written;
        if (since < m_statEvery.load(std::memory_order_relaxed)) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        // Another thread may have looked already.
        if (m_sinceStat.load(std::memory_order_relaxed) < m_statEvery.load(std::memory_order_relaxed)) return;
        struct stat st;
        if (!OurFile(m_fd.load(std::memory_order_acquire), &st)) return;  // the next check reopens
        if (static_cast<uint64_t>(st.st_size) < m_maxBytes) {
            SizeIs(static_cast<uint64_t>(st.st_size));
            return;
        }
        Rotate(st);
    }

    // Under m_mutex; the log (full) has reached the cap. Several processes may get here
    // for one file: the one holding its flock renames, the others find the
    // path naming a new file (or none yet) and reopen.
    void Rotate(const struct stat& full)
    {
        struct stat onDisk;
        if (lstat(m_path.c_str(), &onDisk) != 0 || !SameFile(onDisk, full)) {
            Reopen(true);  // rotated already
            return;
        }
        // A descriptor of our own for the lock: the log descriptor may be
        // shared with forked processes, which would share its flock too.
        const int lockFd = AboveStandard(open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat locked;
        if (lockFd < 0 || fstat(lockFd, &locked) != 0 || !SameFile(locked, full)) {
            if (lockFd >= 0) close(lockFd);
            Reopen(true);
            return;
        }
        if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            // Another process is rotating it right now: look again after
            // the next record, without waiting here.
            close(lockFd);
            m_sinceStat.store(0, std::memory_order_relaxed);
            m_statEvery.store(1, std::memory_order_relaxed);
            return;
        }
        // Renamed by someone else between our look and the lock?
        bool renamed = false;
        if (lstat(m_path.c_str(), &onDisk) == 0 && SameFile(onDisk, locked)) {
            const std::string base = m_path + ".";
            unlink((base + std::to_string(m_keep)).c_str());
            for (int i = m_keep - 1; i >= 1; --i) {
                rename((base + std::to_string(i)).c_str(), (base + std::to_string(i + 1)).c_str());
            }
            renamed = rename(m_path.c_str(), (base + "1").c_str()) == 0;
        } else {
            renamed = true;
        }
        close(lockFd);  // releases the lock
        if (!renamed) {
            // Say, a folder we may not write to: try again a cap later,
            // not on every record.
            m_sinceStat.store(0, std::memory_order_relaxed);
            m_statEvery.store(m_maxBytes, std::memory_order_relaxed);
            return;
        }
        Reopen(true);
    }

    ProcessIds m_ids;
    std::mutex m_mutex;
    std::mutex m_holdMutex;
    std::mutex m_streamMutex;
    std::atomic<int> m_holdDepth{0};
    std::atomic<bool> m_pendingAny{false};
    std::string m_pending;
    std::mutex m_timeMutex;
    time_t m_cachedSecond = -1;
    char m_cachedText[32] = {0};
    // Private copy of descriptor 2 and what it was, taken at load.
    int m_stderr = -1;
    struct stat m_stderrId = {};
    bool m_stream = false;       // not a regular file
    bool m_nonBlocking = false;  // a description of our own, O_NONBLOCK
    // Set once by Configure.
    bool m_configured = false;
    std::string m_path;
    std::string m_folder;  // the default's private folder, else empty
    bool m_rotates = false;
    struct stat m_fileId = {};  // the file m_fd was opened on; under m_mutex
    std::atomic<uint64_t> m_fileDev{0}, m_fileIno{0};  // the same, for writers without the lock
    uint64_t m_maxBytes = kDefaultMaxBytes;
    int m_keep = kDefaultKeep;
    // Bytes written since the size was last read, and how many may be
    // written before it is read again.
    std::atomic<uint64_t> m_sinceStat{0};
    std::atomic<uint64_t> m_statEvery{1};
    std::atomic<int> m_fd{-1};
    std::atomic<time_t> m_checkedAt{0};
    std::atomic<int> m_threshold{-1};
};

LogSink& Sink()
{
    // Never destroyed: records may arrive while other libraries unload.
    static LogSink* sink = new LogSink();
    return *sink;
}

void BeforeFork()
{
    Sink().BeforeFork();
}
void AfterForkInParent()
{
    Sink().AfterForkInParent();
}
void AfterForkInChild()
{
    Sink().AfterForkInChild();
}

// At load: standard error is copied now, before the host can close it.
__attribute__((constructor)) void OnLoad()
{
    const int savedErrno = errno;
    try {
        Sink();
        pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    } catch (...) {
        // Out of memory while loading: Sink() tries again on first use.
    }
    errno = savedErrno;
}

}  // namespace

namespace {

// A host may cancel a thread while it writes a record: the unwinding would
// end in the catch below, and the C library then aborts the host. So the
// cancel waits until the record is written (the library never waits).
class CancelDeferred {
public:
    CancelDeferred() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_old); }
    // A thread of asynchronous cancellation is cancelled right here, when
    // a cancel came meanwhile: the unwinding must go on to the host.
    ~CancelDeferred() noexcept(false) { pthread_setcancelstate(m_old, nullptr); }
    CancelDeferred(const CancelDeferred&) = delete;
    CancelDeferred& operator=(const CancelDeferred&) = delete;

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};

void Record(Level level, const char* brand, const char* kind, const char* file, int line, const char* msg)
{
    // The caller may be between a failed call and its errno check.
    const int savedErrno = errno;
    const CancelDeferred cancelAfterTheRecord;
    try {
        Sink().Write(level, brand, kind, file, line, msg);
    } catch (...) {
        // Out of memory: the record is lost, the caller carries on.
    }
    errno = savedErrno;
}
}  // namespace

VDXLOG_EXPORT void LogInfo(const char* brand, const char* kind, const char* file, int line, const char* msg)
{
    Record(kInfo, brand, kind, file, line, msg);
}

VDXLOG_EXPORT void LogWarn(const char* brand, const char* kind, const char* file, int line, const char* msg)
{
    Record(kWarn, brand, kind, file, line, msg);
}

VDXLOG_EXPORT void LogError(const char* brand, const char* kind, const char* file, int line, const char* msg)
{
    Record(kError, brand, kind, file, line, msg);
}

// Optional: a caller that logs a burst of records brackets it with
// LogHold(1) ... LogHold(0) to have it written in one go. Holds nest.
VDXLOG_EXPORT void LogHold(int on)
{
    const int savedErrno = errno;
    const CancelDeferred cancelAfterTheWrite;
    try {
        Sink().Hold(on != 0);
    } catch (...) {
    }
    errno = savedErrno;
}
