// Every command exchange end to end: the driver loaded as a host loads it,
// talking to the simulated counter over loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::Code;

using dcjtest::DriverLib;
using dcjtest::ReplyField;

// A loopback port with nothing listening on it.
int ClosedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

class Exchange : public ::testing::Test {
protected:
    // Runs once per suite, and ExchangeFaults is a second suite of this fixture.
    static void SetUpTestSuite()
    {
        if (s_lib == nullptr) s_lib = new DriverLib();
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
    }

    std::string Run(const std::string& func, std::map<std::string, std::string> extra = {})
    {
        if (!extra.count("timeout")) extra["timeout"] = "2";
        return s_lib->DoCommand(dcjtest::MakeRequest(func, "127.0.0.1", sim.Port(), extra));
    }
    // The simulator records an exchange once its answer is out, which can be
    // just after the driver has returned.
    std::vector<std::vector<uint8_t>> Frames()
    {
        EXPECT_TRUE(sim.WaitForExchanges(sim.Connections(), std::chrono::seconds(5)));
        return sim.RequestFrames();
    }
    static std::string Desc(const std::string& reply) { return ReplyField(reply, "retComArgs", "errDesc"); }
    static std::string Status(const std::string& reply) { return ReplyField(reply, "retBizArgs", "status"); }

    static DriverLib* s_lib;
    dcjsim::Simulator sim;
};
DriverLib* Exchange::s_lib = nullptr;

std::vector<uint8_t> ExpectedRequest(uint8_t cmd, const uint8_t* para = nullptr)
{
    std::vector<uint8_t> frame = {'Q', 'O', 'L', 'T', 32, 0, 0, 0, cmd, 0, 0, 0};
    for (int i = 0; i < 16; ++i) frame.push_back(para ? para[i] : 0);
    frame.insert(frame.end(), {0, 0, 0, 0});
    return frame;
}

TEST_F(Exchange, EveryCommandSendsItsExactFrameAndSucceeds)
{
    const std::string time = "2026120609050799";  // 16 bytes, no terminator
    struct Case {
        const char* func;
        uint8_t cmd;
    };
    for (const Case& c : {Case{"clearAllFSNFiles", 0xA2}, Case{"getRMBCount", 0xA3}, Case{"clearRMBCount", 0xA4},
                          Case{"setTime", 0xA5}, Case{"getDevStatus", 0xA7}}) {
        const std::string reply = Run(c.func, {{"time", time}});
        EXPECT_EQ(Code(reply), "ECPWS0000000") << c.func << reply;
        EXPECT_EQ(Desc(reply), "操作成功") << c.func;
        auto frames = Frames();
        ASSERT_FALSE(frames.empty());
        const uint8_t* para = c.cmd == 0xA5 ? reinterpret_cast<const uint8_t*>(time.data()) : nullptr;
        EXPECT_EQ(frames.back(), ExpectedRequest(c.cmd, para)) << c.func;
    }
    EXPECT_EQ(sim.Connections(), 5u);
}

TEST_F(Exchange, SetTimeCutsOrPadsTheSixteenParameterBytes)
{
    Run("setTime", {{"time", "20261206090507123456"}});
    const uint8_t longTime[] = "2026120609050712";
    EXPECT_EQ(Frames().back(), ExpectedRequest(0xA5, longTime));
    Run("setTime", {{"time", "2026"}});
    const uint8_t shortTime[16] = {'2', '0', '2', '6'};
    EXPECT_EQ(Frames().back(), ExpectedRequest(0xA5, shortTime));
    // No time at all still runs the exchange.
    EXPECT_EQ(Code(Run("setTime")), "ECPWS0000000");
}

TEST_F(Exchange, CountsArriveVerbatim)
{
    const std::string fullWidth(60, '9');  // no NUL inside the field
    sim.Edit([&](dcjsim::Scenario& s) {
        s.denomCount = "100:12,50:3";
        s.rejectCount = fullWidth;
    });
    const std::string reply = Run("getRMBCount");
    EXPECT_EQ(Code(reply), "ECPWS0000000");
    EXPECT_EQ(ReplyField(reply, "retBizArgs", "realCash"), "100:12,50:3");
    EXPECT_EQ(ReplyField(reply, "retBizArgs", "rejCash"), fullWidth);
}

TEST_F(Exchange, MalformedCountFramesAreRefused)
{
    for (auto change : std::vector<std::function<void(dcjsim::Scenario&)>>{
             [](dcjsim::Scenario& s) { s.countCmd = 0xA1; },
             [](dcjsim::Scenario& s) { s.countStartWord = "QOLX"; }}) {
        sim.SetScenario(dcjsim::Scenario());
        sim.Edit(change);
        const std::string reply = Run("getRMBCount");
        EXPECT_EQ(Code(reply), "DRVDCJ1003") << reply;
        EXPECT_EQ(Desc(reply), "设备返回的响应数据格式错误");
        EXPECT_FALSE(dcjtest::HasSection(reply, "retBizArgs"));
    }
}

TEST_F(Exchange, DeviceResultCodesMapToHostCodes)
{
    struct Case {
        uint32_t retCode;
        const char* code;
        const char* desc;
    };
    const Case cases[] = {
        {4, "ECPWSDCJ0001", "无可上传的FSN文件"},
        {5, "ECPWSCOM0001", "DRVDCJ1007|设备清除已上传文件失败"},
        {6, "ECPWSCOM0013", "硬件故障"},
        {7, "ECPWSCOM0001", "DRVDCJ1001|设备解析命令包格式错误"},
        {0xFFFFFFFF, "ECPWSCOM0001", "DRVDCJ1001|设备解析命令包格式错误"},
    };
    for (const Case& c : cases) {
        sim.Edit([&](dcjsim::Scenario& s) { s.retCodes[0xA4] = c.retCode; });
        const std::string reply = Run("clearRMBCount");
        EXPECT_EQ(Code(reply), c.code) << c.retCode;
        EXPECT_EQ(Desc(reply), c.desc) << c.retCode;
    }
    // The status function keeps its success code; the device's state shows in "status".
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA7] = 6; });
    std::string reply = Run("getDevStatus");
    EXPECT_EQ(Code(reply), "ECPWS0000000");
    EXPECT_EQ(Status(reply), "04");
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA7] = 0; });
    EXPECT_EQ(Status(Run("getDevStatus")), "01");
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA7] = 7; });
    EXPECT_EQ(Status(Run("getDevStatus")), "");
}

TEST_F(Exchange, MalformedAcknowledgementsAreReportedAsFrameErrors)
{
    sim.Edit([](dcjsim::Scenario& s) { s.ackStartWord = "QOLX"; });
    std::string reply = Run("getRMBCount");
    EXPECT_EQ(Code(reply), "ECPWSCOM0001");
    EXPECT_EQ(Desc(reply), "DRVDCJ1002|设备返回的响应包格式错误");
    EXPECT_FALSE(dcjtest::HasSection(reply, "retBizArgs"));

    sim.SetScenario(dcjsim::Scenario());
    sim.Edit([](dcjsim::Scenario& s) { s.ackCmdOverride = 0xA3; });
    reply = Run("clearAllFSNFiles");
    EXPECT_EQ(Code(reply), "ECPWSCOM0001");
    EXPECT_EQ(Desc(reply), "DRVDCJ1002|设备返回的响应包格式错误");
}

TEST_F(Exchange, UnreachableDeviceIsANetworkFailureWithStatus03)
{
    const int port = ClosedPort();
    auto run = [&](const char* func) {
        return s_lib->DoCommand(dcjtest::MakeRequest(func, "127.0.0.1", port, {{"timeout", "2"}}));
    };
    const auto start = std::chrono::steady_clock::now();
    std::string reply = run("getRMBCount");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "a refusal is not a time-out";
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002");
    EXPECT_EQ(Desc(reply), "网络连接失败");
    EXPECT_EQ(Status(run("getDevStatus")), "03");
    // A port text without digits is port 0, refused by the transport.
    reply = s_lib->DoCommand(R"({"c":{"funcName":"getRMBCount","ip":"127.0.0.1","port":"abc","timeout":"1"}})");
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002");
}

class ExchangeFaults : public Exchange, public ::testing::WithParamInterface<dcjsim::Fault> {};

TEST_P(ExchangeFaults, BrokenTransportFailsWithinTheTimeOut)
{
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = GetParam();
        s.faultAt = dcjsim::FaultAt::Ack;
        s.faultBytes = 8;
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = Run("getRMBCount", {{"timeout", "1"}});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << reply;
    EXPECT_EQ(Desc(reply), "网络连接失败");
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    // The driver closed its side: the simulator sees the connection end.
    EXPECT_TRUE(sim.WaitForExchanges(1, std::chrono::seconds(5)));
}

INSTANTIATE_TEST_SUITE_P(Faults, ExchangeFaults,
                         ::testing::Values(dcjsim::Fault::NoAnswer, dcjsim::Fault::CloseAfterAccept,
                                           dcjsim::Fault::PartialThenStall, dcjsim::Fault::PartialThenClose,
                                           dcjsim::Fault::Reset));

TEST_F(Exchange, CountFrameCutShortIsANetworkFailure)
{
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::PartialThenStall;
        s.faultAt = dcjsim::FaultAt::CountFrame;
        s.faultBytes = 70;
    });
    EXPECT_EQ(Code(Run("getRMBCount", {{"timeout", "1"}})), "ECPWSDCJ0002");
}

TEST_F(Exchange, SlowDripIsReassembled)
{
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::SlowDrip;
        s.dripDelay = std::chrono::milliseconds(1);
    });
    const std::string reply = Run("getRMBCount");
    EXPECT_EQ(Code(reply), "ECPWS0000000");
    EXPECT_EQ(ReplyField(reply, "retBizArgs", "realCash"), dcjsim::Scenario().denomCount);
}

}  // namespace
