#include "TCPClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

#include "../ForkSafety.h"
#include "../LoadLogDll.h"
#include "cpath.h"

namespace {

// A counter that answers within this much finds the call's log records still
// held: they go out with its last ones, in one write. A longer wait writes
// them first, so no record waits long on the network.
constexpr int kQuickAnswerMs = 5;

// Waits for `events` on fd until the deadline. An interrupted wait resumes
// with the time that remains; an expired deadline never waits. revents, when
// given, receives what was reported.
bool WaitFor(int fd, short events, long long deadlineMs, short* revents = nullptr)
{
    if (fd < 0 || deadlineMs == CTCPClient::kExpired) return false;
    bool logWritten = false;
    // One point for the whole wait: an interrupted slice must not start the
    // 5 ms again, or a thread taking a signal every few ms never writes them.
    const long long flushAtMs = CTCPClient::NowMs() + kQuickAnswerMs;
    for (;;) {
        const long long now = CTCPClient::NowMs();
        if (!logWritten && now >= flushAtMs) {
            LogFlushBeforeWait();
            logWritten = true;
        }
        long long left = deadlineMs - now;
        if (left < 0) left = 0;
        if (left > INT_MAX) left = INT_MAX;  // long time-outs wait in slices
        if (!logWritten && left > flushAtMs - now) left = flushAtMs - now;
        struct pollfd pfd;
        pfd.fd = fd;
        pfd.events = events;
        pfd.revents = 0;
        int n = poll(&pfd, 1, static_cast<int>(left));
        if (n > 0) {  // ready, or an error the next call reports
            if (revents) *revents = pfd.revents;
            return true;
        }
        if (n == 0 && !logWritten) {
            LogFlushBeforeWait();
            logWritten = true;
            continue;
        }
        if (n == 0) {
            if (deadlineMs - CTCPClient::NowMs() > 0) continue;  // slice over, time left
            return false;
        }
        if (errno != EINTR) return false;
    }
}

int OpenSocket(int af, int type, int protocol)
{
    // Close-on-exec: a host's child processes never inherit the device link.
    // Non-blocking for good: every wait is a bounded poll of our own.
    // Registered as it is made: a child forked meanwhile never keeps it.
    return dcjfork::SocketTracked(af, type | SOCK_NONBLOCK, protocol);
}

}  // namespace

long long CTCPClient::NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long CTCPClient::DeadlineAfterMs(long long timeoutMs)
{
    return timeoutMs < 0 ? kExpired : NowMs() + timeoutMs;
}

long long CTCPClient::DeadlineAfter(int timeoutSec)
{
    return DeadlineAfterMs(timeoutSec < 0 ? -1 : static_cast<long long>(timeoutSec) * 1000);
}

CTCPClient::CTCPClient(int af, int type, int protocol)
    : m_SockFd(-1), m_Sock_AF_Type(2), m_Sock_Type(1), m_Sock_Protocol(0)
{
    // The kind of socket is tried once here; the socket itself is opened by
    // each exchange, so a loaded but idle driver holds no descriptor (and a
    // host that unloads and reloads it leaks none).
    const int probe = OpenSocket(af, type, protocol);
    if (probe != -1) {
        m_Sock_AF_Type = af;
        m_Sock_Type = type;
        m_Sock_Protocol = protocol;
        dcjfork::CloseTracked(probe);
    }

    m_Ahead.reset(new (std::nothrow) char[kReadAhead]);  // none: every read goes to the socket

    char dir[256] = {0};
    CPath().GetCurrentDir(dir);
    // Built whole, never cut: a cut path would name another library.
    LoadLogLib(std::string(dir) + "/libvdxlog.so");
}

CTCPClient::~CTCPClient()
{
    Close();
    FreeLogLib();
}

int CTCPClient::CreateSocket()
{
    if (m_SockFd == -1) {
        m_SockFd = OpenSocket(m_Sock_AF_Type, m_Sock_Type, m_Sock_Protocol);
        LOG_INFOF("CTCPClient::CreateSocket:m_Sock_AF_Type:%d,m_Sock_Type:%d,m_Sock_Protocol:%d,m_SockFd:%x",
                  m_Sock_AF_Type, m_Sock_Type, m_Sock_Protocol, static_cast<unsigned>(m_SockFd));
    }
    return m_SockFd;
}

int CTCPClient::Connect(const char* addr, int port, int timeout)
{
    return ConnectBefore(addr, port, timeout, DeadlineAfter(timeout));
}

// timeout is what the caller asked for, for the log line; the deadline is what counts.
int CTCPClient::ConnectBefore(const char* addr, int port, int timeout, long long deadlineMs, const char* request,
                              int requestLen, int* sent)
{
    if (sent) *sent = 0;
    if (Info) {
        char strLog[512];
        snprintf(strLog, sizeof(strLog), "CTCPClient::Connect:addr:%s,port:%d,timeout:%d",
                 addr ? addr : "(null)", port, timeout);
        LOG_INFO(strLog);
    }
    if (m_SockFd == -1) return -2;
    if (addr == nullptr || addr[0] == '\0') return -3;
    if (port < 1 || port > 65535) return -4;


    struct sockaddr_in serverAddress;
    memset(&serverAddress, 0, sizeof(serverAddress));
    serverAddress.sin_family = static_cast<sa_family_t>(m_Sock_AF_Type);
    serverAddress.sin_addr.s_addr = inet_addr(addr);
    serverAddress.sin_port = htons(static_cast<unsigned short>(port));

    m_AwaitingReply = false;
    if (connect(m_SockFd, reinterpret_cast<struct sockaddr*>(&serverAddress), sizeof(serverAddress)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return -7;
        // A near counter has often accepted by now: then the request goes
        // out at once, and nothing waits. The connection is only still
        // being made when the socket says so (EAGAIN).
        if (request != nullptr && requestLen > 0) {
            const ssize_t n = send(m_SockFd, request, static_cast<size_t>(requestLen), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                if (sent) *sent = static_cast<int>(n);
                m_AwaitingReply = n == requestLen;
                return 0;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -7;  // refused, reset, ...
        }
        short revents = 0;
        if (!WaitFor(m_SockFd, POLLOUT, deadlineMs, &revents)) return -7;
        // Readiness alone is not success: a refusal also makes the socket
        // writable, with an error pending that decides.
        if (revents & (POLLERR | POLLHUP)) {
            int soError = 0;
            socklen_t len = sizeof(soError);
            if (getsockopt(m_SockFd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0) return -7;
        }
    }
    return 0;
}

bool CTCPClient::checkNetLinkWriteTimeout(int netSocket, long long deadlineMs)
{
    return WaitFor(netSocket, POLLOUT, deadlineMs);
}

bool CTCPClient::checkNetLinkReadTimeout(int netSocket, long long deadlineMs)
{
    return WaitFor(netSocket, POLLIN, deadlineMs);
}

bool CTCPClient::Send(char* buf, int dataLen, int timeout)
{
    return SendBefore(buf, dataLen, DeadlineAfter(timeout));
}

bool CTCPClient::SendBefore(char* buf, int dataLen, long long deadlineMs)
{
    if (m_SockFd == -1 || buf == nullptr || dataLen <= 0) return false;

    // A request fits an empty send buffer: wait only when the socket says so.
    int sent = 0;
    while (sent < dataLen) {
        // MSG_NOSIGNAL: a reset connection must not raise SIGPIPE in the host.
        ssize_t n = send(m_SockFd, buf + sent, static_cast<size_t>(dataLen - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!checkNetLinkWriteTimeout(m_SockFd, deadlineMs)) return false;
        } else {
            return false;
        }
    }
    m_AwaitingReply = true;
    return true;
}

bool CTCPClient::Recv(char* buf, unsigned int& dataLen, int timeout)
{
    return RecvWithin(buf, dataLen, timeout < 0 ? -1 : static_cast<long long>(timeout) * 1000);
}

bool CTCPClient::RecvWithin(char* buf, unsigned int& dataLen, long long timeoutMs)
{
    return RecvUntil(buf, dataLen, timeoutMs < 0 ? kExpired : kFromFirstWait, timeoutMs);
}

bool CTCPClient::RecvBefore(char* buf, unsigned int& dataLen, long long deadlineMs)
{
    return RecvUntil(buf, dataLen, deadlineMs, 0);
}

bool CTCPClient::RecvUntil(char* buf, unsigned int& dataLen, long long deadlineMs, long long timeoutMs)
{
    if (buf == nullptr || m_SockFd < 0 || dataLen == 0) return false;
    auto deadline = [&] {
        if (deadlineMs == kFromFirstWait) deadlineMs = DeadlineAfterMs(timeoutMs);
        return deadlineMs;
    };

    const unsigned int wanted = dataLen;
    unsigned int total = static_cast<unsigned int>(TakeAhead(buf, wanted));
    bool started = total > 0;
    // Right after a request the answer cannot be there yet: wait first. A
    // stream that is flowing usually has the next block queued: read first.
    if (m_AwaitingReply && total < wanted) {
        if (!checkNetLinkReadTimeout(m_SockFd, deadline())) {
            if (started) dataLen = total;
            return false;
        }
        m_AwaitingReply = false;
    }
    while (total < wanted) {
        const unsigned int left = wanted - total;
        const bool ahead = m_Ahead && left < kReadAhead;
        ssize_t n = ahead ? recv(m_SockFd, m_Ahead.get(), kReadAhead, MSG_DONTWAIT)
                          : recv(m_SockFd, buf + total, left, MSG_DONTWAIT);
        if (n > 0) {
            started = true;
            m_AwaitingReply = false;
            if (ahead) {
                m_AheadAt = 0;
                m_AheadEnd = static_cast<size_t>(n);
                total += static_cast<unsigned int>(TakeAhead(buf + total, left));
            } else {
                total += static_cast<unsigned int>(n);
            }
            continue;
        }
        if (n == 0) {  // the device closed the connection
            dataLen = total;
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (started) dataLen = total;
            return false;
        }
        if (!checkNetLinkReadTimeout(m_SockFd, deadline())) {
            if (started) dataLen = total;
            return false;
        }
    }
    dataLen = total;
    return true;
}

size_t CTCPClient::TakeAhead(char* buf, size_t len)
{
    const size_t n = len < m_AheadEnd - m_AheadAt ? len : m_AheadEnd - m_AheadAt;
    if (n > 0) memcpy(buf, m_Ahead.get() + m_AheadAt, n);
    m_AheadAt += n;
    return n;
}

bool CTCPClient::DataBeforeEnd(int waitMs)
{
    if (m_SockFd < 0) return false;
    if (m_AheadAt < m_AheadEnd) return true;
    const long long deadlineMs = DeadlineAfterMs(waitMs < 0 ? 0 : waitMs);
    for (;;) {
        char byte;
        const ssize_t n = recv(m_SockFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) return true;
        if (n == 0) return false;  // ended: nothing more can come
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;  // reset: nothing more either
        if (!WaitFor(m_SockFd, POLLIN, deadlineMs)) return false;
    }
}

void CTCPClient::Close()
{
    if (m_SockFd != -1) {
        dcjfork::CloseTracked(m_SockFd);
        m_SockFd = -1;
    }
    m_AwaitingReply = false;
    m_AheadAt = m_AheadEnd = 0;
}

void CTCPClient::ForgetAfterFork()
{
    m_SockFd = -1;
    m_AwaitingReply = false;
    m_AheadAt = m_AheadEnd = 0;
}
