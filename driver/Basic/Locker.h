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
