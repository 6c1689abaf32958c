// A host with a file-size limit (RLIMIT_FSIZE) must not be killed by a
// download's write beyond it: the write must fail with EFBIG instead.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

// For its lifetime, SIGXFSZ is blocked in the calling thread only (the
// kernel directs it at the thread that wrote), so a write past the limit
// fails with EFBIG. At the end it takes back a SIGXFSZ the thread's own
// writes raised; one the host already had pending stays pending.
class QuietFileSizeLimit {
public:
    QuietFileSizeLimit()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGXFSZ);
        m_blocked = pthread_sigmask(SIG_BLOCK, &m_set, &m_old) == 0;
        // Unblocked until now, no SIGXFSZ can be pending here: it would
        // have been delivered (or, ignored, never queued). Only a host that
        // blocks it may have one waiting, which must stay.
        sigemptyset(&m_before);
        if (m_blocked && sigismember(&m_old, SIGXFSZ) == 1 && sigpending(&m_before) != 0) sigfillset(&m_before);
    }
    ~QuietFileSizeLimit()
    {
        if (!m_blocked) return;
        sigset_t now;
        if (sigpending(&now) == 0 && sigismember(&now, SIGXFSZ) && !sigismember(&m_before, SIGXFSZ)) {
            const struct timespec zero = {0, 0};
            while (sigtimedwait(&m_set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    QuietFileSizeLimit(const QuietFileSizeLimit&) = delete;
    QuietFileSizeLimit& operator=(const QuietFileSizeLimit&) = delete;

private:
    sigset_t m_set, m_old, m_before;
    bool m_blocked = false;
};
