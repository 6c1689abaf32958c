// The transport against loopback peers run in this process: bounded connect,
// send and receive, reassembly, interrupted waits, high descriptors,
// close-on-exec, SIGPIPE and descriptor hygiene.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Basic/TCPClient.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kLoopback[] = "127.0.0.1";

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every bounded wait here uses a 1 s time-out: it must not end early, nor run
// much longer (a second of slack for loaded or emulated machines).
void ExpectOneSecond(double took)
{
    EXPECT_GE(took, 0.9) << "ended before the time-out";
    EXPECT_LT(took, 2.0) << "ran on well past the time-out";
}

// A loopback listener on a port the kernel picks.
class Listener {
public:
    explicit Listener(int backlog = 16)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Loopback(0);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_fd, backlog) != 0) {
            ADD_FAILURE() << "listener: " << strerror(errno);
            return;
        }
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return m_fd; }
    int port() const { return m_port; }
    void Close()
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

    // Accepts one connection, or gives up after waitMs.
    int Accept(int waitMs = 5000) const
    {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) return -1;
        return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    static sockaddr_in Loopback(int port)
    {
        sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        return addr;
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

// The device side of one connection: a thread that accepts, runs the script
// and closes. It gives up by itself when nobody connects.
class Peer {
public:
    Peer(const Listener& listener, std::function<void(int)> script)
        : m_thread([&listener, script] {
              int fd = listener.Accept();
              if (fd < 0) return;
              script(fd);
              close(fd);
          })
    {
    }
    ~Peer() { m_thread.join(); }

private:
    std::thread m_thread;
};

void SendAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Waits (bounded) until the client closes its end.
void WaitForClientClose(int fd, int waitMs = 5000)
{
    const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
    char sink[4096];
    while (Clock::now() < until) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1 && recv(fd, sink, sizeof(sink), 0) <= 0) return;
    }
}

// Segments leave one by one instead of being merged.
void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xff);
    return s;
}

// A listener that never completes a handshake: its backlog is 0 and already
// holds a connection nobody accepts, so further SYNs are dropped.
class UnansweredListener {
public:
    UnansweredListener() : m_listener(0)
    {
        for (int i = 0; i < 32 && !m_full; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in addr = Listener::Loopback(m_listener.port());
            connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            m_fillers.push_back(fd);
            pollfd p = {fd, POLLOUT, 0};
            m_full = poll(&p, 1, 300) == 0;  // this one hangs: the queue is full
        }
    }
    ~UnansweredListener()
    {
        for (int fd : m_fillers) close(fd);
    }
    bool full() const { return m_full; }
    int port() const { return m_listener.port(); }

private:
    Listener m_listener;
    std::vector<int> m_fillers;
    bool m_full = false;
};

// Interrupts one thread with SIGUSR1 every few milliseconds; the handler is
// installed without SA_RESTART.
class Interrupter {
public:
    explicit Interrupter(pthread_t target, int maxMs = 4000)
    {
        s_count = 0;
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = [](int) { s_count.fetch_add(1, std::memory_order_relaxed); };
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &m_old);
        m_thread = std::thread([this, target, maxMs] {
            const auto until = Clock::now() + std::chrono::milliseconds(maxMs);
            while (!m_stop.load() && Clock::now() < until) {
                pthread_kill(target, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Interrupter()
    {
        m_stop = true;
        m_thread.join();
        sigaction(SIGUSR1, &m_old, nullptr);
    }
    static int count() { return s_count.load(); }

private:
    static std::atomic<int> s_count;
    struct sigaction m_old;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
std::atomic<int> Interrupter::s_count{0};

bool CloseOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

// ---------------------------------------------------------------- connect

class tcpclientConnect : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(client.CreateSocket(), 0); }
    CTCPClient client{2, 1, 0};
};

TEST_F(tcpclientConnect, ConnectsToListeningPeerOnTheSocketItKeeps)
{
    Listener listener;
    const int fd = client.CreateSocket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(client.CreateSocket(), fd);  // one socket until Close
    EXPECT_TRUE(CloseOnExec(fd));
    EXPECT_EQ(client.Connect(kLoopback, listener.port(), 2), 0);
    EXPECT_EQ(client.CreateSocket(), fd);

    // Connected means usable: a blocking peer sees what was sent.
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    char hello[] = "hello";
    EXPECT_TRUE(client.Send(hello, 5, 2));
    char got[5];
    EXPECT_EQ(recv(peer, got, sizeof(got), MSG_WAITALL), 5);
    EXPECT_EQ(std::string(got, 5), "hello");
    close(peer);
}

TEST_F(tcpclientConnect, RejectsArgumentsBeforeTouchingTheNetwork)
{
    for (int port : {0, -1, 65536, 100000}) {
        EXPECT_EQ(client.Connect(kLoopback, port, 1), -4) << port;
    }
    EXPECT_EQ(client.Connect("", 80, 1), -3);
    EXPECT_EQ(client.Connect(nullptr, 80, 1), -3);

    client.Close();
    EXPECT_EQ(client.Connect(kLoopback, 80, 1), -2);  // no socket
    EXPECT_EQ(client.Connect(nullptr, 0, 1), -2);
}

TEST_F(tcpclientConnect, RefusedConnectionFailsAtOnce)
{
    // A bound socket that does not listen keeps the port ours and answers
    // every SYN with a reset.
    int reserved = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Listener::Loopback(0);
    ASSERT_EQ(bind(reserved, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    getsockname(reserved, reinterpret_cast<sockaddr*>(&addr), &len);

    const auto start = Clock::now();
    EXPECT_EQ(client.Connect(kLoopback, ntohs(addr.sin_port), 5), -7);
    EXPECT_LT(SecondsSince(start), 1.0);
    close(reserved);
}

TEST_F(tcpclientConnect, UnansweredConnectEndsWithTheTimeout)
{
    UnansweredListener silent;
    ASSERT_TRUE(silent.full()) << "could not fill the listen queue";

    auto start = Clock::now();
    EXPECT_EQ(client.Connect(kLoopback, silent.port(), 1), -7);
    const double took = SecondsSince(start);
    ExpectOneSecond(took);

    // 0 polls once, a negative time-out never waits.
    for (int timeout : {0, -1}) {
        client.Close();
        ASSERT_GE(client.CreateSocket(), 0);
        start = Clock::now();
        EXPECT_EQ(client.Connect(kLoopback, silent.port(), timeout), -7) << timeout;
        EXPECT_LT(SecondsSince(start), 0.5) << timeout;
    }
}

TEST_F(tcpclientConnect, ARequestGivenToConnectGoesOutOnceTheConnectionIsMade)
{
    char request[] = "0123456789abcdef0123456789abcdef";
    const long long deadline = CTCPClient::DeadlineAfter(2);
    {
        Listener listener;
        int sent = -1;
        ASSERT_EQ(client.ConnectBefore(kLoopback, listener.port(), 2, deadline, request, 32, &sent), 0);
        // Sent at once when the handshake is done by now (usual on loopback);
        // else nothing, and the rest goes out as any request does.
        ASSERT_GE(sent, 0);
        ASSERT_LE(sent, 32);
        if (sent < 32) {
            EXPECT_TRUE(client.SendBefore(request + sent, 32 - sent, deadline));
        }
        const int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        char got[32];
        EXPECT_EQ(recv(peer, got, sizeof(got), MSG_WAITALL), 32);
        EXPECT_EQ(std::string(got, 32), request);
        close(peer);
    }
    {
        // Refused: a connect failure, nothing counted as sent.
        client.Close();
        ASSERT_GE(client.CreateSocket(), 0);
        int reserved = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = Listener::Loopback(0);
        ASSERT_EQ(bind(reserved, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        socklen_t len = sizeof(addr);
        getsockname(reserved, reinterpret_cast<sockaddr*>(&addr), &len);
        int sent = -1;
        EXPECT_EQ(client.ConnectBefore(kLoopback, ntohs(addr.sin_port), 2, deadline, request, 32, &sent), -7);
        EXPECT_EQ(sent, 0);
        close(reserved);
    }
    {
        // Never accepted: the connect waits out its time-out, nothing sent.
        UnansweredListener silent;
        ASSERT_TRUE(silent.full()) << "could not fill the listen queue";
        client.Close();
        ASSERT_GE(client.CreateSocket(), 0);
        int sent = -1;
        const auto start = Clock::now();
        EXPECT_EQ(client.ConnectBefore(kLoopback, silent.port(), 1, CTCPClient::DeadlineAfter(1), request, 32, &sent),
                  -7);
        ExpectOneSecond(SecondsSince(start));
        EXPECT_EQ(sent, 0);
    }
}

TEST_F(tcpclientConnect, InterruptedConnectWaitsForTheTimeLeft)
{
    UnansweredListener silent;
    ASSERT_TRUE(silent.full()) << "could not fill the listen queue";

    const auto start = Clock::now();
    int rc;
    {
        Interrupter signals(pthread_self());
        rc = client.Connect(kLoopback, silent.port(), 1);
    }
    const double took = SecondsSince(start);
    EXPECT_EQ(rc, -7);
    EXPECT_GT(Interrupter::count(), 0);
    ExpectOneSecond(took);  // an interruption neither ends nor restarts the wait
}

// --------------------------------------------------------------- transfer

class tcpclientTransfer : public ::testing::Test {
protected:
    void Connect()
    {
        ASSERT_GE(client.CreateSocket(), 0);
        ASSERT_EQ(client.Connect(kLoopback, listener.port(), 2), 0);
    }

    Listener listener;
    CTCPClient client{2, 1, 0};
};

TEST_F(tcpclientTransfer, FrameSplitOverSegmentsIsReassembled)
{
    const std::string frame = Pattern(1000);
    Peer peer(listener, [&frame](int fd) {
        NoDelay(fd);
        for (size_t at = 0; at < frame.size(); at += 250) {
            SendAll(fd, frame.substr(at, 250));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // separate segments
        }
        WaitForClientClose(fd);
    });
    ASSERT_NO_FATAL_FAILURE(Connect());

    std::vector<char> buf(frame.size());
    unsigned int len = static_cast<unsigned int>(frame.size());
    EXPECT_TRUE(client.Recv(buf.data(), len, 2));
    EXPECT_EQ(len, frame.size());
    EXPECT_EQ(std::string(buf.data(), buf.size()), frame);
    client.Close();
}

// Small reads take what the stream holds in one go and hand it out later:
// whatever sizes are asked, around the read-ahead's size too, the bytes come
// out once each and in order.
TEST_F(tcpclientTransfer, ReadsOfAnySizeHandOutTheStreamInOrder)
{
    // A pattern whose period is not a power of two, so a misplaced block shows.
    std::string stream(3 << 20, '\0');
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    Peer peer(listener, [&stream](int fd) {
        SendAll(fd, stream);
        WaitForClientClose(fd);
    });
    ASSERT_NO_FATAL_FAILURE(Connect());

    const size_t sizes[] = {1, 20, 108, 512, 4096, 65535, 65536, 65537, 200000, 7, 131072, 3};
    std::string got;
    std::vector<char> buf(200000);
    for (size_t i = 0; got.size() < stream.size(); ++i) {
        const size_t want = std::min(sizes[i % (sizeof(sizes) / sizeof(sizes[0]))], stream.size() - got.size());
        unsigned int len = static_cast<unsigned int>(want);
        ASSERT_TRUE(client.Recv(buf.data(), len, 2)) << "read " << i << " of " << want << " bytes";
        ASSERT_EQ(len, want);
        got.append(buf.data(), len);
        if (got.size() + 10 <= stream.size()) {
            ASSERT_TRUE(client.DataBeforeEnd(2000)) << "at " << got.size();
        }
    }
    EXPECT_TRUE(got == stream) << "the bytes differ from offset "
                               << std::mismatch(got.begin(), got.end(), stream.begin()).first - got.begin();
    // All taken: the open but silent stream has ended.
    EXPECT_FALSE(client.DataBeforeEnd(100));
    client.Close();
}

// Bytes already read from the socket are still the device's data: they count
// before its end, and they go with their connection.
TEST_F(tcpclientTransfer, BytesReadAheadCountBeforeTheEndAndGoWithTheConnection)
{
    {
        Peer peer(listener, [](int fd) { SendAll(fd, Pattern(100)); });  // then closes
        ASSERT_NO_FATAL_FAILURE(Connect());
        char buf[20];
        unsigned int len = sizeof(buf);
        ASSERT_TRUE(client.Recv(buf, len, 2));
        EXPECT_EQ(std::string(buf, len), Pattern(20));
        // The peer has closed, and its other 80 bytes may all sit read ahead.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(client.DataBeforeEnd(100));
        client.Close();
    }
    Peer next(listener, [](int fd) {
        SendAll(fd, "next");
        WaitForClientClose(fd);
    });
    ASSERT_NO_FATAL_FAILURE(Connect());
    char buf[4];
    unsigned int len = sizeof(buf);
    ASSERT_TRUE(client.Recv(buf, len, 2));
    EXPECT_EQ(std::string(buf, len), "next") << "nothing of the last connection is handed out";
    EXPECT_FALSE(client.DataBeforeEnd(100));
    client.Close();
}

TEST_F(tcpclientTransfer, StallMidFrameFailsAfterTheTimeout)
{
    Peer peer(listener, [](int fd) {
        SendAll(fd, Pattern(10));
        WaitForClientClose(fd);  // and nothing more: the device stalls
    });
    ASSERT_NO_FATAL_FAILURE(Connect());

    char buf[100];
    unsigned int len = sizeof(buf);
    const auto start = Clock::now();
    EXPECT_FALSE(client.Recv(buf, len, 1));
    const double took = SecondsSince(start);
    EXPECT_EQ(len, 10u);
    EXPECT_EQ(std::string(buf, 10), Pattern(10));
    ExpectOneSecond(took);
    client.Close();
}

TEST_F(tcpclientTransfer, SilenceLeavesTheLengthUnchanged)
{
    Peer peer(listener, [](int fd) { WaitForClientClose(fd); });
    ASSERT_NO_FATAL_FAILURE(Connect());

    char buf[64];
    unsigned int len = sizeof(buf);
    auto start = Clock::now();
    EXPECT_FALSE(client.Recv(buf, len, 1));
    const double took = SecondsSince(start);
    EXPECT_EQ(len, sizeof(buf));
    ExpectOneSecond(took);

    for (int timeout : {0, -1}) {
        start = Clock::now();
        EXPECT_FALSE(client.Recv(buf, len, timeout)) << timeout;
        EXPECT_EQ(len, sizeof(buf)) << timeout;
        EXPECT_LT(SecondsSince(start), 0.5) << timeout;
    }
    client.Close();
}

TEST_F(tcpclientTransfer, PeerCloseMidFrameReportsTheBytesReceived)
{
    Peer peer(listener, [](int fd) { SendAll(fd, Pattern(30)); });  // then closes
    ASSERT_NO_FATAL_FAILURE(Connect());

    char buf[100];
    unsigned int len = sizeof(buf);
    const auto start = Clock::now();
    EXPECT_FALSE(client.Recv(buf, len, 5));
    EXPECT_LT(SecondsSince(start), 2.0);  // the close ends the wait
    EXPECT_EQ(len, 30u);
    EXPECT_EQ(std::string(buf, 30), Pattern(30));
}

TEST_F(tcpclientTransfer, InterruptedReceiveKeepsWaiting)
{
    const std::string frame = Pattern(48);
    Peer peer(listener, [&frame](int fd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // signals arrive meanwhile
        SendAll(fd, frame);
        WaitForClientClose(fd);
    });
    ASSERT_NO_FATAL_FAILURE(Connect());

    char buf[48];
    unsigned int len = sizeof(buf);
    bool ok;
    {
        Interrupter signals(pthread_self());
        ok = client.Recv(buf, len, 3);
    }
    EXPECT_GT(Interrupter::count(), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(len, sizeof(buf));
    EXPECT_EQ(std::string(buf, sizeof(buf)), frame);
    client.Close();
}

TEST_F(tcpclientTransfer, LargeSendArrivesWhole)
{
    const std::string data = Pattern(8 << 20);  // far more than the socket buffers hold
    std::string received;
    {
        Peer peer(listener, [&received](int fd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the buffers fill
            char chunk[65536];
            ssize_t n;
            while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) received.append(chunk, static_cast<size_t>(n));
        });
        ASSERT_NO_FATAL_FAILURE(Connect());
        std::string copy = data;
        EXPECT_TRUE(client.Send(&copy[0], static_cast<int>(copy.size()), 5));
        client.Close();
    }
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST_F(tcpclientTransfer, SendToAPeerThatNeverReadsEndsWithTheTimeout)
{
    std::string data(64 << 20, 'x');  // far more than both socket buffers hold
    std::promise<void> sent;
    std::shared_future<void> sentSeen = sent.get_future().share();
    {
        // Holds the connection open without reading a byte until the send is over.
        Peer peer(listener, [sentSeen](int) { sentSeen.wait_for(std::chrono::seconds(60)); });
        ASSERT_NO_FATAL_FAILURE(Connect());

        const auto start = Clock::now();
        const bool ok = client.Send(&data[0], static_cast<int>(data.size()), 1);
        const double took = SecondsSince(start);
        sent.set_value();
        EXPECT_FALSE(ok);
        ExpectOneSecond(took);
        client.Close();
    }
}

TEST_F(tcpclientTransfer, NothingToSendOrNoSocketIsRefused)
{
    Peer peer(listener, [](int fd) { WaitForClientClose(fd); });
    ASSERT_NO_FATAL_FAILURE(Connect());
    char buf[8] = {};
    EXPECT_FALSE(client.Send(buf, 0, 1));
    EXPECT_FALSE(client.Send(buf, -5, 1));
    EXPECT_FALSE(client.Send(nullptr, 8, 1));
    unsigned int none = 0;
    EXPECT_FALSE(client.Recv(buf, none, 1));

    client.Close();
    client.Close();  // twice is harmless
    unsigned int len = sizeof(buf);
    EXPECT_FALSE(client.Send(buf, sizeof(buf), 1));
    EXPECT_FALSE(client.Recv(buf, len, 1));
    EXPECT_EQ(len, sizeof(buf));
}

TEST_F(tcpclientTransfer, SendAfterResetRaisesNoSigpipe)
{
    // In a child: a SIGPIPE would kill the process, which is exactly what
    // the test must see; the disposition stays the default.
    auto result = dcjtest::RunInChild([] {
        struct sigaction current;
        sigaction(SIGPIPE, nullptr, &current);
        if (current.sa_handler != SIG_DFL) return 10;

        Listener server;
        CTCPClient c(2, 1, 0);
        c.CreateSocket();
        if (c.Connect(kLoopback, server.port(), 2) != 0) return 11;
        int peer = server.Accept();
        if (peer < 0) return 12;
        struct linger reset = {1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        close(peer);  // RST
        pollfd p = {c.CreateSocket(), POLLIN, 0};
        if (poll(&p, 1, 2000) != 1 || !(p.revents & (POLLERR | POLLHUP))) return 15;

        char buf[256] = {};
        if (c.Send(buf, sizeof(buf), 1)) return 13;  // connection reset
        if (c.Send(buf, sizeof(buf), 1)) return 14;  // broken pipe
        return 0;
    }, 30);
    EXPECT_EQ(result.status, 0) << "-1: killed by a signal";
}

// ------------------------------------------------------------ descriptors

class tcpclientDescriptors : public ::testing::Test {};

TEST_F(tcpclientDescriptors, ManyCyclesLeakNothing)
{
    const int before = dcjtest::OpenDescriptorCount();
    {
        constexpr int kCycles = 200;
        Listener listener(64);
        std::thread acceptor([&listener] {
            for (int i = 0; i < kCycles; ++i) {
                int fd = listener.Accept();
                if (fd < 0) return;
                close(fd);
            }
        });
        int connected = 0, refused = 0;
        {
            CTCPClient client(2, 1, 0);
            for (int i = 0; i < kCycles; ++i) {
                client.CreateSocket();
                char byte = 'x';
                if (client.Connect(kLoopback, listener.port(), 2) == 0 && client.Send(&byte, 1, 1)) ++connected;
                client.Close();
            }
        }
        acceptor.join();

        // Refused connections and whole client lifetimes.
        Listener gone;
        const int port = gone.port();
        gone.Close();
        for (int i = 0; i < kCycles / 4; ++i) {
            CTCPClient client(2, 1, 0);
            client.CreateSocket();
            if (client.Connect(kLoopback, port, 1) == -7) ++refused;
            client.Close();
            client.CreateSocket();
        }
        EXPECT_EQ(connected, kCycles);
        EXPECT_EQ(refused, kCycles / 4);
    }
    EXPECT_EQ(dcjtest::OpenDescriptorCount(), before);
}

TEST_F(tcpclientDescriptors, EverySocketIsCloseOnExec)
{
    // A loaded, idle driver holds no descriptor: sockets open per exchange.
    const int before = dcjtest::OpenDescriptorCount();
    CTCPClient client(2, 1, 0);
    EXPECT_EQ(dcjtest::OpenDescriptorCount(), before);
    EXPECT_EQ(client.Connect(kLoopback, 80, 1), -2);
    const int first = client.CreateSocket();
    ASSERT_GE(first, 0);
    EXPECT_TRUE(CloseOnExec(first));
    client.Close();
    const int second = client.CreateSocket();
    ASSERT_GE(second, 0);
    EXPECT_TRUE(CloseOnExec(second));

    // Still so once connected (the mode switches must not drop the flag).
    Listener listener;
    ASSERT_EQ(client.Connect(kLoopback, listener.port(), 2), 0);
    EXPECT_TRUE(CloseOnExec(second));
}

// Restores the descriptor limit and closes the fillers, however the test ends.
struct HighDescriptorScope {
    struct rlimit saved;
    std::vector<int> fillers;
    HighDescriptorScope() { getrlimit(RLIMIT_NOFILE, &saved); }
    ~HighDescriptorScope()
    {
        for (int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
    }
};

TEST_F(tcpclientDescriptors, DescriptorsAbove1023Work)
{
    HighDescriptorScope scope;
    constexpr rlim_t kNeed = 1100;
    if (scope.saved.rlim_cur < kNeed) {
        if (scope.saved.rlim_max != RLIM_INFINITY && scope.saved.rlim_max < kNeed) {
            GTEST_SKIP() << "hard descriptor limit below " << kNeed;
        }
        struct rlimit raised = scope.saved;
        raised.rlim_cur = kNeed;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }

    Listener listener;
    const std::string frame = Pattern(300);
    // The peer answers a frame with one in two segments; its own descriptor
    // is high as well.
    Peer peer(listener, [&frame](int fd) {
        char buf[300];
        if (recv(fd, buf, sizeof(buf), MSG_WAITALL) != static_cast<ssize_t>(sizeof(buf))) return;
        NoDelay(fd);
        SendAll(fd, frame.substr(0, 100));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendAll(fd, frame.substr(100));
        WaitForClientClose(fd);
    });

    CTCPClient client(2, 1, 0);
    client.Close();
    // Take every number below 1024 so the next socket lands above it.
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    scope.fillers.push_back(null);
    while (scope.fillers.back() < 1023) {
        const int fd = dup(null);
        ASSERT_GE(fd, 0) << strerror(errno);
        scope.fillers.push_back(fd);
    }
    ASSERT_GE(client.CreateSocket(), 1024);
    ASSERT_EQ(client.Connect(kLoopback, listener.port(), 2), 0);
    std::string out = frame;
    EXPECT_TRUE(client.Send(&out[0], static_cast<int>(out.size()), 2));
    char buf[300];
    unsigned int len = sizeof(buf);
    EXPECT_TRUE(client.Recv(buf, len, 2));
    EXPECT_EQ(len, sizeof(buf));
    EXPECT_EQ(std::string(buf, sizeof(buf)), frame);
    client.Close();
}

}  // namespace
