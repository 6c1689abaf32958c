#include "LoadLogDll.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <new>

// Constant-initialised: the load-time constructors bind them before any
// dynamic initialiser of this file could run.
void* lib_dl = nullptr;
LogFunc Info = nullptr;
LogFunc Warn = nullptr;
LogFunc Error = nullptr;

namespace {
typedef void (*LogHoldFunc)(int on);
LogHoldFunc g_LogHold = nullptr;  // optional entry point of the log library
// Whether the driver holds the log library's records; changed together with
// the library's own hold, under one lock, from any thread.
std::mutex g_DeferMutex;
bool g_Deferring = false;
}  // namespace

bool LoadLogLib(std::string path)
{
    lib_dl = dlopen(path.c_str(), RTLD_LAZY);
    if (lib_dl == nullptr) {
        fputs("error open so\n", stdout);
        fflush(stdout);
        return false;
    }
    Info = reinterpret_cast<LogFunc>(dlsym(lib_dl, "LogInfo"));
    Warn = reinterpret_cast<LogFunc>(dlsym(lib_dl, "LogWarn"));
    Error = reinterpret_cast<LogFunc>(dlsym(lib_dl, "LogError"));
    g_LogHold = reinterpret_cast<LogHoldFunc>(dlsym(lib_dl, "LogHold"));
    return Info != nullptr && Warn != nullptr && Error != nullptr;
}

void FreeLogLib()
{
    // The handle stays open for the life of the process: records may still be
    // written while other static objects are torn down.
}

namespace {

// The conversions FormatPlain makes: plain %s, %d, %u, %x, and %04X (the
// command codes). How many characters the one at p takes, or 0.
size_t PlainConversion(const char* p)
{
    if (p[1] == 's' || p[1] == 'd' || p[1] == 'u' || p[1] == 'x') return 2;
    return strncmp(p, "%04X", 4) == 0 ? 4 : 0;
}

// Whether fmt converts nothing but what FormatPlain makes.
bool PlainConversions(const char* fmt)
{
    for (const char* p = fmt; (p = strchr(p, '%')) != nullptr;) {
        const size_t len = PlainConversion(p);
        if (len == 0) return false;
        p += len;
    }
    return true;
}

// Text into a buffer, cut at its end as vsnprintf cuts.
class Cut {
public:
    Cut(char* buf, size_t size) : m_at(buf), m_end(buf + size - 1) {}
    void Put(const char* text, size_t len)
    {
        const size_t room = static_cast<size_t>(m_end - m_at);
        if (len > room) len = room;
        memcpy(m_at, text, len);
        m_at += len;
    }
    void PutNumber(unsigned long long value, bool negative)
    {
        char digits[24];
        size_t n = sizeof(digits);
        do {
            digits[--n] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (negative) digits[--n] = '-';
        Put(digits + n, sizeof(digits) - n);
    }
    void PutHex(unsigned value, bool upper, size_t width)
    {
        const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char digits[16];
        size_t n = sizeof(digits);
        do {
            digits[--n] = symbols[value % 16];
            value /= 16;
        } while (value != 0);
        while (sizeof(digits) - n < width) digits[--n] = '0';
        Put(digits + n, sizeof(digits) - n);
    }
    void End() { *m_at = '\0'; }

private:
    char* m_at;
    char* m_end;
};

// What vsnprintf makes of fmt, for the conversions PlainConversion names:
// most of a record's cost was vsnprintf setting itself up.
void FormatPlain(char* buf, size_t size, const char* fmt, va_list args)
{
    Cut out(buf, size);
    for (const char* p = fmt;;) {
        const char* percent = strchr(p, '%');
        if (percent == nullptr) {
            out.Put(p, strlen(p));
            break;
        }
        out.Put(p, static_cast<size_t>(percent - p));
        if (percent[1] == 's') {
            const char* text = va_arg(args, const char*);
            if (text == nullptr) text = "(null)";
            out.Put(text, strlen(text));
        } else if (percent[1] == 'd') {
            const long long value = va_arg(args, int);
            out.PutNumber(value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value),
                          value < 0);
        } else if (percent[1] == 'u') {
            out.PutNumber(va_arg(args, unsigned), false);
        } else if (percent[1] == 'x') {
            out.PutHex(va_arg(args, unsigned), false, 1);
        } else {  // %04X
            out.PutHex(va_arg(args, unsigned), true, 4);
        }
        p = percent + PlainConversion(percent);
    }
    out.End();
}

}  // namespace

void LogFormatted(LogFunc level, const char* file, int line, const char* fmt, ...)
{
    if (level == nullptr) return;
    char strLog[256];
    va_list args;
    va_start(args, fmt);
    if (PlainConversions(fmt)) {
        FormatPlain(strLog, sizeof(strLog), fmt, args);
    } else {
        vsnprintf(strLog, sizeof(strLog), fmt, args);
    }
    va_end(args);
    level("QOLT", "DCJ", file, line, strLog);
}

void LogDefer()
{
    if (g_LogHold == nullptr) return;
    std::lock_guard<std::mutex> lock(g_DeferMutex);
    if (!g_Deferring) g_LogHold(1);
    g_Deferring = true;
}

void LogFlushBeforeWait()
{
    if (g_LogHold == nullptr) return;
    std::lock_guard<std::mutex> lock(g_DeferMutex);
    if (g_Deferring) {
        g_LogHold(0);
        g_LogHold(1);
    }
}

// Never waits: the holder may itself wait inside the log library for a lock
// the log library's own fork handler holds. True when this thread took it.
bool LogBeforeFork()
{
    return g_DeferMutex.try_lock();
}

void LogAfterForkInParent(bool held)
{
    if (held) g_DeferMutex.unlock();
}

void LogAfterForkInChild(bool held)
{
    // The call that deferred records, if any, is the parent's.
    g_Deferring = false;
    // This thread's hold is given back; another thread's, which the child
    // does not have, is dropped by making the lock anew.
    if (held) {
        g_DeferMutex.unlock();
    } else {
        new (&g_DeferMutex) std::mutex();
    }
}

void LogFlushDeferred()
{
    if (g_LogHold == nullptr) return;
    std::lock_guard<std::mutex> lock(g_DeferMutex);
    if (g_Deferring) g_LogHold(0);
    g_Deferring = false;
}
