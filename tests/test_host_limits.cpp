// Hosts with limits and counters that misbehave: a file-size limit that
// would kill the host mid-download, and a counter that sends one file more
// than it announced after a pause.
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::DriverLib;
using dcjtest::ReplyField;
using dcjtest::TempDir;
using Clock = std::chrono::steady_clock;

using dcjtest::Code;

class HostLimits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start()); }
    std::string DownloadRequest(const std::string& timeout = "5") const
    {
        return dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(),
                                    {{"timeout", timeout},
                                     {"instNo", "1"},
                                     {"empNo", "2"},
                                     {"uploadDir", tmp / "up/"},
                                     {"tempDir", tmp / "temp/"}});
    }
    size_t Confirmations() const
    {
        sim.WaitForExchanges(sim.Connections(), std::chrono::seconds(5));
        size_t n = 0;
        for (const auto& e : sim.Exchanges()) n += e.cmd == 0xA6;
        return n;
    }

    dcjsim::Simulator sim;
    TempDir tmp;
};

// In a host with a 64 KiB file-size limit, a download of a 256 KiB file:
// the host lives, the download fails as storage, nothing is confirmed.
// hostPending: the host has SIGXFSZ blocked and pending before the call,
// which must stay so.
dcjtest::ProcessResult DownloadUnderSizeLimit(const std::string& request, bool hostPending)
{
    return dcjtest::RunInChild(
        [&] {
            DriverLib lib;
            if (!lib.ok()) return 2;
            sigset_t xfsz;
            sigemptyset(&xfsz);
            sigaddset(&xfsz, SIGXFSZ);
            if (hostPending) {
                sigprocmask(SIG_BLOCK, &xfsz, nullptr);
                raise(SIGXFSZ);
            }
            const struct rlimit limit = {64 * 1024, 64 * 1024};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
            const std::string reply = lib.DoCommand(request);
            sigset_t pending, mask;
            sigpending(&pending);
            sigprocmask(SIG_BLOCK, nullptr, &mask);
            printf("%s\npending %d blocked %d\n", Code(reply).c_str(), sigismember(&pending, SIGXFSZ),
                   sigismember(&mask, SIGXFSZ));
            return 0;
        },
        60);
}

TEST_F(HostLimits, AFileSizeLimitFailsTheDownloadWithoutKillingTheHost)
{
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 4, 64 * 1024); });
    const dcjtest::ProcessResult plain = DownloadUnderSizeLimit(DownloadRequest(), false);
    ASSERT_EQ(plain.status, 0) << "the host was killed (SIGXFSZ)" << plain.err;
    EXPECT_EQ(plain.out, "DRV0000001\npending 0 blocked 0\n");
    EXPECT_EQ(Confirmations(), 0u);
    EXPECT_TRUE(dcjtest::ListDir(tmp / "up").empty());

    // A signal the host had pending before is still its own afterwards.
    const dcjtest::ProcessResult pending = DownloadUnderSizeLimit(DownloadRequest(), true);
    ASSERT_EQ(pending.status, 0) << pending.err;
    EXPECT_EQ(pending.out, "DRV0000001\npending 1 blocked 1\n");
    EXPECT_EQ(Confirmations(), 0u);
}

TEST_F(HostLimits, AFileBeyondTheAnnouncedCountAfterAPauseRefusesTheDownload)
{
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    sim.Edit([](dcjsim::Scenario& s) {
        s.files = dcjsim::GenerateFiles(2, 2, 256);
        s.fault = dcjsim::Fault::ExtraFileAfterPause;
        s.extraFileDelay = std::chrono::milliseconds(150);
    });
    const std::string reply = lib.DoCommand(DownloadRequest());
    EXPECT_EQ(Code(reply), "DRVDCJ1003") << reply;
    EXPECT_EQ(Confirmations(), 0u);
    EXPECT_EQ(sim.CurrentScenario().files.size(), 2u);

    // A counter that closes at once after its last file costs no wait: the
    // quickest of three downloads ends well inside the half second.
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::None;
        s.clearFilesOnConfirm = false;
    });
    double quickest = 1e9;
    for (int i = 0; i < 3; ++i) {
        const Clock::time_point start = Clock::now();
        const std::string ok = lib.DoCommand(DownloadRequest());
        EXPECT_EQ(Code(ok), "ECPWS0000000") << ok;
        quickest = std::min(quickest, std::chrono::duration<double>(Clock::now() - start).count());
    }
    EXPECT_LT(quickest, 0.4);
    EXPECT_EQ(Confirmations(), 3u);
    RecordProperty("quickest_download_ms", std::to_string(static_cast<int>(quickest * 1000)));
}

TEST_F(HostLimits, TheWaitForTheCounterToCloseIsBoundedByTheTimeOut)
{
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    // A counter that keeps the stream open, silent, past the wait: the
    // download is confirmed after at most half a second more.
    sim.Edit([](dcjsim::Scenario& s) {
        s.files = dcjsim::GenerateFiles(1, 1, 256);
        s.fault = dcjsim::Fault::ExtraFileAfterPause;
        s.extraFileDelay = std::chrono::milliseconds(3000);
        s.faultConnections = 1;
    });
    const Clock::time_point start = Clock::now();
    const std::string reply = lib.DoCommand(DownloadRequest());
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(Confirmations(), 1u);
}

}  // namespace
