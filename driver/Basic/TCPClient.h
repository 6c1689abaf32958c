// The driver's only network code: one IPv4 TCP stream socket to the counter,
// with every wait bounded by the caller's time-out (whole seconds) or by a
// deadline on the monotonic clock.
#pragma once

#include <stddef.h>

#include <memory>

class CTCPClient {
public:
    // Monotonic milliseconds.
    static long long NowMs();
    // A deadline timeoutSec seconds from now; a negative time-out gives one
    // that has passed for good (no wait at all, not even a poll).
    static constexpr long long kExpired = -1;
    static long long DeadlineAfter(int timeoutSec);
    static long long DeadlineAfterMs(long long timeoutMs);

    CTCPClient(int af, int type, int protocol);
    ~CTCPClient();
    CTCPClient(const CTCPClient&) = delete;
    CTCPClient& operator=(const CTCPClient&) = delete;

    // Opens a socket when none is open; returns the descriptor or -1.
    int CreateSocket();
    // 0 connected; -2 no socket, -3 no address, -4 bad port, -7 refused,
    // unreachable or not connected within the time-out.
    int Connect(const char* addr, int port, int timeout);
    // request, when given, goes out as soon as the connection is made, in
    // place of a separate wait for it; *sent receives how many of its
    // requestLen bytes did (SendBefore sends the rest).
    int ConnectBefore(const char* addr, int port, int timeout, long long deadlineMs, const char* request = nullptr,
                      int requestLen = 0, int* sent = nullptr);
    // True when all dataLen bytes were sent.
    bool Send(char* buf, int dataLen, int timeout);
    bool SendBefore(char* buf, int dataLen, long long deadlineMs);
    // dataLen: bytes wanted; once reading started, the bytes received.
    // True when all arrived within the time-out from the start of the call:
    // a frame must arrive whole in that time, not merely keep trickling.
    bool Recv(char* buf, unsigned int& dataLen, int timeout);
    bool RecvBefore(char* buf, unsigned int& dataLen, long long deadlineMs);
    // The same within timeoutMs (negative: no wait at all) from the first
    // moment it has to wait: bytes that are there already are taken without
    // reading the clock, which a stream of small packets would pay for
    // every packet.
    bool RecvWithin(char* buf, unsigned int& dataLen, long long timeoutMs);
    // After other work done while the device answers: the answer is
    // likely queued already, so the next read looks before it waits.
    void LookBeforeWaiting() { m_AwaitingReply = false; }
    void Close();
    // In a child forked during a call: the fork handler closed the copy.
    void ForgetAfterFork();
    // After the last frame the device meant to send: waits up to waitMs for
    // the device to end the stream. True when any byte arrives first; a
    // stream still open but silent after waitMs is taken as ended.
    bool DataBeforeEnd(int waitMs);

private:
    // deadlineMs, or kFromFirstWait: timeoutMs from the first wait on.
    static constexpr long long kFromFirstWait = -2;
    bool RecvUntil(char* buf, unsigned int& dataLen, long long deadlineMs, long long timeoutMs);
    size_t TakeAhead(char* buf, size_t len);
    bool checkNetLinkWriteTimeout(int netSocket, long long deadlineMs);
    bool checkNetLinkReadTimeout(int netSocket, long long deadlineMs);

    int m_SockFd;
    int m_Sock_AF_Type;
    int m_Sock_Type;
    int m_Sock_Protocol;
    bool m_AwaitingReply = false;  // a request went out, no byte of the answer read yet
    // A read for less than kReadAhead takes whatever the stream holds, up to
    // that, here: small frames then cost one system call per many of them.
    // Read before anything the socket still holds; emptied with the socket.
    static constexpr size_t kReadAhead = 64 * 1024;
    std::unique_ptr<char[]> m_Ahead;
    size_t m_AheadAt = 0, m_AheadEnd = 0;
};
