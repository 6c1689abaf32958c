#include "Locker.h"

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
