// Scope-bound lock over the process-wide device mutex.
#pragma once

#include <pthread.h>

typedef pthread_mutex_t MMutex;

class CLocker {
public:
    explicit CLocker(MMutex* mutex);
    ~CLocker();
    CLocker(const CLocker&) = delete;
    CLocker& operator=(const CLocker&) = delete;

    int Lock();
    int Unlock();
    bool IsLocked();

    // recursive: the device functions hold the device mutex while the facade
    // method they call takes it again.
    static int InitLock(MMutex* mutex, bool recursive = false);
    static int DestroyLock(MMutex* mutex);

private:
    MMutex* _pMutex;
    bool _locked;
};

// A hold on the device mutex that waits for it at most timeoutSec seconds
// (0: no wait; negative: as 0), so a call never queues behind another
// thread's download for longer than it is willing to wait for the device.
// The outermost hold of a call notes when it started to wait.
class CTimedLocker {
public:
    CTimedLocker(MMutex* mutex, int timeoutSec);
    ~CTimedLocker();
    CTimedLocker(const CTimedLocker&) = delete;
    CTimedLocker& operator=(const CTimedLocker&) = delete;
    bool held() const { return _locked; }

    // Monotonic milliseconds at which the current call began to wait for the
    // device mutex; 0 outside a timed hold. Read only under the mutex.
    static long long CallStartMs();
    // In a child forked while another thread held the device mutex: that
    // thread does not exist there, so neither does its hold.
    static void ForgetHoldsAfterFork();

private:
    MMutex* _pMutex;
    bool _locked = false;
};
