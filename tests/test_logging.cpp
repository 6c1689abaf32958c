// What the driver writes to its log. Every case runs in a fresh child
// process: the log library reads its settings once per process.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::TempDir;

class Logging : public ::testing::Test {
protected:
    // Runs requests through a freshly loaded driver in a child, with a
    // counter of the child's own: a child forked while a counter thread of
    // this process runs may find the allocator locked by a thread it does
    // not have (sanitizer builds do). The child prints the counter's port
    // and how many connections it took; the driver prints nothing.
    struct CounterLog {
        std::string log;
        std::string port;
        size_t connections = 0;
    };
    CounterLog LogWithOwnCounter(const std::function<std::vector<std::string>(const std::string& port)>& requests,
                                 int outLen = 102400)
    {
        CounterLog result;
        const std::string log = tmp / "driver.log";
        unlink(log.c_str());
        auto child = dcjtest::RunInChild([&] {
            setenv("VDXLOG_FILE", log.c_str(), 1);
            dcjsim::Simulator counter;
            if (!counter.Start()) return 3;
            dcjtest::DriverLib lib;
            if (!lib.ok()) return 1;
            for (const std::string& request : requests(std::to_string(counter.Port()))) lib.DoCommand(request, outLen);
            printf("%d %zu\n", counter.Port(), counter.Connections());
            return 0;
        });
        EXPECT_EQ(child.status, 0);
        unsigned port = 0;
        EXPECT_EQ(sscanf(child.out.c_str(), "%u %zu", &port, &result.connections), 2) << child.out;
        result.port = std::to_string(port);
        EXPECT_EQ(child.out, result.port + " " + std::to_string(result.connections) + "\n")
            << "the driver writes nothing to the host's stdout";
        result.log = dcjtest::ReadFile(log);
        return result;
    }
    // The same for requests that need no counter; returns the log text.
    std::string LogOf(const std::vector<std::string>& requests, int outLen = 102400)
    {
        return LogWithOwnCounter([&](const std::string&) { return requests; }, outLen).log;
    }
    static bool Has(const std::string& log, const std::string& text) { return log.find(text) != std::string::npos; }

    TempDir tmp;
};

TEST_F(Logging, TimeOutDefaultsShowInTheLog)
{
    const CounterLog run = LogWithOwnCounter([](const std::string& port) {
        return std::vector<std::string>{
            R"({"c":{"funcName":"getRMBCount","ip":"127.0.0.1","port":")" + port + R"("}})",
            R"({"c":{"funcName":"clearRMBCount","ip":"127.0.0.1","port":")" + port + R"(","timeout":""}})",
            R"({"c":{"funcName":"getDevStatus","ip":"127.0.0.1","port":")" + port + R"(","timeout":"20"}})",
            R"({"c":{"funcName":"setTime","ip":"127.0.0.1","port":")" + port + R"(","timeout":"-1"}})",
            R"({"c":{"funcName":"clearAllFSNFiles","ip":"127.0.0.1","port":")" + port + R"(","timeout":0}})",
        };
    });
    const std::string& log = run.log;
    const std::string& port = run.port;
    // The request's time-out as read, before the default applies...
    EXPECT_TRUE(Has(log, ">>doCommand funcName:getRMBCount,timeout:\n")) << log;
    EXPECT_TRUE(Has(log, ">>doCommand funcName:clearRMBCount,timeout:\n"));
    EXPECT_TRUE(Has(log, ">>doCommand funcName:getDevStatus,timeout:20\n"));
    // ...and what the connection was given.
    const std::string connect = "CTCPClient::Connect:addr:127.0.0.1,port:" + port + ",timeout:";
    size_t at = 0;
    std::vector<std::string> timeouts;
    while ((at = log.find(connect, at)) != std::string::npos) {
        at += connect.size();
        timeouts.push_back(log.substr(at, log.find('\n', at) - at));
    }
    EXPECT_EQ(timeouts, (std::vector<std::string>{"10", "10", "3", "10", "0"}));
}

TEST_F(Logging, NumbersAreNarrowedAsTheHostsThirtyTwoBitIntegers)
{
    auto request = [](const std::string& func, const std::string& portText, const std::string& timeout) {
        return R"({"c":{"funcName":")" + func + R"(","ip":"127.0.0.1","port":")" + portText + R"(","timeout":")" +
               timeout + R"("}})";
    };
    const CounterLog run = LogWithOwnCounter([&](const std::string& port) {
        return std::vector<std::string>{
            request("getRMBCount", port, "4294967295"),          // a host's unsigned -1: the default
            request("clearRMBCount", port, "4294967306"),        // 2^32 + 10
            // A port is never narrowed: 2^32 + P would reach port P.
            request("setTime", std::to_string(std::stoll(port) + 4294967296LL), "7"),
            request("getRMBCount", port, "2147483648"),          // negative once narrowed: refused
            request("getRMBCount", port, "-4294967297"),         // -1 again
            request("clearAllFSNFiles", port, "99999999999999999999"),  // beyond strtol: LONG_MAX, -1
        };
    });
    const std::string& log = run.log;
    const std::string& port = run.port;
    const std::string connect = "CTCPClient::Connect:addr:127.0.0.1,port:" + port + ",timeout:";
    size_t at = 0;
    std::vector<std::string> timeouts;
    while ((at = log.find(connect, at)) != std::string::npos) {
        at += connect.size();
        timeouts.push_back(log.substr(at, log.find('\n', at) - at));
    }
    EXPECT_EQ(timeouts, (std::vector<std::string>{"10", "10", "10", "10"})) << log;
    EXPECT_TRUE(Has(log, "CDevice::getRMBCount invalid para:ip:127.0.0.1,netPort:" + port + ",timeout:-2147483648\n"));
    EXPECT_TRUE(Has(log, "CDevice::setTime invalid para:ip:127.0.0.1,netPort:-1,timeout:7\n")) << log;
    EXPECT_EQ(run.connections, 4u);
}

TEST_F(Logging, EveryDeviceCallLogsTheCodeItsCallerWasToldOnce)
{
    auto counts = [](const std::string& port) {
        return R"({"c":{"funcName":"getRMBCount","ip":"127.0.0.1","port":")" + port + R"("}})";
    };
    const std::string refused = R"({"c":{"funcName":"clearRMBCount","ip":"","port":"1"}})";
    const std::string unknown = R"({"c":{"funcName":"nothing","ip":"127.0.0.1","port":"1"}})";
    auto outcomes = [](const std::string& text) {
        std::vector<std::string> found;
        size_t at = 0;
        while ((at = text.find("<<doCommand ", at)) != std::string::npos) {
            at += strlen("<<doCommand ");
            found.push_back(text.substr(at, text.find('\n', at) - at));
        }
        return found;
    };
    auto countsOnly = [&](const std::string& port) { return std::vector<std::string>{counts(port)}; };
    std::string log = LogWithOwnCounter(
        [&](const std::string& port) { return std::vector<std::string>{counts(port), refused, unknown}; }).log;
    EXPECT_EQ(outcomes(log), (std::vector<std::string>{"funcName:getRMBCount,retCode:ECPWS0000000",
                                                       "funcName:clearRMBCount,retCode:ECPWSCOM0005"}))
        << log;
    // What the caller got, not what the device said: a buffer too small.
    log = LogWithOwnCounter(countsOnly, 100).log;
    EXPECT_EQ(outcomes(log), (std::vector<std::string>{"funcName:getRMBCount,retCode:ECPWSCOM0009"})) << log;
    log = LogWithOwnCounter(countsOnly, 10).log;
    EXPECT_EQ(outcomes(log), (std::vector<std::string>{"funcName:getRMBCount,retCode:(nothing fits)"})) << log;
}

TEST_F(Logging, RecordsCarryBrandKindSourceAndLevel)
{
    const std::string log = LogOf({R"({"c":{"funcName":"getRMBCount","ip":"","port":"1"}})"});
    EXPECT_TRUE(Has(log, " INFO  QOLT DCJ MERV_QOLT_DCJ.cpp:")) << log;
    EXPECT_TRUE(Has(log, ">>doCommand iOutDataLen:102400\n"));
    EXPECT_TRUE(Has(log, " INFO  QOLT DCJ Device.cpp:"));
    EXPECT_TRUE(Has(log, " ERROR QOLT DCJ Device.cpp:"));
    EXPECT_TRUE(Has(log, "CDevice::getRMBCount invalid para:ip:,netPort:1,timeout:10\n"));
    EXPECT_FALSE(Has(log, " DCJ /")) << "source files are named relative to the driver";
}

// Whether records holding every marker reach the log within half a second
// while the call that logs them still waits (its closing record not there):
// a record held more than a few milliseconds of a long wait is too late.
bool OnDiskWhileTheCallWaits(const std::string& log, const std::vector<std::string>& markers)
{
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        const std::string during = dcjtest::ReadFile(log);
        bool all = during.find("<<doCommand") == std::string::npos;
        for (const std::string& marker : markers) all = all && during.find(marker) != std::string::npos;
        if (all) return true;
    }
    return false;
}

TEST_F(Logging, RecordsAreOnDiskWhileTheDriverWaitsOnTheNetwork)
{
    const std::string log = tmp / "driver.log";
    auto child = dcjtest::RunInChild([&] {
        setenv("VDXLOG_FILE", log.c_str(), 1);
        dcjsim::Simulator silent;
        if (!silent.Start()) return 3;
        silent.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::NoAnswer; });
        dcjtest::DriverLib lib;
        std::thread call([&] {
            lib.DoCommand(dcjtest::MakeRequest("getRMBCount", "127.0.0.1", silent.Port(), {{"timeout", "3"}}));
        });
        // The counter holds the connection without answering: the driver
        // waits 3 s, and a record held more than a few milliseconds of that
        // is too late.
        const bool waiting = silent.WaitForExchanges(1, std::chrono::seconds(5));
        const bool complete = waiting && OnDiskWhileTheCallWaits(log, {">>doCommand funcName:getRMBCount",
                                                                       "CTCPClient::Connect:addr:127.0.0.1"});
        call.join();
        return waiting && complete ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << dcjtest::ReadFile(log);
    EXPECT_NE(dcjtest::ReadFile(log).find("Recv resPacket error"), std::string::npos);
}

// A host whose thread takes a timer signal more often than every 5 ms (a
// control loop, a 1 kHz tick): every slice of the wait is interrupted, and
// the records the call holds must still reach the file within a few
// milliseconds of the wait, not only when the counter answers or the
// time-out ends (a host killed meanwhile loses them).
TEST_F(Logging, RecordsAreOnDiskWhileTheDriverWaitsInAThreadTakingFrequentSignals)
{
    const std::string log = tmp / "driver.log";
    auto child = dcjtest::RunInChild([&] {
        setenv("VDXLOG_FILE", log.c_str(), 1);
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        sigset_t alrm;
        sigemptyset(&alrm);
        sigaddset(&alrm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alrm, nullptr);  // only the calling thread takes it
        dcjsim::Simulator silent;
        if (!silent.Start()) return 3;
        silent.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::NoAnswer; });
        dcjtest::DriverLib lib;
        std::thread call([&] {
            pthread_sigmask(SIG_UNBLOCK, &alrm, nullptr);
            lib.DoCommand(dcjtest::MakeRequest("getRMBCount", "127.0.0.1", silent.Port(), {{"timeout", "3"}}));
        });
        struct itimerval every2ms = {{0, 2000}, {0, 2000}};
        setitimer(ITIMER_REAL, &every2ms, nullptr);
        const bool waiting = silent.WaitForExchanges(1, std::chrono::seconds(5));
        const bool complete = waiting && OnDiskWhileTheCallWaits(log, {">>doCommand funcName:getRMBCount",
                                                                       "CTCPClient::Connect:addr:127.0.0.1"});
        call.join();
        struct itimerval off = {{0, 0}, {0, 0}};
        setitimer(ITIMER_REAL, &off, nullptr);
        return waiting && complete ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << dcjtest::ReadFile(log);
}

// A counter that answers at once leaves the call's records held; the
// download then waits up to its time-out for a working folder another
// download holds. The records must not wait that long either.
TEST_F(Logging, RecordsAreOnDiskWhileADownloadWaitsForTheWorkingFolder)
{
    const std::string log = tmp / "driver.log";
    const std::string temp = tmp / "temp/";
    auto child = dcjtest::RunInChild([&] {
        setenv("VDXLOG_FILE", log.c_str(), 1);
        dcjsim::Simulator sim;
        if (!sim.Start()) return 3;
        sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(1, 1, 10); });
        if (mkdir(temp.c_str(), 0777) != 0 || mkdir((temp + "QOLT").c_str(), 0777) != 0) return 4;
        const int held = open((temp + "QOLT").c_str(), O_RDONLY | O_DIRECTORY);
        if (held < 0 || flock(held, LOCK_EX) != 0) return 5;  // another download holds it
        dcjtest::DriverLib lib;
        std::thread call([&] {
            lib.DoCommand(dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(),
                                               {{"timeout", "3"}, {"instNo", "1"}, {"empNo", "2"},
                                                {"uploadDir", tmp / "up/"}, {"tempDir", temp}}));
        });
        const bool asked = sim.WaitForExchanges(1, std::chrono::seconds(5));
        const bool complete = asked && OnDiskWhileTheCallWaits(log, {">>doCommand funcName:getAllFSNFiles"});
        call.join();
        close(held);
        return asked && complete ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << dcjtest::ReadFile(log);
}

TEST_F(Logging, UnknownFunctionLogsTheTwoEntryLinesOnly)
{
    const std::string log = LogOf({R"({"c":{"funcName":"GetDevStatus","ip":"127.0.0.1","port":"1"}})"});
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

}  // namespace
