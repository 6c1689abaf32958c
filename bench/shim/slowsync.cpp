// LD_PRELOAD library that makes every sync slow, standing in for the eMMC
// and SD storage of the terminals (a sync takes 2-20 ms there; a desktop
// disk answers in well under one). fsync, fdatasync and a waiting
// sync_file_range sleep DCJ_SYNC_DELAY_US microseconds (default 5000), then
// do the real sync. Writes through O_SYNC/O_DSYNC descriptors are not slowed.
// dcj_slowsync_calls() counts the slowed calls, so a bench can check what a
// receiver synced.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<unsigned long> g_calls{0};

long DelayMicros()
{
    static const long delay = [] {
        const char* text = getenv("DCJ_SYNC_DELAY_US");
        if (!text || !*text) return 5000L;
        char* end = nullptr;
        const long v = strtol(text, &end, 10);
        return end && *end == '\0' && v >= 0 ? v : 5000L;
    }();
    return delay;
}

void Pause()
{
    g_calls.fetch_add(1, std::memory_order_relaxed);
    const int saved = errno;
    const long us = DelayMicros();
    timespec left{us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    errno = saved;
}

template <typename Fn>
Fn Next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int NoFunction()
{
    errno = ENOSYS;
    return -1;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned long dcj_slowsync_calls()
{
    return g_calls.load(std::memory_order_relaxed);
}

int fsync(int fd)
{
    static const auto real = Next<int (*)(int)>("fsync");
    Pause();
    return real ? real(fd) : NoFunction();
}

int fdatasync(int fd)
{
    static const auto real = Next<int (*)(int)>("fdatasync");
    Pause();
    return real ? real(fd) : NoFunction();
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags)
{
    static const auto real = Next<int (*)(int, off64_t, off64_t, unsigned int)>("sync_file_range");
    // Only a call that waits for the device pays the device's time.
    if (flags & (SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER)) Pause();
    return real ? real(fd, offset, nbytes, flags) : NoFunction();
}

}  // extern "C"
