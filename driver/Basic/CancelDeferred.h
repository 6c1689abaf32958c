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
    // A thread of asynchronous cancellation is cancelled right here, when
    // a cancel came meanwhile: the unwinding must go on to the host.
    ~CancelDeferred() noexcept(false) { pthread_setcancelstate(m_old, nullptr); }
    CancelDeferred(const CancelDeferred&) = delete;
    CancelDeferred& operator=(const CancelDeferred&) = delete;

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};
