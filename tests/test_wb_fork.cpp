// The driver's fork handlers on their own: handlers of forks that run side
// by side (as a C library that does not serialise forks runs them), and
// what a child closes. Each case runs in a child with a time limit, so a
// lock left held fails it instead of hanging the suite.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

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
                if (!dcjtext::ConversionBeforeFork()) return 11;
                dcjtext::ConversionAfterForkInParent(true);
            }
            return 0;
        },
        30);
    EXPECT_EQ(host.status, 0) << "10: the device lock stayed held; -1: a handler hung. " << host.err;
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

}  // namespace
