// Long run: 10,000 doCommand calls in a row through the driver loaded as a
// host loads it, against the simulated counter. After warm-up the process
// must hold no more descriptors and no more resident memory than before.
//
//   DCJ_LONGRUN_CALLS  number of calls (default 10000)
//   DCJ_LONGRUN_RSS    0: skip the resident-memory bound (under valgrind,
//                      whose own memory is counted)
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DCJ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DCJ_SANITIZED 1
#endif
#endif

namespace {

using dcjtest::Code;

using dcjtest::ReplyField;

const char kSuccess[] = "ECPWS0000000";
const char kNetworkFailed[] = "ECPWSDCJ0002";

// Calls served by one simulator: its exchange records grow with every call,
// so each batch gets a fresh one and measurements are taken between them.
constexpr size_t kBatch = 500;
// Resident memory may move by allocator noise, never by a per-call leak:
// the 9,500 calls after warm-up leaking 32 bytes each already exceed it.
constexpr long kRssSlackKb = 256;

size_t EnvCount(const char* name, size_t fallback)
{
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return static_cast<size_t>(strtoul(text, nullptr, 10));
}

long ResidentKb()
{
    const std::string status = dcjtest::ReadFile("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return -1;
    return strtol(status.c_str() + at + 6, nullptr, 10);
}

class LongRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One heap for every thread: the simulator serves each call on a new
        // thread, and per-thread heaps would add their high-water marks to
        // the figure.
        mallopt(M_ARENA_MAX, 1);
        s_lib = new dcjtest::DriverLib();
    }


    std::string Call(const std::string& func, uint16_t port, std::map<std::string, std::string> extra = {})
    {
        extra["timeout"] = "5";
        return s_lib->DoCommand(dcjtest::MakeRequest(func, "127.0.0.1", port, extra));
    }

    // One call of the mix; empty when it went as expected, else what went wrong.
    std::string OneCall(size_t i, dcjsim::Simulator& sim, dcjsim::Simulator& faulty)
    {
        if (i % 50 == 49) {
            sim.Edit([this](dcjsim::Scenario& s) { s.files = m_files; });
            const std::string reply = Call("getAllFSNFiles", sim.Port(),
                                           {{"instNo", "442000034"}, {"empNo", "10677661"},
                                            {"uploadDir", m_upload}, {"tempDir", m_temp}});
            if (Code(reply) != kSuccess) return "download: " + reply;
            const std::vector<std::string> delivered = dcjtest::ListDir(m_upload);
            if (delivered.size() != m_files.size()) return "download delivered " + std::to_string(delivered.size());
            for (const std::string& name : delivered) dcjtest::RemoveTree(m_upload + name);
            return "";
        }
        if (i % 100 == 24) {
            // The error path: the counter hangs up without answering.
            const std::string reply = Call("getRMBCount", faulty.Port());
            return Code(reply) == kNetworkFailed ? "" : "hang-up: " + reply;
        }
        static const char* const kFuncs[] = {"getDevStatus", "getRMBCount", "clearRMBCount"};
        const char* func = kFuncs[i % 3];
        const std::string reply = Call(func, sim.Port());
        if (Code(reply) != kSuccess) return std::string(func) + ": " + reply;
        if (strcmp(func, "getDevStatus") == 0 && ReplyField(reply, "retBizArgs", "status") != "01") {
            return "status: " + reply;
        }
        if (strcmp(func, "getRMBCount") == 0 && ReplyField(reply, "retBizArgs", "realCash") != "100:10,50:2") {
            return "count: " + reply;
        }
        return "";
    }

    static dcjtest::DriverLib* s_lib;
    dcjtest::TempDir m_tmp{"dcj-longrun"};
    const std::string m_upload = m_tmp / "up/";
    const std::string m_temp = m_tmp / "temp/";
    const std::vector<dcjsim::FsnFile> m_files = dcjsim::GenerateFiles(2, 1, 300);
};
dcjtest::DriverLib* LongRun::s_lib = nullptr;

TEST_F(LongRun, ThousandsOfCallsHoldDescriptorsAndMemorySteady)
{
    ASSERT_TRUE(s_lib->ok());
    const size_t calls = EnvCount("DCJ_LONGRUN_CALLS", 10000);
    ASSERT_GE(calls, 8u);
    const size_t batch = std::min(kBatch, calls / 4);
    bool checkRss = EnvCount("DCJ_LONGRUN_RSS", 1) != 0;
#ifdef DCJ_SANITIZED
    checkRss = false;  // the sanitizer's allocator holds freed memory on purpose
#endif

    int baseFds = -1, maxFds = -1;
    long baseRss = -1, maxRss = -1;
    std::string series;
    size_t done = 0;
    while (done < calls) {
        {
            dcjsim::Simulator sim;
            dcjsim::Scenario hangUp;
            hangUp.fault = dcjsim::Fault::CloseAfterAccept;
            dcjsim::Simulator faulty(hangUp);
            ASSERT_TRUE(sim.Start());
            ASSERT_TRUE(faulty.Start());
            const size_t end = std::min(calls, done + batch);
            for (; done < end; ++done) {
                const std::string wrong = OneCall(done, sim, faulty);
                ASSERT_EQ(wrong, "") << "call " << done;
            }
        }
        // Simulators gone: only the driver's and the test's own state is left.
        const int fds = dcjtest::OpenDescriptorCount();
        const long rss = ResidentKb();
        series += " " + std::to_string(rss);
        if (baseFds < 0) {  // the first batch is the warm-up
            baseFds = maxFds = fds;
            baseRss = maxRss = rss;
            continue;
        }
        maxFds = std::max(maxFds, fds);
        maxRss = std::max(maxRss, rss);
        EXPECT_EQ(fds, baseFds) << "after " << done << " calls";
    }
    printf("long run: %zu calls; descriptors %d after warm-up, at most %d; resident %ld kB after warm-up, "
           "at most %ld kB (+%ld kB)%s; kB after each batch:%s\n",
           calls, baseFds, maxFds, baseRss, maxRss, maxRss - baseRss, checkRss ? "" : " (not checked)",
           series.c_str());
    RecordProperty("rss_growth_kb", static_cast<int>(maxRss - baseRss));
    if (checkRss) {
        EXPECT_LE(maxRss - baseRss, kRssSlackKb);
    }
}

}  // namespace
