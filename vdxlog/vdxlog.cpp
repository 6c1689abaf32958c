// libvdxlog.so: one line per record, appended to a log file.
//
//   VDXLOG_FILE   the log file; "-" means standard error. Default:
//                 ${TMPDIR:-/tmp}/vdxlog-<uid>.log (never standard output,
//                 which belongs to the host).
//   VDXLOG_LEVEL  lowest level written: info (default), warn, error, off.
//
// Line: "2026-12-07 09:05:07.123 INFO  QOLT DCJ Basic/TCPClient.cpp:88 text"
// Each record is written whole by one write() on an O_APPEND descriptor, so
// records from several threads or processes never interleave; nothing is
// synced. Between LogHold(1) and LogHold(0) records below the error level
// are kept and then written together; an error record writes them at once.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#define VDXLOG_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Level { kInfo = 0, kWarn = 1, kError = 2, kOff = 3 };

class LogSink {
public:
    void Write(Level level, const char* brand, const char* kind, const char* file, int line, const char* msg)
    {
        if (level < Threshold()) return;
        int fd = Descriptor();
        if (fd < 0) return;

        static const char* const kNames[] = {"INFO ", "WARN ", "ERROR"};
        char head[96];
        const size_t headLen = FormatTime(head, sizeof(head));
        std::string record;
        record.reserve(headLen + 64 + (msg ? strlen(msg) : 6));
        record.append(head, headLen);
        record += ' ';
        record += kNames[level];
        record += ' ';
        AppendOneLine(record, brand);
        record += ' ';
        AppendOneLine(record, kind);
        record += ' ';
        AppendOneLine(record, file);
        record += ':';
        char number[16];
        const int numberLen = snprintf(number, sizeof(number), "%d", line);
        record.append(number, numberLen > 0 ? static_cast<size_t>(numberLen) : 0);
        record += ' ';
        AppendOneLine(record, msg);
        record += '\n';

        if (m_holdDepth.load(std::memory_order_acquire) == 0 && !m_pendingAny.load(std::memory_order_acquire)) {
            WriteOut(fd, record);
            return;
        }
        std::lock_guard<std::mutex> lock(m_holdMutex);
        // Errors are written at once, with whatever waits before them.
        if (m_holdDepth.load(std::memory_order_relaxed) > 0 && level < kError &&
            m_pending.size() + record.size() <= kMaxPending) {
            m_pending += record;
            m_pendingAny.store(true, std::memory_order_release);
            return;
        }
        m_pending += record;
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

private:
    static constexpr size_t kMaxPending = 64 * 1024;

    static void WriteOut(int fd, const std::string& text)
    {
        const char* data = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = write(fd, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // a full disk must never stop the caller
            data += n;
            left -= static_cast<size_t>(n);
        }
    }

    static const char* Text(const char* s) { return s ? s : "(null)"; }

    // One record, one line: embedded line breaks, in any field, would forge
    // records.
    static void AppendOneLine(std::string& record, const char* text)
    {
        const char* p = Text(text);
        for (;;) {
            const size_t run = strcspn(p, "\r\n");
            record.append(p, run);
            if (p[run] == '\0') return;
            record += ' ';
            p += run + 1;
        }
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

    // The file is opened on first use and checked at most once a second:
    // after a rotation (the path names another file, or none) it is reopened.
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

    // Under m_mutex.
    int Check()
    {
        if (m_path.empty()) m_path = ConfiguredPath();
        if (m_path == "-") {
            m_fd.store(STDERR_FILENO, std::memory_order_release);
            return STDERR_FILENO;
        }
        int fd = m_fd.load(std::memory_order_acquire);
        struct stat onDisk, open;
        if (fd >= 0 && stat(m_path.c_str(), &onDisk) == 0 && fstat(fd, &open) == 0 && onDisk.st_ino == open.st_ino &&
            onDisk.st_dev == open.st_dev) {
            return fd;
        }
        int fresh = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fresh < 0) return fd;  // keep what we had; try again next second
        if (fd < 0) {
            m_fd.store(fresh, std::memory_order_release);
            return fresh;
        }
        // Same descriptor number, new file: threads writing right now land in
        // one file or the other, never on a closed descriptor.
        dup3(fresh, fd, O_CLOEXEC);
        close(fresh);
        return fd;
    }

    static std::string ConfiguredPath()
    {
        const char* env = getenv("VDXLOG_FILE");
        if (env && *env) return env;
        const char* tmp = getenv("TMPDIR");
        std::string dir = (tmp && *tmp) ? tmp : "/tmp";
        return dir + "/vdxlog-" + std::to_string(static_cast<unsigned long>(getuid())) + ".log";
    }

    std::mutex m_mutex;
    std::mutex m_holdMutex;
    std::atomic<int> m_holdDepth{0};
    std::atomic<bool> m_pendingAny{false};
    std::string m_pending;
    std::mutex m_timeMutex;
    time_t m_cachedSecond = -1;
    char m_cachedText[32] = {0};
    std::string m_path;
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

}  // namespace

namespace {
void Record(Level level, const char* brand, const char* kind, const char* file, int line, const char* msg)
{
    // The caller may be between a failed call and its errno check.
    const int savedErrno = errno;
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
    try {
        Sink().Hold(on != 0);
    } catch (...) {
    }
    errno = savedErrno;
}
