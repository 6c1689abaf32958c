#include "LoadLogDll.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>

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

void LogFormatted(LogFunc level, const char* file, int line, const char* fmt, ...)
{
    if (level == nullptr) return;
    char strLog[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(strLog, sizeof(strLog), fmt, args);
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
