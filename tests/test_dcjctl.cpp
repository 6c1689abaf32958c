// dcjctl end to end: the program run as a technician runs it, against the
// simulated counter, with its output, its exit status and what reached the
// counter checked together.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::DriverLib;
using dcjtest::ProcessResult;
using dcjtest::ReadFile;
using dcjtest::ReplyField;
using dcjtest::TempDir;

const std::string kCtl = std::string(DCJ_BIN_DIR) + "/dcjctl";
const char kInst[] = "442000034";
const char kEmp[] = "10677661";

std::string FsnName(const dcjsim::FsnFile& f, const std::string& inst = kInst, const std::string& emp = kEmp)
{
    auto field = [](const std::string& s) { return s.substr(0, s.find('\0')); };
    return inst + "_" + field(f.machineNo) + "_" + emp + "_" + field(f.dateTime) + "_" + field(f.sNo) + ".FSN";
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// One line of the download listing: size right-aligned, then the name.
std::string ListingLine(const std::string& size, const std::string& name)
{
    char line[512];
    snprintf(line, sizeof(line), "%12s  %s\n", size.c_str(), name.c_str());
    return line;
}

std::string LocalStamp()
{
    return dcjtest::LocalStamp(dcjtest::WallClockSeconds(), "%Y%m%d%H%M%S");
}

std::string SizeOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "<none>";
    return std::to_string(static_cast<long long>(st.st_size));
}

// A port bound on loopback but not listening: a connection is refused, and
// no other program can take the port while the test runs.
class ClosedPort {
public:
    ClosedPort()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            m_port = ntohs(addr.sin_port);
        }
    }
    ~ClosedPort()
    {
        if (m_fd >= 0) close(m_fd);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::string port() const { return std::to_string(m_port); }
    bool ok() const { return m_port != 0; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Runs argv in cwd with stderr on a pseudo-terminal and stdout on a pipe:
// what a technician at a terminal sees, with the two streams apart.
ProcessResult RunWithTerminalStderr(const std::vector<std::string>& argv, const std::string& cwd)
{
    ProcessResult result;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
    const std::string slaveName = ptsname(master);
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        if (slave < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        dup2(outPipe[1], 1);
        dup2(slave, 2);
        setenv("DCJCTL_DRIVER", "", 1);
        const std::vector<std::string> command = dcjtest::ProgramCommand(argv);
        std::vector<char*> args;
        for (const auto& a : command) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    char buf[4096];
    // The terminal side reports EIO once the child's last copy of it closes.
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, 60000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    close(outPipe[0]);
    close(master);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

class Dcjctl : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_lib = new DriverLib();
        // The version a driver reports without contacting any counter.
        s_driverVersion = ReplyField(s_lib->DoCommand(dcjtest::MakeRequest("getDevStatus", "", 0)), "retBizArgs",
                                     "DRVVersion");
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_NE(s_driverVersion, "<none>");
        ASSERT_TRUE(sim.Start());
        port = std::to_string(sim.Port());
    }

    // dcjctl in the temporary folder, none of its environment defaults set
    // (an empty value counts as unset).
    ProcessResult Ctl(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {})
    {
        std::vector<std::string> argv = {kCtl};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> fullEnv = {{"DCJCTL_IP", ""}, {"DCJCTL_PORT", ""}, {"DCJCTL_DRIVER", ""}};
        for (const auto& kv : env) fullEnv[kv.first] = kv.second;
        return dcjtest::RunProcess(argv, tmp.path(), fullEnv);
    }
    // dcjctl pointed at the simulator.
    ProcessResult AtSim(const std::vector<std::string>& args)
    {
        std::vector<std::string> full = {"-a", "127.0.0.1", "-p", port, "-t", "5"};
        full.insert(full.end(), args.begin(), args.end());
        return Ctl(full);
    }
    // The request dcjctl builds for args, without sending it.
    std::string RequestFor(const std::vector<std::string>& args)
    {
        std::vector<std::string> full = {"--dry-run"};
        full.insert(full.end(), args.begin(), args.end());
        const ProcessResult r = AtSim(full);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(!r.out.empty() && r.out.back() == '\n') << r.out;
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }
    // The counter records an exchange, and a command takes effect, after
    // its ack is out: the client may have its answer first.
    void Settle() const { EXPECT_TRUE(sim.WaitForExchanges(sim.Connections(), std::chrono::seconds(5))); }
    std::string DeviceTime() const
    {
        Settle();
        return sim.DeviceTime();
    }
    std::vector<uint32_t> Commands() const
    {
        Settle();
        std::vector<uint32_t> cmds;
        for (const auto& e : sim.Exchanges()) cmds.push_back(e.cmd);
        return cmds;
    }
    void UseFiles(const std::vector<dcjsim::FsnFile>& files)
    {
        sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    }
    void Refuse(uint32_t cmd, uint32_t code)
    {
        sim.Edit([&](dcjsim::Scenario& s) { s.retCodes[cmd] = code; });
    }

    static DriverLib* s_lib;
    static std::string s_driverVersion;
    dcjsim::Simulator sim;
    std::string port;
    TempDir tmp{"dcjctl"};
};
DriverLib* Dcjctl::s_lib = nullptr;
std::string Dcjctl::s_driverVersion;

// ---------------------------------------------------------------------------
// The device functions.

TEST_F(Dcjctl, StatusReportsOkAndTheDriverVersionThroughTheDefaultDriver)
{
    const ProcessResult r = AtSim({"status"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "status: ok (01)\ndriver: " + s_driverVersion + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA7}));
}

TEST_F(Dcjctl, StatusFailsUnlessTheCounterIsOk)
{
    Refuse(0xA7, 6);
    ProcessResult r = AtSim({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out).at(0), "status: hardware fault (04)");
    EXPECT_EQ(r.err, "dcjctl: status: the counter at 127.0.0.1:" + port + " reports a hardware fault (04)\n");

    ClosedPort closed;
    ASSERT_TRUE(closed.ok());
    r = Ctl({"-p", closed.port(), "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out).at(0), "status: unreachable (03)");
    EXPECT_EQ(r.err, "dcjctl: status: the counter at 127.0.0.1:" + closed.port() + " is unreachable (03)\n");
}

TEST_F(Dcjctl, CountsListsBothFieldsUnderEitherCommandName)
{
    sim.Edit([](dcjsim::Scenario& s) {
        s.denomCount = "100:7,20:3";
        s.rejectCount = "2";
    });
    for (const char* command : {"counts", "getRMBCount"}) {
        const ProcessResult r = AtSim({command});
        EXPECT_EQ(r.status, 0) << command << ": " << r.err;
        EXPECT_EQ(r.out, "realCash: 100:7,20:3\nrejCash: 2\n") << command;
        EXPECT_EQ(r.err, "") << command;
    }
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA3, 0xA3}));
}

TEST_F(Dcjctl, ClearCommandsReachTheCounter)
{
    UseFiles(dcjsim::GenerateFiles(2, 1, 100));
    ProcessResult r = AtSim({"clear-counts"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "counts cleared\n");

    r = AtSim({"clear-files"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "files cleared\n");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA4, 0xA2}));
    EXPECT_TRUE(sim.CurrentScenario().files.empty());
}

TEST_F(Dcjctl, SetTimeSendsTheGivenTimeOrNow)
{
    ProcessResult r = AtSim({"set-time", "20261207093000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "time set: 20261207093000\n");
    EXPECT_EQ(DeviceTime(), "20261207093000");

    r = AtSim({"set-time", "--time", "20280229235959"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DeviceTime(), "20280229235959");

    const std::string before = LocalStamp();
    r = AtSim({"set-time"});
    const std::string after = LocalStamp();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string sent = DeviceTime();
    ASSERT_EQ(sent.size(), 14u) << sent;
    EXPECT_LE(before, sent);
    EXPECT_GE(after, sent);
    EXPECT_EQ(r.out, "time set: " + sent + "\n");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA5, 0xA5, 0xA5}));
}

TEST_F(Dcjctl, DeviceRefusalsExitOneWithCodeAndDescriptionOnStderr)
{
    struct Case {
        const char* command;
        uint32_t cmd;
        uint32_t ackCode;
        const char* expected;
    } cases[] = {
        {"counts", 0xA3, 6, "dcjctl: counts: ECPWSCOM0013 硬件故障\n"},
        {"clear-counts", 0xA4, 1, "dcjctl: clear-counts: ECPWSCOM0001 DRVDCJ1001|设备解析命令包格式错误\n"},
        {"clear-files", 0xA2, 5, "dcjctl: clear-files: ECPWSCOM0001 DRVDCJ1007|设备清除已上传文件失败\n"},
        {"set-time", 0xA5, 6, "dcjctl: set-time: ECPWSCOM0013 硬件故障\n"},
    };
    for (const Case& c : cases) {
        Refuse(c.cmd, c.ackCode);
        const ProcessResult r = AtSim({c.command});
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_EQ(r.out, "") << c.command;
        EXPECT_EQ(r.err, c.expected) << c.command;
    }
}

TEST_F(Dcjctl, UnreachableCounterIsANetworkFailure)
{
    ClosedPort closed;
    ASSERT_TRUE(closed.ok());
    for (const char* command : {"counts", "clear-counts", "set-time", "clear-files", "download"}) {
        const ProcessResult r = Ctl({"-p", closed.port(), "-t", "5", command});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.out, "") << command;
        EXPECT_EQ(r.err, std::string("dcjctl: ") + command + ": ECPWSDCJ0002 网络连接失败\n") << command;
    }
}

// ---------------------------------------------------------------------------
// Downloads.

TEST_F(Dcjctl, DownloadWritesTheFilesAndListsThemWithTheirSizes)
{
    auto files = dcjsim::GenerateFiles(3, 1, 500);
    files.push_back(dcjsim::GenerateFiles(1, 4, 3000, "M2", "20261207101010", "X", 9)[0]);
    UseFiles(files);

    const ProcessResult r = AtSim({"download"});
    EXPECT_EQ(r.status, 0) << r.err;
    // Not a terminal: no progress line.
    EXPECT_EQ(r.err, "");
    std::string expected;
    size_t total = 0;
    for (const auto& f : files) {
        EXPECT_EQ(ReadFile(tmp / ("qolt/upload/" + FsnName(f))), f.Content()) << FsnName(f);
        expected += ListingLine(std::to_string(f.Content().size()), FsnName(f));
        total += f.Content().size();
    }
    expected += "4 files, " + std::to_string(total) + " bytes, in ./qolt/upload/\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_TRUE(dcjtest::ListDir(tmp / "qolt/temp/QOLT").empty());
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Dcjctl, ANameTheCounterSendsTwiceIsListedOnceWithWhatIsOnDisk)
{
    auto files = dcjsim::GenerateFiles(3, 1, 500);
    files[2].sNo = files[0].sNo;  // the same name as the first
    UseFiles(files);

    const ProcessResult r = AtSim({"download"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string twice = FsnName(files[0]);
    const std::string onDisk = SizeOf(tmp / ("qolt/upload/" + twice));
    const std::string once = FsnName(files[1]);
    const size_t total = std::stoul(onDisk) + files[1].Content().size();
    EXPECT_NE(r.out.find(ListingLine(onDisk, twice) + ListingLine(std::to_string(files[1].Content().size()), once) +
                         "2 files, " + std::to_string(total) + " bytes, in ./qolt/upload/\n"),
              std::string::npos)
        << r.out;
}

TEST_F(Dcjctl, DownloadShowsProgressOnATerminalAndClearsTheLine)
{
    const auto files = dcjsim::GenerateFiles(3, 1, 100);
    UseFiles(files);
    // Dripped out a byte at a time, the upload lasts well past one 200 ms round.
    sim.Edit([](dcjsim::Scenario& s) {
        s.fault = dcjsim::Fault::SlowDrip;
        s.faultCmd = 0xA1;
        s.dripDelay = std::chrono::milliseconds(3);
    });
    const ProcessResult r = RunWithTerminalStderr({kCtl, "-p", port, "-t", "5", "download"}, tmp.path());
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Lines(r.out).size(), 4u) << r.out;
    EXPECT_EQ(Lines(r.out).back(), "3 files, 300 bytes, in ./qolt/upload/");
    const std::string clear = "\r\x1b[K";
    ASSERT_GE(r.err.size(), clear.size()) << r.err;
    EXPECT_EQ(r.err.substr(0, clear.size() + 2), clear + "  ") << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - clear.size()), clear) << r.err;
    EXPECT_NE(r.err.find(" received"), std::string::npos) << r.err;
    // Every update rewrites the one line: no line feed ever.
    EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
}

TEST_F(Dcjctl, DownloadHonoursFolderAndNumberOptions)
{
    const auto files = dcjsim::GenerateFiles(2, 2, 700);
    UseFiles(files);
    const std::string upload = tmp / "in box";  // no trailing slash: dcjctl lists as the driver stores
    const std::string temp = tmp / "work";
    const ProcessResult r =
        AtSim({"download", "--upload-dir", upload, "--temp-dir", temp, "--inst-no", "77", "--emp-no", "9"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (const auto& f : files) {
        EXPECT_EQ(ReadFile(upload + "/" + FsnName(f, "77", "9")), f.Content());
        expected += ListingLine("1400", FsnName(f, "77", "9"));
    }
    expected += "2 files, 2800 bytes, in " + upload + "/\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(dcjtest::Exists(tmp / "qolt"));
}

TEST_F(Dcjctl, DownloadWithNothingOnTheCounterFails)
{
    const ProcessResult r = AtSim({"download"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "dcjctl: download: ECPWSDCJ0001 无可上传的FSN文件\n");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1}));
}

TEST_F(Dcjctl, ArchiveModePacksTheFilesAndTheRelatedFileIntoOneZip)
{
    const auto files = dcjsim::GenerateFiles(3, 1, 400);
    UseFiles(files);
    dcjtest::WriteFile(tmp / "batch.txt", "related content");

    const ProcessResult r = AtSim({"download", "--related", "batch.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto uploaded = dcjtest::ListDir(tmp / "qolt/upload");
    ASSERT_EQ(uploaded.size(), 1u);
    const std::string zip = uploaded[0];
    ASSERT_EQ(zip.size(), 18u) << zip;
    EXPECT_EQ(zip.find_first_not_of("0123456789"), 14u) << zip;
    EXPECT_EQ(zip.substr(14), ".zip");
    EXPECT_EQ(r.out, ListingLine(SizeOf(tmp / ("qolt/upload/" + zip)), zip) + "archive " + zip +
                         " in ./qolt/upload/\n");

    const ProcessResult list = dcjtest::RunProcess({"unzip", "-Z1", tmp / ("qolt/upload/" + zip)});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> expected = {"batch.txt"};
    for (const auto& f : files) expected.push_back(FsnName(f));
    std::sort(expected.begin(), expected.end());
    auto entries = Lines(list.out);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA1, 0xA6}));
}

TEST_F(Dcjctl, ArchiveModeWithAMissingRelatedFileFailsBeforeContact)
{
    UseFiles(dcjsim::GenerateFiles(1, 1, 10));
    const ProcessResult r = AtSim({"download", "--related", "absent.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "dcjctl: download: ECPWSCOM0001 DRVDCJ1006|关联文件不存在\n");
    EXPECT_EQ(sim.Connections(), 0u);
}

// ---------------------------------------------------------------------------
// Requests and replies as the driver sees them.

TEST_F(Dcjctl, RequestsCarryEveryArgumentAsText)
{
    const std::string counts = RequestFor({"--sn", "SN42", "counts"});
    EXPECT_EQ(counts, "{\"commonArgs\":{\"devKind\":\"DCJ\",\"devBrand\":\"QOLT\",\"timeout\":\"5\","
                      "\"funcName\":\"getRMBCount\",\"sn\":\"SN42\"},\"connectArgs\":{\"ip\":\"127.0.0.1\","
                      "\"port\":\"" + port + "\"},\"bizArgs\":{}}");

    const std::string download = RequestFor({"download", "--related", "a\"b\\c.txt", "--inst-no", "1"});
    EXPECT_EQ(ReplyField(download, "commonArgs", "funcName"), "getAllFSNFiles");
    EXPECT_EQ(ReplyField(download, "bizArgs", "instNo"), "1");
    EXPECT_EQ(ReplyField(download, "bizArgs", "empNo"), kEmp);
    EXPECT_EQ(ReplyField(download, "bizArgs", "uploadDir"), "./qolt/upload/");
    EXPECT_EQ(ReplyField(download, "bizArgs", "tempDir"), "./qolt/temp/");
    EXPECT_EQ(ReplyField(download, "bizArgs", "relativeFilePath"), "a\"b\\c.txt");
    // A default serial is the time and four digits.
    const std::string sn = ReplyField(download, "commonArgs", "sn");
    EXPECT_EQ(sn.size(), 18u) << sn;
    EXPECT_EQ(sn.find_first_not_of("0123456789"), std::string::npos) << sn;

    EXPECT_EQ(ReplyField(RequestFor({"set-time", "20261207093000"}), "bizArgs", "time"), "20261207093000");
    EXPECT_EQ(ReplyField(RequestFor({"status"}), "bizArgs", "relativeFilePath"), "<none>");
    // Nothing is loaded or sent for a dry run.
    EXPECT_EQ(AtSim({"--dry-run", "--driver", tmp / "none.so", "status"}).status, 0);
    EXPECT_EQ(sim.Connections(), 0u);
}

TEST_F(Dcjctl, JsonPrintsTheDriversReplyByteForByte)
{
    struct Case {
        std::vector<std::string> args;
        uint32_t refuseCmd;  // 0: none
        int status;
    } cases[] = {
        {{"--sn", "J1", "counts"}, 0, 0},
        {{"--sn", "J2", "status"}, 0, 0},
        {{"--sn", "J3", "counts"}, 0xA3, 1},       // a Chinese description
        {{"--sn", "J4", "status"}, 0xA7, 1},       // retCode ok, status 04
        {{"--sn", "J5", "clear-files"}, 0xA2, 1},  // DRVDCJ1007|...
    };
    for (const Case& c : cases) {
        sim.Edit([&](dcjsim::Scenario& s) {
            s.retCodes.clear();
            if (c.refuseCmd) s.retCodes[c.refuseCmd] = c.refuseCmd == 0xA2 ? 5 : 6;
        });
        const std::string request = RequestFor(c.args);
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = AtSim(args);
        const std::string direct = s_lib->DoCommand(request);
        ASSERT_EQ(direct.find('\0'), std::string::npos);
        EXPECT_EQ(r.out, direct + "\n") << c.args.back();
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
    }
}

TEST_F(Dcjctl, JsonOutputStaysCleanWhenTheDriverPrintsWhileLoading)
{
    // A driver without its log library beside it says so on stdout.
    ASSERT_EQ(mkdir((tmp / "lonely").c_str(), 0700), 0);
    const std::string lonely = tmp / "lonely/MERV_DCJ_QOLT.so";
    dcjtest::WriteFile(lonely, ReadFile(DCJ_DRIVER_SO));
    const std::string request = RequestFor({"--sn", "L1", "counts"});
    const ProcessResult r = AtSim({"--driver", lonely, "--json", "--sn", "L1", "counts"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, s_lib->DoCommand(request) + "\n");
    EXPECT_NE(r.err.find("error open so"), std::string::npos) << r.err;
}

TEST_F(Dcjctl, RawSendsTheRequestTextAsGiven)
{
    const std::string request = dcjtest::MakeRequest("getRMBCount", "127.0.0.1", sim.Port(), {{"sn", "R1"}});
    const std::string direct = s_lib->DoCommand(request);

    ProcessResult r = Ctl({"--json", "raw", request});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, direct + "\n");

    r = Ctl({"raw", request});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "devKind: DCJ\ndevBrand: QOLT\ndevType: \nfuncName: getRMBCount\nsn: R1\n"
                     "retCode: ECPWS0000000\nerrDesc: 操作成功\nrealCash: 100:10,50:2\nrejCash: 0\n");

    dcjtest::WriteFile(tmp / "req.json", request);
    r = Ctl({"--json", "raw", "--request", "req.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, direct + "\n");

    r = dcjtest::RunProcess({"sh", "-c", "exec ${DCJ_TEST_EMULATOR} \"$0\" --json --request - < req.json", kCtl},
                            tmp.path(),
                            {{"DCJCTL_DRIVER", ""}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, direct + "\n");

    Refuse(0xA3, 6);
    r = Ctl({"raw", request});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dcjctl: raw: ECPWSCOM0013 硬件故障\n");
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA3, 0xA3, 0xA3, 0xA3, 0xA3, 0xA3}));
}

TEST_F(Dcjctl, RawRequestTheDriverDoesNotTakeFails)
{
    for (const std::string& request :
         {dcjtest::MakeRequest("noSuchFunction", "127.0.0.1", sim.Port()), std::string("not json")}) {
        const ProcessResult r = Ctl({"--json", "raw", request});
        EXPECT_EQ(r.out, s_lib->DoCommand(request) + "\n") << request;
        EXPECT_EQ(r.out, " \n") << request;
        EXPECT_EQ(r.status, 1) << request;
        EXPECT_NE(r.err.find("did not take the request"), std::string::npos) << r.err;
    }
    // Nested past any stack: refused like any request the driver does not
    // take, not a crash of the client.
    std::string objects;
    for (int i = 0; i < 200000; ++i) objects += "{\"a\":";
    for (const std::string& request : {std::string(1000000, '['), objects + "{\"funcName\":\"getDevStatus\"}"}) {
        dcjtest::WriteFile(tmp / "deep.json", request);
        const ProcessResult r = Ctl({"--json", "raw", "--request", "deep.json"});
        EXPECT_EQ(r.status, 1) << request.substr(0, 20) << r.err;
        EXPECT_EQ(r.out, " \n") << request.substr(0, 20);
    }
    EXPECT_EQ(sim.Connections(), 0u);
}

TEST_F(Dcjctl, OversizedReplyIsRetriedOnlyWhereRepeatingIsHarmless)
{
    // Bytes that are not GBK triple in size when the reply is converted:
    // the reply fits the driver's scratch area but not the host's buffer.
    const std::string sn(40000, '\xff');
    const std::string statusRequest = RequestFor({"--sn", sn, "status"});
    ASSERT_EQ(ReplyField(s_lib->DoCommand(statusRequest), "retComArgs", "retCode"), "ECPWSCOM0009");

    ProcessResult r = AtSim({"--json", "--sn", sn, "status"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string whole = s_lib->DoCommand(statusRequest, 8 * 1024 * 1024);
    EXPECT_EQ(ReplyField(whole, "retBizArgs", "status"), "01");
    EXPECT_EQ(r.out, whole + "\n");
    // One for each direct call, two for dcjctl: the retry runs it again.
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA7, 0xA7, 0xA7, 0xA7}));

    // A download whose reply does not fit is left unconfirmed by the driver:
    // the retry delivers the same files again and confirms them, once.
    const auto files = dcjsim::GenerateFiles(2, 1, 300);
    UseFiles(files);
    size_t before = Commands().size();
    r = AtSim({"--sn", sn, "download"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto commands = Commands();
    EXPECT_EQ(std::vector<uint32_t>(commands.begin() + static_cast<long>(before), commands.end()),
              (std::vector<uint32_t>{0xA1, 0xA1, 0xA6}));
    for (const auto& f : files) {
        EXPECT_EQ(ReadFile(tmp / ("qolt/upload/" + FsnName(f))), f.Content());
        EXPECT_NE(r.out.find(ListingLine(std::to_string(f.Content().size()), FsnName(f))), std::string::npos)
            << r.out;
    }
    EXPECT_TRUE(sim.CurrentScenario().files.empty());

    // A clear is never run twice; the driver does not even send it once
    // when its reply might not fit.
    before = Commands().size();
    r = AtSim({"--sn", sn, "clear-counts"});
    EXPECT_EQ(r.status, 1);
    commands = Commands();
    EXPECT_EQ(std::vector<uint32_t>(commands.begin() + static_cast<long>(before), commands.end()),
              (std::vector<uint32_t>{}));
    EXPECT_NE(r.err.find("dcjctl: clear-counts: ECPWSCOM0009 "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the counter was not cleared"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// Command line, environment, driver loading.

TEST_F(Dcjctl, EnvironmentSuppliesDefaultsThatOptionsOverride)
{
    ClosedPort closed;
    ASSERT_TRUE(closed.ok());
    ProcessResult r = Ctl({"counts"}, {{"DCJCTL_PORT", port}});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Ctl({"-p", port, "counts"}, {{"DCJCTL_PORT", closed.port()}});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Ctl({"counts"}, {{"DCJCTL_PORT", closed.port()}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Commands(), (std::vector<uint32_t>{0xA3, 0xA3}));

    r = Ctl({"--dry-run", "counts"}, {{"DCJCTL_IP", "10.20.30.40"}});
    EXPECT_EQ(ReplyField(r.out, "connectArgs", "ip"), "10.20.30.40");
    r = Ctl({"--dry-run", "--ip", "127.0.0.1", "counts"}, {{"DCJCTL_IP", "10.20.30.40"}});
    EXPECT_EQ(ReplyField(r.out, "connectArgs", "ip"), "127.0.0.1");
    r = Ctl({"--dry-run", "counts"});
    EXPECT_EQ(ReplyField(r.out, "connectArgs", "port"), "1000");
    EXPECT_EQ(ReplyField(r.out, "commonArgs", "timeout"), "20");
}

TEST_F(Dcjctl, UsageErrorsExitTwoWithoutContact)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"--bogus", "status"},
        {"-p"},
        {"-p", "0", "status"},
        {"-p", "65536", "status"},
        {"-p", "12x", "status"},
        {"-t", "0", "counts"},
        {"-t", "-1", "counts"},
        {"status", "extra"},
        {"status", "--related", "x"},
        {"counts", "--time", "20260101000000"},
        {"counts", "--upload-dir", "x"},
        {"set-time", "2026-12-07"},
        {"set-time", "20261307093000"},
        {"set-time", "20270229120000"},
        {"set-time", "2026120709300"},
        {"set-time", "20261207093000", "--time", "20261207093000"},
        // An empty TIME (an unset variable) is no time, not "now".
        {"set-time", ""},
        {"set-time", "--time", ""},
        {"set-time", "--time=", "20261207093000"},
        {"download", "--related", ""},
        {"raw"},
        {"raw", "{}", "{}"},
        {"raw", "{}", "--request", "x.json"},
        {"raw", "--request", "absent.json"},
        // Endless input is refused, not read until memory runs out.
        {"raw", "--request", "/dev/zero"},
        {"raw", "{}", "-p", "1000"},
        {"raw", "{}", "--sn", "x"},
    };
    for (const auto& args : cases) {
        // Pointed at the simulator, so a case that slips through is seen
        // there; raw and -p cases stand as written.
        const bool asWritten = !args.empty() && (args[0] == "raw" || args[0] == "-p");
        std::vector<std::string> full = asWritten ? std::vector<std::string>() : std::vector<std::string>{"-p", port};
        full.insert(full.end(), args.begin(), args.end());
        std::string shown;
        for (const auto& a : full) shown += " " + a;
        const ProcessResult r = Ctl(full);
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.compare(0, 8, "dcjctl: "), 0) << shown << ": " << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << shown;
    }
    const ProcessResult r = Ctl({"counts"}, {{"DCJCTL_PORT", "port"}});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(sim.Connections(), 0u);
}

TEST_F(Dcjctl, DriverThatCannotBeLoadedExitsThree)
{
    dcjtest::WriteFile(tmp / "garbage.so", "not a library");
    const std::vector<std::string> bad = {tmp / "none.so", tmp / "garbage.so",
                                          DCJ_VDXLOG_SO /* a library without doCommand */};
    for (const std::string& path : bad) {
        ProcessResult r = AtSim({"--driver", path, "status"});
        EXPECT_EQ(r.status, 3) << path;
        EXPECT_EQ(r.out, "") << path;
        EXPECT_EQ(r.err.compare(0, 32, "dcjctl: cannot load the driver: "), 0) << r.err;
        r = Ctl({"-p", port, "counts"}, {{"DCJCTL_DRIVER", path}});
        EXPECT_EQ(r.status, 3) << path;
    }
    EXPECT_EQ(sim.Connections(), 0u);
    // --driver wins over the environment.
    const ProcessResult r = Ctl({"-p", port, "--driver", DCJ_DRIVER_SO, "counts"}, {{"DCJCTL_DRIVER", bad[0]}});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Dcjctl, VersionAgreesWithTheDriversReply)
{
    ProcessResult r = Ctl({"--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].compare(0, 7, "dcjctl "), 0) << lines[0];
    EXPECT_GT(lines[0].size(), 7u);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(DCJ_DRIVER_SO, resolved), nullptr);
    EXPECT_EQ(lines[1], "driver " + s_driverVersion + " (" + resolved + ")");

    r = Ctl({"--version", "--driver", tmp / "none.so"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, lines[0] + "\n");
    EXPECT_EQ(sim.Connections(), 0u);
}

TEST_F(Dcjctl, HelpOrVersionThatCannotBeWrittenIsAFailure)
{
    for (const char* option : {"--help", "--version"}) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
        for (const std::string& a : dcjtest::ProgramCommand({kCtl, option})) argv.push_back(a);
        const ProcessResult r = dcjtest::RunProcess(argv, tmp.path(), {{"DCJCTL_DRIVER", ""}});
        EXPECT_EQ(r.status, 1) << option << ": " << r.err;
        EXPECT_NE(r.err.find("dcjctl: cannot write the output"), std::string::npos) << r.err;
    }
}

TEST_F(Dcjctl, HelpNamesEveryCommand)
{
    const ProcessResult r = Ctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* word : {"status", "counts", "clear-counts", "set-time", "clear-files", "download", "raw",
                             "--json", "--related", "Examples:", "Exit status:"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

}  // namespace
