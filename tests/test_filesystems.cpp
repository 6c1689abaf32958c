// Downloads onto real file systems: every kind a terminal's folders may be on
// (ext4, ext2, xfs, btrfs, tmpfs, exFAT, FAT). scripts/ci-fs.sh mounts them
// and names them in DCJ_FS_MOUNTS ("kind=/mount/point ..."); without it
// every test here is skipped.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::Code;

using dcjtest::ListDir;
using dcjtest::ReadFile;
using dcjtest::ReplyField;

const char kInst[] = "442000034";
const char kEmp[] = "10677661";

struct Mount {
    std::string kind, path;
};

std::vector<Mount> Mounts()
{
    std::vector<Mount> mounts;
    const char* env = getenv("DCJ_FS_MOUNTS");
    std::istringstream in(env ? env : "");
    std::string item;
    while (in >> item) {
        const size_t eq = item.find('=');
        if (eq != std::string::npos) mounts.push_back({item.substr(0, eq), item.substr(eq + 1)});
    }
    return mounts;
}

// A fresh folder on a mount, removed with its content afterwards.
class FolderOn {
public:
    explicit FolderOn(const Mount& m)
    {
        std::string tmpl = m.path + "/t.XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr) m_path = tmpl;
    }
    ~FolderOn()
    {
        if (!m_path.empty()) dcjtest::RemoveTree(m_path);
    }
    FolderOn(const FolderOn&) = delete;
    FolderOn& operator=(const FolderOn&) = delete;
    bool ok() const { return !m_path.empty(); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string FsnName(const dcjsim::FsnFile& f)
{
    auto field = [](const std::string& s) { return s.substr(0, s.find('\0')); };
    return std::string(kInst) + "_" + field(f.machineNo) + "_" + kEmp + "_" + field(f.dateTime) + "_" +
           field(f.sNo) + ".FSN";
}

// Contents compared without printing kilobytes of binary on a failure.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& want)
{
    if (got == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got.size() << " bytes that differ from the " << want.size()
                                         << " expected";
}

std::vector<std::string> Split(const std::string& list)
{
    std::vector<std::string> names;
    std::istringstream in(list);
    std::string name;
    while (std::getline(in, name, '|')) names.push_back(name);
    return names;
}

class FileSystems : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new dcjtest::DriverLib(); }
    void SetUp() override
    {
        mounts = Mounts();
        if (mounts.empty()) {
            GTEST_SKIP() << "DCJ_FS_MOUNTS is not set: these tests need real mounts; scripts/ci-fs.sh (as root) "
                            "mounts them and runs this program";
        }
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
    }
    // One download; relatedFile empty: direct mode.
    std::string Run(const std::string& upload, const std::string& temp, const std::string& related = "")
    {
        std::map<std::string, std::string> args = {
            {"instNo", kInst}, {"empNo", kEmp}, {"uploadDir", upload}, {"tempDir", temp}, {"timeout", "5"}};
        if (!related.empty()) args["relativeFilePath"] = related;
        return s_lib->DoCommand(dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(), args), 1 << 20);
    }
    void UseFiles(const std::vector<dcjsim::FsnFile>& files)
    {
        sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    }
    size_t Confirmations()
    {
        EXPECT_TRUE(sim.WaitForExchanges(sim.Connections(), std::chrono::seconds(5)));
        size_t n = 0;
        for (const auto& e : sim.Exchanges()) n += e.cmd == 0xA6;
        return n;
    }
    static std::string Files(const std::string& reply) { return ReplyField(reply, "retBizArgs", "fsnFiles"); }

    // A direct download of files from temp into upload: byte-exact and confirmed.
    void ExpectDirect(const std::string& upload, const std::string& temp)
    {
        auto files = dcjsim::GenerateFiles(3, 2, 3000);
        UseFiles(files);
        const size_t before = Confirmations();
        const std::string reply = Run(upload, temp);
        ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
        EXPECT_EQ(Files(reply), FsnName(files[0]) + "|" + FsnName(files[1]) + "|" + FsnName(files[2]));
        for (const auto& f : files) EXPECT_TRUE(SameBytes(ReadFile(upload + FsnName(f)), f.Content())) << FsnName(f);
        EXPECT_EQ(ListDir(upload).size(), 3u);
        EXPECT_EQ(Confirmations(), before + 1);
    }
    // Whether zip itself can write an archive in a folder (fusefat cannot
    // grow a file after writing back into it, which zip does).
    bool ZipWorksIn(const std::string& folder)
    {
        mkdir(folder.c_str(), 0777);
        dcjtest::WriteFile(local / "probe.txt", "probe");
        const bool works = dcjtest::RunProcess({"zip", "-j", "-q", folder + "probe.zip", local / "probe.txt",
                                                local / "probe.txt"})
                               .status == 0;
        unlink((folder + "probe.zip").c_str());
        return works;
    }
    // An archive download: one new archive holding every file and the
    // related one; where zip cannot write, a clean failure.
    std::string ExpectArchive(const std::string& upload, const std::string& temp, const std::string& related)
    {
        auto files = dcjsim::GenerateFiles(2, 2, 2000);
        UseFiles(files);
        const size_t before = Confirmations();
        const bool zipWorks = ZipWorksIn(temp);
        const std::string reply = Run(upload, temp, related);
        if (!zipWorks) {
            std::cout << "note: zip cannot write in " << temp << ": the download must fail cleanly\n";
            EXPECT_EQ(Code(reply), "DRVDCJ1004") << reply;
            EXPECT_EQ(Confirmations(), before);
            for (const std::string& name : ListDir(upload)) EXPECT_EQ(name.find(".zip"), std::string::npos) << name;
            return std::string();
        }
        EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
        const std::string zip = Files(reply);
        std::vector<std::string> expected = {FsnName(files[0]), FsnName(files[1]), "related.txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(dcjtest::ZipEntries(upload + zip), expected) << zip;
        EXPECT_TRUE(SameBytes(dcjtest::RunProcess({"unzip", "-p", upload + zip, FsnName(files[1])}).out, files[1].Content()));
        EXPECT_EQ(Confirmations(), before + 1);
        return zip;
    }

    static dcjtest::DriverLib* s_lib;
    std::vector<Mount> mounts;
    dcjsim::Simulator sim;
    dcjtest::TempDir local;
};
dcjtest::DriverLib* FileSystems::s_lib = nullptr;

TEST_F(FileSystems, DirectAndArchiveDownloadsWithBothFoldersOnEachKind)
{
    dcjtest::WriteFile(local / "related.txt", "related content");
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        ExpectDirect(dir / "up/", dir / "tmp/");
        ExpectArchive(dir / "zips/", dir / "tmp/", local / "related.txt");
        EXPECT_TRUE(ListDir(dir / "tmp/QOLT").empty());
    }
}

TEST_F(FileSystems, TempFolderOnOneKindUploadFolderOnAnother)
{
    dcjtest::WriteFile(local / "related.txt", "related content");
    for (size_t i = 0; i < mounts.size(); ++i) {
        const Mount& from = mounts[i];
        const Mount& to = mounts[(i + 1) % mounts.size()];
        SCOPED_TRACE(from.kind + " -> " + to.kind);
        FolderOn tempDir(from), uploadDir(to);
        ASSERT_TRUE(tempDir.ok() && uploadDir.ok());
        ExpectDirect(uploadDir / "up/", tempDir / "");
        const std::string zip = ExpectArchive(uploadDir / "zips/", tempDir / "", local / "related.txt");
        // Nothing but what was delivered: no part file left behind.
        EXPECT_EQ(ListDir(uploadDir / "zips"), zip.empty() ? std::vector<std::string>{} : std::vector<std::string>{zip});
    }
}

TEST_F(FileSystems, TwoArchivesInOneSecondIntoOneFolderBothSurvive)
{
    dcjtest::WriteFile(local / "related.txt", "related content");
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        const std::string first = ExpectArchive(dir / "zips/", dir / "tmp/", local / "related.txt");
        const std::string second = ExpectArchive(dir / "zips/", dir / "tmp/", local / "related.txt");
        if (first.empty()) continue;  // zip cannot write on this kind
        EXPECT_NE(first, second);
        std::vector<std::string> both = {first, second};
        std::sort(both.begin(), both.end());
        EXPECT_EQ(ListDir(dir / "zips"), both);
    }
}

TEST_F(FileSystems, NamesTheFileSystemFoldsTogetherKeepEveryByte)
{
    // "...SNabc.FSN", "...SNABC.FSN" and "...SNAbc.FSN": one file on FAT and
    // exFAT, three elsewhere; the third arrives after the second has
    // replaced the first's file on disk by their joined content. Either way
    // every content stays, and the reply lists only names that are really
    // in the folder.
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        auto files = dcjsim::GenerateFiles(4, 2, 500);
        files[0].sNo = "SNabc";
        files[1].sNo = "SNxyz";
        files[2].sNo = "SNABC";
        files[3].sNo = "SNAbc";
        UseFiles(files);
        const size_t before = Confirmations();
        const std::string upload = dir / "up/";
        const std::string reply = Run(upload, dir / "tmp/");
        ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
        const std::vector<std::string> listed = Split(Files(reply));
        ASSERT_EQ(listed.size(), 4u);
        const std::vector<std::string> onDisk = ListDir(upload);
        for (const std::string& name : listed) {
            EXPECT_TRUE(std::find(onDisk.begin(), onDisk.end(), name) != onDisk.end()) << name << " is not on disk";
        }
        EXPECT_TRUE(SameBytes(ReadFile(upload + FsnName(files[1])), files[1].Content()));
        if (onDisk.size() == 2) {
            EXPECT_EQ(listed[0], listed[2]);
            EXPECT_EQ(listed[0], listed[3]);
            EXPECT_TRUE(SameBytes(ReadFile(upload + listed[0]),
                                  files[0].Content() + files[2].Content() + files[3].Content()));
        } else {
            ASSERT_EQ(onDisk.size(), 4u);
            for (const auto& file : files) EXPECT_TRUE(SameBytes(ReadFile(upload + FsnName(file)), file.Content()));
        }
        EXPECT_EQ(Confirmations(), before + 1);
    }
}

TEST_F(FileSystems, AnUploadFolderTheWorkingFolderIsWhenCaseIsFoldedIsRefused)
{
    // "<temp>qolt/" is the working folder "<temp>QOLT/" on FAT and exFAT, and
    // so is "ä/QOLT/" beside "Ä/": the download would empty it. Elsewhere
    // they are folders of their own.
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        struct Case {
            std::string name, temp, upload;
        };
        std::vector<Case> cases = {
            {"the working folder in lower case", dir / "a/", dir / "a/qolt/"},
            {"a folder in it, in lower case", dir / "a/", dir / "a/qolt/sub/"},
            {"neither spelling made yet", dir / "b/", dir / "b/qolt/"},
        };
        for (const std::string& made : {dir / "a", dir / "a/qolt", dir / "a/qolt/sub", dir / "b"}) {
            ASSERT_EQ(mkdir(made.c_str(), 0777), 0) << made;
        }
        // Where names may hold more than ASCII.
        if (mkdir((dir / "\xc3\x84").c_str(), 0777) == 0 && mkdir((dir / "\xc3\x84/QOLT").c_str(), 0777) == 0) {
            cases.push_back({"the temp folder in other letters", dir / "\xc3\x84/", dir / "\xc3\xa4/QOLT/"});
        }
        dcjtest::WriteFile(dir / "a/qolt/host.txt", "the host's");
        dcjtest::WriteFile(dir / "a/qolt/sub/host.txt", "the host's too");
        struct stat st;
        const bool folds = stat((dir / "a/QOLT").c_str(), &st) == 0;
        for (const Case& c : cases) {
            auto files = dcjsim::GenerateFiles(1, 1, 100);
            UseFiles(files);
            const size_t connections = sim.Connections();
            const std::string reply = Run(c.upload, c.temp);
            if (folds) {
                EXPECT_EQ(Code(reply), "ECPWSCOM0005") << c.name << " " << reply;
                EXPECT_EQ(sim.Connections(), connections) << c.name << ": the counter is not contacted";
            } else {
                EXPECT_EQ(Code(reply), "ECPWS0000000") << c.name << " " << reply;
                EXPECT_TRUE(dcjtest::Exists(c.upload + FsnName(files[0]))) << c.name;
            }
        }
        EXPECT_EQ(ReadFile(dir / "a/qolt/host.txt"), "the host's");
        EXPECT_EQ(ReadFile(dir / "a/qolt/sub/host.txt"), "the host's too");
        // Packing into it would lose the archive after the counter let go.
        if (folds) {
            dcjtest::WriteFile(local / "related.txt", "related");
            UseFiles(dcjsim::GenerateFiles(1, 1, 100));
            EXPECT_EQ(Code(Run(dir / "c/qolt/", dir / "c/", local / "related.txt")), "ECPWSCOM0005");
        }
    }
}

TEST_F(FileSystems, NamesTheWorkingFolderFoldsTogetherKeepEveryByteInTheArchive)
{
    dcjtest::WriteFile(local / "related.txt", "related content");
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        auto files = dcjsim::GenerateFiles(2, 2, 500);
        files[0].sNo = "SNabc";
        files[1].sNo = "SNABC";
        UseFiles(files);
        const size_t before = Confirmations();
        const std::string upload = dir / "up/", temp = dir / "tmp/";
        const bool zipWorks = ZipWorksIn(temp);
        const std::string reply = Run(upload, temp, local / "related.txt");
        if (!zipWorks) {
            EXPECT_NE(Code(reply), "ECPWS0000000") << reply;
            EXPECT_EQ(Confirmations(), before);
            continue;
        }
        ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
        const std::string zip = upload + Files(reply);
        std::vector<std::string> entries = dcjtest::ZipEntries(zip);
        entries.erase(std::remove(entries.begin(), entries.end(), "related.txt"), entries.end());
        std::string packed;
        for (const std::string& entry : entries) packed += dcjtest::RunProcess({"unzip", "-p", zip, entry}).out;
        const std::string both = files[0].Content() + files[1].Content();
        if (entries.size() == 1) {
            EXPECT_TRUE(SameBytes(packed, both));
        } else {
            ASSERT_EQ(entries.size(), 2u);
            EXPECT_EQ(packed.size(), both.size());
        }
        EXPECT_EQ(Confirmations(), before + 1);
    }
}

TEST_F(FileSystems, ANameTheFileSystemRefusesFailsTheDownloadUnconfirmed)
{
    for (const Mount& m : mounts) {
        SCOPED_TRACE(m.kind);
        FolderOn dir(m);
        ASSERT_TRUE(dir.ok());
        // Does this kind take a ":" in a name?
        const std::string probe = dir / "probe:name";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        const bool takesColon = fd >= 0;
        if (fd >= 0) close(fd);
        unlink(probe.c_str());

        auto files = dcjsim::GenerateFiles(3, 1, 400);
        files[1].sNo = "SN:2";
        const std::string upload = dir / "up/";
        for (const char* temp : {"tmp/", ""}) {  // the working folder on the same kind, then elsewhere
            UseFiles(files);
            const size_t before = Confirmations();
            const std::string tempDir = *temp ? dir / temp : local / "tmp/";
            const std::string reply = Run(upload, tempDir);
            if (takesColon) {
                EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
                EXPECT_TRUE(SameBytes(ReadFile(upload + FsnName(files[1])), files[1].Content()));
                continue;
            }
            EXPECT_EQ(Code(reply), "DRV0000001") << reply;
            EXPECT_EQ(Confirmations(), before);
            // The log says which name, where, and why.
            const char* log = getenv("VDXLOG_FILE");
            if (log != nullptr) {
                const std::string text = ReadFile(log);
                EXPECT_NE(text.find("cannot store " + FsnName(files[1]) + " in "), std::string::npos);
            }
            // The file before it may stay delivered; nothing else is there.
            for (const std::string& name : ListDir(upload)) EXPECT_EQ(name, FsnName(files[0]));
        }
    }
}

}  // namespace
