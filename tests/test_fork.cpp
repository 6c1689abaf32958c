// Hosts that fork: threads forking in a loop, several at once, while others
// call and download. Every host runs in a child of its own with a time
// limit, so a deadlock ends the test with a failure instead of hanging it.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
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

std::string Code(const std::string& reply)
{
    return ReplyField(reply, "retComArgs", "retCode");
}

// What each descriptor of this process names ("socket:[...]", a path, ...).
std::vector<std::string> DescriptorTargets()
{
    std::vector<std::string> targets;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return targets;
    const int own = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || atoi(entry->d_name) == own) continue;
        char target[PATH_MAX];
        const ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof(target));
        if (n > 0) targets.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(dir);
    return targets;
}

bool Inside(const std::string& path, const std::string& folder)
{
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Exit codes of a forked child's own check.
enum ChildVerdict { kClean = 0, kHeldWorkingFolder = 10, kHeldSocket = 11, kCallFailed = 12 };

// How much of it a run must see: downloads, and children forked meanwhile.
constexpr int kDownloads = 20;
constexpr int kForks = 400;

class ForkingHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.Edit([](dcjsim::Scenario& s) {
            s.files = dcjsim::GenerateFiles(12, 2, 512);
            s.clearFilesOnConfirm = false;  // every download finds them again
        });
        ASSERT_TRUE(sim.Start());
    }
    std::string Request(const std::string& func, const std::map<std::string, std::string>& extra = {}) const
    {
        std::map<std::string, std::string> all = extra;
        all["timeout"] = "10";
        return dcjtest::MakeRequest(func, "127.0.0.1", sim.Port(), all);
    }
    std::string DownloadRequest() const
    {
        return Request("getAllFSNFiles",
                       {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / "up/"}, {"tempDir", tmp / "temp/"}});
    }

    dcjsim::Simulator sim;
    TempDir tmp;
};

// Reaps child, killing it when it has not ended within seconds; its exit
// status, or -1.
int ReapWithin(pid_t child, double seconds)
{
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(seconds));
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (got < 0 && errno != EINTR) return -1;
        if (Clock::now() >= until) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

TEST_F(ForkingHost, ChildrenForkedDuringCallsAndDownloadsKeepNothingOfThemAndCanCall)
{
    const std::string download = DownloadRequest();
    const std::string counts = Request("getRMBCount");
    const std::string tempDir = tmp / "temp";
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            DriverLib lib;
            if (!lib.ok()) return 2;
            // Sockets the host had before any call (copies of the counter's
            // own, which lives in the test's process) are not the driver's.
            std::set<std::string> before;
            for (const std::string& t : DescriptorTargets()) before.insert(t);
            // The working folder by its real path, as /proc shows it.
            if (lib.DoCommand(download).find("ECPWS0000000") == std::string::npos) return 3;
            char real[PATH_MAX];
            if (realpath(tempDir.c_str(), real) == nullptr) return 4;
            const std::string working = std::string(real) + "/QOLT";

            std::atomic<bool> stop{false};
            std::atomic<int> downloads{0}, failedDownloads{0}, failedCalls{0};
            std::string lastFailure;
            std::thread downloader([&] {
                while (!stop) {
                    const std::string reply = lib.DoCommand(download, 1 << 20);
                    ++downloads;
                    if (Code(reply) != "ECPWS0000000") {
                        ++failedDownloads;
                        lastFailure = reply;
                    }
                }
            });
            std::thread caller([&] {
                while (!stop) {
                    if (Code(lib.DoCommand(counts)) != "ECPWS0000000") ++failedCalls;
                }
            });
            std::atomic<int> forks{0};
            std::vector<int> verdicts(16, 0);
            std::mutex verdictMutex;
            auto forker = [&](int id) {
                for (int i = 0; !stop; ++i) {
                    const pid_t pid = fork();
                    if (pid == 0) {
                        // At once, before anything else runs here.
                        for (const std::string& t : DescriptorTargets()) {
                            if (Inside(t, working)) _exit(kHeldWorkingFolder);
                            if (t.compare(0, 7, "socket:") == 0 && before.count(t) == 0) _exit(kHeldSocket);
                        }
                        // Every fourth child calls the counter itself.
                        if ((i + id) % 4 == 0 && Code(lib.DoCommand(counts)) != "ECPWS0000000") _exit(kCallFailed);
                        _exit(kClean);
                    }
                    if (pid < 0) continue;
                    ++forks;
                    const int verdict = ReapWithin(pid, 20);
                    std::lock_guard<std::mutex> lock(verdictMutex);
                    ++verdicts[verdict < 0 ? 15 : verdict < 15 ? verdict : 14];
                }
            };
            std::thread forkerA(forker, 0), forkerB(forker, 1), forkerC(forker, 2);
            // Counted, not timed: a loaded machine takes longer, never less.
            const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(60);
            while ((downloads < kDownloads || forks < kForks) && Clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            stop = true;
            forkerA.join();
            forkerB.join();
            forkerC.join();
            downloader.join();
            caller.join();
            printf("forks %d downloads %d failedDownloads %d failedCalls %d clean %d workingFolder %d socket %d "
                   "callFailed %d hung %d\n",
                   forks.load(), downloads.load(), failedDownloads.load(), failedCalls.load(), verdicts[kClean],
                   verdicts[kHeldWorkingFolder], verdicts[kHeldSocket], verdicts[kCallFailed], verdicts[15]);
            if (failedDownloads > 0) printf("last failed download: %s\n", lastFailure.c_str());
            // Free again afterwards, at once.
            const Clock::time_point start = Clock::now();
            const bool answered = Code(lib.DoCommand(counts)) == "ECPWS0000000";
            printf("after %d %lld\n", answered ? 1 : 0,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                                              .count()));
            return 0;
        },
        150);
    ASSERT_EQ(host.status, 0) << host.out << host.err;
    std::istringstream in(host.out);
    std::string word;
    std::map<std::string, long long> n;
    for (long long value; in >> word >> value;) n[word] = value;
    EXPECT_GE(n["forks"], kForks) << host.out;
    EXPECT_GE(n["downloads"], kDownloads) << host.out;
    EXPECT_EQ(n["failedDownloads"], 0) << host.out;
    EXPECT_EQ(n["failedCalls"], 0) << host.out;
    EXPECT_EQ(n["workingFolder"], 0) << host.out;
    EXPECT_EQ(n["socket"], 0) << host.out;
    EXPECT_EQ(n["callFailed"], 0) << host.out;
    EXPECT_EQ(n["hung"], 0) << host.out;
    EXPECT_EQ(n["clean"], n["forks"]) << host.out;
    EXPECT_EQ(n["after"], 1) << host.out;
    RecordProperty("forks", std::to_string(n["forks"]));
    RecordProperty("downloads", std::to_string(n["downloads"]));
}

TEST_F(ForkingHost, ThreadsForkingAtOnceNeverLeaveTheDriverOrTheLogLibraryLocked)
{
    const std::string counts = Request("getRMBCount");
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            DriverLib lib;
            if (!lib.ok()) return 2;
            typedef void (*LogFunc)(const char*, const char*, const char*, int, const char*);
            void* log = dlopen(DCJ_VDXLOG_SO, RTLD_NOW | RTLD_NOLOAD);
            LogFunc info = log ? reinterpret_cast<LogFunc>(dlsym(log, "LogInfo")) : nullptr;
            if (info == nullptr) return 3;
            std::atomic<bool> stop{false};
            std::atomic<int> forks{0}, bad{0};
            std::thread caller([&] {
                while (!stop) lib.DoCommand(counts);
            });
            std::thread logger([&] {
                for (int i = 0; !stop; ++i) info("QOLT", "DCJ", "fork.cpp", i, "parent");
            });
            auto forker = [&] {
                while (!stop) {
                    const pid_t pid = fork();
                    if (pid == 0) {
                        // The child's own log record and call: neither may wait for the parent's threads.
                        info("QOLT", "DCJ", "fork.cpp", 1, "child");
                        _exit(Code(lib.DoCommand(counts)) == "ECPWS0000000" ? 0 : 1);
                    }
                    if (pid < 0) continue;
                    ++forks;
                    if (ReapWithin(pid, 20) != 0) ++bad;
                }
            };
            std::vector<std::thread> forkers;
            for (int i = 0; i < 4; ++i) forkers.emplace_back(forker);
            std::this_thread::sleep_for(std::chrono::seconds(3));
            stop = true;
            for (std::thread& t : forkers) t.join();
            caller.join();
            logger.join();
            info("QOLT", "DCJ", "fork.cpp", 2, "after");
            const bool answered = Code(lib.DoCommand(counts)) == "ECPWS0000000";
            printf("forks %d bad %d after %d\n", forks.load(), bad.load(), answered ? 1 : 0);
            return 0;
        },
        90);
    ASSERT_EQ(host.status, 0) << "the host did not end (deadlocked?): " << host.out << host.err;
    EXPECT_NE(host.out.find(" bad 0 after 1"), std::string::npos) << host.out;
}

}  // namespace
