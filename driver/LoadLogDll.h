// Binding of the outside log library libvdxlog.so, and the log macros every
// source file of the driver uses.
#pragma once

#include <string>

#include "Export.h"

// LogInfo / LogWarn / LogError of libvdxlog.so: brand, kind, source file,
// source line, message.
typedef void (*LogFunc)(const char* brand, const char* kind, const char* file, int line, const char* msg);

DCJ_EXPORT extern void* lib_dl;
DCJ_EXPORT extern LogFunc Info;
DCJ_EXPORT extern LogFunc Warn;
DCJ_EXPORT extern LogFunc Error;

bool LoadLogLib(std::string path);
void FreeLogLib();

// Records logged between LogDefer and LogFlushDeferred reach the log file in
// bursts, one write each, when the log library offers that. Whatever is
// held is written when the driver waits (LogFlushBeforeWait): before it
// waits on another program, and once the network has kept it waiting a few
// milliseconds, so no record waits long on either.
void LogDefer();
void LogFlushBeforeWait();
void LogFlushDeferred();
// Around fork (see ForkSafety.h): the deferral state is held still while the
// process is copied; held: what this thread's LogBeforeFork returned.
bool LogBeforeFork();
void LogAfterForkInParent(bool held);
void LogAfterForkInChild(bool held);

// Formats into a 256-byte buffer (longer messages are cut) and logs it.
void LogFormatted(LogFunc level, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define DCJ_LOG(level, msg)                                   \
  do {                                                        \
    LogFunc dcjLogFn_ = (level);                              \
    if (dcjLogFn_) dcjLogFn_("QOLT", "DCJ", __FILE__, __LINE__, (msg)); \
  } while (0)

#define LOG_INFO(msg) DCJ_LOG(Info, msg)
#define LOG_ERROR(msg) DCJ_LOG(Error, msg)
#define LOG_INFOF(...) LogFormatted(Info, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_ERRORF(...) LogFormatted(Error, __FILE__, __LINE__, __VA_ARGS__)
