// FSN downloads end to end: the simulated counter's upload stream, the files
// on a real file system, the confirmation that follows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::Code;

using dcjtest::DriverLib;
using dcjtest::Exists;
using dcjtest::ListDir;
using dcjtest::ReadFile;
using dcjtest::ReplyField;
using dcjtest::TempDir;
using dcjtest::ZipEntries;

const char kInst[] = "442000034";
const char kEmp[] = "10677661";

std::string FsnName(const dcjsim::FsnFile& f)
{
    auto field = [](const std::string& s) { return s.substr(0, s.find('\0')); };
    return std::string(kInst) + "_" + field(f.machineNo) + "_" + kEmp + "_" + field(f.dateTime) + "_" +
           field(f.sNo) + ".FSN";
}

std::string ZipEntry(const std::string& zip, const std::string& name)
{
    return dcjtest::RunProcess({"unzip", "-p", zip, name}).out;
}

class Download : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new DriverLib(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
        upload = tmp / "up load/";
        temp = tmp / "te mp/";
    }
    std::string Run(std::map<std::string, std::string> extra = {}, int outLen = 102400)
    {
        std::map<std::string, std::string> args = {
            {"instNo", kInst}, {"empNo", kEmp}, {"uploadDir", upload}, {"tempDir", temp}, {"timeout", "2"}};
        for (auto& kv : extra) args[kv.first] = kv.second;
        return s_lib->DoCommand(dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(), args), outLen);
    }
    void UseFiles(const std::vector<dcjsim::FsnFile>& files)
    {
        sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    }
    // Records land once an answer is out, which can be just after the driver
    // has returned: wait for one per accepted connection.
    std::vector<uint32_t> Commands()
    {
        EXPECT_TRUE(sim.WaitForExchanges(sim.Connections(), std::chrono::seconds(5)));
        std::vector<uint32_t> cmds;
        for (const auto& e : sim.Exchanges()) cmds.push_back(e.cmd);
        return cmds;
    }
    static std::string Desc(const std::string& reply) { return ReplyField(reply, "retComArgs", "errDesc"); }
    static std::string Files(const std::string& reply) { return ReplyField(reply, "retBizArgs", "fsnFiles"); }
    std::vector<std::string> WorkingFolder() { return ListDir(temp + "QOLT"); }
    // The header of that file goes out spoiled: the download is refused
    // (DRVDCJ1003) once the files before it are delivered.
    void SpoilHeaderOf(size_t file)
    {
        sim.Edit([file](dcjsim::Scenario& s) {
            s.tweakUploadHeader = [file](size_t f, size_t, std::vector<uint8_t>& header) {
                if (f == file) header[0] = 'X';
            };
        });
    }
    // Every byte of the upload on its own: the download lasts long enough
    // for the host to do something in the middle of it.
    void DripTheUpload()
    {
        sim.Edit([](dcjsim::Scenario& s) {
            s.fault = dcjsim::Fault::SlowDrip;
            s.faultCmd = 0xA1;
            s.dripDelay = std::chrono::milliseconds(0);
        });
    }

    static DriverLib* s_lib;
    dcjsim::Simulator sim;
    TempDir tmp;
    std::string upload, temp;
};
DriverLib* Download::s_lib = nullptr;

TEST_F(Download, DirectModeDeliversEveryFileByteExactAndConfirms)
{
    auto files = dcjsim::GenerateFiles(3, 1, 500);
    auto multi = dcjsim::GenerateFiles(1, 4, 3000, "M2", "20261207101010", "X", 9);
    files.push_back(multi[0]);
    UseFiles(files);

    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(Desc(reply), "操作成功");
    std::string expectedList;
    std::vector<std::string> names;
    for (const auto& f : files) {
        names.push_back(FsnName(f));
        expectedList += (expectedList.empty() ? "" : "|") + FsnName(f);
        EXPECT_EQ(ReadFile(upload + FsnName(f)), f.Content()) << FsnName(f);
    }
    EXPECT_EQ(Files(reply), expectedList);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(ListDir(upload), names);
    EXPECT_TRUE(WorkingFolder().empty());
    // Confirmed on a connection of its own, after which the device is empty.
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
    EXPECT_EQ(sim.Connections(), 2u);
    EXPECT_TRUE(sim.CurrentScenario().files.empty());
}

TEST_F(Download, LongFileListIsDeliveredWhole)
{
    auto files = dcjsim::GenerateFiles(40, 1, 10, "MACHINE-NUMBER-0123456789", "20261206090507");
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000");
    const std::string list = Files(reply);
    EXPECT_GT(list.size(), 1023u);
    EXPECT_EQ(std::count(list.begin(), list.end(), '|'), 39);
    EXPECT_EQ(list.substr(list.rfind('|') + 1), FsnName(files.back()));
    // A short list afterwards is not polluted by the long one.
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    EXPECT_EQ(Files(Run()), FsnName(dcjsim::GenerateFiles(1, 1, 10)[0]));
}

TEST_F(Download, DeviceTextFieldsOfFullWidthAreNamedWithoutOverrun)
{
    auto files = dcjsim::GenerateFiles(1, 1, 10, std::string(28, 'M'), std::string(16, 'D'));
    files[0].sNo = std::string(16, 'S');
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    const std::string name = std::string(kInst) + "_" + std::string(28, 'M') + "_" + kEmp + "_" +
                             std::string(16, 'D') + "_" + std::string(16, 'S') + ".FSN";
    EXPECT_EQ(Files(reply), name);
    EXPECT_TRUE(Exists(upload + name));
}

TEST_F(Download, AReplyThatCannotFitTheCallersBufferIsNeverConfirmed)
{
    // 200 long names: about 16 KiB of list.
    const auto files = dcjsim::GenerateFiles(200, 1, 10, "MACHINE-NUMBER-0123456789", "20261206090507");
    UseFiles(files);
    const std::string whole = Run({{"uploadDir", tmp / "sized/"}}, 1 << 20);
    ASSERT_EQ(Code(whole), "ECPWS0000000") << whole;
    const int exact = static_cast<int>(whole.size());
    ASSERT_GT(exact, 8192);

    // One byte short: delivered, not confirmed, the caller told why.
    UseFiles(files);
    const std::string shortReply = Run({}, exact - 1);
    EXPECT_EQ(Code(shortReply), "ECPWSCOM0009") << shortReply;
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6, 0xA1}));
    EXPECT_EQ(sim.CurrentScenario().files.size(), 200u);
    EXPECT_EQ(ListDir(upload).size(), 200u);

    // The next call with room enough confirms them, each file there once.
    const std::string fits = Run({}, exact);
    EXPECT_EQ(Code(fits), "ECPWS0000000");
    EXPECT_EQ(fits, whole);
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6, 0xA1, 0xA1, 0xA6}));
    EXPECT_TRUE(sim.CurrentScenario().files.empty());
    EXPECT_EQ(ListDir(upload).size(), 200u);
    for (const auto& f : files) EXPECT_EQ(ReadFile(upload + FsnName(f)), f.Content());

    // The host's usual 8 KiB buffer and an archive: the archive is not made.
    UseFiles(files);
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    const std::string archive = Run({{"uploadDir", tmp / "zipped/"}, {"relativeFilePath", tmp / "summary.txt"}}, 8192);
    EXPECT_EQ(Code(archive), "ECPWS0000000") << "an archive's reply names one file and always fits";
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6, 0xA1, 0xA1, 0xA6, 0xA1, 0xA6}));
}

TEST_F(Download, NamesOnDiskAreTheListedNamesWhateverBytesTheDeviceSends)
{
    // GBK text, a lone lead byte, bytes no GBK character holds, a
    // character split by the field's end, and characters whose second byte
    // is the list's separator.
    const std::vector<std::string> machines = {"\xD6\xD0\xCE\xC4", "A\x81\x30", "\x80\xFF", "B\xD6",
                                               "\xB0\x7C\x81\x7C"};
    std::vector<dcjsim::FsnFile> files;
    uint32_t seed = 1;
    for (const std::string& machine : machines) {
        files.push_back(dcjsim::GenerateFiles(1, 2, 300, machine, "20261206090507", "S" + std::to_string(seed), seed)[0]);
        ++seed;
    }
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    std::vector<std::string> listed;
    std::string list = Files(reply);
    for (size_t from = 0;;) {
        const size_t bar = list.find('|', from);
        listed.push_back(list.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
        if (bar == std::string::npos) break;
        from = bar + 1;
    }
    ASSERT_EQ(listed.size(), files.size());
    EXPECT_EQ(listed[0].substr(0, listed[0].find(kEmp)), std::string(kInst) + "_\u4e2d\u6587_");
    // Bytes that are no GBK text are named by the replacement character.
    EXPECT_EQ(listed[2].substr(0, listed[2].find(kEmp)), std::string(kInst) + "_\u20AC\uFFFD_");
    EXPECT_EQ(listed[3].substr(0, listed[3].find(kEmp)), std::string(kInst) + "_B\uFFFD_");
    EXPECT_EQ(listed[4].substr(0, listed[4].find(kEmp)), std::string(kInst) + "_\u7698\u4E85_");
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(ReadFile(upload + listed[i]), files[i].Content()) << listed[i];
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(ListDir(upload), listed);
}

TEST_F(Download, FailureInTheThirdFileKeepsTheFirstTwoAndIsNotConfirmed)
{
    auto files = dcjsim::GenerateFiles(4, 2, 100);
    UseFiles(files);
    sim.Edit([](dcjsim::Scenario& s) {
        s.tweakUploadHeader = [](size_t file, size_t packet, std::vector<uint8_t>& header) {
            if (file == 2 && packet == 1) header[0] = 'X';
        };
    });
    const std::string reply = Run();
    EXPECT_EQ(Code(reply), "DRVDCJ1003");
    EXPECT_EQ(Desc(reply), "设备返回的响应数据格式错误");
    EXPECT_FALSE(dcjtest::HasSection(reply, "retBizArgs"));
    EXPECT_EQ(ReadFile(upload + FsnName(files[0])), files[0].Content());
    EXPECT_EQ(ReadFile(upload + FsnName(files[1])), files[1].Content());
    EXPECT_EQ(ListDir(upload).size(), 2u);
    EXPECT_TRUE(WorkingFolder().empty()) << "the partial third file is gone";
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
    EXPECT_EQ(sim.CurrentScenario().files.size(), 4u);
}

TEST_F(Download, RepeatedNamesKeepEveryByte)
{
    // Two files the device names alike, within one download: both contents
    // stay, one after the other, as they would inside an archive.
    auto files = dcjsim::GenerateFiles(2, 2, 300, "M", "D", "S");
    files[1].sNo = files[0].sNo;
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(Files(reply), FsnName(files[0]) + "|" + FsnName(files[0]));
    EXPECT_EQ(ReadFile(upload + FsnName(files[0])), files[0].Content() + files[1].Content());

    // The pair was confirmed: the file in the folder is the only copy of
    // the second's bytes. A later download that brings the first again
    // under that name must not replace it, and finds its bytes there.
    UseFiles({files[0]});
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_EQ(ReadFile(upload + FsnName(files[0])), files[0].Content() + files[1].Content());
}

// A packet without data is a packet: an empty file (one empty packet, as
// dcjsim sends it) and an empty last packet of a file are delivered and
// confirmed, not taken for a lost connection that no retry can mend.
TEST_F(Download, PacketsWithoutDataAreDeliveredAndConfirmed)
{
    auto files = dcjsim::GenerateFiles(3, 2, 64);
    files[0].packets = {""};                   // an empty file
    files[1].packets.push_back("");            // an empty last packet
    files[2].packets.insert(files[2].packets.begin(), "");  // an empty first packet
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    for (const auto& f : files) EXPECT_EQ(ReadFile(upload + FsnName(f)), f.Content());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

// A name an earlier download delivered: sent again because that download
// was not confirmed, the same bytes or more of them replace the copy; other
// bytes under it (a counter whose clock went back) are another file, and the
// copy in the folder may be the only one left, so both stay.
TEST_F(Download, ANameAnEarlierDownloadDeliveredIsReplacedOnlyByItsOwnBytes)
{
    auto files = dcjsim::GenerateFiles(1, 2, 100);
    UseFiles(files);
    ASSERT_EQ(Code(Run({}, 100)), "ECPWSCOM0009");  // delivered, not confirmed
    files[0].packets.push_back("four more records");
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    const std::string name = FsnName(files[0]);
    EXPECT_EQ(ReadFile(upload + name), files[0].Content());

    const auto alike = dcjsim::GenerateFiles(1, 2, 100, files[0].machineNo, files[0].dateTime, files[0].sNo, 7);
    ASSERT_NE(alike[0].Content(), files[0].Content());
    UseFiles(alike);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(Files(reply), name);
    EXPECT_EQ(ReadFile(upload + name), files[0].Content() + alike[0].Content());
    EXPECT_EQ(ListDir(upload), std::vector<std::string>{name});
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1, 0xA6, 0xA1, 0xA6}));
}

// An earlier copy the host's user may not read (left 0600 by a run as
// another user, or made unreadable by an uploader) cannot be compared: it
// may hold other bytes, the only copy of them, and must not be replaced.
TEST_F(Download, AnEarlierFileTheHostCannotReadIsNeverReplaced)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the host as another user";
    const auto files = dcjsim::GenerateFiles(1, 2, 100);
    const std::string name = FsnName(files[0]);
    const std::string old = "records the counter has cleared long ago";
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    ASSERT_EQ(chmod(upload.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(chmod(temp.c_str(), 0777), 0);
    dcjtest::WriteFile(upload + name, old);
    ASSERT_EQ(chmod((upload + name).c_str(), 0600), 0);  // root's, unreadable to the host
    UseFiles(files);
    auto child = dcjtest::RunInChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        printf("%s\n", Code(Run()).c_str());
        return 0;
    });
    ASSERT_EQ(child.status, 0);
    // Refused, or delivered with the old bytes kept: either way not lost.
    EXPECT_EQ(ReadFile(upload + name).substr(0, old.size()), old) << child.out;
}

// A name the counter sends twice in one download, that download not
// confirmed (here: a reply too small; a later file refused does the same):
// the counter sends the same pair again, and the file must hold the pair
// once, not the first part twice and the second twice.
TEST_F(Download, ANameSentTwiceInAnUnconfirmedDownloadIsDeliveredOnceWhenSentAgain)
{
    auto files = dcjsim::GenerateFiles(2, 2, 300, "M", "D", "S");
    files[1].sNo = files[0].sNo;
    const std::string name = FsnName(files[0]);
    UseFiles(files);
    ASSERT_EQ(Code(Run({}, 100)), "ECPWSCOM0009");  // delivered, not confirmed
    ASSERT_EQ(ReadFile(upload + name), files[0].Content() + files[1].Content());
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_TRUE(ReadFile(upload + name) == files[0].Content() + files[1].Content())
        << ReadFile(upload + name).size() << " bytes; the pair is " << files[0].Content().size() << "+"
        << files[1].Content().size() << "; pair twice: "
        << (ReadFile(upload + name) == files[0].Content() + files[1].Content() + files[0].Content() + files[1].Content());
    // And when a third file after the pair is refused, the same.
    dcjtest::RemoveTree(upload);
    auto three = files;
    three.push_back(dcjsim::GenerateFiles(1, 1, 30, "M", "D", "T", 9)[0]);
    UseFiles(three);
    SpoilHeaderOf(2);
    ASSERT_EQ(Code(Run()), "DRVDCJ1003");
    sim.Edit([](dcjsim::Scenario& s) { s.tweakUploadHeader = nullptr; });
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_TRUE(ReadFile(upload + name) == files[0].Content() + files[1].Content())
        << ReadFile(upload + name).size() << " bytes after a refused third file";
    // Other bytes added to an earlier file (a counter whose clock went
    // back), that download not confirmed: sent again, added once.
    dcjtest::RemoveTree(upload);
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    const std::string old = "records confirmed long ago";
    dcjtest::WriteFile(upload + name, old);
    UseFiles({files[0]});
    ASSERT_EQ(Code(Run({}, 100)), "ECPWSCOM0009");
    UseFiles({files[0]});
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_TRUE(ReadFile(upload + name) == old + files[0].Content())
        << ReadFile(upload + name).size() << " bytes; old " << old.size() << " + new " << files[0].Content().size();
}

TEST_F(Download, RetryAfterAFailureDeliversEachFileOnce)
{
    auto files = dcjsim::GenerateFiles(3, 2, 100);
    UseFiles(files);
    SpoilHeaderOf(2);
    ASSERT_EQ(Code(Run()), "DRVDCJ1003");
    sim.Edit([](dcjsim::Scenario& s) { s.tweakUploadHeader = nullptr; });
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    for (const auto& f : files) EXPECT_EQ(ReadFile(upload + FsnName(f)), f.Content());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1, 0xA6}));
}

TEST_F(Download, MalformedHeadersAreRefusedAndNeverConfirmed)
{
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> tweak;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"msg_length 107", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[4], 107); }, "DRVDCJ1003"},
        {"msg_length 0xFFFFFFFF", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[4], 0xFFFFFFFF); },
         "DRVDCJ1003"},
        // A packet without data is read as one: the data that follows is no header.
        {"msg_length 108: a packet without data", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[4], 108); },
         "DRVDCJ1003"},
        {"packetCount 0", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[76], 0); }, "DRVDCJ1003"},
        {"fileCount 0", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[84], 0); }, "DRVDCJ1003"},
        {"command 0xA3", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[8], 0xA3); }, "DRVDCJ1003"},
        {"slash in MachineNo", [](std::vector<uint8_t>& h) { memcpy(&h[12], "../../x", 7); }, "DRVDCJ1003"},
        {"slash in SNo", [](std::vector<uint8_t>& h) { memcpy(&h[56], "a/b", 3); }, "DRVDCJ1003"},
        {"list separator in DateTime", [](std::vector<uint8_t>& h) { memcpy(&h[40], "2026|12", 7); }, "DRVDCJ1003"},
        // 0x80 starts no GBK character: the "|" after it stays one.
        {"list separator after a byte no GBK character holds",
         [](std::vector<uint8_t>& h) { memcpy(&h[56], "S\x80|1", 5); }, "DRVDCJ1003"},
        {"data before packet 0", [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[72], 1); }, "DRVDCJ1003"},
    };
    for (const Case& c : cases) {
        sim.SetScenario(dcjsim::Scenario());
        UseFiles(dcjsim::GenerateFiles(1, 2, 64));
        sim.Edit([&](dcjsim::Scenario& s) {
            s.tweakUploadHeader = [&](size_t, size_t packet, std::vector<uint8_t>& h) {
                if (packet == 0) c.tweak(h);
            };
        });
        const size_t before = sim.Connections();
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = Run({{"timeout", "1"}});
        EXPECT_EQ(Code(reply), c.code) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500)) << c.what;
        EXPECT_EQ(sim.Connections(), before + 1) << c.what << ": no confirmation";
        ASSERT_TRUE(sim.WaitForExchanges(before + 1, std::chrono::seconds(5)));
        EXPECT_TRUE(ListDir(upload).empty()) << c.what;
        EXPECT_TRUE(WorkingFolder().empty()) << c.what;
    }
    EXPECT_TRUE(ListDir(tmp.path()).size() == 2u) << "nothing written beside the folders";
}

TEST_F(Download, PacketsOutOfTurnAreRefusedBeforeAnythingIsConfirmed)
{
    constexpr size_t kEveryPacket = static_cast<size_t>(-1);
    struct Case {
        const char* what;
        size_t file, packet;
        std::function<void(std::vector<uint8_t>&)> tweak;
        size_t delivered;  // files complete before the fault
    };
    const std::vector<Case> cases = {
        // The first file claims five packets, the device moves on after two:
        // that file would be listed and confirmed, yet never arrive.
        {"new file before the last one ended", 0, kEveryPacket,
         [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[76], 5); }, 0},
        {"packet skipped", 1, 1, [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[72], 2); }, 1},
        {"packet repeated", 1, 2, [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[72], 1); }, 1},
        {"file skipped", 1, kEveryPacket, [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[80], 2); }, 1},
        // Three packets announced, then two: the file would end cut short.
        {"packet count shrank within a file", 1, 1, [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[76], 2); },
         1},
        {"file count changed", 1, kEveryPacket, [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[84], 3); },
         1},
        // One file announced, two sent: the second would be cleared unread.
        {"more files than announced", 0, kEveryPacket,
         [](std::vector<uint8_t>& h) { dcjsim::wire::PutU32(&h[84], 1); }, 1},
    };
    for (const Case& c : cases) {
        sim.SetScenario(dcjsim::Scenario());
        UseFiles(dcjsim::GenerateFiles(2, 3, 100));
        sim.Edit([&](dcjsim::Scenario& s) {
            s.tweakUploadHeader = [&](size_t file, size_t packet, std::vector<uint8_t>& h) {
                if (file == c.file && (packet == c.packet || c.packet == kEveryPacket)) c.tweak(h);
            };
        });
        const size_t before = sim.Connections();
        const std::string reply = Run();
        EXPECT_EQ(Code(reply), "DRVDCJ1003") << c.what << reply;
        EXPECT_EQ(sim.Connections(), before + 1) << c.what << ": no confirmation";
        EXPECT_EQ(ListDir(upload).size(), c.delivered) << c.what << ": only finished files delivered";
        dcjtest::RemoveTree(upload);
    }
}

TEST_F(Download, DeviceWithNothingToUploadIsNotConfirmed)
{
    const std::string reply = Run();
    EXPECT_EQ(Code(reply), "ECPWSDCJ0001");
    EXPECT_EQ(Desc(reply), "无可上传的FSN文件");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
}

// A packet's header and data are one frame (msg_length counts both): the
// frame gets the time-out once, not once for the header and again for the
// data. Here each half takes about 0.75 s of a 1 s time-out.
TEST_F(Download, AFrameWholeMustArriveWithinTheTimeOutNotEachHalf)
{
    UseFiles(dcjsim::GenerateFiles(1, 1, 108));
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::SlowDrip;
        s.faultCmd = 0xA1;
        s.dripDelay = std::chrono::milliseconds(7);
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = Run({{"timeout", "1"}});
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002") << reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1800));
    EXPECT_TRUE(ListDir(upload).empty());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
}

TEST_F(Download, StallInsideFileDataFailsWithinTheTimeOut)
{
    UseFiles(dcjsim::GenerateFiles(1, 1, 5000));
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::PartialThenStall;
        s.faultAt = dcjsim::FaultAt::UploadData;
        s.faultBytes = 100;
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = Run({{"timeout", "1"}});
    EXPECT_EQ(Code(reply), "ECPWSDCJ0002");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_TRUE(ListDir(upload).empty());
}

TEST_F(Download, ArchiveModePacksFilesAndRelatedFileIntoANewArchive)
{
    auto files = dcjsim::GenerateFiles(2, 3, 700);
    const std::string related = tmp / "rel ated;$(touch x).txt";
    dcjtest::WriteFile(related, "related content");

    std::vector<std::string> archives;
    for (int round = 0; round < 2; ++round) {  // two archives within one second stay apart
        UseFiles(files);
        const std::string reply = Run({{"relativeFilePath", related}});
        ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
        const std::string zipName = Files(reply);
        ASSERT_EQ(zipName.size(), 18u) << zipName;
        EXPECT_EQ(zipName.find_first_not_of("0123456789"), 14u);
        EXPECT_EQ(zipName.substr(14), ".zip");
        archives.push_back(zipName);

        std::vector<std::string> expected = {FsnName(files[0]), FsnName(files[1]), "rel ated;$(touch x).txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ZipEntries(upload + zipName), expected);
        EXPECT_EQ(ZipEntry(upload + zipName, FsnName(files[1])), files[1].Content());
        EXPECT_TRUE(WorkingFolder().empty());
    }
    EXPECT_NE(archives[0], archives[1]);
    EXPECT_EQ(ListDir(upload), (std::vector<std::string>{archives[0], archives[1]}));
    EXPECT_FALSE(Exists("x"));
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6, 0xA1, 0xA6}));
}

// A reply too small for the archive's name: the counter keeps its files and
// the next call packs them again, so an archive no reply named must not stay
// beside that one, handing the host every record twice.
TEST_F(Download, AnArchiveThatIsNotConfirmedIsNotLeftBehind)
{
    UseFiles(dcjsim::GenerateFiles(2, 1, 300));
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    const std::map<std::string, std::string> archive = {{"relativeFilePath", tmp / "summary.txt"}};
    const std::string small = Run(archive, 150);
    ASSERT_EQ(Code(small), "ECPWSCOM0009") << small;
    EXPECT_TRUE(ListDir(upload).empty());
    const std::string fits = Run(archive);
    ASSERT_EQ(Code(fits), "ECPWS0000000") << fits;
    EXPECT_EQ(ListDir(upload), std::vector<std::string>{Files(fits)});
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1, 0xA6}));
}

// Options the host keeps in its environment for its own archives (zip reads
// ZIPOPT) must not change the archive that is confirmed.
TEST_F(Download, TheHostsZipOptionsDoNotReachTheArchive)
{
    const auto files = dcjsim::GenerateFiles(2, 1, 300);
    UseFiles(files);
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    ASSERT_EQ(setenv("ZIPOPT", "-Psecret", 1), 0);
    const std::string reply = Run({{"relativeFilePath", tmp / "summary.txt"}});
    unsetenv("ZIPOPT");
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    for (const auto& f : files) EXPECT_EQ(ZipEntry(upload + Files(reply), FsnName(f)), f.Content());
}

// The upload folder moved away while the files arrive (or its file system
// unmounted lazily, when they vanish with the last descriptor): a confirmed
// download has its files in the folder the upload path names.
TEST_F(Download, AConfirmedDownloadHasItsFilesInTheFolderItsPathNames)
{
    const auto files = dcjsim::GenerateFiles(3, 2, 2000);
    UseFiles(files);
    DripTheUpload();
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    std::thread mover([&] {
        // Once the first file is delivered, the folder goes and a new one takes its name.
        for (int i = 0; i < 5000 && ListDir(upload).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(rename(upload.c_str(), (tmp / "moved").c_str()), 0);
        EXPECT_EQ(mkdir(upload.c_str(), 0777), 0);
    });
    const std::string reply = Run({{"timeout", "20"}});
    mover.join();
    ASSERT_FALSE(ListDir(tmp / "moved").empty()) << "the folder moved only after the download";
    EXPECT_EQ(Code(reply), "DRV0000001") << reply;
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
    EXPECT_EQ(sim.CurrentScenario().files.size(), files.size());
}

// One argument per file passed the kernel's limit on a command line (a
// quarter of the stack limit, at least 128 KiB) at some ten thousand files
// under the default limit; under a 256 KiB one, at some two thousand.
TEST_F(Download, AnArchiveTakesAnyNumberOfFiles)
{
    const auto files = dcjsim::GenerateFiles(2000, 1, 16);
    UseFiles(files);
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    const auto child = dcjtest::RunInChild([&] {
        const struct rlimit stack = {256 << 10, 256 << 10};
        if (setrlimit(RLIMIT_STACK, &stack) != 0) return 3;
        const std::string reply = Run({{"relativeFilePath", tmp / "summary.txt"}, {"timeout", "20"}});
        printf("%s", reply.c_str());
        return Code(reply) == "ECPWS0000000" ? 0 : 1;
    });
    ASSERT_EQ(child.status, 0) << child.out;
    const std::string zip = upload + ReplyField(child.out, "retBizArgs", "fsnFiles");
    EXPECT_EQ(ZipEntries(zip).size(), files.size() + 1);
    EXPECT_EQ(ZipEntry(zip, FsnName(files[1999])), files[1999].Content());
}

// The upload folder mounted inside the working folder is kept there (the
// working folder is emptied around it): the archive must still hold the
// downloaded files and the related file only, not every file the upload
// folder keeps (earlier archives, the host's own files).
TEST_F(Download, AnUploadFolderMountedInTheWorkingFolderIsNotPacked)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a bind mount";
    const auto files = dcjsim::GenerateFiles(2, 1, 300);
    UseFiles(files);
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    dcjtest::WriteFile(upload + "20250101000000.zip", "an earlier archive");
    dcjtest::WriteFile(upload + "host-private.txt", "the host's own");
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((temp + "QOLT").c_str(), 0777), 0);
    const std::string mnt = temp + "QOLT/up";
    ASSERT_EQ(mkdir(mnt.c_str(), 0777), 0);
    ASSERT_EQ(mount(upload.c_str(), mnt.c_str(), "none", MS_BIND, nullptr), 0);
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    const std::string reply = Run({{"relativeFilePath", tmp / "summary.txt"}});
    const std::vector<std::string> entries =
        Code(reply) == "ECPWS0000000" ? ZipEntries(upload + Files(reply)) : std::vector<std::string>{};
    EXPECT_EQ(umount2(mnt.c_str(), MNT_DETACH), 0);
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    std::vector<std::string> expected = {FsnName(files[0]), FsnName(files[1]), "summary.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
}

// Archive mode, the upload folder moved away while the files arrive: the
// documented failure (DRV0000001, a storage fault), not a zip failure.
TEST_F(Download, AnArchiveForAMovedUploadFolderFailsAsStorage)
{
    const auto files = dcjsim::GenerateFiles(3, 2, 2000);
    UseFiles(files);
    DripTheUpload();
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    dcjtest::WriteFile(tmp / "summary.txt", "totals");
    std::thread mover([&] {
        for (int i = 0; i < 5000 && WorkingFolder().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(rename(upload.c_str(), (tmp / "moved").c_str()), 0);
        EXPECT_EQ(mkdir(upload.c_str(), 0777), 0);
    });
    const std::string reply = Run({{"timeout", "20"}, {"relativeFilePath", tmp / "summary.txt"}});
    mover.join();
    EXPECT_EQ(Code(reply), "DRV0000001") << reply;
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
    EXPECT_TRUE(ListDir(upload).empty());
    // Named in no reply, never confirmed: no archive is left in the moved folder either.
    EXPECT_TRUE(ListDir(tmp / "moved").empty());
}

TEST_F(Download, ArchiveModeWorksInAHostThatReapsItsOwnChildren)
{
    // Such a host takes cp's and zip's exit status; the archive's contents
    // then tell whether packing worked.
    auto files = dcjsim::GenerateFiles(2, 2, 300);
    UseFiles(files);
    const std::string related = tmp / "related.txt";
    dcjtest::WriteFile(related, "related content");
    auto child = dcjtest::RunInChild([&] {
        signal(SIGCHLD, SIG_IGN);
        const std::string reply = Run({{"relativeFilePath", related}});
        printf("%s\n%s\n", Code(reply).c_str(), Files(reply).c_str());
        return 0;
    });
    ASSERT_EQ(child.status, 0);
    const std::string code = child.out.substr(0, child.out.find('\n'));
    std::string zipName = child.out.substr(child.out.find('\n') + 1);
    zipName = zipName.substr(0, zipName.find('\n'));
    EXPECT_EQ(code, "ECPWS0000000");
    std::vector<std::string> expected = {FsnName(files[0]), FsnName(files[1]), "related.txt"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ZipEntries(upload + zipName), expected);
    EXPECT_EQ(ZipEntry(upload + zipName, "related.txt"), "related content");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Download, ArchiveModeFailuresAreReportedAndNotConfirmed)
{
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    // The related file missing before the start: the device is not contacted.
    std::string reply = Run({{"relativeFilePath", tmp / "missing.txt"}});
    EXPECT_EQ(Code(reply), "ECPWSCOM0001");
    EXPECT_EQ(Desc(reply), "DRVDCJ1006|关联文件不存在");
    EXPECT_EQ(sim.Connections(), 0u);

    // A related file named like a downloaded file would overwrite it.
    auto files = dcjsim::GenerateFiles(1, 1, 10);
    UseFiles(files);
    const std::string clash = tmp / FsnName(files[0]);
    dcjtest::WriteFile(clash, "not the counter's data");
    reply = Run({{"relativeFilePath", clash}});
    EXPECT_EQ(Code(reply), "DRVDCJ1004");
    EXPECT_TRUE(ListDir(upload).empty());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));

    // No zip program: a packaging failure.
    const std::string related = tmp / "related.txt";
    dcjtest::WriteFile(related, "r");
    auto child = dcjtest::RunInChild([&] {
        TempDir emptyPath;
        setenv("PATH", emptyPath.path().c_str(), 1);
        const std::string r = Run({{"relativeFilePath", related}});
        return Code(r) == "DRVDCJ1004" && Desc(r) == "zip压缩失败" ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << child.out;
    EXPECT_TRUE(ListDir(upload).empty());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1}));
}

TEST_F(Download, NamesThatLookLikeOptionsStayNames)
{
    auto files = dcjsim::GenerateFiles(1, 1, 10);
    UseFiles(files);
    dcjtest::WriteFile(tmp / "-r", "related");
    // Relative paths: run from inside the temporary folder.
    auto child = dcjtest::RunInChild([&] {
        if (chdir(tmp.path().c_str()) != 0) return 2;
        upload = "-up/";
        temp = "-tmp/";
        const std::string reply = Run({{"relativeFilePath", "-r"}});
        return Code(reply) == "ECPWS0000000" ? 0 : 1;
    });
    ASSERT_EQ(child.status, 0);
    const std::vector<std::string> archives = ListDir(tmp / "-up");
    ASSERT_EQ(archives.size(), 1u);
    EXPECT_EQ(ZipEntries(tmp / "-up/" + archives[0]), (std::vector<std::string>{"-r", FsnName(files[0])}));
}

TEST_F(Download, LinksInTheWorkingFolderAreRemovedNotFollowed)
{
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    dcjtest::WriteFile(outside + "/precious", "keep");
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((temp + "QOLT").c_str(), 0777), 0);
    ASSERT_EQ(symlink(outside.c_str(), (temp + "QOLT/link").c_str()), 0);
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    EXPECT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_EQ(ReadFile(outside + "/precious"), "keep");
    EXPECT_TRUE(WorkingFolder().empty());

    // What a folder inside holds goes too; the folder, emptied, may stay.
    ASSERT_EQ(mkdir((temp + "QOLT/sub").c_str(), 0777), 0);
    dcjtest::WriteFile(temp + "QOLT/sub/left.FSN", "left");
    dcjtest::WriteFile(temp + "QOLT/left.FSN", "left");
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    EXPECT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_FALSE(dcjtest::Exists(temp + "QOLT/left.FSN"));
    EXPECT_FALSE(dcjtest::Exists(temp + "QOLT/sub/left.FSN"));
    EXPECT_EQ(ReadFile(outside + "/precious"), "keep");

    // The working folder itself a link to elsewhere.
    dcjtest::RemoveTree(temp + "QOLT");
    ASSERT_EQ(symlink(outside.c_str(), (temp + "QOLT").c_str()), 0);
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    EXPECT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_EQ(ListDir(outside), (std::vector<std::string>{"precious"}));
}

TEST_F(Download, SpecialFilesInTheWorkingFolderFailTheDownloadWithoutHanging)
{
    auto files = dcjsim::GenerateFiles(1, 1, 10);
    UseFiles(files);
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((temp + "QOLT").c_str(), 0777), 0);
    // A pipe where the file will grow: opening it to write must not wait
    // for a reader that never comes.
    ASSERT_EQ(mkfifo((temp + "QOLT/" + FsnName(files[0])).c_str(), 0666), 0);
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = Run();
    EXPECT_EQ(Code(reply), "DRV0000001") << reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));

    // A pipe as the related file is refused before the device is asked.
    const std::string pipe = tmp / "related.pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    EXPECT_EQ(Code(Run({{"relativeFilePath", pipe}})), "ECPWSCOM0005");
    EXPECT_EQ(sim.Connections(), 1u);
}

TEST_F(Download, AWorkingFolderInUseByAnotherProcessIsNotShared)
{
    auto files = dcjsim::GenerateFiles(1, 1, 10);
    UseFiles(files);
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((temp + "QOLT").c_str(), 0777), 0);
    dcjtest::WriteFile(temp + "QOLT/half-received.FSN", "another download's file");
    const int held = open((temp + "QOLT").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);  // as another download would hold it
    EXPECT_EQ(Code(Run({{"timeout", "1"}})), "DRV0000001");
    EXPECT_EQ(ReadFile(temp + "QOLT/half-received.FSN"), "another download's file");
    close(held);
    EXPECT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1, 0xA6}));
}

TEST_F(Download, AWorkingFolderFreedWhileTheCounterAnswersIsWaitedFor)
{
    // The folders are made ready while the counter answers, without waiting;
    // a folder another download holds is then waited for as ever.
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((temp + "QOLT").c_str(), 0777), 0);
    const int held = open((temp + "QOLT").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    auto files = dcjsim::GenerateFiles(2, 1, 10);
    UseFiles(files);
    std::thread other([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the other download's end
        close(held);
    });
    const std::string reply = Run({{"timeout", "5"}});
    other.join();
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(ReadFile(upload + FsnName(files[1])), files[1].Content());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Download, AFolderThatCannotBeMadeCountsOnlyWhenTheCounterAccepts)
{
    // The upload folder cannot be made, and the counter turns the download
    // down: its own answer is the reply, as when the folders came after it.
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    dcjtest::WriteFile(tmp / "upfile", "a file where the upload folder should be");
    const std::map<std::string, std::string> blocked = {{"uploadDir", tmp / "upfile/"}, {"timeout", "1"}};
    UseFiles({});
    EXPECT_EQ(Code(Run(blocked)), "ECPWSDCJ0001");
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA1] = 6; });
    EXPECT_EQ(Code(Run(blocked)), "ECPWSCOM0013");
    sim.Edit([](dcjsim::Scenario& s) {
        s.retCodes.clear();
        s.fault = dcjsim::Fault::NoAnswer;
    });
    EXPECT_EQ(Code(Run(blocked)), "ECPWSDCJ0002");
    sim.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::None; });
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    EXPECT_EQ(Code(Run(blocked)), "DRV0000001");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA1, 0xA1, 0xA1}));
}

TEST_F(Download, ADownloadTheCounterTurnsDownMakesNoFolder)
{
    // Folders that are not there yet are made only for a download the
    // counter has accepted.
    const std::map<std::string, std::string> fresh = {{"uploadDir", tmp / "new-up/"}, {"tempDir", tmp / "new-temp/"}};
    UseFiles({});
    EXPECT_EQ(Code(Run(fresh)), "ECPWSDCJ0001");
    EXPECT_FALSE(Exists(tmp / "new-up")) << "upload folder made for a refused download";
    EXPECT_FALSE(Exists(tmp / "new-temp")) << "working folder made for a refused download";
    auto files = dcjsim::GenerateFiles(1, 1, 10);
    UseFiles(files);
    EXPECT_EQ(Code(Run(fresh)), "ECPWS0000000");
    EXPECT_EQ(ReadFile(tmp / ("new-up/" + FsnName(files[0]))), files[0].Content());
}

TEST_F(Download, StorageFailureIsReportedAndNotConfirmed)
{
    ASSERT_EQ(mkdir(temp.c_str(), 0777), 0);
    dcjtest::WriteFile(tmp / "upfile", "a file where the upload folder should be");
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    const std::string reply = Run({{"uploadDir", tmp / "upfile/"}});
    EXPECT_EQ(Code(reply), "DRV0000001") << reply;
    EXPECT_EQ(Desc(reply), "未知错误");
    EXPECT_EQ(sim.CurrentScenario().files.size(), 1u);
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
}

TEST_F(Download, WorkingFolderOnAnotherFileSystem)
{
    struct stat shm, disk;
    if (stat("/dev/shm", &shm) != 0 || stat(tmp.path().c_str(), &disk) != 0 || shm.st_dev == disk.st_dev) {
        GTEST_SKIP() << "no second file system";
    }
    setenv("TMPDIR", "/dev/shm", 1);
    TempDir shmTemp;
    unsetenv("TMPDIR");
    temp = shmTemp.path() + "/";
    auto files = dcjsim::GenerateFiles(2, 2, 1000);
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_EQ(ReadFile(upload + FsnName(files[1])), files[1].Content());
    EXPECT_EQ(ListDir(upload).size(), 2u) << "no partial files left behind";
}

TEST_F(Download, NamesLongerThanAPathBufferButWithinTheFileSystemsLimitAreDelivered)
{
    // A 141-character upload folder and device fields whose every byte
    // becomes three in UTF-8: the path is far beyond 256 bytes, the name
    // well within the file system's 255.
    upload = tmp / "up/";
    upload += std::string(141 - upload.size() - 1, 'u') + "/";
    ASSERT_EQ(upload.size(), 141u);
    auto files = dcjsim::GenerateFiles(2, 2, 300, std::string(28, '\xFF'), std::string(16, '\xFF'));
    files[0].sNo = std::string(15, '\xFF') + "0";
    files[1].sNo = std::string(15, '\xFF') + "1";
    UseFiles(files);
    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    std::vector<std::string> onDisk = ListDir(upload);
    ASSERT_EQ(onDisk.size(), 2u);
    EXPECT_EQ(Files(reply), onDisk[0] + "|" + onDisk[1]);
    EXPECT_GT(upload.size() + onDisk[0].size(), 256u);
    EXPECT_LE(onDisk[0].size(), 255u);
    EXPECT_EQ(onDisk[0].substr(0, strlen(kInst) + 4), std::string(kInst) + "_\uFFFD");
    EXPECT_EQ(ReadFile(upload + onDisk[0]), files[0].Content());
    EXPECT_EQ(ReadFile(upload + onDisk[1]), files[1].Content());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Download, ANameBeyondWhatAFileSystemTakesFailsUnconfirmed)
{
    // Numbers of 39 characters and device fields of bytes that each become
    // three: 266 bytes, more than any file system takes in one name.
    const std::string inst(39, '4'), emp(39, '1');
    auto files = dcjsim::GenerateFiles(1, 1, 100, std::string(28, '\xFF'), std::string(16, '\xFF'));
    files[0].sNo = std::string(16, '\xFF');
    UseFiles(files);
    const std::string reply = Run({{"instNo", inst}, {"empNo", emp}});
    EXPECT_EQ(Code(reply), "DRV0000001") << reply;
    EXPECT_TRUE(ListDir(upload).empty());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
}

TEST_F(Download, PartFilesLeftByACopyThatDiedAreRemovedAndOnlyThose)
{
    // The pid of a process that is gone.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    const std::string dead = std::to_string(child), alive = std::to_string(getpid());
    ASSERT_EQ(system(("mkdir -p '" + upload + "'").c_str()), 0);
    const std::vector<std::string> stale = {".qolt-dcj." + dead + ".0.123.part",
                                            ".442000034_M_10677661_D_S.FSN." + dead + ".3.456.part"};
    const std::vector<std::string> kept = {".qolt-dcj." + alive + ".0.1.part", ".qolt-dcj." + dead + ".7.8.part",
                                           "notes.part", ".z.part", ".qolt-dcj.x.1.2.part", "a.FSN"};
    for (const auto& name : stale) dcjtest::WriteFile(upload + name, "half a copy");
    for (const auto& name : kept) dcjtest::WriteFile(upload + name, "keep");
    // A writer that is alive elsewhere (another pid namespace) holds its lock.
    const int held = open((upload + kept[1]).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    auto files = dcjsim::GenerateFiles(1, 1, 100);
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    close(held);
    for (const auto& name : stale) EXPECT_FALSE(Exists(upload + name)) << name;
    for (const auto& name : kept) EXPECT_EQ(ReadFile(upload + name), "keep") << name;
}

TEST_F(Download, HostFieldsOutsideAsciiNameTheFilesAsTheHostWroteThem)
{
    // The request is UTF-8: a name built from its bytes read as GBK came
    // out as other letters, and two such fields could name one file.
    auto files = dcjsim::GenerateFiles(1, 1, 100);
    UseFiles(files);
    const std::string inst = "\xC3\xA9" "1", emp = "\xE5\xBC\xA0\xE4\xB8\x89";  // "é1", "张三"
    const std::string reply = Run({{"instNo", inst}, {"empNo", emp}});
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    const std::string name = FsnName(files[0]).replace(0, strlen(kInst), inst);
    const std::string expected = name.substr(0, name.find(kEmp)) + emp + name.substr(name.find(kEmp) + strlen(kEmp));
    EXPECT_EQ(ListDir(upload), (std::vector<std::string>{expected}));
    EXPECT_EQ(Files(reply), expected);

    // A character GBK lacks could not be listed as the name on disk.
    for (const std::string& bad : {std::string("\xF0\x9F\x98\x80"), std::string("\xE2\x82\xAD")}) {
        UseFiles(files);
        EXPECT_EQ(Code(Run({{"instNo", bad}})), "ECPWSCOM0005") << bad;
    }
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Download, EachProcessLooksForPartFilesOnceInAnUploadFolder)
{
    // Only a process that died leaves a part file. A host that keeps many
    // files in its upload folder must not have them listed at every
    // download; the next process to download there still removes them.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    const std::string stale = ".qolt-dcj." + std::to_string(child) + ".0.123.part";
    auto files = dcjsim::GenerateFiles(1, 1, 100);
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    ASSERT_EQ(unlink((upload + FsnName(files[0])).c_str()), 0);
    dcjtest::WriteFile(upload + stale, "half a copy");
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_TRUE(Exists(upload + stale)) << "this process listed the folder again";

    // Another folder under the same name is looked in anew.
    const std::string before = tmp / "up-before";
    ASSERT_EQ(rename(upload.c_str(), before.c_str()), 0);
    ASSERT_EQ(mkdir(upload.c_str(), 0777), 0);
    dcjtest::WriteFile(upload + stale, "half a copy");
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_FALSE(Exists(upload + stale)) << "a new folder under a name looked in before was skipped";
    // Removed and made again, it may even get the same inode number.
    ASSERT_EQ(system(("rm -rf '" + upload + "' && mkdir '" + upload + "'").c_str()), 0);
    dcjtest::WriteFile(upload + stale, "half a copy");
    UseFiles(files);
    ASSERT_EQ(Code(Run()), "ECPWS0000000");
    EXPECT_FALSE(Exists(upload + stale)) << "a folder made anew under a name looked in before was skipped";
    ASSERT_EQ(system(("rm -rf '" + upload + "' && mv '" + before + "' '" + upload + "'").c_str()), 0);

    ASSERT_EQ(unlink((upload + FsnName(files[0])).c_str()), 0);
    UseFiles(files);
    const dcjtest::ProcessResult other =
        dcjtest::RunProcess({std::string(DCJ_BIN_DIR) + "/dcjctl", "download", "--port", std::to_string(sim.Port()),
                             "--upload-dir", upload, "--temp-dir", temp, "--inst-no", kInst, "--emp-no", kEmp});
    ASSERT_EQ(other.status, 0) << other.out << other.err;
    EXPECT_FALSE(Exists(upload + stale)) << "the next process left the part file";
    EXPECT_TRUE(ReadFile(upload + FsnName(files[0])) == files[0].Content());
}

TEST_F(Download, APartFileOfAHostKilledMidCopyIsRemovedByTheNextDownload)
{
    // The working folder on another file system than the upload folder, so
    // every file is copied in. A host killed (-9) while it copies leaves a
    // part file; the next download into the folder removes it.
    struct stat shm, disk;
    if (stat("/dev/shm", &shm) != 0 || stat(tmp.path().c_str(), &disk) != 0 || shm.st_dev == disk.st_dev) {
        GTEST_SKIP() << "no second file system";
    }
    setenv("TMPDIR", "/dev/shm", 1);
    TempDir shmTemp;
    unsetenv("TMPDIR");
    temp = shmTemp.path() + "/";
    ASSERT_EQ(system(("mkdir -p '" + upload + "'").c_str()), 0);
    auto files = dcjsim::GenerateFiles(1, 16, 1 << 20);
    UseFiles(files);

    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, upload.c_str(), IN_CREATE), 0);
    const std::string request = dcjtest::MakeRequest(
        "getAllFSNFiles", "127.0.0.1", sim.Port(),
        {{"instNo", kInst}, {"empNo", kEmp}, {"uploadDir", upload}, {"tempDir", temp}, {"timeout", "20"}});
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        s_lib->DoCommand(request);
        _exit(0);
    }
    // Killed the moment its part file appears.
    bool killed = false;
    struct pollfd ready = {watch, POLLIN, 0};
    while (!killed && poll(&ready, 1, 60000) == 1) {
        alignas(struct inotify_event) char events[4096];
        const ssize_t n = read(watch, events, sizeof(events));
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
            const std::string name = event->len > 0 ? event->name : "";
            if (name[0] == '.' && name.size() > 5 && name.substr(name.size() - 5) == ".part") {
                killed = kill(host, SIGKILL) == 0;
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
    close(watch);
    int status = 0;
    waitpid(host, &status, 0);
    ASSERT_TRUE(killed && WIFSIGNALED(status)) << "the host was not caught copying";
    std::vector<std::string> left = ListDir(upload);
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(left[0][0], '.');
    ASSERT_EQ(left[0].substr(left[0].size() - 5), ".part");

    const std::string reply = Run();
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(ListDir(upload), (std::vector<std::string>{FsnName(files[0])}));
    EXPECT_TRUE(ReadFile(upload + FsnName(files[0])) == files[0].Content());
}

TEST_F(Download, AnArchiveFindsAFreeNameAtOnceWhenTheComingSecondsAreTaken)
{
    // Archives of other downloads into this folder hold this second's name
    // and the next few: the new one takes the first free one, replacing none.
    const std::string related = tmp / "related.txt";
    dcjtest::WriteFile(related, "related");
    ASSERT_EQ(system(("mkdir -p '" + upload + "'").c_str()), 0);
    const long long now = dcjtest::WallClockSeconds();
    std::vector<std::string> taken;
    for (int i = -1; i < 6; ++i) {
        taken.push_back(dcjtest::LocalStamp(now + i, "%Y%m%d%H%M%S") + ".zip");
        dcjtest::WriteFile(upload + taken.back(), "earlier archive");
    }
    UseFiles(dcjsim::GenerateFiles(1, 1, 100));
    const std::string reply = Run({{"relativeFilePath", related}});
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    const std::string zip = Files(reply);
    EXPECT_TRUE(std::find(taken.begin(), taken.end(), zip) == taken.end()) << zip;
    EXPECT_EQ(ZipEntries(upload + zip).size(), 2u);
    for (const auto& name : taken) EXPECT_EQ(ReadFile(upload + name), "earlier archive") << name;
}

// A one-shot counter built from crafted frames: serves the 0xA1 upload, then
// stops listening, so the confirmation finds nobody.
TEST_F(Download, ConfirmationThatCannotConnectReportsDeviceNotFound)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    std::thread device([&] {
        int conn = accept(listener, nullptr, nullptr);
        close(listener);
        uint8_t request[32];
        ssize_t got = recv(conn, request, sizeof(request), MSG_WAITALL);
        if (got == 32) {
            std::vector<uint8_t> out = dcjsim::wire::EncodeAck(0xA1, 0);
            std::vector<uint8_t> header = dcjsim::wire::EncodeUploadHeader("M", "D", "S", 0, 1, 0, 1, 5);
            out.insert(out.end(), header.begin(), header.end());
            out.insert(out.end(), {'h', 'e', 'l', 'l', 'o'});
            send(conn, out.data(), out.size(), MSG_NOSIGNAL);
        }
        char sink[16];
        while (recv(conn, sink, sizeof(sink), 0) > 0) {
        }
        close(conn);
    });
    const std::string reply = s_lib->DoCommand(dcjtest::MakeRequest(
        "getAllFSNFiles", "127.0.0.1", port,
        {{"instNo", kInst}, {"empNo", kEmp}, {"uploadDir", upload}, {"tempDir", temp}, {"timeout", "2"}}));
    device.join();
    EXPECT_EQ(Code(reply), "ECPWSCOM0008") << reply;
    EXPECT_EQ(Desc(reply), "找不到设备");
    EXPECT_FALSE(dcjtest::HasSection(reply, "retBizArgs"));
    EXPECT_EQ(ReadFile(upload + std::string(kInst) + "_M_" + kEmp + "_D_S.FSN"), "hello");
}

}  // namespace
