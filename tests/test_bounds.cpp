// How long a call may take whatever the device or the host does: a device
// that trickles its answer, another thread's call holding the device, a host
// that forks in the middle of a call.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::DriverLib;
using dcjtest::ReplyField;
using dcjtest::TempDir;
using Clock = std::chrono::steady_clock;

typedef std::string (*SimpleFunction)(std::string, std::string, std::string);

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using dcjtest::Code;

class Bounds : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new DriverLib(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
    }
    std::string Call(const std::string& func, const std::string& timeout, int port = -1,
                     std::map<std::string, std::string> extra = {})
    {
        extra["timeout"] = timeout;
        return s_lib->DoCommand(dcjtest::MakeRequest(func, "127.0.0.1", port < 0 ? sim.Port() : port, extra));
    }
    std::map<std::string, std::string> DownloadArgs(const std::string& name = "")
    {
        return {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / ("up" + name + "/")}, {"tempDir", tmp / "temp/"}};
    }

    static DriverLib* s_lib;
    dcjsim::Simulator sim;
    TempDir tmp;
};
DriverLib* Bounds::s_lib = nullptr;

TEST_F(Bounds, ADeviceThatTricklesItsAnswerCannotHoldACommand)
{
    // One byte every 0.4 s: each wait alone would be well inside a second.
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::SlowDrip;
        s.dripDelay = std::chrono::milliseconds(400);
    });
    for (const char* func : {"getRMBCount", "clearRMBCount", "getDevStatus"}) {
        const auto start = Clock::now();
        const std::string reply = Call(func, "1");
        const double took = SecondsSince(start);
        if (std::string(func) == "getDevStatus") {
            // Its time-out is always 3 s; its failure shows only in "status".
            EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
            EXPECT_EQ(ReplyField(reply, "retBizArgs", "status"), "");
            EXPECT_GE(took, 2.9);
            EXPECT_LT(took, 2 * 3 + 1) << func;
        } else {
            EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << func << " " << reply;
            EXPECT_GE(took, 0.9) << func;
            EXPECT_LT(took, 2 * 1 + 1) << func;
        }
    }
    // A prompt device is still served with the same time-out.
    sim.Edit([](dcjsim::Scenario& s) { s.dripDelay = std::chrono::milliseconds(1); });
    EXPECT_EQ(Code(Call("getRMBCount", "1")), "ECPWS0000000");
}

// A counter of one connection that takes its time: the ack ackAfter the
// request, the count frame countAfter the ack. Stops with the test.
class PausingCounter {
public:
    PausingCounter(std::chrono::milliseconds ackAfter, std::chrono::milliseconds countAfter)
    {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listen, 1) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "cannot listen: " << errno;
            return;
        }
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this, ackAfter, countAfter] {
            const int c = accept(m_listen, nullptr, nullptr);
            if (c < 0) return;  // stopped
            std::vector<uint8_t> request(32);
            for (size_t got = 0; got < request.size();) {
                const ssize_t n = recv(c, request.data() + got, request.size() - got, 0);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            std::vector<uint8_t> ack = dcjsim::wire::EncodeAck(dcjsim::wire::GetU32(request.data() + 8), 0);
            std::this_thread::sleep_for(ackAfter);
            send(c, ack.data(), ack.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(countAfter);
            std::vector<uint8_t> count = dcjsim::wire::EncodeCountFrame("100:1", "0");
            send(c, count.data(), count.size(), MSG_NOSIGNAL);
            char byte;
            recv(c, &byte, 1, 0);  // until the driver closes
            close(c);
        });
    }
    ~PausingCounter()
    {
        shutdown(m_listen, SHUT_RDWR);  // ends an accept still waiting
        if (m_thread.joinable()) m_thread.join();
        close(m_listen);
    }
    int port() const { return m_port; }

private:
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
};

// The count frame is a frame of its own: it has the time-out from the start
// of its read, as the ack had, not what the ack left of it.
TEST_F(Bounds, TheCountFrameHasTheTimeOutFromTheStartOfItsRead)
{
    using std::chrono::milliseconds;
    PausingCounter counter(milliseconds(1200), milliseconds(1200));
    const auto start = Clock::now();
    const std::string reply = Call("getRMBCount", "2", counter.port());
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(ReplyField(reply, "retBizArgs", "realCash"), "100:1");
    EXPECT_LT(SecondsSince(start), 2 * 2 + 1);
}

// A host may cancel a thread that is inside a call (it seems to hang, say).
// Cancellation unwinds the thread: through frames that catch everything it
// would abort the whole host. It takes effect when the call has returned.
// In a process of its own: an abort must not take the other tests with it.
TEST_F(Bounds, AHostThreadCancelledInsideACallEndsAfterTheCallAndTheHostLives)
{
    if (getenv("DCJ_FRESH_HOST") == nullptr) {
        dcjtest::RunAsFreshHost("Bounds.AHostThreadCancelledInsideACall*", "cancel");
        return;
    }
    sim.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::NoAnswer; });
    struct Call {
        std::string request;
        std::string reply;
    } call{dcjtest::MakeRequest("getRMBCount", "127.0.0.1", sim.Port(), {{"timeout", "2"}}), ""};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void* arg) -> void* {
                      Call* c = static_cast<Call*>(arg);
                      c->reply = s_lib->DoCommand(c->request);
                      dcjtest::ActOnPendingCancel();  // the cancel, put off until now
                      return nullptr;
                  },
                  &call),
              0);
    usleep(300 * 1000);
    pthread_cancel(thread);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(Code(call.reply), "ECPWSDCJ0002") << call.reply;
}

TEST_F(Bounds, ADownloadThatTricklesIsRefusedWithoutConfirming)
{
    // 4 KiB at 2 ms a byte take 8 s; a second of time-out plus 4 KiB at the
    // least rate allows about 1 s. Headers at 20 ms a byte take 2 s.
    for (int dripMs : {2, 20}) {
        sim.Edit([&](dcjsim::Scenario& s) {
            s.files = dcjsim::GenerateFiles(1, 1, dripMs == 2 ? 4096 : 1);
            s.fault = dcjsim::Fault::SlowDrip;
            s.faultCmd = 0xA1;
            s.dripDelay = std::chrono::milliseconds(dripMs);
        });
        const size_t before = sim.Connections();
        const auto start = Clock::now();
        const std::string reply = Call("getAllFSNFiles", "1", -1, DownloadArgs());
        const double took = SecondsSince(start);
        EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << dripMs << " " << reply;
        EXPECT_LT(took, 3.0) << dripMs;
        EXPECT_EQ(sim.Connections(), before + 1) << "no confirmation";
        EXPECT_FALSE(sim.CurrentScenario().files.empty());
    }
}

TEST_F(Bounds, AWaitForAnotherThreadsCallEndsWithTheCallersTimeOut)
{
    dcjsim::Simulator silent;
    ASSERT_TRUE(silent.Start());
    silent.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::NoAnswer; });
    std::string first;
    std::thread holder([&] { first = Call("getRMBCount", "6", silent.Port()); });
    ASSERT_TRUE(silent.WaitForExchanges(1, std::chrono::seconds(5)));

    // The device is busy for 6 s: a call willing to wait 1 s gets no answer
    // after 1 s, and never reaches its counter.
    auto start = Clock::now();
    std::string reply = Call("getRMBCount", "1");
    double took = SecondsSince(start);
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << reply;
    EXPECT_EQ(ReplyField(reply, "retComArgs", "errDesc"), "网络连接失败");
    EXPECT_FALSE(dcjtest::HasSection(reply, "retBizArgs"));
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.0);

    // The same for a host calling a device function directly...
    auto direct = reinterpret_cast<SimpleFunction>(s_lib->symbol("getRMBCount"));
    ASSERT_NE(direct, nullptr);
    start = Clock::now();
    reply = dcjtest::GbkToUtf8(direct("127.0.0.1", std::to_string(sim.Port()), "1"));
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << reply;
    EXPECT_LT(SecondsSince(start), 2.0);

    // ...and for the status, which waits its fixed 3 s and reports no status.
    start = Clock::now();
    reply = Call("getDevStatus", "20", -1, {{"sn", "77"}});
    took = SecondsSince(start);
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(ReplyField(reply, "retComArgs", "sn"), "77");
    EXPECT_EQ(ReplyField(reply, "retBizArgs", "status"), "");
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(sim.Connections(), 0u);

    holder.join();
    EXPECT_EQ(Code(first), "ECPWSDCJ0002");
    // Free again: served at once.
    EXPECT_EQ(Code(Call("getRMBCount", "1")), "ECPWS0000000");
}

TEST_F(Bounds, AChildForkedDuringACallCanUseTheDriver)
{
    dcjsim::Simulator silent;
    ASSERT_TRUE(silent.Start());
    silent.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::NoAnswer; });
    std::thread holder([&] { Call("getRMBCount", "4", silent.Port()); });
    ASSERT_TRUE(silent.WaitForExchanges(1, std::chrono::seconds(5)));

    // The child has only the forking thread: the one that held the device
    // lock is gone, and the lock must not stay held with it.
    const int port = sim.Port();
    const dcjtest::ProcessResult child = dcjtest::RunInChild(
        [&] {
            const auto start = Clock::now();
            const std::string reply = s_lib->DoCommand(dcjtest::MakeRequest("getRMBCount", "127.0.0.1", port,
                                                                            {{"timeout", "2"}}));
            return Code(reply) == "ECPWS0000000" && SecondsSince(start) < 3.0 ? 0 : 1;
        },
        20);
    EXPECT_EQ(child.status, 0) << child.out;
    holder.join();
    EXPECT_EQ(sim.Connections(), 1u);
}

TEST_F(Bounds, AChildForkedDuringADownloadDoesNotKeepTheWorkingFolder)
{
    dcjsim::Simulator stalling;
    ASSERT_TRUE(stalling.Start());
    stalling.Edit([](dcjsim::Scenario& s) {
        s.files = dcjsim::GenerateFiles(1, 2, 100);
        s.fault = dcjsim::Fault::PartialThenStall;
        s.faultAt = dcjsim::FaultAt::UploadData;
        s.faultCmd = 0xA1;
    });
    std::string first;
    std::thread download([&] { first = Call("getAllFSNFiles", "2", stalling.Port(), DownloadArgs("1")); });
    // Wait until the download holds the working folder's lock.
    const std::string working = tmp / "temp/QOLT";
    bool held = false;
    for (const auto until = Clock::now() + std::chrono::seconds(5); !held && Clock::now() < until;) {
        const int fd = open(working.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0) close(fd);
        if (!held) std::this_thread::yield();
    }
    ASSERT_TRUE(held);
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(gate[1]);
        char byte;
        while (read(gate[0], &byte, 1) < 0) {
        }
        _exit(0);
    }
    close(gate[0]);
    download.join();
    EXPECT_EQ(Code(first), "ECPWSDCJ0002") << first;

    // The child lives on; the next download through the same working folder
    // must not wait for it.
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 1, 100); });
    const auto start = Clock::now();
    const std::string reply = Call("getAllFSNFiles", "2", -1, DownloadArgs("2"));
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_LT(SecondsSince(start), 1.5);
    close(gate[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

}  // namespace
