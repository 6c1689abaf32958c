// The simulator over real loopback sockets, with a plain POSIX client, and
// the dcjsim program as a script would run it.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

using namespace dcjsim;
using std::chrono::milliseconds;

namespace {

constexpr int kLong = 5000;    // ms: for what must happen
constexpr int kSilence = 250;  // ms: for what must not

enum class End { Full, Eof, Error, Timeout };

struct Received {
    std::vector<uint8_t> bytes;
    End end = End::Timeout;
    int err = 0;
    int reads = 0;
};

class Client {
public:
    explicit Client(uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect: " << errno;
    }
    ~Client() { Close(); }
    void Close()
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    void Send(const std::vector<uint8_t>& b)
    {
        ASSERT_EQ(send(m_fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
    }
    // Until `limit` bytes, EOF, an error or `timeoutMs` without data.
    Received Read(size_t limit = SIZE_MAX, int timeoutMs = kLong)
    {
        Received r;
        uint8_t buf[65536];
        while (r.bytes.size() < limit) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return r;
            ssize_t n = recv(m_fd, buf, std::min(sizeof buf, limit - r.bytes.size()), 0);
            ++r.reads;
            if (n <= 0) {
                r.end = n == 0 ? End::Eof : End::Error;
                r.err = n == 0 ? 0 : errno;
                return r;
            }
            r.bytes.insert(r.bytes.end(), buf, buf + n);
        }
        r.end = End::Full;
        return r;
    }

private:
    int m_fd = -1;
};

// One whole exchange: request out, everything read up to the device's close.
Received Exchange(uint16_t port, uint32_t cmd, const uint8_t* para = nullptr)
{
    Client c(port);
    c.Send(wire::EncodeRequest(cmd, para));
    return c.Read();
}

void ExpectAck(const std::vector<uint8_t>& b, uint32_t cmd, uint32_t ret, const char* start = "QOLT")
{
    ASSERT_GE(b.size(), 20u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), start);
    EXPECT_EQ(wire::GetU32(&b[4]), 20u);
    EXPECT_EQ(wire::GetU32(&b[8]), cmd);
    EXPECT_EQ(wire::GetU32(&b[12]), ret);
}

std::string Field(const std::vector<uint8_t>& b, size_t at, size_t width)
{
    std::string s(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + width));
    return s.substr(0, s.find('\0'));
}

// Walks an upload stream (after the ack) and checks every header against
// the files the device holds; the stream must end after the last packet.
void ExpectUploadOf(const std::vector<FsnFile>& files, const std::vector<uint8_t>& s, size_t at = 20)
{
    for (size_t f = 0; f < files.size(); ++f) {
        for (size_t p = 0; p < files[f].packets.size(); ++p) {
            SCOPED_TRACE("file " + std::to_string(f) + " packet " + std::to_string(p));
            const std::string& data = files[f].packets[p];
            ASSERT_GE(s.size(), at + 108 + data.size());
            const uint8_t* h = &s[at];
            EXPECT_EQ(std::string(h, h + 4), "QOLT");
            EXPECT_EQ(wire::GetU32(h + 4), 108 + data.size());
            EXPECT_EQ(wire::GetU32(h + 8), 0xA1u);
            EXPECT_EQ(Field(s, at + 12, 28), files[f].machineNo);
            EXPECT_EQ(Field(s, at + 40, 16), files[f].dateTime);
            EXPECT_EQ(Field(s, at + 56, 16), files[f].sNo);
            EXPECT_EQ(wire::GetU32(h + 72), p);
            EXPECT_EQ(wire::GetU32(h + 76), files[f].packets.size());
            EXPECT_EQ(wire::GetU32(h + 80), f);
            EXPECT_EQ(wire::GetU32(h + 84), files.size());
            EXPECT_EQ(std::string(h + 88, h + 108), std::string(20, '\0'));
            ASSERT_EQ(std::string(h + 108, h + 108 + data.size()), data);
            at += 108 + data.size();
        }
    }
    EXPECT_EQ(at, s.size()) << "bytes after the last packet";
}

struct Running {
    explicit Running(Scenario s = Scenario()) : sim(std::move(s))
    {
        std::string error;
        EXPECT_TRUE(sim.Start(0, "127.0.0.1", &error)) << error;
    }
    Simulator sim;
    uint16_t port() const { return sim.Port(); }
};

std::vector<FsnFile> HandMadeFiles()
{
    std::vector<FsnFile> files(2);
    files[0] = {"MACHINE-A", "20260102030405", "S0", {"abc", "", "defgh"}};
    files[1] = {std::string(28, 'M'), "20260102030406", std::string(16, 'S'), {"x"}};
    return files;
}

}  // namespace

TEST(DcjsimCommands, EveryCommandAnswersAsTheCounterDoes)
{
    Scenario s;
    s.denomCount = "100:3";
    s.rejectCount = "2";
    s.files = GenerateFiles(1, 1, 10);
    Running r(s);

    Received got = Exchange(r.port(), 0xA7);
    EXPECT_EQ(got.end, End::Eof);
    EXPECT_EQ(got.bytes.size(), 20u);
    ExpectAck(got.bytes, 0xA7, 0);

    got = Exchange(r.port(), 0xA3);
    EXPECT_EQ(got.end, End::Eof);
    ASSERT_EQ(got.bytes.size(), 20u + 136u);
    ExpectAck(got.bytes, 0xA3, 0);
    EXPECT_EQ(wire::GetU32(&got.bytes[24]), 136u);
    EXPECT_EQ(Field(got.bytes, 32, 60), "100:3");
    EXPECT_EQ(Field(got.bytes, 92, 60), "2");

    const uint8_t time[16] = {'2', '0', '2', '6', '0', '7', '0', '8', '0', '9', '1', '0', '1', '1'};
    got = Exchange(r.port(), 0xA5, time);
    EXPECT_EQ(got.bytes.size(), 20u);
    ExpectAck(got.bytes, 0xA5, 0);
    EXPECT_EQ(r.sim.DeviceTime(), "20260708091011");

    for (uint32_t cmd : {0xA4u, 0xA2u}) {
        got = Exchange(r.port(), cmd);
        EXPECT_EQ(got.bytes.size(), 20u);
        ExpectAck(got.bytes, cmd, 0);
    }
    got = Exchange(r.port(), 0x55);
    EXPECT_EQ(got.bytes.size(), 20u);
    ExpectAck(got.bytes, 0x55, 1);

    // A frame the device cannot parse is refused with 1, even for a known cmd.
    std::vector<uint8_t> bad = wire::EncodeRequest(0xA7);
    bad[4] = 31;
    Client c(r.port());
    c.Send(bad);
    got = c.Read();
    EXPECT_EQ(got.bytes.size(), 20u);
    ExpectAck(got.bytes, 0xA7, 1);
}

TEST(DcjsimUpload, StreamCarriesEveryPacketOfEveryFileThenEnds)
{
    Scenario s;
    s.files = HandMadeFiles();
    std::vector<FsnFile> big = GenerateFiles(1, 3, 300000);  // packets larger than a socket buffer
    s.files.push_back(big[0]);
    Running r(s);
    Received got = Exchange(r.port(), 0xA1);
    EXPECT_EQ(got.end, End::Eof);
    ExpectAck(got.bytes, 0xA1, 0);
    ExpectUploadOf(s.files, got.bytes);

    // More packets than one send batch holds.
    std::vector<FsnFile> many = GenerateFiles(700, 1, 3);
    r.sim.Edit([&](Scenario& sc) { sc.files = many; });
    got = Exchange(r.port(), 0xA1);
    ExpectAck(got.bytes, 0xA1, 0);
    ExpectUploadOf(many, got.bytes);
}

TEST(DcjsimUpload, ConfirmAndClearEmptyTheCounterUnlessKept)
{
    for (uint32_t clearCmd : {0xA6u, 0xA2u}) {
        Scenario s;
        s.files = HandMadeFiles();
        Running r(s);
        ExpectAck(Exchange(r.port(), 0xA1).bytes, 0xA1, 0);
        ExpectAck(Exchange(r.port(), 0xA1).bytes, 0xA1, 0);  // an upload alone clears nothing
        ExpectAck(Exchange(r.port(), clearCmd).bytes, clearCmd, 0);
        Received got = Exchange(r.port(), 0xA1);
        EXPECT_EQ(got.bytes.size(), 20u) << "nothing may follow retCode 4";
        ExpectAck(got.bytes, 0xA1, 4);
        EXPECT_TRUE(r.sim.CurrentScenario().files.empty());
    }
    Scenario kept;
    kept.files = HandMadeFiles();
    kept.clearFilesOnConfirm = false;
    Running r(kept);
    ExpectAck(Exchange(r.port(), 0xA6).bytes, 0xA6, 0);
    Received got = Exchange(r.port(), 0xA1);
    ExpectUploadOf(kept.files, got.bytes);
}

TEST(DcjsimUpload, RetCodeOverridesAnswerAloneAndChangeNothing)
{
    Scenario s;
    s.files = HandMadeFiles();
    s.retCodes = {{0xA1, 5}, {0xA3, 6}, {0xA6, 6}, {0xA7, 6}, {0x55, 0}};
    Running r(s);
    for (auto kv : s.retCodes) {
        Received got = Exchange(r.port(), kv.first);
        EXPECT_EQ(got.end, End::Eof);
        EXPECT_EQ(got.bytes.size(), 20u) << std::hex << kv.first;
        ExpectAck(got.bytes, kv.first, kv.second);
    }
    EXPECT_EQ(r.sim.CurrentScenario().files.size(), 2u) << "a refused confirm must keep the files";
    for (const ExchangeRecord& e : r.sim.Exchanges()) EXPECT_EQ(e.ackRetCode, s.retCodes[e.cmd]);
}

TEST(DcjsimUpload, BadFramesGoOutAsScripted)
{
    Scenario s;
    s.files = HandMadeFiles();
    s.ackStartWord = std::string("QO\0T", 4);
    s.ackCmdOverride = 0xB3;
    s.countStartWord = "XXXX";
    s.countCmd = 0xA4;
    s.tweakUploadHeader = [](size_t f, size_t p, std::vector<uint8_t>& h) {
        if (f == 0 && p == 0) wire::PutU32(&h[wire::kUpMsgLength], 0xFFFFFFFFu);
    };
    Running r(s);
    Received got = Exchange(r.port(), 0xA3);
    ASSERT_EQ(got.bytes.size(), 156u);
    EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.begin() + 4), std::string("QO\0T", 4));
    EXPECT_EQ(wire::GetU32(&got.bytes[8]), 0xB3u);
    EXPECT_EQ(std::string(got.bytes.begin() + 20, got.bytes.begin() + 24), "XXXX");
    EXPECT_EQ(wire::GetU32(&got.bytes[28]), 0xA4u);

    // The absurd length goes out, and the packet's real data still follows.
    got = Exchange(r.port(), 0xA1);
    ASSERT_GE(got.bytes.size(), 20u + 108u);
    EXPECT_EQ(wire::GetU32(&got.bytes[24]), 0xFFFFFFFFu);
    got.bytes[24] = 108 + 3;
    got.bytes[25] = got.bytes[26] = got.bytes[27] = 0;
    ExpectUploadOf(s.files, got.bytes);
}

TEST(DcjsimFaults, NoAnswerAndStallHoldTheConnectionUntilStop)
{
    Scenario s;
    s.fault = Fault::NoAnswer;
    s.faultConnections = 1;
    Running r(s);
    Client quiet(r.port());
    quiet.Send(wire::EncodeRequest(0xA7));
    ASSERT_TRUE(r.sim.WaitForExchanges(1, milliseconds(kLong)));

    r.sim.Edit([](Scenario& sc) {
        sc.fault = Fault::PartialThenStall;
        sc.faultAt = FaultAt::Ack;
        sc.faultBytes = 8;
        sc.faultConnections = -1;
    });
    Client stalled(r.port());
    stalled.Send(wire::EncodeRequest(0xA7));
    Received got = stalled.Read(SIZE_MAX, kSilence);
    EXPECT_EQ(got.end, End::Timeout);
    std::vector<uint8_t> ack = wire::EncodeAck(0xA7, 0);
    EXPECT_EQ(got.bytes, std::vector<uint8_t>(ack.begin(), ack.begin() + 8));
    got = quiet.Read(SIZE_MAX, 0);
    EXPECT_EQ(got.end, End::Timeout);
    EXPECT_TRUE(got.bytes.empty());

    // A third peer in the middle of a slow drip: Stop() must not wait for
    // any of them.
    r.sim.Edit([](Scenario& sc) {
        sc.fault = Fault::SlowDrip;
        sc.dripDelay = std::chrono::seconds(30);
    });
    Client drip(r.port());
    drip.Send(wire::EncodeRequest(0xA7));
    EXPECT_EQ(drip.Read(1).bytes.size(), 1u);
    EXPECT_EQ(r.sim.OpenConnections(), 3u);
    const auto t0 = std::chrono::steady_clock::now();
    r.sim.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(500));
    EXPECT_EQ(quiet.Read().end, End::Eof);
    EXPECT_EQ(stalled.Read().end, End::Eof);
    EXPECT_EQ(drip.Read().end, End::Eof);
    EXPECT_EQ(r.sim.OpenConnections(), 0u);
    std::vector<ExchangeRecord> ex = r.sim.Exchanges();
    ASSERT_GE(ex.size(), 2u);
    EXPECT_EQ(ex[0].outcome, "fault:no-answer");
    EXPECT_EQ(ex[1].outcome, "fault:stall");
}

struct CutCase {
    Fault fault;
    FaultAt at;
    uint32_t cmd;
    size_t faultBytes;
    size_t expectBytes;  // what the peer gets in all
};

class DcjsimCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(DcjsimCut, SendsExactlyTheCutPrefixThenCloses)
{
    const CutCase& c = GetParam();
    Scenario s;
    s.files = HandMadeFiles();
    s.fault = c.fault;
    s.faultAt = c.at;
    s.faultBytes = c.faultBytes;
    Running r(s);
    Client cl(r.port());
    cl.Send(wire::EncodeRequest(c.cmd));
    Received got = cl.Read();
    EXPECT_EQ(got.end, End::Eof);
    EXPECT_EQ(got.bytes.size(), c.expectBytes);
    // The prefix is the true answer's, not some other bytes.
    std::vector<uint8_t> whole = wire::EncodeAck(c.cmd, 0);
    if (c.cmd == 0xA3) {
        std::vector<uint8_t> frame = wire::EncodeCountFrame(s.denomCount, s.rejectCount);
        whole.insert(whole.end(), frame.begin(), frame.end());
    } else {
        std::vector<uint8_t> h = wire::EncodeUploadHeader("MACHINE-A", "20260102030405", "S0", 0, 3, 0, 2, 3);
        whole.insert(whole.end(), h.begin(), h.end());
        whole.insert(whole.end(), {'a', 'b', 'c'});
    }
    EXPECT_EQ(got.bytes, std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(c.expectBytes)));
    // Nothing took effect through a cut ack.
    EXPECT_EQ(r.sim.CurrentScenario().files.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DcjsimCut,
    ::testing::Values(CutCase{Fault::PartialThenClose, FaultAt::Ack, 0xA3, 8, 8},
                      CutCase{Fault::PartialThenClose, FaultAt::Ack, 0xA1, 1000, 20},  // never beyond the frame
                      CutCase{Fault::PartialThenClose, FaultAt::CountFrame, 0xA3, 50, 70},
                      CutCase{Fault::PartialThenClose, FaultAt::UploadHeader, 0xA1, 30, 50},
                      CutCase{Fault::PartialThenClose, FaultAt::UploadData, 0xA1, 2, 130}));

TEST(DcjsimFaults, CloseAndResetEndTheConnectionAsNamed)
{
    Scenario s;
    s.fault = Fault::CloseAfterAccept;
    s.faultConnections = 1;
    Running r(s);
    // Records land in the order exchanges end; let each end before the next.
    size_t done = 0;
    auto settled = [&] { return r.sim.WaitForExchanges(++done, std::chrono::seconds(5)); };
    Received got = Exchange(r.port(), 0xA7);
    ASSERT_TRUE(settled());
    EXPECT_EQ(got.end, End::Eof);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_EQ(Exchange(r.port(), 0xA7).bytes.size(), 20u) << "only the first connection faults";
    ASSERT_TRUE(settled());

    r.sim.Edit([](Scenario& sc) {
        sc.fault = Fault::Reset;
        sc.faultCmd = 0xA3;  // others pass
        sc.faultConnections = 1;
    });
    EXPECT_EQ(Exchange(r.port(), 0xA7).bytes.size(), 20u);
    ASSERT_TRUE(settled());
    got = Exchange(r.port(), 0xA3);
    ASSERT_TRUE(settled());
    EXPECT_EQ(got.end, End::Error);
    EXPECT_EQ(got.err, ECONNRESET);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_EQ(Exchange(r.port(), 0xA3).bytes.size(), 156u);
    ASSERT_TRUE(settled());
    EXPECT_EQ(r.sim.CurrentScenario().faultConnections, 0);

    std::vector<ExchangeRecord> ex = r.sim.Exchanges();
    ASSERT_EQ(ex.size(), 5u);
    EXPECT_EQ(ex[0].outcome, "fault:close-after-accept");
    EXPECT_TRUE(ex[0].request.empty());
    EXPECT_EQ(ex[3].outcome, "fault:reset");
    EXPECT_EQ(ex[3].cmd, 0xA3u);
}

TEST(DcjsimFaults, SlowDripSendsTheWholeAnswerByteByByte)
{
    Scenario s;
    s.files = HandMadeFiles();
    s.fault = Fault::SlowDrip;
    s.dripDelay = milliseconds(1);
    Running r(s);
    Received got = Exchange(r.port(), 0xA3);
    EXPECT_EQ(got.end, End::Eof);
    std::vector<uint8_t> want = wire::EncodeAck(0xA3, 0);
    std::vector<uint8_t> frame = wire::EncodeCountFrame(s.denomCount, s.rejectCount);
    want.insert(want.end(), frame.begin(), frame.end());
    EXPECT_EQ(got.bytes, want);
    // Coalescing in a busy host may merge a few bytes, never most of them.
    EXPECT_GT(got.reads, 40);

    got = Exchange(r.port(), 0xA1);  // the upload drips too
    ExpectUploadOf(s.files, got.bytes);
    EXPECT_GT(got.reads, 40);
}

TEST(DcjsimRecords, RequestsAreRecordedAsReceived)
{
    Running r;
    std::vector<uint8_t> full = wire::EncodeRequest(0xA7);
    full[28] = 0x5A;  // odd reserved byte, kept as sent
    {
        Client c(r.port());
        c.Send(full);
        EXPECT_EQ(c.Read().bytes.size(), 20u);
    }
    {
        Client c(r.port());
        c.Send(std::vector<uint8_t>(full.begin(), full.begin() + 10));
        c.Close();
    }
    ASSERT_TRUE(r.sim.WaitForExchanges(2, milliseconds(kLong)));
    std::vector<ExchangeRecord> ex = r.sim.Exchanges();
    EXPECT_EQ(ex[0].request, full);
    EXPECT_EQ(ex[0].cmd, 0xA7u);
    EXPECT_EQ(ex[0].outcome, "ok");
    EXPECT_EQ(ex[1].request, std::vector<uint8_t>(full.begin(), full.begin() + 10));
    EXPECT_EQ(ex[1].outcome, "short request");
    EXPECT_EQ(r.sim.RequestFrames(), (std::vector<std::vector<uint8_t>>{ex[0].request, ex[1].request}));
    EXPECT_EQ(r.sim.Connections(), 2u);
}

TEST(DcjsimRecords, LimitKeepsTheLatestAndCountsOn)
{
    Running r;
    r.sim.SetRecordLimit(2);
    for (uint32_t cmd : {0xA2u, 0xA4u, 0xA7u}) {
        EXPECT_EQ(Exchange(r.port(), cmd).bytes.size(), 20u);
        ASSERT_TRUE(r.sim.WaitForExchanges(r.sim.Connections(), milliseconds(kLong)));
    }
    const std::vector<ExchangeRecord> ex = r.sim.Exchanges();
    ASSERT_EQ(ex.size(), 2u);
    EXPECT_EQ(ex[0].cmd, 0xA4u);
    EXPECT_EQ(ex[1].cmd, 0xA7u);
    EXPECT_TRUE(r.sim.WaitForExchanges(3, milliseconds(0)));
}

TEST(DcjsimServer, ServesOthersWhileOneConnectionStalls)
{
    Scenario s;
    s.fault = Fault::NoAnswer;
    s.faultConnections = 1;
    Running r(s);
    Client stalled(r.port());
    stalled.Send(wire::EncodeRequest(0xA7));
    ASSERT_TRUE(r.sim.WaitForExchanges(1, milliseconds(kLong)));
    Received got = Exchange(r.port(), 0xA3);
    EXPECT_EQ(got.end, End::Eof);
    EXPECT_EQ(got.bytes.size(), 156u);
    EXPECT_EQ(stalled.Read(SIZE_MAX, 0).end, End::Timeout);
}

TEST(DcjsimServer, TwoSimulatorsServeTwoThreadsAtOnce)
{
    Scenario a, b;
    a.files = GenerateFiles(3, 4, 50000, "A", "T", "SN", 1);
    b.files = GenerateFiles(2, 5, 70000, "B", "T", "SN", 2);
    Running ra(a), rb(b);
    Received ga, gb;
    std::thread ta([&] { ga = Exchange(ra.port(), 0xA1); });
    std::thread tb([&] { gb = Exchange(rb.port(), 0xA1); });
    ta.join();
    tb.join();
    ExpectUploadOf(a.files, ga.bytes);
    ExpectUploadOf(b.files, gb.bytes);
}

TEST(DcjsimServer, StartReportsWhyItCannotListen)
{
    Running first;
    Simulator second;
    std::string error;
    EXPECT_FALSE(second.Start(first.port(), "127.0.0.1", &error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(second.Start(0, "localhost:x", &error));
    EXPECT_NE(error.find("localhost:x"), std::string::npos) << error;
    EXPECT_TRUE(second.Start(0, "127.0.0.1", &error)) << error;
    EXPECT_NE(second.Port(), 0);
}

// ---------------------------------------------------------------------------
// The program.

namespace {

const std::string kBin = std::string(DCJ_BIN_DIR) + "/dcjsim";

// The program running with its stdout on a pipe.
class Program {
public:
    explicit Program(std::vector<std::string> args)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        args.insert(args.begin(), kBin);
        args = dcjtest::ProgramCommand(args);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~Program()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_out >= 0) close(m_out);
    }
    // The next line, or "" after kLong ms or at EOF.
    std::string Line()
    {
        for (;;) {
            size_t nl = m_buf.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                return line;
            }
            if (!Fill(kLong)) return "";
        }
    }
    // Everything up to EOF (the program's exit), then its exit status.
    int Finish(std::string* rest, int timeoutMs = kLong)
    {
        while (Fill(timeoutMs)) {
        }
        *rest = m_buf;
        return Wait();
    }
    void Signal(int sig) { kill(m_pid, sig); }
    // Whether it exits within ms, its output left unread.
    bool ExitsWithin(int ms)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            usleep(10 * 1000);
        }
        return false;
    }
    uint16_t port = 0;

private:
    bool Fill(int timeoutMs)
    {
        pollfd p{m_out, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        ssize_t n = read(m_out, buf, sizeof buf);
        if (n <= 0) return false;
        m_buf.append(buf, static_cast<size_t>(n));
        return true;
    }
    int Wait()
    {
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid) return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buf;
};

uint16_t ListeningPort(const std::string& line)
{
    const std::string head = "dcjsim listening on 127.0.0.1:";
    const std::string digits = line.substr(0, head.size()) == head ? line.substr(head.size()) : "";
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<uint16_t>(std::stoi(digits));
}

}  // namespace

TEST(DcjsimCli, HelpDocumentsEveryOptionAndFault)
{
    dcjtest::ProcessResult r = dcjtest::RunProcess({kBin, "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word :
         {"no-answer", "close-after-accept", "partial-stall", "partial-close", "reset", "slow-drip", "--bind",
          "--port", "--files-dir", "--generate", "--packets", "--packet-size", "--machine-no", "--date-time", "--sno",
          "--seed", "--denom", "--reject", "--ret-code", "--keep-files", "--fault-at", "--fault-bytes", "--fault-cmd",
          "--fault-times", "--drip-ms", "--ack-start-word", "--ack-cmd", "--count-start-word", "--count-cmd",
          "--msg-length", "--packet-count", "--file-count", "--max-exchanges", "--idle-exit", "--quiet",
          "upload-header", "upload-data", "Examples:"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

TEST(DcjsimCli, BadCommandLinesExitWithTwo)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--no-such-option"}, {"--port", "70000"}, {"--fault", "explode"}, {"--ret-code", "0xA7"},
             {"--ack-start-word", "QOLTX"}, {"--generate", "1", "--files-dir", "."}, {"--port"},
             {"--generate", "1", "--packets", "0"}}) {
        args.insert(args.begin(), kBin);
        dcjtest::ProcessResult r = dcjtest::RunProcess(args);
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_NE(r.err.find("dcjsim: "), std::string::npos) << args[1];
        EXPECT_TRUE(r.out.empty()) << args[1];
    }
}

TEST(DcjsimCli, FilesTooLargeToGenerateAreRefusedNotACrash)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--generate", "4294967295"}, {"--generate", "1", "--packets", "0xFFFFFFFF", "--packet-size", "0xFFFFFFFF"}}) {
        args.insert(args.begin(), kBin);
        dcjtest::ProcessResult r = dcjtest::RunProcess(args);
        EXPECT_EQ(r.status, 1) << args[1] << r.err;
        EXPECT_NE(r.err.find("dcjsim: cannot generate the files"), std::string::npos) << r.err;
    }
}

TEST(DcjsimCli, ServesThenExitsAfterMaxExchanges)
{
    Program p({"--generate", "2", "--packets", "2", "--packet-size", "100", "--ret-code", "0xA7=6",
               "--max-exchanges", "2"});
    const uint16_t port = ListeningPort(p.Line());
    ASSERT_NE(port, 0);
    Received got = Exchange(port, 0xA7);
    ExpectAck(got.bytes, 0xA7, 6);
    got = Exchange(port, 0xA1);
    ExpectUploadOf(GenerateFiles(2, 2, 100), got.bytes);
    std::string rest;
    EXPECT_EQ(p.Finish(&rest), 0);
    EXPECT_NE(rest.find(" 0xA7 status ret=6 ok"), std::string::npos) << rest;
    EXPECT_NE(rest.find(" 0xA1 upload-files ret=0 ok files=2 packets=4 sent=" + std::to_string(20 + 4 * 208)),
              std::string::npos)
        << rest;
}

// Started the way its help shows (the first line read, the rest left): a
// full pipe drops log lines, it never holds the connections or the exit.
TEST(DcjsimCli, AnOutputNobodyReadsHoldsNeitherConnectionsNorTheExit)
{
    Program p({"--idle-exit", "1"});
    const uint16_t port = ListeningPort(p.Line());
    ASSERT_NE(port, 0);
    for (int i = 0; i < 2000; ++i) {
        const Received got = Exchange(port, 0xA7);
        ASSERT_EQ(got.end, End::Eof) << "exchange " << i << " was not ended";
    }
    EXPECT_TRUE(p.ExitsWithin(kLong)) << "still running, idle, with its output unread";
}

TEST(DcjsimCli, StopsOnSigtermAndWhenIdle)
{
    Program p({"--quiet"});
    ASSERT_NE(ListeningPort(p.Line()), 0);
    p.Signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(p.Finish(&rest), 0);
    EXPECT_EQ(rest, "");

    Program idle({"--idle-exit", "1", "--fault", "no-answer"});
    const uint16_t port = ListeningPort(idle.Line());
    ASSERT_NE(port, 0);
    {
        // A held connection is not idleness.
        Client c(port);
        c.Send(wire::EncodeRequest(0xA7));
        EXPECT_EQ(c.Read(SIZE_MAX, 1500).end, End::Timeout);
    }
    EXPECT_EQ(idle.Finish(&rest), 0);
    EXPECT_NE(rest.find("idle for 1 s"), std::string::npos) << rest;
}

// A peer that connects and never sends its request, or never takes the
// answer, must not keep a simulator that is to stop when idle.
TEST(DcjsimCli, ASilentPeerDoesNotHoldAnIdleExit)
{
    Program silent({"--idle-exit", "1"});
    uint16_t port = ListeningPort(silent.Line());
    ASSERT_NE(port, 0);
    Client mute(port);
    EXPECT_EQ(mute.Read(SIZE_MAX, 3000).end, End::Eof) << "the silent connection was not dropped";
    ASSERT_TRUE(silent.ExitsWithin(kLong)) << "a silent peer held the simulator";
    std::string rest;
    silent.Finish(&rest);
    EXPECT_NE(rest.find("peer silent"), std::string::npos) << rest;
    EXPECT_NE(rest.find("idle for 1 s"), std::string::npos) << rest;

    // Many packets that nobody reads fill the socket's buffers.
    Program unread({"--idle-exit", "1", "--generate", "1", "--packets", "256", "--packet-size", "65536"});
    port = ListeningPort(unread.Line());
    ASSERT_NE(port, 0);
    Client reader(port);
    reader.Send(wire::EncodeRequest(0xA1));
    EXPECT_TRUE(unread.ExitsWithin(6000)) << "a peer that takes nothing held the simulator";
}

// An idle time of weeks is more milliseconds than an int holds: the wait
// for a silent peer must not wrap into a short one.
TEST(DcjsimCli, ALongIdleTimeKeepsASilentPeer)
{
    Program patient({"--idle-exit", "4294968"});
    const uint16_t port = ListeningPort(patient.Line());
    ASSERT_NE(port, 0);
    Client mute(port);
    EXPECT_EQ(mute.Read(SIZE_MAX, 2000).end, End::Timeout) << "a silent peer was dropped at once";
}

TEST(DcjsimCli, HelpOrVersionThatCannotBeWrittenIsAFailure)
{
    for (const char* option : {"--help", "--version"}) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
        for (const std::string& a : dcjtest::ProgramCommand({kBin, option})) argv.push_back(a);
        const dcjtest::ProcessResult r = dcjtest::RunProcess(argv);
        EXPECT_EQ(r.status, 1) << option << ": " << r.err;
        EXPECT_NE(r.err.find("dcjsim: cannot write the output"), std::string::npos) << r.err;
    }
}
