// The driver's fork handlers on their own: handlers of forks that run side
// by side (as a C library that does not serialise forks runs them), and
// what a child closes. Each case runs in a child with a time limit, so a
// lock left held fails it instead of hanging the suite.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Basic/Dataprocess.h"
#include "Basic/DataprocessFiles.h"
#include "ForkSafety.h"
#include "LoadLogDll.h"
#include "MERV_QOLT_DCJ.h"
#include "TestSupport.h"

namespace {

using dcjtest::TempDir;

bool Open(int fd)
{
    return fcntl(fd, F_GETFD) >= 0;
}

TEST(ForkHandlers, HandlersOfForksRunningSideBySideEachReleaseWhatTheyTook)
{
#if defined(__SANITIZE_THREAD__)
    // Two prepares side by side is what no C library under ThreadSanitizer
    // does; its lock model reports the second try of a held lock.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [] {
            for (int round = 0; round < 50; ++round) {
                std::atomic<int> step{0};
                // A prepares; B starts its own prepare while A's fork is
                // still under way; A's parent handler runs; then B's.
                std::thread a([&] {
                    dcjfork::Prepare();
                    step = 1;
                    while (step < 2) std::this_thread::yield();
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    dcjfork::InParent();
                });
                std::thread b([&] {
                    while (step < 1) std::this_thread::yield();
                    step = 2;
                    dcjfork::Prepare();
                    dcjfork::InParent();
                });
                a.join();
                b.join();
                // Every lock free for another thread.
                if (pthread_mutex_trylock(&mutex) != 0) return 10;
                pthread_mutex_unlock(&mutex);
                LogDefer();
                LogFlushDeferred();
            }
            return 0;
        },
        30);
    EXPECT_EQ(host.status, 0) << "10: the device lock stayed held; -1: a handler hung. " << host.err;
}

// Forks up to 500 children while two threads run busy(), each child
// running check() at once; the first child that has not ended within 5 s
// ends the run. Some C library locks are not made anew in a child: one a
// thread held at the fork stays held there for ever.
int HungOrFailedChildren(const std::function<void()>& busy, const std::function<bool()>& check)
{
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            std::atomic<bool> stop{false};
            auto loop = [&] {
                while (!stop) busy();
            };
            std::thread busyA(loop), busyB(loop);
            int bad = 0;
            for (int i = 0; i < 500 && bad == 0; ++i) {
                const pid_t pid = fork();
                if (pid == 0) _exit(check() ? 0 : 1);
                if (pid < 0) continue;
                int status = 0;
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (waitpid(pid, &status, WNOHANG) == 0) {
                    if (std::chrono::steady_clock::now() > until) {
                        kill(pid, SIGKILL);
                        waitpid(pid, &status, 0);
                        break;
                    }
                    usleep(1000);
                }
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++bad;
            }
            stop = true;
            busyA.join();
            busyB.join();
            return bad;
        },
        120);
    return host.status;
}

// A user-mode emulator forks a guest whose other threads are busy with
// locks of its own that the child does not get back either: hundreds of such
// forks there test the emulator, not the driver.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_WHERE_A_CHILD_CANNOT_ALLOCATE() \
    GTEST_SKIP() << "a sanitizer's allocator is not usable in a child of a thread that allocates"
#else
#define SKIP_WHERE_A_CHILD_CANNOT_ALLOCATE()                                        \
    if (const char* emulator = getenv("DCJ_TEST_EMULATOR"); emulator && *emulator) \
    GTEST_SKIP() << "not under a user-mode emulator"
#endif

// The host's other threads opening and closing converters hold the C
// library's converter lock much of the time: the driver's conversions must
// not need it.
TEST(ForkHandlers, AChildConvertsWhileTheHostsOtherThreadsHeldTheConverterLock)
{
    SKIP_WHERE_A_CHILD_CANNOT_ALLOCATE();
    const auto busy = [] {
        iconv_t c = iconv_open("UTF-8", "GBK");
        if (c != reinterpret_cast<iconv_t>(-1)) iconv_close(c);
    };
    const auto check = [] {
        char name[] = "\xB2\xD9\xD7\xF7";
        char out[16] = {0};
        return dcjtext::ReplyToUtf8("{\"errDesc\":\"\xB2\xD9\xD7\xF7\xB3\xC9\xB9\xA6\"}") ==
                   "{\"errDesc\":\"操作成功\"}" &&
               dcjtext::GbkToUtf8Lenient("\x81\x30", 2) == "\xEF\xBF\xBD" "0" && GBKToUtf8(name, 4, out) &&
               strcmp(out, "操作") == 0;
    };
    EXPECT_EQ(HungOrFailedChildren(busy, check), 0);
}

// The driver's own calls reading the local time (archive names) while a
// host forks: the child reads it too.
TEST(ForkHandlers, AChildReadsTheLocalTimeWhileTheDriversOtherCallsDid)
{
    SKIP_WHERE_A_CHILD_CANNOT_ALLOCATE();
    setenv("TZ", "Asia/Shanghai", 1);
    const auto busy = [] {
        CDataProcess process;
        char stamp[16];
        process.GetCurTime(stamp, sizeof(stamp));
    };
    const auto check = [] {
        CDataProcess process;
        char stamp[16] = {0};
        return process.GetCurTime(stamp, sizeof(stamp)) && strlen(stamp) == 14;
    };
    EXPECT_EQ(HungOrFailedChildren(busy, check), 0);
}

TEST(ForkHandlers, TheChildClosesRegisteredDescriptorsAndAnythingInAWatchedFolder)
{
    TempDir dir;
    const std::string watched = dir / "QOLT";
    ASSERT_EQ(mkdir(watched.c_str(), 0700), 0);
    const int socket = dcjfork::SocketTracked(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    dcjfork::WatchFolder watch(watched + "/");
    const int folder = open(watched.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int inside = open((watched + "/a.FSN").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int beside = open((dir / "QOLT.other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(folder, 0);
    ASSERT_GE(inside, 0);
    ASSERT_GE(beside, 0);

    const dcjtest::ProcessResult child = dcjtest::RunInChild(
        [&] {
            // RunInChild's fork ran the handlers.
            return (Open(socket) ? 1 : 0) | (Open(folder) ? 2 : 0) | (Open(inside) ? 4 : 0) |
                   (Open(beside) ? 0 : 8);
        },
        30);
    EXPECT_EQ(child.status, 0) << "1: socket, 2: folder, 4: file inside kept; 8: a file beside it closed";
    // The parent's stay as they were.
    EXPECT_TRUE(Open(socket) && Open(folder) && Open(inside) && Open(beside));
    EXPECT_EQ(dcjfork::CloseTracked(socket), 0);
    close(folder);
    close(inside);
    close(beside);
}

// The folders a download's checks open: only where no link lies on the way,
// and tracked like every descriptor of a call.
TEST(ForkHandlers, FoldersOpenedWithoutLinksAreTrackedAndLinksRefused)
{
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "up").c_str(), 0700), 0);
    ASSERT_EQ(symlink("up", (dir / "alias").c_str()), 0);
    const int folder = dcjfork::OpenTrackedWithoutLinks((dir / "up/").c_str(), O_RDONLY | O_DIRECTORY);
    if (folder < 0 && errno == ENOSYS) GTEST_SKIP() << "no openat2 here (old kernel, valgrind or an emulator)";
    ASSERT_GE(folder, 0) << strerror(errno);
    EXPECT_NE(fcntl(folder, F_GETFD) & FD_CLOEXEC, 0);
    for (const std::string& path : {dir / "alias/", dir / "alias/../up/", dir / "alias"}) {
        errno = 0;
        EXPECT_EQ(dcjfork::OpenTrackedWithoutLinks(path.c_str(), O_RDONLY | O_DIRECTORY), -1) << path;
        EXPECT_EQ(errno, ELOOP) << path;
    }
    const dcjtest::ProcessResult child = dcjtest::RunInChild([&] { return Open(folder) ? 1 : 0; }, 30);
    EXPECT_EQ(child.status, 0) << "the child kept the folder";
    EXPECT_EQ(dcjfork::CloseTracked(folder), 0);
}

// Whether this process holds a descriptor of something inside folder.
bool HoldsSomethingInside(const std::string& folder)
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return false;
    bool held = false;
    while (struct dirent* entry = readdir(dir)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        held = held || strncmp(target, folder.c_str(), folder.size()) == 0;
    }
    closedir(dir);
    return held;
}

TEST(ForkHandlers, AChildForkedWhileADeliveredFileIsJoinedKeepsNoneOfItsFiles)
{
    // The upload folder is the host's, so not watched: the part file that
    // joins a delivered file with more of its content, and the delivered
    // file read into it, must be registered descriptors.
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "up").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "work").c_str(), 0700), 0);
    dcjtest::WriteFile(dir / "up/X.FSN", std::string(4 << 20, 'x'));
    char real[PATH_MAX];
    ASSERT_NE(realpath((dir / "up").c_str(), real), nullptr);
    const std::string inside = std::string(real) + "/";
    constexpr int kAppends = 30;
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            std::atomic<bool> done{false};
            std::atomic<int> failed{0};
            std::thread appender([&] {
                for (int i = 0; i < kAppends; ++i) {
                    dcjtest::WriteFile(dir / "work/add", "more");
                    if (!dcjfile::AppendFileAt(AT_FDCWD, dir / "work/add", AT_FDCWD, dir / "up/X.FSN")) {
                        ++failed;
                    }
                }
                done = true;
            });
            int kept = 0, forks = 0;
            while (!done) {
                const pid_t pid = fork();
                if (pid == 0) _exit(HoldsSomethingInside(inside) ? 1 : 0);
                if (pid < 0) continue;
                ++forks;
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                kept += WIFEXITED(status) && WEXITSTATUS(status) == 1;
            }
            appender.join();
            printf("forks %d kept %d\n", forks, kept);
            return failed > 0 ? 11 : kept > 0 ? 10 : 0;
        },
        120);
    EXPECT_EQ(host.status, 0) << "10: a child kept a file of the upload folder; 11: an append failed. " << host.out;
    EXPECT_EQ(dcjtest::ReadFile(dir / "up/X.FSN").size(), (4u << 20) + 4u * kAppends);
}

TEST(ForkHandlers, AFolderWatchedThroughItsDescriptorIsKnownByItsRealPath)
{
    TempDir dir;
    const std::string real = dir / "QOLT";
    const std::string alias = dir / "alias";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), alias.c_str()), 0);
    // Opened by a path through a link: the watch must name the real folder,
    // as the child's look at its descriptors does.
    const int folder = dcjfork::OpenTracked(alias.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    dcjfork::WatchFolder watch(folder);
    const int inside = open((alias + "/a.FSN").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int beside = open((dir / "QOLT.other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(inside, 0);
    ASSERT_GE(beside, 0);

    const dcjtest::ProcessResult child = dcjtest::RunInChild(
        [&] { return (Open(folder) ? 1 : 0) | (Open(inside) ? 2 : 0) | (Open(beside) ? 0 : 4); }, 30);
    EXPECT_EQ(child.status, 0) << "1: folder, 2: file inside kept; 4: a file beside it closed";
    EXPECT_TRUE(Open(folder) && Open(inside) && Open(beside));
    EXPECT_EQ(dcjfork::CloseTracked(folder), 0);
    close(inside);
    close(beside);
}

// A host that closed its standard descriptors: a stray print of its own
// must never reach a received file or the counter.
TEST(ForkHandlers, TheDriversDescriptorsNeverTakeZeroOneOrTwo)
{
    TempDir dir;
    const dcjtest::ProcessResult host = dcjtest::RunInChild(
        [&] {
            for (int fd = 0; fd <= 2; ++fd) close(fd);
            int fds[6];
            int pipeEnds[2] = {-1, -1};
            fds[0] = dcjfork::OpenTracked("/dev/null", O_RDONLY);
            fds[1] = dcjfork::SocketTracked(AF_INET, SOCK_STREAM, 0);
            fds[2] = dcjfork::PipeTracked(pipeEnds) == 0 ? pipeEnds[0] : -1;
            fds[3] = pipeEnds[1];
            fds[4] = dcjfork::OpenTrackedAt(AT_FDCWD, dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            fds[5] = dcjfork::OpenTrackedWithoutLinks(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            int bad = 0;
            for (int i = 0; i < 6; ++i) {
                if (fds[i] >= 0 && fds[i] <= 2) bad |= 1 << i;
                if (fds[i] < 0 && !(i == 5 && errno == ENOSYS)) bad |= 1 << (8 + i);
            }
            for (int fd = 0; fd <= 2; ++fd) {
                if (fcntl(fd, F_GETFD) >= 0) bad |= 1 << 16;
            }
            for (int fd : fds) dcjfork::CloseTracked(fd);
            return bad == 0 ? 0 : 1 + (bad & 0x3f) + ((bad >> 8) & 0x3f) * 64;
        },
        30);
    EXPECT_EQ(host.status, 0) << "a descriptor of the driver's took 0, 1 or 2, or one could not be made";
}

// The child looks a watched descriptor's path up itself; a number the
// driver closed and the host reused is not the driver's folder any more.
TEST(ForkHandlers, AWatchedDescriptorClosedAndReusedByTheHostIsNotFollowed)
{
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "QOLT").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "host").c_str(), 0700), 0);
    const int folder = dcjfork::OpenTracked((dir / "QOLT").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    dcjfork::WatchFolder watch(folder);
    ASSERT_EQ(dcjfork::CloseTracked(folder), 0);
    const int hosts = open((dir / "host").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(hosts, 0);
    ASSERT_EQ(dup2(hosts, folder), folder);
    const int inside = open((dir / "host/mine").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(inside, 0);

    const dcjtest::ProcessResult child =
        dcjtest::RunInChild([&] { return (Open(folder) ? 0 : 1) | (Open(inside) ? 0 : 2); }, 30);
    EXPECT_EQ(child.status, 0) << "1: the host's folder, 2: the host's file in it closed";
    close(inside);
    close(folder);
    close(hosts);
}

}  // namespace
