#include "Locker.h"

#include <errno.h>
#include <time.h>

namespace {
// Written only by the thread that holds the device mutex.
int g_timedDepth = 0;
long long g_callStartMs = 0;

long long MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// pthread_mutex_timedlock measures on the wall clock, which may jump: wait in
// slices of at most a second and judge the time left on the monotonic one.
bool LockWithin(MMutex* mutex, long long startMs, long long waitMs)
{
    for (;;) {
        const int rc = pthread_mutex_trylock(mutex);
        if (rc == 0) return true;
        if (rc != EBUSY) return false;
        long long left = startMs + waitMs - MonotonicMs();
        if (left <= 0) return false;
        if (left > 1000) left = 1000;
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += static_cast<time_t>(left / 1000);
        until.tv_nsec += static_cast<long>(left % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        const int waited = pthread_mutex_timedlock(mutex, &until);
        if (waited == 0) return true;
        if (waited != ETIMEDOUT && waited != EINTR) return false;
    }
}
}  // namespace

CLocker::CLocker(MMutex* mutex) : _pMutex(mutex), _locked(false)
{
    Lock();
}

CLocker::~CLocker()
{
    Unlock();
}

int CLocker::Lock()
{
    // One hold per locker: the destructor releases exactly one, so a second
    // hold on a recursive mutex would never be given back.
    if (_locked) return 0;
    int rc = pthread_mutex_lock(_pMutex);
    if (rc == 0) _locked = true;
    return rc;
}

int CLocker::Unlock()
{
    if (_locked) {
        _locked = false;
        pthread_mutex_unlock(_pMutex);
    }
    return 0;
}

bool CLocker::IsLocked()
{
    return _locked;
}

int CLocker::InitLock(MMutex* mutex, bool recursive)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return 0;
}

int CLocker::DestroyLock(MMutex* mutex)
{
    pthread_mutex_destroy(mutex);
    return 0;
}

CTimedLocker::CTimedLocker(MMutex* mutex, int timeoutSec) : _pMutex(mutex)
{
    const long long startMs = MonotonicMs();
    const long long waitMs = timeoutSec > 0 ? static_cast<long long>(timeoutSec) * 1000 : 0;
    _locked = LockWithin(_pMutex, startMs, waitMs);
    if (_locked && g_timedDepth++ == 0) g_callStartMs = startMs;
}

CTimedLocker::~CTimedLocker()
{
    if (!_locked) return;
    if (--g_timedDepth == 0) g_callStartMs = 0;
    pthread_mutex_unlock(_pMutex);
}

long long CTimedLocker::CallStartMs()
{
    return g_callStartMs;
}

void CTimedLocker::ForgetHoldsAfterFork()
{
    g_timedDepth = 0;
    g_callStartMs = 0;
}
