// The six device functions as a host reaches them: reply documents byte for
// byte, argument checks, concurrent callers, and the sample caller program.
#include <errno.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::Code;

using dcjtest::DriverLib;
using dcjtest::ReplyField;
using dcjtest::TempDir;

typedef std::string (*SimpleFunction)(std::string, std::string, std::string);

// Descriptors of this process open on dir or anything in it.
int DescriptorsIn(const std::string& dir)
{
    int n = 0;
    for (const std::string& fd : dcjtest::ListDir("/proc/self/fd")) {
        char target[4096];
        const ssize_t len = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof(target) - 1);
        if (len <= 0) continue;
        const std::string path(target, static_cast<size_t>(len));
        if (path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/')) ++n;
    }
    return n;
}

// mkdir -p
bool MakeDirs(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string dir = path.substr(0, at);
        if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

class Device : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new DriverLib(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
    }
    std::string Run(const std::string& func, std::map<std::string, std::string> extra = {}, int port = -1)
    {
        if (!extra.count("timeout")) extra["timeout"] = "2";
        return s_lib->DoCommand(dcjtest::MakeRequest(func, "127.0.0.1", port < 0 ? sim.Port() : port, extra));
    }
    std::string Download(std::map<std::string, std::string> extra)
    {
        std::map<std::string, std::string> args = {{"instNo", "442000034"}, {"empNo", "10677661"},
                                                   {"uploadDir", tmp / "up/"}, {"tempDir", tmp / "temp/"}};
        for (auto& kv : extra) args[kv.first] = kv.second;
        return Run("getAllFSNFiles", args);
    }

    static DriverLib* s_lib;
    dcjsim::Simulator sim;
    TempDir tmp;
};
DriverLib* Device::s_lib = nullptr;

std::string Common(const std::string& func, const std::string& sn, const std::string& code, const std::string& desc)
{
    return R"({"retComArgs":{"devKind":"DCJ","devBrand":"QOLT","devType":"","funcName":")" + func + R"(","sn":")" +
           sn + R"(","retCode":")" + code + R"(","errDesc":")" + desc + R"("})";
}

TEST_F(Device, RepliesAreByteExact)
{
    const std::string ok = "ECPWS0000000", okDesc = "操作成功";
    // The two documented examples: a port of -5, no sn.
    EXPECT_EQ(s_lib->DoCommand(R"({"c":{"funcName":"getRMBCount","ip":"127.0.0.1","port":"-5"}})"),
              Common("getRMBCount", "", "ECPWSCOM0005", "接口参数错误") + "}");
    EXPECT_EQ(s_lib->DoCommand(R"({"c":{"funcName":"getDevStatus","ip":"127.0.0.1","port":"-5"}})"),
              Common("getDevStatus", "", ok, okDesc) +
                  R"(,"retBizArgs":{"DRVVersion":"1.1.0.0","FIRVersion":"","status":"","devSn":"","extStatus":""}})");

    EXPECT_EQ(Run("getRMBCount", {{"sn", "s-1"}}),
              Common("getRMBCount", "s-1", ok, okDesc) + R"(,"retBizArgs":{"realCash":"100:10,50:2","rejCash":"0"}})");
    for (const char* func : {"clearAllFSNFiles", "setTime", "clearRMBCount"}) {
        EXPECT_EQ(Run(func, {{"sn", "s-2"}}), Common(func, "s-2", ok, okDesc) + "}");
    }
    EXPECT_EQ(Run("getDevStatus", {{"sn", "\"q\\"}}),
              Common("getDevStatus", "\\\"q\\\\", ok, okDesc) +
                  R"(,"retBizArgs":{"DRVVersion":"1.1.0.0","FIRVersion":"","status":"01","devSn":"","extStatus":""}})");

    auto files = dcjsim::GenerateFiles(1, 1, 10, "M", "D", "S");
    sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    EXPECT_EQ(Download({{"sn", "s-3"}}), Common("getAllFSNFiles", "s-3", ok, okDesc) +
                                             R"(,"retBizArgs":{"fsnFiles":"442000034_M_10677661_D_)" +
                                             files[0].sNo.substr(0, files[0].sNo.find('\0')) + R"(.FSN"}})");
    // Failures carry no business section, whatever the function.
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA3] = 6; });
    EXPECT_EQ(Run("getRMBCount"), Common("getRMBCount", "", "ECPWSCOM0013", "硬件故障") + "}");
}

TEST_F(Device, ArgumentChecksRefuseWithoutContactingTheDevice)
{
    const std::string longName(40, 'n');
    const std::map<std::string, std::map<std::string, std::string>> refused = {
        {"port -1", {{"port", "-1"}}},
        // Cut to 16 bits it would be the counter's own port.
        {"port beyond 65535", {{"port", std::to_string(sim.Port() + 65536)}}},
        {"timeout -2", {{"timeout", "-2"}}},
        {"empty ip", {{"ip", ""}}},
        {"ip of 16 characters", {{"ip", "127.000.000.0001"}}},
        {"ip of 40 characters", {{"ip", std::string(40, '1')}}},
    };
    for (const auto& c : refused) {
        for (const char* func : {"getRMBCount", "clearAllFSNFiles", "setTime", "clearRMBCount"}) {
            std::map<std::string, std::string> extra = c.second;
            if (!extra.count("timeout")) extra["timeout"] = "2";
            std::string ip = extra.count("ip") ? extra["ip"] : "127.0.0.1";
            int port = extra.count("port") ? std::stoi(extra["port"]) : sim.Port();
            extra.erase("ip");
            extra.erase("port");
            const std::string reply = s_lib->DoCommand(dcjtest::MakeRequest(func, ip, port, extra));
            EXPECT_EQ(Code(reply), "ECPWSCOM0005") << c.first << " " << func;
            EXPECT_EQ(ReplyField(reply, "retComArgs", "errDesc"), "接口参数错误");
        }
    }
    EXPECT_EQ(Code(Run("getAllFSNFiles",
                       {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / "up/"}, {"tempDir", tmp / "temp/"}},
                       sim.Port() + 65536)),
              "ECPWSCOM0005");
    // The widest accepted address and the time-out -1 still run.
    EXPECT_EQ(Code(s_lib->DoCommand(dcjtest::MakeRequest("getRMBCount", "127.000.000.001", sim.Port(),
                                                          {{"timeout", "-1"}}))),
              "ECPWS0000000");
    EXPECT_EQ(sim.Connections(), 1u);
}

// A port text beyond 32 bits is narrowed like any number of the host's:
// 2^32 + P must not reach the counter on port P, any more than 65536 + P.
TEST_F(Device, APortBeyond32BitsIsRefusedNotNarrowedToTheCountersPort)
{
    for (const char* func : {"getRMBCount", "clearAllFSNFiles", "clearRMBCount", "getAllFSNFiles"}) {
        std::string request = dcjtest::MakeRequest(
            func, "127.0.0.1", sim.Port(),
            {{"timeout", "2"}, {"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / "up/"}, {"tempDir", tmp / "temp/"}});
        const std::string given = "\"port\":\"" + std::to_string(sim.Port()) + "\"";
        const size_t at = request.find(given);
        ASSERT_NE(at, std::string::npos);
        request.replace(at, given.size(), "\"port\":\"" + std::to_string(4294967296LL + sim.Port()) + "\"");
        EXPECT_EQ(Code(s_lib->DoCommand(request)), "ECPWSCOM0005") << func;
    }
    EXPECT_EQ(sim.Connections(), 0u);
}

TEST_F(Device, DownloadArgumentsThatDoNotFitOrEscapeAreRefused)
{
    const std::string longDir = tmp.path() + "/" + std::string(300, 'd') + "/";
    const std::map<std::string, std::map<std::string, std::string>> refused = {
        {"instNo of 40", {{"instNo", std::string(40, '4')}}},
        {"empNo of 40", {{"empNo", std::string(40, '1')}}},
        {"slash in instNo", {{"instNo", "../../etc"}}},
        {"slash in empNo", {{"empNo", "a/b"}}},
        {"list separator in instNo", {{"instNo", "44|20"}}},
        {"empty instNo", {{"instNo", ""}}},
        {"empty uploadDir", {{"uploadDir", ""}}},
        {"empty tempDir", {{"tempDir", ""}}},
        {"uploadDir too long", {{"uploadDir", longDir}}},
        {"tempDir too long", {{"tempDir", longDir}}},
        {"tempDir of 255", {{"tempDir", std::string(255, 't')}}},
        // Fits its buffer, but the working folder's file paths would not.
        {"tempDir leaves no room for names", {{"tempDir", tmp.path() + "/" + std::string(150, 't') + "/"}}},
        {"uploadDir leaves no room for names", {{"uploadDir", tmp.path() + "/" + std::string(160, 'u') + "/"}}},
        {"relative path too long", {{"relativeFilePath", std::string(256, 'r')}}},
    };
    for (const auto& c : refused) {
        const std::string reply = Download(c.second);
        EXPECT_EQ(Code(reply), "ECPWSCOM0005") << c.first;
    }
    EXPECT_EQ(sim.Connections(), 0u);
    EXPECT_EQ(dcjtest::ListDir(tmp.path()), std::vector<std::string>{}) << "nothing created";

    // The longest accepted numbers still download.
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(1, 1, 10); });
    EXPECT_EQ(Code(Download({{"instNo", std::string(39, '4')}, {"empNo", std::string(39, '1')}})),
              "ECPWS0000000");
}

TEST_F(Device, UploadFolderInOrAtTheWorkingFolderIsRefusedHoweverSpelled)
{
    // Download() works in tmp/temp/QOLT/. A file delivered there before must
    // outlive every refused call.
    const std::string working = tmp / "temp/QOLT";
    ASSERT_EQ(mkdir((tmp / "temp").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(working.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((working + "/sub").c_str(), 0777), 0);
    dcjtest::WriteFile(working + "/sub/delivered.FSN", "kept");
    ASSERT_EQ(symlink((tmp / "temp").c_str(), (tmp / "alias").c_str()), 0);
    ASSERT_EQ(symlink("temp/QOLT/sub", (tmp / "relative-link").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "temp/QOLT/later").c_str(), (tmp / "dangling-link").c_str()), 0);
    // ".." after a link leaves the link's target, not the link's folder.
    ASSERT_EQ(mkdir((working + "/sub/deeper").c_str(), 0777), 0);
    ASSERT_EQ(symlink((working + "/sub/deeper").c_str(), (tmp / "deep-link").c_str()), 0);
    ASSERT_EQ(symlink("relative-link", (tmp / "chain-link").c_str()), 0);
    ASSERT_EQ(symlink("loop-b", (tmp / "loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", (tmp / "loop-b").c_str()), 0);

    // The same folder reached from the current directory.
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    std::string fromCwd;
    for (const char* c = cwd; *c != '\0'; ++c) {
        if (*c == '/') fromCwd += "../";
    }
    free(cwd);
    fromCwd += tmp.path().substr(1) + "/temp/QOLT/";

    const std::map<std::string, std::map<std::string, std::string>> refused = {
        {"the working folder", {{"uploadDir", working + "/"}}},
        {"the working folder without separator", {{"uploadDir", working}}},
        {"a folder inside it", {{"uploadDir", working + "/sub/"}}},
        {"a folder inside it not made yet", {{"uploadDir", working + "/new/deeper/"}}},
        {"through a link to the temp folder", {{"uploadDir", tmp / "alias/QOLT/sub/"}}},
        {"through a relative link", {{"uploadDir", tmp / "relative-link/"}}},
        {"through a link whose target is not made yet", {{"uploadDir", tmp / "dangling-link/"}}},
        {"through a link, then ../", {{"uploadDir", tmp / "deep-link/../"}}},
        {"through a link to a link", {{"uploadDir", tmp / "chain-link/x/"}}},
        {"through links that never end (cannot be told)", {{"uploadDir", tmp / "loop-a/"}}},
        {"temp folder through a link", {{"tempDir", tmp / "alias/"}, {"uploadDir", working + "/sub/"}}},
        {"with ../", {{"uploadDir", tmp / "up/../temp/QOLT/sub/"}}},
        {"with ../ out of a folder that is there", {{"uploadDir", working + "/sub/../"}}},
        {"with ../ and back in", {{"uploadDir", working + "/sub/deeper/../../sub/"}}},
        {"with ../ past a folder not made yet", {{"uploadDir", tmp / "none/../temp/QOLT/"}}},
        {"with //", {{"uploadDir", tmp.path() + "//temp//QOLT//"}}},
        {"with ./", {{"uploadDir", tmp / "./temp/./QOLT/./sub"}}},
        {"with backslashes", {{"uploadDir", tmp.path() + "\\temp\\QOLT\\sub"}}},
        {"temp folder with ../", {{"tempDir", tmp / "x/../temp"}, {"uploadDir", working}}},
        {"relative to the current directory", {{"uploadDir", fromCwd}}},
    };
    for (const auto& c : refused) {
        const std::string reply = Download(c.second);
        EXPECT_EQ(Code(reply), "ECPWSCOM0005") << c.first;
        EXPECT_EQ(ReplyField(reply, "retComArgs", "errDesc"), "接口参数错误") << c.first;
    }
    EXPECT_EQ(sim.Connections(), 0u);
    EXPECT_EQ(dcjtest::ReadFile(working + "/sub/delivered.FSN"), "kept");
    EXPECT_EQ(dcjtest::ListDir(working), (std::vector<std::string>{"sub"})) << "nothing made in the working folder";
}

// A folder mounted on another for as long as it lives (root only).
class BindMount {
public:
    BindMount(const std::string& from, const std::string& onto) : m_onto(onto)
    {
        m_mounted = mount(from.c_str(), onto.c_str(), "none", MS_BIND, nullptr) == 0;  // the type is not read
    }
    ~BindMount()
    {
        if (m_mounted) umount2(m_onto.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_onto;
    bool m_mounted = false;
};

// No spelling tells these apart: the working folder mounted as the upload
// folder is refused before the counter is asked; an upload folder mounted
// from a folder inside the working folder survives every clean-up. Either
// way the files delivered stay.
TEST_F(Device, UploadFoldersMountedFromTheWorkingFolderLoseNothing)
{
    const std::string working = tmp / "temp/QOLT";
    ASSERT_EQ(system(("mkdir -p '" + working + "/sub' '" + tmp.path() + "/up' '" + tmp.path() + "/up2'").c_str()), 0);
    dcjtest::WriteFile(working + "/sub/delivered.FSN", "kept");
    BindMount same(working, tmp / "up");
    if (!same.mounted()) GTEST_SKIP() << "cannot mount here: " << strerror(errno);
    ASSERT_EQ(symlink((tmp / "up").c_str(), (tmp / "up-link").c_str()), 0);
    dcjtest::WriteFile(tmp / "related.txt", "related");
    for (const std::map<std::string, std::string>& args :
         std::vector<std::map<std::string, std::string>>{{{"uploadDir", tmp / "up/"}},
                                                         {{"uploadDir", tmp / "up-link/"}},
                                                         {{"uploadDir", tmp / "up/"}, {"relativeFilePath", tmp / "related.txt"}}}) {
        EXPECT_EQ(Code(Download(args)), "ECPWSCOM0005") << args.at("uploadDir");
    }
    // A related file there, seen through the mount: packing would empty it
    // away first.
    dcjtest::WriteFile(tmp / "up/sub/related.txt", "the host's");
    EXPECT_EQ(Code(Download({{"uploadDir", tmp / "elsewhere/"}, {"relativeFilePath", tmp / "up/sub/related.txt"}})),
              "ECPWSCOM0005");
    EXPECT_EQ(sim.Connections(), 0u);
    EXPECT_EQ(dcjtest::ReadFile(working + "/sub/delivered.FSN"), "kept");
    EXPECT_EQ(dcjtest::ReadFile(working + "/sub/related.txt"), "the host's");
    {
        // The same through a mount of a folder in the working folder.
        ASSERT_EQ(mkdir((tmp / "mnt").c_str(), 0777), 0);
        BindMount sub(working + "/sub", tmp / "mnt");
        ASSERT_TRUE(sub.mounted());
        EXPECT_EQ(Code(Download({{"uploadDir", tmp / "elsewhere/"}, {"relativeFilePath", tmp / "mnt/related.txt"}})),
                  "ECPWSCOM0005");
        EXPECT_EQ(sim.Connections(), 0u);
        EXPECT_EQ(dcjtest::ReadFile(working + "/sub/related.txt"), "the host's");
    }
    ASSERT_EQ(unlink((working + "/sub/related.txt").c_str()), 0);

    BindMount inside(working + "/sub", tmp / "up2");
    ASSERT_TRUE(inside.mounted());
    auto files = dcjsim::GenerateFiles(2, 1, 100);
    sim.Edit([&](dcjsim::Scenario& s) { s.files = files; s.clearFilesOnConfirm = false; });
    for (int round = 0; round < 2; ++round) {
        const std::string reply = Download({{"uploadDir", tmp / "up2/"}});
        EXPECT_EQ(Code(reply), "ECPWS0000000") << round << reply;
    }
    // An archive either fails unconfirmed or is there under its name.
    for (int round = 0; round < 2; ++round) {
        const std::string reply = Download({{"uploadDir", tmp / "up2/"}, {"relativeFilePath", tmp / "related.txt"}});
        if (Code(reply) != "ECPWS0000000") continue;
        const std::string zip = ReplyField(reply, "retBizArgs", "fsnFiles");
        EXPECT_TRUE(dcjtest::Exists(tmp / "up2/" + zip)) << "archive " << zip << " lost";
    }
    size_t fsn = 0;
    for (const std::string& name : dcjtest::ListDir(tmp / "up2")) fsn += name.substr(name.size() - 4) == ".FSN";
    EXPECT_EQ(dcjtest::ReadFile(tmp / "up2/delivered.FSN"), "kept");
    EXPECT_EQ(fsn, 1u + files.size()) << "delivered files lost";
}

TEST_F(Device, RelatedFileInOrAtTheWorkingFolderIsRefusedAndKept)
{
    // The working folder is emptied before anything is packed: a related
    // file there would be deleted and the download then fail for want of it.
    const std::string working = tmp / "temp/QOLT";
    ASSERT_EQ(mkdir((tmp / "temp").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(working.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((working + "/keep").c_str(), 0777), 0);
    dcjtest::WriteFile(working + "/keep/summary.txt", "host data");
    dcjtest::WriteFile(working + "/top.txt", "host data too");
    ASSERT_EQ(symlink((working + "/keep/summary.txt").c_str(), (tmp / "link.txt").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "temp").c_str(), (tmp / "alias").c_str()), 0);
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(1, 1, 10, "M", "D", "S"); });

    const std::map<std::string, std::string> refused = {
        {"inside it", working + "/keep/summary.txt"},
        {"directly in it", working + "/top.txt"},
        {"through a link to the file", tmp / "link.txt"},
        {"through a link to the temp folder", tmp / "alias/QOLT/keep/summary.txt"},
        {"with ../", tmp / "up/../temp/QOLT/keep/summary.txt"},
        {"with //", tmp.path() + "//temp//QOLT//keep//summary.txt"},
        {"with backslashes", tmp.path() + "\\temp\\QOLT\\keep\\summary.txt"},
        {"not there", working + "/keep/absent.txt"},
    };
    for (const auto& c : refused) {
        const std::string reply = Download({{"relativeFilePath", c.second}});
        EXPECT_EQ(Code(reply), "ECPWSCOM0005") << c.first << " " << reply;
    }
    EXPECT_EQ(sim.Connections(), 0u);
    EXPECT_EQ(dcjtest::ReadFile(working + "/keep/summary.txt"), "host data");
    EXPECT_EQ(dcjtest::ReadFile(working + "/top.txt"), "host data too");

    // Beside the working folder it is packed as ever.
    dcjtest::WriteFile(tmp / "temp/beside.txt", "packed");
    const std::string reply = Download({{"relativeFilePath", tmp / "temp/beside.txt"}});
    EXPECT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(dcjtest::ReadFile(tmp / "temp/beside.txt"), "packed");
}

TEST_F(Device, WorkingFolderInsideOrBesideTheUploadFolderStillDownloads)
{
    const std::map<std::string, std::map<std::string, std::string>> layouts = {
        {"temp folder inside the upload folder", {{"uploadDir", tmp / "a/"}, {"tempDir", tmp / "a/tmp/"}}},
        {"temp folder is the upload folder", {{"uploadDir", tmp / "b"}, {"tempDir", tmp / "b/"}}},
        {"upload folder named like the working folder", {{"uploadDir", tmp / "c/QOLTX/"}, {"tempDir", tmp / "c/"}}},
        {"upload folder beside the working folder, through ../",
         {{"uploadDir", tmp / "d/tmp/../up/"}, {"tempDir", tmp / "d/tmp/"}}},
    };
    // The first round makes the folders; in the second they are all there.
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : layouts) {
            sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(2, 1, 10, "M", "D", "S"); });
            if (round == 0) {
                ASSERT_TRUE(MakeDirs(c.second.at("tempDir")));
            }
            const std::string reply = Download(c.second);
            ASSERT_EQ(Code(reply), "ECPWS0000000") << c.first << " round " << round << " " << reply;
            std::string up = c.second.at("uploadDir");
            if (up.back() != '/') up += '/';
            std::vector<std::string> fsn;
            for (const auto& name : dcjtest::ListDir(up)) {
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".FSN") == 0) fsn.push_back(name);
            }
            ASSERT_EQ(fsn.size(), 2u) << c.first;
            EXPECT_EQ(ReplyField(reply, "retBizArgs", "fsnFiles"), fsn[0] + "|" + fsn[1]) << c.first;
            EXPECT_TRUE(dcjtest::ListDir(c.second.at("tempDir") + "QOLT").empty()) << c.first;
        }
    }
}

TEST_F(Device, DownloadsEndingAnywhereLeaveNoDescriptorOpen)
{
    // Folders that are there, without links: the checks open them for the
    // download, which must give them back however the call ends.
    ASSERT_TRUE(MakeDirs(tmp / "up"));
    ASSERT_TRUE(MakeDirs(tmp / "temp/QOLT"));
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(1, 1, 10, "M", "D", "S"); });
    ASSERT_EQ(Code(Download({})), "ECPWS0000000");

    EXPECT_EQ(Code(Download({{"uploadDir", tmp / "temp/QOLT/"}})), "ECPWSCOM0005");
    EXPECT_EQ(Code(Download({{"relativeFilePath", tmp / "absent.txt"}})), "ECPWSCOM0001");
    EXPECT_EQ(Code(Download({{"relativeFilePath", tmp / "temp"}})), "ECPWSCOM0005");
    int closedPort;
    {
        dcjsim::Simulator gone;
        ASSERT_TRUE(gone.Start());
        closedPort = gone.Port();
    }
    EXPECT_EQ(Code(Run("getAllFSNFiles",
                       {{"instNo", "1"}, {"empNo", "2"}, {"uploadDir", tmp / "up/"}, {"tempDir", tmp / "temp/"}},
                       closedPort)),
              "ECPWSDCJ0002");
    sim.Edit([](dcjsim::Scenario& s) { s.retCodes[0xA1] = 6; });
    EXPECT_EQ(Code(Download({})), "ECPWSCOM0013");
    sim.Edit([](dcjsim::Scenario& s) {
        s.retCodes.clear();
        s.files = dcjsim::GenerateFiles(2, 1, 10, "M", "D", "S");
        s.fault = dcjsim::Fault::PartialThenClose;
        s.faultAt = dcjsim::FaultAt::UploadData;
    });
    EXPECT_EQ(Code(Download({})), "ECPWSDCJ0002");
    sim.Edit([](dcjsim::Scenario& s) { s.fault = dcjsim::Fault::None; });
    EXPECT_EQ(Code(Download({})), "ECPWS0000000");
    // The simulator shares the process, so only the folders' own count.
    EXPECT_EQ(DescriptorsIn(tmp.path()), 0);
}

TEST_F(Device, AClearWhoseReplyMightNotFitTheCallersBufferIsNeverSent)
{
    // A clear cannot be undone or safely sent twice: when its reply might not
    // reach the caller, the counter is not contacted at all.
    for (const char* func : {"clearRMBCount", "clearAllFSNFiles"}) {
        const std::string request =
            dcjtest::MakeRequest(func, "127.0.0.1", sim.Port(), {{"timeout", "2"}, {"sn", std::string(500, 's')}});
        const size_t before = sim.Connections();
        const std::string whole = s_lib->DoCommand(request);
        ASSERT_EQ(Code(whole), "ECPWS0000000") << whole;
        ASSERT_EQ(sim.Connections(), before + 1) << func;
        const int exact = static_cast<int>(whole.size());

        // Too small for the reply: the caller is told so, and the counter
        // never heard of it.
        for (int len : {exact - 1, exact - 300, 87, 10}) {
            const std::string reply = s_lib->DoCommand(request, len);
            EXPECT_EQ(reply, len >= 87 ? R"({"retComArgs":{"retCode":"ECPWSCOM0009","errDesc":"接口缓冲区大小参数不足"}})"
                                       : "")
                << func << " " << len;
            EXPECT_EQ(sim.Connections(), before + 1) << func << " " << len;
        }
        // Room for any outcome: sent, and its reply arrives whole.
        EXPECT_EQ(s_lib->DoCommand(request, exact + 200), whole) << func;
        EXPECT_EQ(sim.Connections(), before + 2) << func;
    }
}

TEST_F(Device, BackslashDirectoriesAreNormalised)
{
    sim.Edit([](dcjsim::Scenario& s) { s.files = dcjsim::GenerateFiles(1, 1, 10, "M", "D", "S"); });
    std::string up = tmp.path() + "\\win\\up";  // no trailing separator
    const std::string reply = Download({{"uploadDir", up}, {"tempDir", tmp.path() + "\\win\\tmp\\"}});
    ASSERT_EQ(Code(reply), "ECPWS0000000") << reply;
    EXPECT_EQ(dcjtest::ListDir(tmp.path() + "/win/up").size(), 1u);
    EXPECT_EQ(dcjtest::ListDir(tmp.path() + "/win"), (std::vector<std::string>{"tmp", "up"}));
}

TEST_F(Device, ConcurrentCallersNeverSeeEachOthersResults)
{
    dcjsim::Simulator other;
    ASSERT_TRUE(other.Start());
    sim.Edit([](dcjsim::Scenario& s) { s.denomCount = "first-device"; });
    other.Edit([](dcjsim::Scenario& s) {
        s.denomCount = "second-device";
        s.retCodes[0xA4] = 6;
    });
    auto getRMBCount = reinterpret_cast<SimpleFunction>(s_lib->symbol("getRMBCount"));
    auto clearRMBCount = reinterpret_cast<SimpleFunction>(s_lib->symbol("clearRMBCount"));
    ASSERT_NE(getRMBCount, nullptr);
    ASSERT_NE(clearRMBCount, nullptr);

    std::atomic<int> mixed{0};
    auto worker = [&](uint16_t port, const std::string& expected) {
        for (int i = 0; i < 200; ++i) {
            // Called directly, the functions answer in GBK.
            const std::string count = dcjtest::GbkToUtf8(getRMBCount("127.0.0.1", std::to_string(port), "5"));
            if (ReplyField(count, "retBizArgs", "realCash") != expected) ++mixed;
            const std::string clear = dcjtest::GbkToUtf8(clearRMBCount("127.0.0.1", std::to_string(port), "5"));
            const bool faulty = expected == "second-device";
            if (Code(clear) != (faulty ? "ECPWSCOM0013" : "ECPWS0000000")) ++mixed;
        }
    };
    std::thread a(worker, sim.Port(), "first-device");
    std::thread b(worker, other.Port(), "second-device");
    a.join();
    b.join();
    EXPECT_EQ(mixed.load(), 0);
}

TEST_F(Device, DoCommandAndDirectCallsFromOtherThreadsDoNotCollide)
{
    // doCommand fills and empties the request map that every reply reads
    // its "sn" from: a direct call on another thread must never see it
    // half-changed.
    auto getDevStatus = reinterpret_cast<SimpleFunction>(s_lib->symbol("getDevStatus"));
    ASSERT_NE(getDevStatus, nullptr);
    std::atomic<int> bad{0};
    std::thread direct([&] {
        for (int i = 0; i < 300; ++i) {
            const std::string reply = dcjtest::GbkToUtf8(getDevStatus("127.0.0.1", std::to_string(sim.Port()), "5"));
            const std::string sn = ReplyField(reply, "retComArgs", "sn");
            if (ReplyField(reply, "retBizArgs", "status") != "01" || (sn != "" && sn != "host-sn")) ++bad;
        }
    });
    for (int i = 0; i < 300; ++i) {
        const std::string reply = Run("getRMBCount", {{"sn", "host-sn"}});
        if (Code(reply) != "ECPWS0000000" || ReplyField(reply, "retComArgs", "sn") != "host-sn") ++bad;
    }
    direct.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(Probe, LoadsTheDriverFromTheSiblingLibFolderAndDownloads)
{
    TempDir root;
    ASSERT_EQ(mkdir((root / "bin").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((root / "lib").c_str(), 0777), 0);
    ASSERT_EQ(symlink(DCJ_DRIVER_SO, (root / "lib/MERV_DCJ_QOLT.so").c_str()), 0);
    ASSERT_EQ(symlink(DCJ_VDXLOG_SO, (root / "lib/libvdxlog.so").c_str()), 0);
    ASSERT_EQ(symlink((std::string(DCJ_BIN_DIR) + "/drvprobe").c_str(), (root / "bin/drvprobe").c_str()), 0);

    dcjsim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    auto files = dcjsim::GenerateFiles(2, 2, 100);
    sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    auto result = dcjtest::RunProcess({"./drvprobe"}, root / "bin",
                                      {{"DRVPROBE_PORT", std::to_string(sim.Port())}, {"VDXLOG_FILE", root / "log"}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "LoadLib dlopen sucessLoadLib DoCommand is not NULLLoadLib MERV_DCJ_QOLT.so sucess\n");
    EXPECT_EQ(dcjtest::ListDir(root / "qolt/upload").size(), 2u);
    EXPECT_TRUE(dcjtest::ListDir(root / "qolt/temp/QOLT").empty());
    ASSERT_TRUE(sim.WaitForExchanges(2, std::chrono::seconds(5)));
    EXPECT_TRUE(sim.CurrentScenario().files.empty()) << "download confirmed";
    EXPECT_NE(dcjtest::ReadFile(root / "log").find(">>getAllFSNFiles"), std::string::npos);

    // An address the request buffer cannot hold is refused, and said so.
    result = dcjtest::RunProcess({"./drvprobe"}, root / "bin", {{"DRVPROBE_IP", std::string(11000, 'a')}});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("drvprobe: DRVPROBE_IP and DRVPROBE_PORT are too long"), std::string::npos)
        << result.err;

    // Without the driver beside it.
    TempDir bare;
    ASSERT_EQ(mkdir((bare / "bin").c_str(), 0777), 0);
    ASSERT_EQ(symlink((std::string(DCJ_BIN_DIR) + "/drvprobe").c_str(), (bare / "bin/drvprobe").c_str()), 0);
    result = dcjtest::RunProcess({"./drvprobe"}, bare / "bin");
    EXPECT_EQ(result.out, "error open so\nLoadLib MERV_DCJ_QOLT.so faied\n");
    EXPECT_NE(result.status, 0);
}

}  // namespace
