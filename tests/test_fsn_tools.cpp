// FSN records end to end: what the simulated counter generated, delivered by
// the driver over loopback onto a real file system, read back record for
// record; and `dcjctl fsn` / `download --check` as a technician runs them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "TestSupport.h"
#include "dcjfsn/Fsn.h"
#include "dcjsim/FsnContent.h"
#include "dcjsim/Simulator.h"

namespace {

using dcjtest::ListDir;
using dcjtest::ProcessResult;
using dcjtest::ReadFile;
using dcjtest::TempDir;

const std::string kCtl = std::string(DCJ_BIN_DIR) + "/dcjctl";
const std::string kSim = std::string(DCJ_BIN_DIR) + "/dcjsim";

dcjsim::FsnContent Content(dcjfsn::Layout layout, bool images, size_t records)
{
    dcjsim::FsnContent c;
    c.layout = layout;
    c.images = images;
    c.records = records;
    return c;
}

dcjfsn::File ReadFsn(const std::string& path)
{
    dcjfsn::File f;
    std::string error;
    EXPECT_TRUE(dcjfsn::ReadPath(path, &f, &error)) << error;
    return f;
}

// The records as generated and as read are the same, field by field.
void ExpectSameRecords(const dcjfsn::File& generated, const dcjfsn::File& read)
{
    EXPECT_TRUE(read.Clean()) << (read.problems.empty() ? "" : read.problems[0]);
    EXPECT_EQ(read.layout, generated.layout);
    EXPECT_EQ(read.images, generated.images);
    EXPECT_TRUE(read.header == generated.header);
    ASSERT_EQ(read.records.size(), generated.records.size());
    for (size_t i = 0; i < read.records.size(); ++i) {
        EXPECT_TRUE(read.records[i] == generated.records[i]) << "record " << i << " serial "
                                                             << dcjfsn::Text(read.records[i].sNo);
    }
}

class FsnEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new dcjtest::DriverLib(); }
    void SetUp() override
    {
        ASSERT_TRUE(s_lib->ok());
        ASSERT_TRUE(sim.Start());
    }
    std::string Download(const std::string& upload, const std::map<std::string, std::string>& extra = {})
    {
        std::map<std::string, std::string> args = {{"instNo", "442000034"}, {"empNo", "10677661"},
                                                   {"uploadDir", upload}, {"tempDir", tmp / "temp/"},
                                                   {"timeout", "5"}};
        for (const auto& kv : extra) args[kv.first] = kv.second;
        const std::string reply =
            s_lib->DoCommand(dcjtest::MakeRequest("getAllFSNFiles", "127.0.0.1", sim.Port(), args), 1 << 20);
        return dcjtest::ReplyField(reply, "retComArgs", "retCode");
    }
    // dcjctl against the in-process simulator, run in the temporary folder.
    ProcessResult Ctl(std::vector<std::string> args, const std::string& tmpDir = "/tmp")
    {
        args.insert(args.begin(), kCtl);
        return dcjtest::RunProcess(args, tmp.path(),
                                   {{"DCJCTL_IP", ""}, {"DCJCTL_PORT", ""}, {"DCJCTL_DRIVER", ""}, {"TMPDIR", tmpDir}});
    }
    std::vector<std::string> AtSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-a", "127.0.0.1", "-p", std::to_string(sim.Port()), "-t", "5"});
        return args;
    }

    static dcjtest::DriverLib* s_lib;
    TempDir tmp{"fsn-e2e"};
    dcjsim::Simulator sim;
};
dcjtest::DriverLib* FsnEndToEnd::s_lib = nullptr;

TEST_F(FsnEndToEnd, DeliveredFilesHoldTheRecordsTheCounterGenerated)
{
    int variant = 0;
    for (dcjfsn::Layout layout : {dcjfsn::Layout::V2014, dcjfsn::Layout::V2018}) {
        for (bool images : {true, false}) {
            SCOPED_TRACE(variant);
            std::vector<dcjfsn::File> generated;
            // Packets that cut records in two, so the driver joins them.
            const auto files = dcjsim::GenerateFsnFiles(3, Content(layout, images, 9), 777, "M7", "20261207101010",
                                                        "V" + std::to_string(variant), 40 + variant, &generated);
            sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
            const std::string upload = tmp / ("up" + std::to_string(variant) + "/");
            ASSERT_EQ(Download(upload), "ECPWS0000000");
            const std::vector<std::string> names = ListDir(upload);
            ASSERT_EQ(names.size(), 3u);
            for (size_t i = 0; i < 3; ++i) {
                // Names sort as the serials do: file i is the i-th name.
                ExpectSameRecords(generated[i], ReadFsn(upload + names[i]));
            }
            ++variant;
        }
    }
}

TEST_F(FsnEndToEnd, SerialsAreDistinctAndImagesShowThem)
{
    std::vector<dcjfsn::File> generated;
    dcjsim::GenerateFsnFiles(4, Content(dcjfsn::Layout::V2014, true, 50), 4096, "M", "20261206090507", "SN", 1,
                             &generated);
    std::map<std::string, int> seen;
    for (const dcjfsn::File& f : generated) {
        for (const dcjfsn::Record& r : f.records) {
            const std::string serial = dcjfsn::Text(r.sNo);
            ++seen[serial];
            EXPECT_EQ(serial.size(), 10u);
            EXPECT_EQ(r.charNum, 10u);
            EXPECT_EQ(r.image.num, 10u);
            // Every character is drawn, as its glyph's pixels.
            EXPECT_EQ(r.image.chars[0], dcjsim::DrawSerial(serial, r.image.width, r.image.height).chars[0]);
            size_t lit = 0;
            for (size_t x = 0; x < r.image.width; ++x) lit += r.image.chars[9][x] != 0;
            EXPECT_GT(lit, 0u) << serial;
        }
    }
    EXPECT_EQ(seen.size(), 200u);
    // Two distinct glyphs draw two distinct characters.
    const dcjfsn::Image a = dcjsim::DrawSerial("0O8B", 18, 25);
    for (size_t i = 0; i < 4; ++i) {
        for (size_t k = i + 1; k < 4; ++k) EXPECT_NE(a.chars[i], a.chars[k]) << i << " " << k;
    }
}

TEST_F(FsnEndToEnd, CheckReadsDeliveredFilesAndArchives)
{
    std::vector<dcjfsn::File> generated;
    sim.Edit([&](dcjsim::Scenario& s) {
        s.files = dcjsim::GenerateFsnFiles(2, Content(dcjfsn::Layout::V2018, true, 4), 1000, "QOLTSIM0001",
                                           "20261206090507", "SN", 1, &generated);
        s.clearFilesOnConfirm = false;
    });
    ProcessResult r = Ctl(AtSim({"download", "--check"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("check: 2 FSN files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("layout 2018, images yes, declared 4, found 4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("total CNY: 8 notes"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    dcjtest::WriteFile(tmp / "summary.txt", "batch");
    ASSERT_EQ(mkdir((tmp / "unpack").c_str(), 0700), 0);
    r = Ctl(AtSim({"download", "--check", "--related", "summary.txt", "--upload-dir", "zips/"}), tmp / "unpack");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("check: 2 FSN files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("total CNY: 8 notes"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    // The check only read: the archive is the only thing in the folder, and
    // its unpacked copies are gone.
    ASSERT_EQ(ListDir(tmp / "zips").size(), 1u);
    for (const std::string& left : ListDir(tmp / "unpack")) EXPECT_EQ(left.find("dcjctl"), std::string::npos) << left;

    // A folder whose name starts with "-" is no option of unzip's.
    r = Ctl(AtSim({"download", "--check", "--related", "summary.txt", "--upload-dir", "-zips/"}), tmp / "unpack");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("check: 2 FSN files"), std::string::npos) << r.out;
    EXPECT_EQ(ListDir(tmp / "-zips").size(), 1u);
}

TEST_F(FsnEndToEnd, CheckReportsADamagedFileAndLeavesItAsDelivered)
{
    auto files = dcjsim::GenerateFsnFiles(2, Content(dcjfsn::Layout::V2014, true, 3), 4096);
    // The second file loses its last 100 bytes: a cut record.
    std::string cut = files[1].Content();
    cut.resize(cut.size() - 100);
    files[1].packets = {cut};
    sim.Edit([&](dcjsim::Scenario& s) { s.files = files; });
    const ProcessResult r = Ctl(AtSim({"download", "--check"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut record"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the header counts 3 records, the data holds more than 2"), std::string::npos) << r.err;
    // The download itself succeeded: confirmed and delivered unchanged.
    const std::vector<std::string> names = ListDir(tmp / "qolt/upload");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(ReadFile(tmp / ("qolt/upload/" + names[1])), cut);
    ASSERT_TRUE(sim.WaitForExchanges(2, std::chrono::seconds(5)));
    EXPECT_EQ(sim.Exchanges().back().cmd, 0xA6u);
}

// ---------------------------------------------------------------------------
// dcjctl fsn on files at hand.

class DcjctlFsn : public ::testing::Test {
protected:
    void SetUp() override
    {
        clean = tmp / "clean.FSN";
        dcjtest::WriteFile(clean, dcjfsn::Write(dcjsim::MakeFsnFile(Content(dcjfsn::Layout::V2014, true, 3), "M",
                                                                     "20261206090507", 5, 0)));
        const std::string bytes = ReadFile(clean);
        cut = tmp / "cut.FSN";
        dcjtest::WriteFile(cut, bytes.substr(0, bytes.size() - 10));
    }
    ProcessResult Fsn(std::vector<std::string> args)
    {
        args.insert(args.begin(), {kCtl, "fsn"});
        return dcjtest::RunProcess(args, tmp.path());
    }
    TempDir tmp{"fsn-ctl"};
    std::string clean, cut;
};

TEST_F(DcjctlFsn, PlainListsRecordsAndSummary)
{
    const dcjfsn::File f = ReadFsn(clean);
    const ProcessResult r = Fsn({clean});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(clean + ": layout 2014, images yes, declared 3, found 3\n"), std::string::npos) << r.out;
    std::map<unsigned, unsigned> counts;
    for (const dcjfsn::Record& rec : f.records) {
        EXPECT_NE(r.out.find(dcjfsn::TimeText(rec.date, rec.time)), std::string::npos);
        EXPECT_NE(r.out.find(dcjfsn::Text(rec.sNo)), std::string::npos) << r.out;
        ++counts[rec.valuta];
    }
    unsigned long long total = 0;
    for (const auto& c : counts) total += c.first * c.second;
    EXPECT_NE(r.out.find("total CNY: 3 notes, " + std::to_string(total) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("problem"), std::string::npos);
}

// A file's texts reach a terminal: control characters are shown as escapes,
// never sent, so a record can neither drive the terminal nor fake a line.
TEST_F(DcjctlFsn, PlainShowsControlCharactersAsEscapes)
{
    dcjfsn::File f = ReadFsn(clean);
    const std::u16string serial = u"\x1b[2J\nX\x7f\x85";
    f.records[0].sNo = {};
    for (size_t i = 0; i < serial.size(); ++i) f.records[0].sNo[i] = static_cast<uint16_t>(serial[i]);
    const std::string odd = tmp / "line\nbreak.FSN";
    dcjtest::WriteFile(odd, dcjfsn::Write(f));
    const ProcessResult r = Fsn({odd});
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x7f'), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\xC2\x85"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\\x1B[2J\\x0AX\\x7F\\u0085"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("line\\x0Abreak.FSN: layout"), std::string::npos) << r.out;

    // Nor on standard error, where a damaged file's problems go.
    const std::string damaged = tmp / "a\x1b[2Jb.FSN";
    dcjtest::WriteFile(damaged, ReadFile(clean).substr(0, 20));
    const ProcessResult bad = Fsn({damaged});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err.find('\x1b'), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("a\\x1B[2Jb.FSN: cut header"), std::string::npos) << bad.err;
}

TEST_F(DcjctlFsn, JsonCarriesEveryFileWithItsRecordsAndProblems)
{
    const dcjfsn::File f = ReadFsn(clean);
    const ProcessResult r = Fsn({"--json", clean, cut, "missing.FSN"});
    EXPECT_EQ(r.status, 1);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(r.out.c_str()).HasParseError()) << r.out;
    ASSERT_TRUE(doc.IsArray());
    ASSERT_EQ(doc.Size(), 3u);
    const rapidjson::Value& first = doc[0];
    EXPECT_EQ(std::string(first["file"].GetString()), clean);
    EXPECT_EQ(std::string(first["layout"].GetString()), "2014");
    EXPECT_TRUE(first["images"].GetBool());
    EXPECT_EQ(first["declared"].GetUint(), 3u);
    EXPECT_EQ(first["problems"].Size(), 0u);
    ASSERT_EQ(first["records"].Size(), 3u);
    for (rapidjson::SizeType i = 0; i < 3; ++i) {
        const rapidjson::Value& rec = first["records"][i];
        const dcjfsn::Record& want = f.records[i];
        EXPECT_EQ(std::string(rec["time"].GetString()), dcjfsn::TimeText(want.date, want.time));
        EXPECT_EQ(std::string(rec["authenticity"].GetString()), dcjfsn::AuthenticityText(want.tfFlag));
        ASSERT_EQ(rec["errors"].Size(), 3u);
        EXPECT_EQ(rec["errors"][0].GetUint(), want.errorCode[0]);
        EXPECT_EQ(std::string(rec["currency"].GetString()), "CNY");
        EXPECT_EQ(std::string(rec["version"].GetString()), dcjfsn::EditionText(want.ver));
        EXPECT_EQ(rec["denomination"].GetUint(), want.valuta);
        EXPECT_EQ(std::string(rec["serial"].GetString()), dcjfsn::Text(want.sNo));
    }
    EXPECT_EQ(doc[1]["records"].Size(), 2u);
    EXPECT_GE(doc[1]["problems"].Size(), 1u);
    EXPECT_TRUE(doc[2]["layout"].IsNull());
    EXPECT_NE(std::string(doc[2]["problems"][0].GetString()).find("cannot read"), std::string::npos);
    EXPECT_NE(r.err.find("cut.FSN: cut record"), std::string::npos) << r.err;
}

TEST_F(DcjctlFsn, JsonStaysValidUtf8WhateverTheFileNameHolds)
{
    const std::string odd = tmp / "odd\xff\xfe\"name.FSN";
    dcjtest::WriteFile(odd, ReadFile(clean));
    const ProcessResult r = Fsn({"--json", odd});
    EXPECT_EQ(r.status, 0) << r.err;
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse<rapidjson::kParseValidateEncodingFlag>(r.out.c_str()).HasParseError()) << r.out;
    EXPECT_EQ(std::string(doc[0]["file"].GetString()), tmp / "odd\xEF\xBF\xBD\xEF\xBF\xBD\"name.FSN");
}

TEST_F(DcjctlFsn, CsvHasOneRowPerRecordAndProblemsOnStderr)
{
    ProcessResult r = Fsn({"--csv", clean});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string header = "file,time,authenticity,currency,version,denomination,serial,error1,error2,error3\n";
    ASSERT_EQ(r.out.substr(0, header.size()), header);
    size_t rows = 0;
    for (char c : r.out) rows += c == '\n';
    EXPECT_EQ(rows, 4u);
    r = Fsn({"--csv", cut});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut record"), std::string::npos);
}

TEST_F(DcjctlFsn, BadFilesExitOneAndUsageErrorsTwo)
{
    dcjtest::WriteFile(tmp / "random.FSN", std::string("\x13\x37random bytes, not a counter's file at all......", 48));
    for (const std::string& bad : {cut, tmp / "random.FSN", tmp / "missing.FSN", tmp.path()}) {
        const ProcessResult r = Fsn({clean, bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("dcjctl: " + bad + ": "), std::string::npos) << r.err;
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"--json", "--csv", clean}, {"--related", "x", clean}, {"--check", clean},
             {"--images", "-", "--json", clean}, {"--dry-run", clean}}) {
        const ProcessResult r = Fsn(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_TRUE(r.out.empty());
    }
}

// PNG width and height from the IHDR chunk.
bool PngSize(const std::string& png, uint32_t* w, uint32_t* h)
{
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0) {
        return false;
    }
    auto be = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(png[at])) << 24 |
               static_cast<uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8 |
               static_cast<unsigned char>(png[at + 3]);
    };
    *w = be(16);
    *h = be(20);
    return true;
}

TEST_F(DcjctlFsn, ImagesAreWrittenAsPngOrDrawnInText)
{
    ProcessResult r = Fsn({"--images", "-", clean});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("###"), std::string::npos);

    const std::string probe = Fsn({"--images", tmp / "none", clean}).err;
    if (probe.find("without PNG support") != std::string::npos) GTEST_SKIP() << probe;
    ASSERT_EQ(mkdir((tmp / "png").c_str(), 0700), 0);
    r = Fsn({"--images", tmp / "png", clean});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> pngs = ListDir(tmp / "png");
    ASSERT_EQ(pngs, (std::vector<std::string>{"clean.FSN-1.png", "clean.FSN-2.png", "clean.FSN-3.png"}));
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(PngSize(ReadFile(tmp / "png/clean.FSN-1.png"), &w, &h));
    // Ten 18 x 25 characters, two pixels apart and around, four times enlarged.
    EXPECT_EQ(w, (10u * (18 + 2) + 2) * 4);
    EXPECT_EQ(h, (25u + 4) * 4);
    // A folder that cannot be written to is a failure.
    r = Fsn({"--images", tmp / "no/such/dir", clean});
    EXPECT_EQ(r.status, 1);
}

TEST_F(DcjctlFsn, ImagesNeverGoThroughALinkNorReplaceAnotherInputsImages)
{
    const std::string probe = Fsn({"--images", tmp / "none", clean}).err;
    if (probe.find("without PNG support") != std::string::npos) GTEST_SKIP() << probe;
    ASSERT_EQ(mkdir((tmp / "png").c_str(), 0700), 0);
    // A link planted at an image's name: the image replaces the link, the
    // file it points at keeps its bytes.
    dcjtest::WriteFile(tmp / "victim.txt", "secret");
    ASSERT_EQ(symlink((tmp / "victim.txt").c_str(), (tmp / "png/clean.FSN-1.png").c_str()), 0);
    ProcessResult r = Fsn({"--images", tmp / "png", clean});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(tmp / "victim.txt"), "secret");
    struct stat st;
    ASSERT_EQ(lstat((tmp / "png/clean.FSN-1.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PngSize(ReadFile(tmp / "png/clean.FSN-1.png"), &w, &h));
    EXPECT_EQ(ListDir(tmp / "png"), (std::vector<std::string>{"clean.FSN-1.png", "clean.FSN-2.png", "clean.FSN-3.png"}))
        << "no temporary file may stay";

    // Two inputs of one name would write the same image names: the first
    // keeps them, the second is told apart as a failure.
    ASSERT_EQ(mkdir((tmp / "other").c_str(), 0700), 0);
    dcjtest::WriteFile(tmp / "other/clean.FSN", dcjfsn::Write(dcjsim::MakeFsnFile(
                                                    Content(dcjfsn::Layout::V2014, true, 1), "M", "20261206090507", 9, 0)));
    const std::string before = ReadFile(tmp / "png/clean.FSN-1.png");
    r = Fsn({"--images", tmp / "png", clean, tmp / "other/clean.FSN"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("other/clean.FSN: images not written"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(tmp / "png/clean.FSN-1.png"), before);
}

// ---------------------------------------------------------------------------
// The simulator program's FSN options.

// dcjsim with its stdout on a pipe; killed when the test ends.
class SimProgram {
public:
    explicit SimProgram(std::vector<std::string> args)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        args.insert(args.begin(), kSim);
        args = dcjtest::ProgramCommand(args);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~SimProgram()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    // The port of the first line, 0 if it does not come within 10 s.
    std::string Port()
    {
        std::string line;
        char c;
        pollfd p{m_out, POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 && read(m_out, &c, 1) == 1) line += c;
        const size_t colon = line.rfind(':');
        return colon == std::string::npos ? "0" : line.substr(colon + 1, line.size() - colon - 2);
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

ProcessResult CtlDownload(const std::string& port, const TempDir& tmp)
{
    return dcjtest::RunProcess({kCtl, "-p", port, "-t", "5", "download", "--check"}, tmp.path(),
                               {{"DCJCTL_IP", ""}, {"DCJCTL_PORT", ""}, {"DCJCTL_DRIVER", ""}});
}

TEST(DcjsimFsn, GeneratedFilesFollowTheLayoutOptions)
{
    TempDir tmp("fsn-sim");
    SimProgram sim({"--generate", "2", "--fsn-layout", "2018", "--fsn-images", "no", "--fsn-records", "6",
                    "--seed", "9", "--packet-size", "100", "--quiet"});
    const ProcessResult r = CtlDownload(sim.Port(), tmp);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> names = ListDir(tmp / "qolt/upload");
    ASSERT_EQ(names.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ExpectSameRecords(dcjsim::MakeFsnFile(Content(dcjfsn::Layout::V2018, false, 6), "QOLTSIM0001",
                                              "20261206090507", 9, i),
                          ReadFsn(tmp / ("qolt/upload/" + names[i])));
    }
}

TEST(DcjsimFsn, ExplicitPacketsKeepTheirExactSize)
{
    // 2 x 838 bytes is one 2014 record with images: an FSN file.
    TempDir tmp("fsn-sim");
    {
        SimProgram sim({"--generate", "1", "--packets", "2", "--packet-size", "838", "--quiet"});
        const ProcessResult r = CtlDownload(sim.Port(), tmp);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> names = ListDir(tmp / "qolt/upload");
        ASSERT_EQ(names.size(), 1u);
        const dcjfsn::File f = ReadFsn(tmp / ("qolt/upload/" + names[0]));
        EXPECT_EQ(ReadFile(tmp / ("qolt/upload/" + names[0])).size(), 1676u);
        EXPECT_TRUE(f.Clean());
        EXPECT_EQ(f.records.size(), 1u);
    }
    // 2 x 100 bytes is none: random bytes of exactly that size, which the
    // check reports.
    TempDir tmp2("fsn-sim");
    SimProgram sim({"--generate", "1", "--packets", "2", "--packet-size", "100", "--quiet"});
    const ProcessResult r = CtlDownload(sim.Port(), tmp2);
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> names = ListDir(tmp2 / "qolt/upload");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(ReadFile(tmp2 / ("qolt/upload/" + names[0])), dcjsim::GenerateFiles(1, 2, 100)[0].Content());
}

TEST(DcjsimFsn, OptionsParseTheConventionalWay)
{
    // --name=value, abbreviations and -- are taken.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--generate=1", "--fsn-layout=2018", "--max-exchanges", "0", "--", }, {"--gen", "1", "--quiet", "--"}}) {
        SimProgram sim(args);
        EXPECT_NE(sim.Port(), "0");
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--quiet=1"}, {"extra"}, {"--", "extra"}, {"--generate", "1", "--fsn-layout", "2017"},
             {"--generate", "1", "--fsn-images", "maybe"}, {"--fsn-layout", "2018"},
             {"--files-dir", ".", "--fsn-images", "no"}, {"--generate", "1", "--packets", "2", "--fsn-records", "3"},
             {"--generate", "1", "--fsn-records", "100001"}}) {
        std::vector<std::string> argv = {kSim};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = dcjtest::RunProcess(argv);
        EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(r.err.find("dcjsim: "), std::string::npos);
        EXPECT_TRUE(r.out.empty());
    }
    // Messages name the option, however it was written.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port=70000"}, {"--po", "70000"}}) {
        std::vector<std::string> argv = {kSim};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = dcjtest::RunProcess(argv);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("dcjsim: --port: out of range"), std::string::npos) << args[0] << ": " << r.err;
    }
    const std::map<std::string, std::string> messages = {
        {"--port", "--port needs a value"},
        {"--quiet=1", "--quiet takes no value"},
        {"--qui=1", "--quiet takes no value"},
        {"--packet=3", "ambiguous option '--packet' (--packets, --packet-size, --packet-count)"},
        {"--bogus", "unknown option '--bogus'"}};
    for (const auto& m : messages) {
        const ProcessResult r = dcjtest::RunProcess({kSim, m.first});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("dcjsim: " + m.second + "\n"), std::string::npos) << m.first << ": " << r.err;
    }
}

}  // namespace
