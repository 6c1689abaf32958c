// The driver's only network code: one IPv4 TCP stream socket to the counter,
// with every wait bounded by the caller's time-out (whole seconds).
#pragma once

class CTCPClient {
public:
    CTCPClient(int af, int type, int protocol);
    ~CTCPClient();
    CTCPClient(const CTCPClient&) = delete;
    CTCPClient& operator=(const CTCPClient&) = delete;

    // Opens a socket when none is open; returns the descriptor or -1.
    int CreateSocket();
    // 0 connected; -2 no socket, -3 no address, -4 bad port, -7 refused,
    // unreachable or not connected within the time-out.
    int Connect(const char* addr, int port, int timeout);
    // True when all dataLen bytes were sent.
    bool Send(char* buf, int dataLen, int timeout);
    // dataLen: bytes wanted; once reading started, the bytes received.
    // True when all arrived, each wait for more bounded by the time-out.
    bool Recv(char* buf, unsigned int& dataLen, int timeout);
    void Close();
    // True when bytes the caller has not asked for are already waiting.
    bool HasUnreadData();

private:
    bool checkNetLinkWriteTimeout(int netSocket, int timeout);
    bool checkNetLinkReadTimeout(int netSocket, int timeout);

    int m_SockFd;
    int m_Sock_AF_Type;
    int m_Sock_Type;
    int m_Sock_Protocol;
    bool m_AwaitingReply = false;  // a request went out, no byte of the answer read yet
};
