// The engine's file utilities on a real file system.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Basic/Dataprocess.h"
#include "Basic/DataprocessFiles.h"
#include "Basic/pathModule.h"
#include "EngineAccess.h"
#include "TestSupport.h"

namespace {

using dcjtest::Exists;
using dcjtest::ListDir;
using dcjtest::ReadFile;
using dcjtest::TempDir;
using dcjtest::WriteFile;

std::string Rpl(CDataProcess& engine, const std::string& in, int outlen = 256, const char* dst = "/")
{
    std::vector<char> inBuf(in.begin(), in.end());
    inBuf.push_back('\0');
    std::vector<char> out(static_cast<size_t>(outlen > 0 ? outlen : 1) + 8, '\0');
    std::vector<char> dstBuf(dst, dst + strlen(dst) + 1);
    char* result = engine.strrpl(inBuf.data(), out.data(), outlen, "\\", dstBuf.data());
    if (result == nullptr) return "<null>";
    EXPECT_EQ(result, out.data());
    return out.data();
}

TEST(FileUtilities, ReplaceSeparators)
{
    CDataProcess engine;
    EXPECT_EQ(Rpl(engine, "C:\\data\\fsn\\"), "C:/data/fsn/");
    EXPECT_EQ(Rpl(engine, ""), "<null>");
    EXPECT_EQ(Rpl(engine, "abc", 1), "");
    EXPECT_EQ(Rpl(engine, "abc", 0), "<null>");
    EXPECT_EQ(Rpl(engine, std::string(300, 'a')), std::string(255, 'a'));
    // A replacement longer than the room left is not split.
    EXPECT_EQ(Rpl(engine, "ab\\", 5, "XYZ"), "ab");
    EXPECT_EQ(Rpl(engine, "ab\\", 6, "XYZ"), "abXYZ");
}

TEST(FileUtilities, MakePathCreatesEveryLevel)
{
    TempDir tmp;
    pathModuleSpace::CMakePahtModule maker;
    EXPECT_TRUE(maker.makePath((tmp / "a/b/QOLT/").c_str()));
    EXPECT_TRUE(Exists(tmp / "a/b/QOLT"));
    EXPECT_TRUE(maker.makePath((tmp / "a/b/QOLT/").c_str())) << "existing path";

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    const bool relative = maker.makePath("x/y");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(relative);
    EXPECT_TRUE(Exists(tmp / "x/y"));

    WriteFile(tmp / "file", "x");
    EXPECT_FALSE(maker.makePath((tmp / "file/sub/").c_str()));
}

TEST(FileUtilities, RemoveDirEmptiesTreesAndNeverFollowsLinks)
{
    TempDir tmp;
    CDataProcess engine;
    const std::string work = tmp / "QOLT";
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(work.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((work + "/sub").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    WriteFile(work + "/a.FSN", "a");
    WriteFile(work + "/sub/b.FSN", "b");
    WriteFile(outside + "/precious", "keep");
    ASSERT_EQ(symlink(outside.c_str(), (work + "/link-to-dir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), (work + "/link-to-file").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (work + "/dangling").c_str()), 0);
    // Child paths far beyond 128 bytes are handled, not cut.
    std::string deep = work + "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    WriteFile(deep + "/" + std::string(100, 'f'), "deep");

    EXPECT_TRUE(DataProcessTestAccess::RemoveDir(engine, work + "/"));
    EXPECT_EQ(ListDir(work), (std::vector<std::string>{std::string(100, 'd'), "sub"}));
    EXPECT_TRUE(ListDir(work + "/sub").empty());
    EXPECT_TRUE(ListDir(deep).empty());
    EXPECT_EQ(ReadFile(outside + "/precious"), "keep");

    // The folder itself a link: the link goes, its target stays whole.
    const std::string linked = tmp / "QOLT2";
    ASSERT_EQ(symlink(outside.c_str(), linked.c_str()), 0);
    EXPECT_TRUE(DataProcessTestAccess::RemoveDir(engine, linked + "/"));
    EXPECT_FALSE(Exists(linked));
    EXPECT_EQ(ReadFile(outside + "/precious"), "keep");

    WriteFile(tmp / "single", "x");
    EXPECT_TRUE(DataProcessTestAccess::RemoveDir(engine, tmp / "single"));
    EXPECT_FALSE(Exists(tmp / "single"));
    EXPECT_FALSE(DataProcessTestAccess::RemoveDir(engine, tmp / "missing"));
}

// The working folder emptied through its descriptor: swapped for a link
// meanwhile, the removal stays in the folder the descriptor holds. The
// upload folder, mounted inside, stays with what it holds.
TEST(FileUtilities, RemoveEntryAtStaysInTheFolderItHoldsAndKeepsTheUploadFolder)
{
    TempDir tmp;
    const std::string work = tmp / "QOLT";
    ASSERT_EQ(mkdir(work.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((work + "/sub").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((work + "/sub/inner").c_str(), 0777), 0);
    WriteFile(work + "/sub/inner/a.FSN", "a");
    ASSERT_EQ(mkdir((work + "/up").c_str(), 0777), 0);
    WriteFile(work + "/up/delivered.FSN", "host's");
    ASSERT_EQ(mkdir((tmp / "victim").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((tmp / "victim/sub").c_str(), 0777), 0);
    WriteFile(tmp / "victim/sub/important.txt", "keep");

    const int dir = open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int upload = open((work + "/up").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_GE(upload, 0);
    ASSERT_EQ(rename(work.c_str(), (tmp / "QOLT.old").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "victim").c_str(), work.c_str()), 0);

    dcjfile::RemoveEntryAt(dir, "sub", upload);
    dcjfile::RemoveEntryAt(dir, "up", upload);
    EXPECT_EQ(ReadFile(tmp / "victim/sub/important.txt"), "keep");
    EXPECT_EQ(ListDir(tmp / "QOLT.old"), (std::vector<std::string>{"up"}));
    EXPECT_EQ(ReadFile(tmp / "QOLT.old/up/delivered.FSN"), "host's");
    close(upload);
    close(dir);
}

TEST(FileUtilities, EnsureRealDirReplacesALinkWithAFolder)
{
    TempDir tmp;
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    WriteFile(outside + "/precious", "keep");
    ASSERT_EQ(symlink(outside.c_str(), (tmp / "QOLT").c_str()), 0);
    EXPECT_TRUE(dcjfile::EnsureRealDir(tmp / "QOLT/"));
    struct stat st;
    ASSERT_EQ(lstat((tmp / "QOLT").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(ReadFile(outside + "/precious"), "keep");
    WriteFile(tmp / "plain", "x");
    EXPECT_FALSE(dcjfile::EnsureRealDir(tmp / "plain/"));
    EXPECT_EQ(ReadFile(tmp / "plain"), "x");
}

TEST(FileUtilities, SaveFileAppendsAndReportsFailures)
{
    TempDir tmp;
    CDataProcess engine;
    const std::string path = tmp / "f.FSN";
    EXPECT_TRUE(DataProcessTestAccess::SaveFile(engine, "first", path));
    EXPECT_TRUE(DataProcessTestAccess::SaveFile(engine, "second", path));
    EXPECT_EQ(ReadFile(path), "firstsecond");
    EXPECT_FALSE(DataProcessTestAccess::SaveFile(engine, "", path));
    EXPECT_FALSE(DataProcessTestAccess::SaveFile(engine, "x", tmp / "missing/f.FSN"));
    EXPECT_FALSE(DataProcessTestAccess::SaveFile(engine, "x", tmp.path()));
    EXPECT_TRUE(DataProcessTestAccess::SyncFile(engine, path));
    EXPECT_FALSE(DataProcessTestAccess::SyncFile(engine, tmp / "missing"));
}

TEST(FileUtilities, LocalTimeStamp)
{
    CDataProcess engine;
    char buf[16];
    memset(buf, 'x', sizeof(buf));
    EXPECT_FALSE(engine.GetCurTime(buf, 13));
    EXPECT_EQ(buf[0], 'x');

    const long long before = dcjtest::WallClockSeconds();
    ASSERT_TRUE(engine.GetCurTime(buf, 16));
    const long long after = dcjtest::WallClockSeconds();
    ASSERT_EQ(strlen(buf), 14u);
    bool matches = false;
    for (long long t = before; t <= after; ++t) {
        matches = matches || dcjtest::LocalStamp(t, "%Y%m%d%H%M%S") == buf;
    }
    EXPECT_TRUE(matches) << buf;
}

class ZipFiles : public ::testing::Test {
protected:
    TempDir tmp;
    CDataProcess engine;
};

TEST_F(ZipFiles, PathsWithSpacesAndShellCharactersArePackedNotRun)
{
    const std::string marker = tmp / "injected";
    const std::string folder = tmp / ("a b;touch " + marker + ";$(touch " + marker + ")`touch " + marker + "`");
    ASSERT_TRUE(pathModuleSpace::CMakePahtModule().makePath((folder + "/sub/").c_str()));
    WriteFile(folder + "/one.FSN", "1");
    WriteFile(folder + "/.hidden", "h");
    WriteFile(folder + "/sub/two.FSN", "2");
    std::string pattern = folder + "/*";
    std::string zip = tmp / "out put.zip";
    EXPECT_TRUE(engine.CreateZipFile(&pattern[0], &zip[0]));
    EXPECT_FALSE(Exists(marker));
    // The folder's own files only: a folder in it is not the download's (the
    // upload folder may be mounted there).
    EXPECT_EQ(dcjtest::ZipEntries(zip), (std::vector<std::string>{".hidden", "one.FSN"}));
}

TEST_F(ZipFiles, FailuresAreReported)
{
    WriteFile(tmp / "one.FSN", "1");
    std::string pattern = tmp / "*";

    // An archive that already exists is never added to.
    std::string existing = tmp / "existing.zip";
    WriteFile(existing, "not a zip");
    EXPECT_FALSE(engine.CreateZipFile(&pattern[0], &existing[0]));
    EXPECT_EQ(ReadFile(existing), "not a zip");

    // Nothing to pack.
    TempDir empty;
    std::string emptyPattern = empty / "*";
    std::string zip = tmp / "new.zip";
    EXPECT_FALSE(engine.CreateZipFile(&emptyPattern[0], &zip[0]));
    EXPECT_FALSE(Exists(zip));

    // No zip program on the search path.
    auto child = dcjtest::RunInChild([&] {
        setenv("PATH", empty.path().c_str(), 1);
        return engine.CreateZipFile(&pattern[0], &zip[0]) ? 1 : 0;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_FALSE(Exists(zip));
}

TEST(Programs, RunWithoutShellOrOutput)
{
    auto child = dcjtest::RunInChild([] {
        int ok = dcjfile::RunProgram({"sh", "-c", "echo leaked; echo leaked >&2; exit 3"}, 10) == 3 &&
                 dcjfile::RunProgram({"true"}, 10) == 0 && dcjfile::RunProgram({"no-such-program-here"}, 10) != 0 &&
                 dcjfile::RunProgram({}, 10) == -1;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err, "");
}

// A one-entry archive in zip64 form with every classic field saturated, so
// only the zip64 records give the count, the directory and the size.
std::string Zip64Archive(const std::string& name, uint64_t size)
{
    auto le = [](uint64_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
        return out;
    };
    const std::string local = "leading bytes stand in for the entry's data";
    std::string central = le(0x02014b50, 4) + std::string(16, '\0') + le(0, 4) + le(0xFFFFFFFF, 4) +
                          le(name.size(), 2) + le(12, 2) + std::string(14, '\0') + name + le(0x0001, 2) +
                          le(8, 2) + le(size, 8);
    const uint64_t cdAt = local.size(), recordAt = cdAt + central.size();
    std::string record = le(0x06064b50, 4) + le(44, 8) + std::string(12, '\0') + le(1, 8) + le(1, 8) +
                         le(central.size(), 8) + le(cdAt, 8);
    std::string locator = le(0x07064b50, 4) + le(0, 4) + le(recordAt, 8) + le(1, 4);
    std::string end = le(0x06054b50, 4) + std::string(4, '\0') + le(0xFFFF, 2) + le(0xFFFF, 2) +
                      le(0xFFFFFFFF, 4) + le(0xFFFFFFFF, 4) + le(0, 2);
    return local + central + record + locator + end;
}

TEST_F(ZipFiles, CentralDirectoryGivesNamesAndSizes)
{
    WriteFile(tmp / "b.FSN", std::string(70000, 'b'));
    WriteFile(tmp / "a.FSN", "");
    WriteFile(tmp / "-x", "x");
    const std::string zip = tmp / "made.zip";
    ASSERT_EQ(dcjtest::RunProcess({"zip", "-q", "-j", zip, tmp / "b.FSN", tmp / "a.FSN", tmp / "-x"}).status, 0);
    std::vector<dcjfile::ZipEntry> entries;
    ASSERT_TRUE(dcjfile::ReadZipEntries(zip, &entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "b.FSN");
    EXPECT_EQ(entries[0].size, 70000u);
    EXPECT_EQ(entries[1].name, "a.FSN");
    EXPECT_EQ(entries[1].size, 0u);
    EXPECT_EQ(entries[2].name, "-x");

    // zip64 fields, as zip writes them when forced, and with every classic field saturated.
    const std::string forced = tmp / "forced.zip";
    ASSERT_EQ(dcjtest::RunProcess({"zip", "-q", "-j", "-fz", forced, tmp / "-x"}).status, 0);
    ASSERT_TRUE(dcjfile::ReadZipEntries(forced, &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, 1u);
    WriteFile(tmp / "z64.zip", Zip64Archive("big.FSN", 5ull << 32));
    ASSERT_TRUE(dcjfile::ReadZipEntries(tmp / "z64.zip", &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "big.FSN");
    EXPECT_EQ(entries[0].size, 5ull << 32);

    // Anything cut, padded or made up is not an archive.
    const std::string whole = ReadFile(zip);
    const std::map<std::string, std::string> broken = {
        {"cut short", whole.substr(0, whole.size() - 1)},
        {"bytes after the end record", whole + "x"},
        {"directory cut", whole.substr(0, 40) + whole.substr(whole.size() - 22)},
        {"not a zip", "PK\x05\x06 but nothing else"},
        {"empty", ""},
        {"zip64 directory out of the file", Zip64Archive("n", 1).replace(0, 1, "")},
    };
    for (const auto& b : broken) {
        WriteFile(tmp / "broken.zip", b.second);
        entries.push_back({"stale", 1});
        EXPECT_FALSE(dcjfile::ReadZipEntries(tmp / "broken.zip", &entries)) << b.first;
        EXPECT_TRUE(entries.empty()) << b.first;
    }
    EXPECT_FALSE(dcjfile::ReadZipEntries(tmp / "missing.zip", &entries));
}

TEST_F(ZipFiles, AnArchiveMissingAFileIsRefusedWhateverZipSays)
{
    const std::string realZip = "/usr/bin/zip";
    if (access(realZip.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << realZip;
    WriteFile(tmp / "one.FSN", "1");
    WriteFile(tmp / "two.FSN", "22");
    // A zip that packs the first file only and reports success.
    TempDir bin;
    // zip -j ARCHIVE FILE...: the fake packs the first file alone.
    WriteFile(bin / "zip", "#!/bin/sh\nexec " + realZip + " \"$1\" \"$2\" \"$3\"\n");
    ASSERT_EQ(chmod((bin / "zip").c_str(), 0755), 0);
    TempDir out;
    std::string pattern = tmp / "*";
    std::string zip = out / "new.zip";
    auto child = dcjtest::RunInChild([&] {
        setenv("PATH", (bin.path() + ":" + getenv("PATH")).c_str(), 1);
        return engine.CreateZipFile(&pattern[0], &zip[0]) ? 1 : 0;
    });
    EXPECT_EQ(child.status, 0);
    ASSERT_EQ(dcjtest::ZipEntries(zip), (std::vector<std::string>{"one.FSN"})) << "the fake zip did run";
}

// A temporary folder in /dev/shm when that is another file system than near's.
std::unique_ptr<TempDir> TempDirOnAnotherFileSystem(const TempDir& near)
{
    struct stat nearStat, shmStat;
    if (stat("/dev/shm", &shmStat) != 0 || stat(near.path().c_str(), &nearStat) != 0 ||
        shmStat.st_dev == nearStat.st_dev) {
        return nullptr;
    }
    setenv("TMPDIR", "/dev/shm", 1);
    std::unique_ptr<TempDir> dir(new TempDir());
    unsetenv("TMPDIR");
    return dir;
}

TEST(MoveFiles, ReplaceOrKeepAndCrossFileSystems)
{
    TempDir disk;
    WriteFile(disk / "a", "A");
    WriteFile(disk / "b", "B");
    EXPECT_EQ(dcjfile::MoveFile(disk / "a", disk / "b", false), dcjfile::MoveResult::Exists);
    EXPECT_EQ(ReadFile(disk / "b"), "B");
    EXPECT_EQ(dcjfile::MoveFile(disk / "a", disk / "b", true), dcjfile::MoveResult::Moved);
    EXPECT_EQ(ReadFile(disk / "b"), "A");
    EXPECT_FALSE(Exists(disk / "a"));
    EXPECT_EQ(dcjfile::MoveFile(disk / "missing", disk / "c", true), dcjfile::MoveResult::Failed);

    std::unique_ptr<TempDir> shmDir = TempDirOnAnotherFileSystem(disk);
    if (!shmDir) GTEST_SKIP() << "no second file system to move across";
    TempDir& shm = *shmDir;
    WriteFile(shm / "x", std::string(200000, 'x'));
    EXPECT_EQ(dcjfile::MoveFile(shm / "x", disk / "x", true), dcjfile::MoveResult::Moved);
    EXPECT_EQ(ReadFile(disk / "x"), std::string(200000, 'x'));
    EXPECT_FALSE(Exists(shm / "x"));
    WriteFile(shm / "y", "Y");
    EXPECT_EQ(dcjfile::MoveFile(shm / "y", disk / "b", false), dcjfile::MoveResult::Exists);
    EXPECT_EQ(dcjfile::MoveFile(shm / "y", disk / "y", false), dcjfile::MoveResult::Moved);
    EXPECT_EQ(ReadFile(disk / "y"), "Y");
    EXPECT_EQ(ListDir(disk.path()), (std::vector<std::string>{"b", "x", "y"})) << "no partial file left";

    // Another process's copy in progress beside the same final name is not ours.
    WriteFile(disk / ".z.part", "theirs");
    WriteFile(shm / "z", "ours");
    EXPECT_EQ(dcjfile::MoveFile(shm / "z", disk / "z", false), dcjfile::MoveResult::Moved);
    EXPECT_EQ(ReadFile(disk / "z"), "ours");
    EXPECT_EQ(ReadFile(disk / ".z.part"), "theirs");
}

TEST(MoveFiles, AnAppendReplacesTheFileWholeAndLeavesNoPartFile)
{
    // A reader that opened the delivered file before sees it as it was, never
    // half-appended: the joined content arrives as a new file under its name.
    TempDir disk;
    WriteFile(disk / "first", "AAAA");
    WriteFile(disk / "second", "BB");
    const int before = open((disk / "first").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(before, 0);
    ASSERT_TRUE(dcjfile::AppendFileAt(AT_FDCWD, disk / "second", AT_FDCWD, disk / "first"));
    EXPECT_EQ(ReadFile(disk / "first"), "AAAABB");
    char seen[16] = {0};
    EXPECT_EQ(pread(before, seen, sizeof(seen), 0), 4);
    EXPECT_STREQ(seen, "AAAA");
    close(before);
    EXPECT_EQ(ListDir(disk.path()), (std::vector<std::string>{"first"}));
    // Nothing to read: nothing changes, nothing is left behind.
    EXPECT_FALSE(dcjfile::AppendFileAt(AT_FDCWD, disk / "missing", AT_FDCWD, disk / "first"));
    EXPECT_EQ(ReadFile(disk / "first"), "AAAABB");
    EXPECT_EQ(ListDir(disk.path()), (std::vector<std::string>{"first"}));
}

TEST(MoveFiles, AnAppendReadsTheDeliveredFileNeverThroughALinkNorFromAPipe)
{
    // Someone with a hand in the upload folder puts a link or a pipe where a
    // delivered file was: the append fails, at once, and copies nothing.
    TempDir disk;
    WriteFile(disk / "secret", "SECRET");
    ASSERT_EQ(symlink((disk / "secret").c_str(), (disk / "X.FSN").c_str()), 0);
    WriteFile(disk / "new", "BB");
    EXPECT_FALSE(dcjfile::AppendFileAt(AT_FDCWD, disk / "new", AT_FDCWD, disk / "X.FSN"));
    struct stat st;
    ASSERT_EQ(lstat((disk / "X.FSN").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file holding what it pointed at";
    EXPECT_EQ(ReadFile(disk / "secret"), "SECRET");
    EXPECT_EQ(ReadFile(disk / "new"), "BB");

    ASSERT_EQ(mkfifo((disk / "P.FSN").c_str(), 0600), 0);
    const dcjtest::ProcessResult piped = dcjtest::RunInChild(
        [&] { return dcjfile::AppendFileAt(AT_FDCWD, disk / "new", AT_FDCWD, disk / "P.FSN") ? 1 : 0; }, 10);
    EXPECT_EQ(piped.status, 0) << "1: a pipe was taken for the file; -1: the append waited for a writer";
    ASSERT_EQ(lstat((disk / "P.FSN").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(ListDir(disk.path()), (std::vector<std::string>{"P.FSN", "X.FSN", "new", "secret"}));
}

TEST(MoveFiles, NamesRelativeToAFolderAreBoundOnlyByTheNameLimit)
{
    // A folder whose path with the name is beyond 256 bytes, a name of 255.
    TempDir disk;
    std::string folder = disk / std::string(200, 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const std::string name(255, 'n');
    WriteFile(disk / "src", "content");
    EXPECT_EQ(dcjfile::MoveFileAt(AT_FDCWD, disk / "src", dir, name, false), dcjfile::MoveResult::Moved);
    EXPECT_EQ(ReadFile(folder + "/" + name), "content");
    WriteFile(disk / "again", "other");
    EXPECT_EQ(dcjfile::MoveFileAt(AT_FDCWD, disk / "again", dir, name, false), dcjfile::MoveResult::Exists);
    EXPECT_EQ(ReadFile(folder + "/" + name), "content");

    std::unique_ptr<TempDir> shmDir = TempDirOnAnotherFileSystem(disk);
    if (shmDir) {
        // Across file systems the part file beside it has a short name of its own.
        const std::string other(255, 'o');
        WriteFile(*shmDir / "far", "far");
        EXPECT_EQ(dcjfile::MoveFileAt(AT_FDCWD, *shmDir / "far", dir, other, false), dcjfile::MoveResult::Moved);
        EXPECT_EQ(ReadFile(folder + "/" + other), "far");
        EXPECT_EQ(ListDir(folder).size(), 2u);
    }
    close(dir);
}

TEST(MoveFiles, ConcurrentPublishersAcrossFileSystemsNeverMixTheirFiles)
{
    TempDir disk;
    std::unique_ptr<TempDir> shmDir = TempDirOnAnotherFileSystem(disk);
    if (!shmDir) GTEST_SKIP() << "no second file system to move across";
    TempDir& shm = *shmDir;
    // Two processes publish, again and again, different archives under one
    // name; whoever wins, the file under that name is one of them whole.
    const size_t size = 1 << 20;
    for (int round = 0; round < 10; ++round) {
        const std::string dst = disk / ("r" + std::to_string(round) + ".zip");
        pid_t pids[2];
        for (int who = 0; who < 2; ++who) {
            const std::string src = shm / ("src" + std::to_string(who));
            WriteFile(src, std::string(size, static_cast<char>('a' + who)));
            pids[who] = fork();
            ASSERT_GE(pids[who], 0);
            if (pids[who] == 0) {
                const dcjfile::MoveResult r = dcjfile::MoveFile(src, dst, false);
                _exit(r == dcjfile::MoveResult::Moved ? 10 : r == dcjfile::MoveResult::Exists ? 11 : 12);
            }
        }
        int codes[2];
        for (int who = 0; who < 2; ++who) {
            int status = 0;
            ASSERT_EQ(waitpid(pids[who], &status, 0), pids[who]);
            ASSERT_TRUE(WIFEXITED(status));
            codes[who] = WEXITSTATUS(status);
        }
        ASSERT_EQ(codes[0] + codes[1], 21) << "one moved, one found the name taken: " << codes[0] << " " << codes[1];
        const char winner = codes[0] == 10 ? 'a' : 'b';
        EXPECT_EQ(ReadFile(dst), std::string(size, winner)) << "round " << round;
        unlink((shm / "src0").c_str());
        unlink((shm / "src1").c_str());
    }
    for (const std::string& name : ListDir(disk.path())) {
        EXPECT_EQ(name.find(".part"), std::string::npos) << name << " left behind";
    }
}

}  // namespace
