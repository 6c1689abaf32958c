// The rule a download lives by: the counter is told to clear its files (0xA6)
// only when every delivered file, its content and its folder entry are on
// disk. This program (built with -rdynamic) puts its own fsync, fdatasync and
// send in front of the C library's, so the driver's calls come here: each
// sync notes the state it made durable, and when a 0xA6 request goes out the
// upload folder is checked against those notes.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

struct Durable {
    struct timespec mtime;
    struct timespec ctime;
    off_t size;
};

std::mutex g_mutex;
std::string g_watched;                                        // the upload folder, with its slash
std::map<std::pair<dev_t, ino_t>, Durable> g_durable;         // as of each inode's last sync
std::vector<std::string> g_violations;                        // found when 0xA6 went out
int g_confirmations = 0;
int g_fileSyncs = 0;

bool Same(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void NoteSynced(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_durable[{st.st_dev, st.st_ino}] = Durable{st.st_mtim, st.st_ctim, st.st_size};
    if (S_ISREG(st.st_mode)) ++g_fileSyncs;
}

// A file is durable when nothing was written to it since its last sync; a
// folder when no entry changed in it since its last sync.
void CheckWatchedFolder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_confirmations;
    if (g_watched.empty()) return;
    auto unsynced = [](const struct stat& st, bool folder) {
        auto it = g_durable.find({st.st_dev, st.st_ino});
        if (it == g_durable.end()) return true;
        if (folder) return !Same(it->second.mtime, st.st_mtim) || !Same(it->second.ctime, st.st_ctim);
        return !Same(it->second.mtime, st.st_mtim) || it->second.size != st.st_size;
    };
    struct stat dirStat;
    if (stat(g_watched.c_str(), &dirStat) != 0) {
        g_violations.push_back("no upload folder");
        return;
    }
    if (unsynced(dirStat, true)) g_violations.push_back("the upload folder's entries");
    DIR* dir = opendir(g_watched.c_str());
    if (dir == nullptr) return;
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (lstat((g_watched + name).c_str(), &st) == 0 && unsynced(st, false)) g_violations.push_back(name);
    }
    closedir(dir);
}

template <typename Fn>
Fn Next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd)
{
    static const auto real = Next<int (*)(int)>("fsync");
    const int rc = real(fd);
    if (rc == 0) NoteSynced(fd);
    return rc;
}

int fdatasync(int fd)
{
    static const auto real = Next<int (*)(int)>("fdatasync");
    const int rc = real(fd);
    if (rc == 0) NoteSynced(fd);
    return rc;
}

ssize_t send(int fd, const void* buf, size_t len, int flags)
{
    static const auto real = Next<ssize_t (*)(int, const void*, size_t, int)>("send");
    // A request frame: "QOLT", its length, the command code.
    const unsigned char* bytes = static_cast<const unsigned char*>(buf);
    if (len == dcjsim::wire::kRequestSize && memcmp(bytes, "QOLT", 4) == 0 &&
        dcjsim::wire::GetU32(bytes + 8) == 0xA6) {
        CheckWatchedFolder();
    }
    return real(fd, buf, len, flags);
}

}  // extern "C"

namespace {

using dcjtest::ReplyField;
using dcjtest::TempDir;

class Durability : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lib.ok());
        ASSERT_TRUE(sim.Start());
        std::lock_guard<std::mutex> lock(g_mutex);
        g_durable.clear();
        g_violations.clear();
        g_confirmations = 0;
        g_fileSyncs = 0;
    }
    void TearDown() override
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_watched.clear();
    }

    std::string Download(const std::string& uploadDir, const std::string& related = "")
    {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_watched = uploadDir;
        }
        std::map<std::string, std::string> args = {
            {"timeout", "5"}, {"instNo", "1"}, {"empNo", "2"}, {"uploadDir", uploadDir}, {"tempDir", tmp / "temp/"}};
        if (!related.empty()) args["relativeFilePath"] = related;
        return lib.DoCommand(dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(), args), 1 << 20);
    }

    void ExpectConfirmedOnDisk(const std::string& reply)
    {
        EXPECT_EQ(ReplyField(reply, "retComArgs", "retCode"), "ECPWS0000000") << reply;
        std::lock_guard<std::mutex> lock(g_mutex);
        EXPECT_EQ(g_confirmations, 1);
        EXPECT_TRUE(g_violations.empty()) << "not on disk when 0xA6 went out: " << ::testing::PrintToString(g_violations);
    }

    dcjtest::DriverLib lib;
    dcjsim::Simulator sim;
    TempDir tmp;
};

TEST_F(Durability, EveryFileAndItsFolderEntryAreSyncedOnceBeforeTheConfirmation)
{
    // Several packets per file: a sync per packet would show in the count.
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(3, 6, 4096); });
    ExpectConfirmedOnDisk(Download(tmp / "up/"));
    EXPECT_EQ(dcjtest::ListDir(tmp / "up").size(), 3u);
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_fileSyncs, 3) << "one sync per delivered file";
}

TEST_F(Durability, TheArchiveIsSyncedBeforeTheConfirmation)
{
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(3, 4, 4096); });
    dcjtest::WriteFile(tmp / "summary.txt", "totals\n");
    ExpectConfirmedOnDisk(Download(tmp / "up/", tmp / "summary.txt"));
    const std::vector<std::string> delivered = dcjtest::ListDir(tmp / "up");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(dcjtest::ZipEntries(tmp / ("up/" + delivered[0])).size(), 4u);
    // Packed files are not synced one by one: the archive holds them.
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_fileSyncs, 1);
}

TEST_F(Durability, FilesCopiedToAnotherFileSystemAreSyncedBeforeTheConfirmation)
{
    struct stat shmStat, tmpStat;
    if (stat("/dev/shm", &shmStat) != 0 || stat(tmp.path().c_str(), &tmpStat) != 0 ||
        shmStat.st_dev == tmpStat.st_dev) {
        GTEST_SKIP() << "no second file system to download across";
    }
    setenv("TMPDIR", "/dev/shm", 1);
    std::unique_ptr<TempDir> shm(new TempDir());
    unsetenv("TMPDIR");
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 3, 4096); });
    ExpectConfirmedOnDisk(Download(*shm / "up/"));
    EXPECT_EQ(dcjtest::ListDir(*shm / "up").size(), 2u);
}

TEST_F(Durability, NothingIsConfirmedWhenAFileCannotBeStored)
{
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 3, 4096); });
    // The upload folder's place is taken by a file: nothing can be delivered.
    dcjtest::WriteFile(tmp / "up", "not a folder");
    const std::string reply = Download(tmp / "up/");
    EXPECT_NE(ReplyField(reply, "retComArgs", "retCode"), "ECPWS0000000") << reply;
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_confirmations, 0);
}

}  // namespace
