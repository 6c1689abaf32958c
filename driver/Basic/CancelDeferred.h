// A host may cancel a thread that is inside the driver. Cancellation
// unwinds the thread's stack, and frames of ours that catch everything
// (which they must, so that nothing crosses into the host) would end that
// unwinding, and the C library then aborts the whole host. So a call puts
// cancellation off until it returns: every wait in it is bounded by the
// call's time-out, so a cancel comes late by at most that, never lost.
#pragma once

#include <pthread.h>

class CancelDeferred {
public:
    CancelDeferred() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_old); }
    ~CancelDeferred() { pthread_setcancelstate(m_old, nullptr); }
    CancelDeferred(const CancelDeferred&) = delete;
    CancelDeferred& operator=(const CancelDeferred&) = delete;

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};
