// Hosts that fork: threads forking in a loop, several at once, while others
// call and download. Every host runs in a child of its own with a time
// limit, so a deadlock ends the test with a failure instead of hanging it;
// the counter runs inside it, so the test's process has no thread of its
// own when it forks the host.
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
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

using dcjtest::Code;

// A sanitizer's allocator is not fork-safe: a child forked while another
// thread allocates may hang in it. There a child checks its descriptors
// without allocating and makes no call of its own; the parent's side (every
// lock the handlers took given back) is checked the same.
#if defined(__SANITIZE_THREAD__)
#define DCJ_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DCJ_UNDER_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kChildMayAllocate = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kChildMayAllocate = false;
#else
constexpr bool kChildMayAllocate = true;
#endif
#else
constexpr bool kChildMayAllocate = true;
#endif

bool Inside(const char* path, size_t len, const std::string& folder)
{
    return len >= folder.size() && memcmp(path, folder.data(), folder.size()) == 0 &&
           (len == folder.size() || path[folder.size()] == '/');
}

// Exit codes of a forked child's own check.
enum ChildVerdict {
    kClean = 0,
    kHeldWorkingFolder = 10,
    kHeldSocket = 11,
    kCallFailed = 12,
    kLostOwnDescriptor = 13,
    kHeldUploadFolder = 14,
    kHeldToolPipe = 9
};

// The host's own descriptors before its threads start: any pipe or pidfd
// a child holds beyond them is one of the driver's (a tool's report pipe).
constexpr int kKnownFds = 1024;
bool g_known[kKnownFds];

void NoteKnownDescriptors()
{
    for (int fd = 0; fd < kKnownFds; ++fd) g_known[fd] = fcntl(fd, F_GETFD) >= 0;
}

bool ToolPipeOrPidfd(int fd, const char* target, ssize_t len)
{
    if (fd <= 2 || fd >= kKnownFds || g_known[fd] || len <= 0) return false;
    return (len > 5 && memcmp(target, "pipe:", 5) == 0) ||
           (static_cast<size_t>(len) >= strlen("anon_inode:[pidfd]") && memcmp(target, "anon_inode:[pidfd]", 18) == 0);
}

// A child's own descriptors, opened after the fork: they take the numbers
// the driver's closed copies had. A download of the child's own must leave
// every one of them open and what it was.
bool DownloadKeepsOwnDescriptors(DriverLib& lib, const std::string& request)
{
    struct stat null;
    if (stat("/dev/null", &null) != 0) return false;
    int own[8];
    for (int& fd : own) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (Code(lib.DoCommand(request)) != "ECPWS0000000") _exit(kCallFailed);
    for (int fd : own) {
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_rdev != null.st_rdev || st.st_ino != null.st_ino) return false;
    }
    return true;
}

// How much of it a run must see: downloads, and children forked meanwhile.
constexpr int kDownloads = 20;
constexpr int kForks = 300;

// A descriptor connected to the counter's port.
bool ToCounter(int fd, int port)
{
    struct sockaddr_in peer;
    socklen_t len = sizeof(peer);
    return getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET &&
           ntohs(peer.sin_port) == port;
}

// The first descriptor of this process that names the folder or something
// in it, or the upload folder itself, or that is connected to the counter's
// port; -1 when none does. Without allocating, so a forked child can run it
// at once.
int HeldOnFolderOrCounter(const std::string& folder, const std::string& upload, int port, ChildVerdict* what)
{
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    alignas(8) char buf[4096];
    long n;
    int found = -1;
    while (found < 0 && (n = syscall(SYS_getdents64, dir, buf, sizeof(buf))) > 0) {
        for (long at = 0; at < n && found < 0;) {
            unsigned short length;
            memcpy(&length, buf + at + 16, sizeof(length));
            const char* name = buf + at + 19;
            at += length;
            if (*name < '0' || *name > '9') continue;
            const int fd = atoi(name);
            if (fd == dir) continue;
            char link[64] = "/proc/self/fd/";
            strncat(link, name, sizeof(link) - strlen(link) - 1);
            char target[PATH_MAX];
            const ssize_t got = readlink(link, target, sizeof(target));
            if (got > 0 && Inside(target, static_cast<size_t>(got), folder)) {
                *what = kHeldWorkingFolder;
                found = fd;
            } else if (got > 0 && Inside(target, static_cast<size_t>(got), upload)) {  // the folder, an archive
                *what = kHeldUploadFolder;
                found = fd;
            } else if (ToCounter(fd, port)) {
                *what = kHeldSocket;
                found = fd;
            } else if (ToolPipeOrPidfd(fd, target, got)) {
                *what = kHeldToolPipe;
                found = fd;
            }
        }
    }
    close(dir);
    return found;
}

// A counter inside the host, with files every download finds again.
class HostCounter {
public:
    HostCounter(const TempDir& tmp) : m_tmp(tmp)
    {
        m_sim.Edit([](dcjsim::Scenario& s) {
            s.files = dcjsim::GenerateFiles(12, 2, 512);
            s.clearFilesOnConfirm = false;
        });
        m_started = m_sim.Start();
    }
    bool started() const { return m_started; }
    int port() const { return m_sim.Port(); }
    std::string Request(const std::string& func, const std::map<std::string, std::string>& extra = {}) const
    {
        std::map<std::string, std::string> all = extra;
        all["timeout"] = "10";
        return dcjtest::MakeRequest(func, "127.0.0.1", m_sim.Port(), all);
    }
    std::string DownloadRequest() const
    {
        return Request("getAllFSNFiles",
                       {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", m_tmp / "up/"}, {"tempDir", m_tmp / "temp/"}});
    }

private:
    const TempDir& m_tmp;
    dcjsim::Simulator m_sim;
    bool m_started = false;
};

class ForkingHost : public ::testing::Test {
protected:
    TempDir tmp;
};

// Reaps child, killing it when it has not ended within seconds; its exit
// status (128 + the signal when one ended it), or -1 when it had to be killed.
int ReapWithin(pid_t child, double seconds)
{
    const Clock::time_point until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(seconds));
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
#ifdef DCJ_UNDER_TSAN
    // ThreadSanitizer cannot follow a child of a multi-threaded fork that
    // starts threads (its runtime refuses it); the other builds run this.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    const std::string tempDir = tmp / "temp";
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            DriverLib lib;
            HostCounter counter(tmp);
            if (!lib.ok() || !counter.started()) return 2;
            const std::string download = counter.DownloadRequest();
            // Archive mode starts tools: their report pipes and pidfds must
            // not reach a child either, or a download waits for it.
            dcjtest::WriteFile(tmp / "related.txt", "related");
            const std::string archive = counter.Request(
                "getAllFSNFiles", {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / "up/"},
                                   {"tempDir", tmp / "temp/"}, {"relativeFilePath", tmp / "related.txt"}});
            const std::string counts = counter.Request("getRMBCount");
            // The working folder by its real path, as /proc shows it.
            if (lib.DoCommand(download).find("ECPWS0000000") == std::string::npos) return 3;
            char real[PATH_MAX];
            if (realpath(tempDir.c_str(), real) == nullptr) return 4;
            const std::string working = std::string(real) + "/QOLT";
            if (realpath((tmp / "up").c_str(), real) == nullptr) return 4;
            const std::string upload = real;

            std::atomic<bool> stop{false};
            std::atomic<int> downloads{0}, failedDownloads{0}, failedCalls{0};
            std::string lastFailure;
            NoteKnownDescriptors();
            std::thread downloader([&] {
                for (int i = 0; !stop; ++i) {
                    const bool packed = i % 2 == 1;
                    const std::string reply = lib.DoCommand(packed ? archive : download, 1 << 20);
                    ++downloads;
                    if (Code(reply) != "ECPWS0000000") {
                        ++failedDownloads;
                        lastFailure = reply;
                    }
                    // Each archive takes a second's name: free it again (by
                    // name: a listing's descriptor would be the host's own
                    // on the upload folder).
                    const std::string zip = ReplyField(reply, "retBizArgs", "fsnFiles");
                    if (packed && !zip.empty()) unlink((tmp / "up/" + zip).c_str());
                }
            });
            std::thread caller([&] {
                while (!stop) {
                    if (Code(lib.DoCommand(counts)) != "ECPWS0000000") ++failedCalls;
                }
            });
            std::atomic<int> forks{0};
            std::vector<int> verdicts(17, 0);  // 15: hung, 16: anything else
            std::mutex verdictMutex;
            auto forker = [&](int id) {
                for (int i = 0; !stop; ++i) {
                    const pid_t pid = fork();
                    if (pid == 0) {
                        // At once, before anything else runs here.
                        ChildVerdict held = kClean;
                        if (HeldOnFolderOrCounter(working, upload, counter.port(), &held) >= 0) _exit(held);
                        // Every fourth child calls the counter itself, and
                        // every fourth downloads into folders of its own.
                        if (kChildMayAllocate && (i + id) % 4 == 0 &&
                            Code(lib.DoCommand(counts)) != "ECPWS0000000") {
                            _exit(kCallFailed);
                        }
                        if (kChildMayAllocate && (i + id) % 4 == 1) {
                            const std::string own = tmp / ("child" + std::to_string(getpid()) + "/");
                            const std::string request = counter.Request(
                                "getAllFSNFiles",
                                {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", own + "up/"}, {"tempDir", own + "temp/"}});
                            if (!DownloadKeepsOwnDescriptors(lib, request)) _exit(kLostOwnDescriptor);
                        }
                        _exit(kClean);
                    }
                    if (pid < 0) continue;
                    ++forks;
                    const int verdict = ReapWithin(pid, 20);
                    std::lock_guard<std::mutex> lock(verdictMutex);
                    ++verdicts[verdict < 0 ? 15 : verdict < 15 ? verdict : 16];
                }
            };
            std::thread forkerA(forker, 0), forkerB(forker, 1), forkerC(forker, 2);
            // Counted, not timed: a loaded machine takes longer, never less.
            const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(120);
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
                   "callFailed %d lostOwn %d uploadFolder %d toolPipe %d hung %d\n",
                   forks.load(), downloads.load(), failedDownloads.load(), failedCalls.load(), verdicts[kClean],
                   verdicts[kHeldWorkingFolder], verdicts[kHeldSocket], verdicts[kCallFailed],
                   verdicts[kLostOwnDescriptor], verdicts[kHeldUploadFolder], verdicts[kHeldToolPipe], verdicts[15]);
            if (failedDownloads > 0) printf("last failed download: %s\n", lastFailure.c_str());
            // Free again afterwards, at once.
            const Clock::time_point start = Clock::now();
            const bool answered = Code(lib.DoCommand(counts)) == "ECPWS0000000";
            printf("after %d %lld\n", answered ? 1 : 0,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                                              .count()));
            return 0;
        },
        200);
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
    EXPECT_EQ(n["lostOwn"], 0) << host.out;
    EXPECT_EQ(n["uploadFolder"], 0) << host.out;
    EXPECT_EQ(n["toolPipe"], 0) << host.out;
    EXPECT_EQ(n["hung"], 0) << host.out;
    EXPECT_EQ(n["clean"], n["forks"]) << host.out;
    EXPECT_EQ(n["after"], 1) << host.out;
    RecordProperty("forks", std::to_string(n["forks"]));
    RecordProperty("downloads", std::to_string(n["downloads"]));
}

TEST_F(ForkingHost, ThreadsForkingAtOnceNeverLeaveTheDriverOrTheLogLibraryLocked)
{
#ifdef DCJ_UNDER_TSAN
    // ThreadSanitizer cannot follow a child of a multi-threaded fork that
    // starts threads (its runtime refuses it); the other builds run this.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            DriverLib lib;
            HostCounter counter(tmp);
            if (!lib.ok() || !counter.started()) return 2;
            const std::string counts = counter.Request("getRMBCount");
            typedef void (*LogFunc)(const char*, const char*, const char*, int, const char*);
            void* log = dlopen(DCJ_VDXLOG_SO, RTLD_NOW | RTLD_NOLOAD);
            LogFunc info = log ? reinterpret_cast<LogFunc>(dlsym(log, "LogInfo")) : nullptr;
            if (info == nullptr) return 3;
            std::atomic<bool> stop{false};
            std::atomic<int> forks{0}, bad{0}, hung{0};
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
                        // The child's own log record and call: neither may
                        // wait for the parent's threads.
                        if (!kChildMayAllocate) _exit(0);
                        info("QOLT", "DCJ", "fork.cpp", 1, "child");
                        _exit(Code(lib.DoCommand(counts)) == "ECPWS0000000" ? 0 : 1);
                    }
                    if (pid < 0) continue;
                    ++forks;
                    const int verdict = ReapWithin(pid, 20);
                    if (verdict < 0) ++hung;
                    else if (verdict != 0) ++bad;
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
            printf("forks %d bad %d hung %d after %d\n", forks.load(), bad.load(), hung.load(), answered ? 1 : 0);
            return 0;
        },
        90);
    ASSERT_EQ(host.status, 0) << "the host did not end (deadlocked?): " << host.out << host.err;
    EXPECT_NE(host.out.find(" bad 0 hung 0 after 1"), std::string::npos) << host.out;
}

// Whether the C library's GBK converter module is mapped in this process.
bool ConverterLoaded()
{
    FILE* maps = fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && fgets(line, sizeof(line), maps)) found = strstr(line, "/gconv/GBK.so") != nullptr;
    fclose(maps);
    return found;
}

// A host that has only loaded the driver, in a process of its own (the test
// runs itself again): no converter is opened while the driver loads (a
// converter's module would load under the loader's lock, in the other order
// than another thread opening a converter takes the two), but at the first
// conversion, or at the first fork if that comes first, so that no child
// has to open one.
TEST(FreshHost, TheConverterIsOpenedAtTheFirstConversionOrForkNotAtLoad)
{
    const char* mode = getenv("DCJ_FRESH_HOST");
    if (mode == nullptr) {
        for (const char* m : {"convert", "fork"}) dcjtest::RunAsFreshHost("FreshHost.*", m);
        return;
    }
    if (ConverterLoaded()) GTEST_SKIP() << "this C library build maps converters at start";
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    EXPECT_FALSE(ConverterLoaded()) << "opened while loading";
    if (strcmp(mode, "fork") == 0) {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        ASSERT_GT(pid, 0);
        waitpid(pid, nullptr, 0);
    } else {
        // Nothing listens on port 1: the reply's description is GBK text.
        const std::string reply = lib.DoCommand(dcjtest::MakeRequest("getRMBCount", "127.0.0.1", 1));
        EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << reply;
        EXPECT_NE(ReplyField(reply, "retComArgs", "errDesc"), "");
    }
    EXPECT_TRUE(ConverterLoaded()) << mode;
}

// Runs work on a thread of its own that has a cancel pending, then lets the
// cancel act; whether the thread ended cancelled (work must not reach a
// cancellation point of its own).
bool WithACancelPending(void (*work)())
{
    pthread_t thread;
    if (pthread_create(
            &thread, nullptr,
            [](void* arg) -> void* {
                int old;
                pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
                pthread_cancel(pthread_self());
                pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
                reinterpret_cast<void (*)()>(arg)();
                dcjtest::ActOnPendingCancel();
                return nullptr;
            },
            reinterpret_cast<void*>(work)) != 0) {
        return false;
    }
    void* end = nullptr;
    return pthread_join(thread, &end) == 0 && end == PTHREAD_CANCELED;
}

// A thread with a cancel pending may fork: the driver's fork handlers open
// and close files (the converter, on the first fork), and the cancel must
// not act in them, in the middle of the C library's fork. It acts at the
// thread's next cancellation point, after the fork.
TEST(FreshHostCancelledFork, APendingCancelActsAfterTheForkNotInsideIt)
{
    if (getenv("DCJ_FRESH_HOST") == nullptr) {
        dcjtest::RunAsFreshHost("FreshHostCancelledFork.*", "cancelled-fork");
        return;
    }
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    static std::atomic<pid_t> child{0};
    EXPECT_TRUE(WithACancelPending([] {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        child = pid;  // reaped by the main thread: waitpid would act on the cancel
    }));
    ASSERT_GT(child.load(), 0) << "the cancel acted inside the fork";
    int childStatus = 0;
    EXPECT_EQ(waitpid(child.load(), &childStatus, 0), child.load());
    // The C library's fork lock is free again: the host forks on.
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    ASSERT_GT(pid, 0);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

// A thread with a cancel pending may load the driver: what runs at load
// closes descriptors, and the cancel must act after dlopen, not inside it.
TEST(FreshHostCancelledLoad, APendingCancelActsAfterTheLoadNotInsideIt)
{
    if (getenv("DCJ_FRESH_HOST") == nullptr) {
        dcjtest::RunAsFreshHost("FreshHostCancelledLoad.*", "cancelled-load");
        return;
    }
    static std::atomic<bool> loaded{false};
    EXPECT_TRUE(WithACancelPending([] { loaded = DriverLib().ok(); }));
    EXPECT_TRUE(loaded.load()) << "the cancel acted inside the load";
    // The driver the cancelled thread loaded works.
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    EXPECT_EQ(Code(lib.DoCommand(dcjtest::MakeRequest("getRMBCount", "", 1))), "ECPWSCOM0005");
}

// The first conversion of a fresh host that has no descriptor to spare
// cannot open the converter. That call may lose its text; the host's later
// calls, with descriptors free again, must not.
TEST(FreshHostWithoutDescriptors, ACallThatCannotOpenTheConverterDoesNotSpoilTheLaterReplies)
{
    if (getenv("DCJ_FRESH_HOST") == nullptr) {
        dcjtest::RunAsFreshHost("FreshHostWithoutDescriptors.*", "descriptors");
        return;
    }
    if (ConverterLoaded()) GTEST_SKIP() << "this C library build maps converters at start";
    DriverLib lib;
    ASSERT_TRUE(lib.ok());
    // No address: refused as a bad argument, with its Chinese description.
    const std::string request = dcjtest::MakeRequest("getRMBCount", "", 1);
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit few = limit;
    few.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    std::vector<int> taken;
    for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
    const std::string starved = lib.DoCommand(request);
    for (int fd : taken) close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(Code(starved), "ECPWSCOM0005") << starved;

    for (int call = 0; call < 2; ++call) {
        const std::string reply = lib.DoCommand(request);
        EXPECT_EQ(ReplyField(reply, "retComArgs", "errDesc"), "接口参数错误") << reply;
    }
    EXPECT_TRUE(ConverterLoaded());
}

}  // namespace
