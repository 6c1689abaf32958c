// The simulator's frame encoders against byte images written out by hand,
// and its file sources (generated and loaded from a folder).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "dcjsim/Simulator.h"

using namespace dcjsim;

namespace {
std::vector<uint8_t> Bytes(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}
}  // namespace

TEST(DcjsimWire, IntegersAreLittleEndian)
{
    uint8_t b[4];
    wire::PutU32(b, 0x12345678u);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    const uint8_t high[4] = {0x01, 0x00, 0x00, 0xF0};
    EXPECT_EQ(wire::GetU32(high), 0xF0000001u);
}

TEST(DcjsimWire, RequestEncodesAndDecodesTheGoldenImage)
{
    const std::vector<uint8_t> golden = {
        'Q', 'O', 'L', 'T', 0x20, 0x00, 0x00, 0x00, 0xA5, 0x00, 0x00, 0x00,  // start, length 32, cmd
        '2', '0', '2', '6', '1', '2', '0', '6', '0', '9', '0', '5', '0', '7', 0x00, 0x00,  // para
        0x00, 0x00, 0x00, 0x00};  // reserved
    EXPECT_EQ(wire::EncodeRequest(0xA5, &golden[12]), golden);

    std::vector<uint8_t> noPara = golden;
    std::fill(noPara.begin() + 12, noPara.begin() + 28, 0);
    noPara[8] = 0xA7;
    EXPECT_EQ(wire::EncodeRequest(0xA7), noPara);

    std::vector<uint8_t> in = golden;
    in[28] = 0x09;  // a reserved value must come through, not be assumed
    wire::Request r{};
    ASSERT_TRUE(wire::DecodeRequest(in, &r));
    EXPECT_EQ(std::string(r.startWord.begin(), r.startWord.end()), "QOLT");
    EXPECT_EQ(r.msgLength, 32u);
    EXPECT_EQ(r.cmd, 0xA5u);
    EXPECT_EQ(std::string(r.para.begin(), r.para.end()), std::string("20261206090507\0\0", 16));
    EXPECT_EQ(r.reserved, 9u);

    in.pop_back();
    EXPECT_FALSE(wire::DecodeRequest(in, &r));
    in.push_back(0);
    in.push_back(0);
    EXPECT_FALSE(wire::DecodeRequest(in, &r));
}

TEST(DcjsimWire, AckGoldenImages)
{
    EXPECT_EQ(wire::EncodeAck(0xA7, 6),
              (std::vector<uint8_t>{'Q', 'O', 'L', 'T', 0x14, 0, 0, 0, 0xA7, 0, 0, 0, 0x06, 0, 0, 0, 0, 0, 0, 0}));
    // Distinct bytes in every position catch swapped or misordered fields.
    EXPECT_EQ(wire::EncodeAck(0x12345678u, 0x0A0B0C0Du, "ABCD"),
              (std::vector<uint8_t>{'A', 'B', 'C', 'D', 0x14, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x0D, 0x0C, 0x0B, 0x0A,
                                    0, 0, 0, 0}));
}

TEST(DcjsimWire, CountFrameGoldenImageWithFullWidthText)
{
    const std::string denom = "100:1234,50:5678,20:9012,10:3456,5:7890,1:2345,0.5:678,0.1:9";  // 60, no NUL
    std::string golden("QOLT\x88\0\0\0\xA3\0\0\0", 12);
    golden += denom;
    golden += std::string("3", 1) + std::string(59, '\0');  // RejectCount at 72
    golden += std::string(4, '\0');                          // reserved at 132
    ASSERT_EQ(golden.size(), 136u);
    EXPECT_EQ(wire::EncodeCountFrame(denom, "3"), Bytes(golden));

    // A text longer than its field is cut at the field's end, never spilling
    // into the next one; start word and cmd are the fault knobs.
    std::vector<uint8_t> cut = wire::EncodeCountFrame(denom + "XYZ", "", 0xA4, "BAD!");
    ASSERT_EQ(cut.size(), 136u);
    EXPECT_EQ(std::string(cut.begin(), cut.begin() + 12), std::string("BAD!\x88\0\0\0\xA4\0\0\0", 12));
    EXPECT_EQ(std::string(cut.begin() + 12, cut.begin() + 72), denom);
    EXPECT_EQ(std::string(cut.begin() + 72, cut.end()), std::string(64, '\0'));
}

TEST(DcjsimWire, UploadHeaderGoldenImageWithEveryFieldAtItsOffset)
{
    const std::vector<uint8_t> golden = {
        /*  0 */ 'Q', 'O', 'L', 'T',
        /*  4 */ 0x54, 0x04, 0x00, 0x00,  // 108 + 1000
        /*  8 */ 0xA1, 0x00, 0x00, 0x00,
        /* 12 */ 'Q', 'O', 'L', 'T', '-', 'M', 'A', 'C', 'H', 'I', 'N', 'E', '-', '0',
        /* 26 */ '1', '2', '3', '4', '5', '6', '7', '8', '9', '-', 'A', 'B', 'C', 'D',  // 28 bytes, no NUL
        /* 40 */ '2', '0', '2', '6', '1', '2', '0', '6', '0', '9', '0', '5', '0', '7', 0x00, 0x00,
        /* 56 */ 'S', 'N', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '4', '2', 0x00,
        /* 72 */ 0x11, 0x00, 0x00, 0x00,  // packetIndex
        /* 76 */ 0x22, 0x00, 0x00, 0x00,  // packetCount
        /* 80 */ 0x33, 0x00, 0x00, 0x00,  // fileIndex
        /* 84 */ 0x44, 0x00, 0x00, 0x00,  // fileCount
        /* 88 */ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(golden.size(), 108u);
    EXPECT_EQ(wire::EncodeUploadHeader("QOLT-MACHINE-0123456789-ABCD", "20261206090507", "SN0000000000042", 0x11,
                                       0x22, 0x33, 0x44, 1000),
              golden);
    const size_t offsets[] = {wire::kUpMsgLength,    wire::kUpCmd,          wire::kUpMachineNo,
                              wire::kUpDateTime,     wire::kUpSNo,          wire::kUpPacketIndex,
                              wire::kUpPacketCount,  wire::kUpFileIndex,    wire::kUpFileCount};
    const size_t expected[] = {4, 8, 12, 40, 56, 72, 76, 80, 84};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(offsets[i], expected[i]) << i;
}

TEST(DcjsimFiles, GeneratedFilesAreDeterministicAndDistinct)
{
    const std::vector<FsnFile> a = GenerateFiles(3, 2, 1001, "M1", "20260101000000", "SN", 7);
    const std::vector<FsnFile> b = GenerateFiles(3, 2, 1001, "M1", "20260101000000", "SN", 7);
    const std::vector<FsnFile> c = GenerateFiles(3, 2, 1001, "M1", "20260101000000", "SN", 8);
    ASSERT_EQ(a.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(a[i].packets.size(), 2u);
        EXPECT_EQ(a[i].packets[0].size(), 1001u);
        EXPECT_EQ(a[i].Content(), a[i].packets[0] + a[i].packets[1]);
        EXPECT_EQ(a[i].Content(), b[i].Content());
        EXPECT_NE(a[i].Content(), c[i].Content());
        EXPECT_EQ(a[i].machineNo, "M1");
    }
    EXPECT_NE(a[0].Content(), a[1].Content());
    EXPECT_NE(a[0].packets[0], a[0].packets[1]);
    EXPECT_EQ(a[0].sNo, "SN0000000000000");
    EXPECT_EQ(a[2].sNo, "SN0000000000002");

    // A long prefix gives way to the number: names stay distinct and short
    // enough to keep a NUL in the 16-byte field.
    const std::vector<FsnFile> many = GenerateFiles(10000, 1, 1, "M", "T", "PREFIX-TOO-LONG-FOR-IT");
    EXPECT_EQ(many[9999].sNo, "PREFIX-TOO-9999");
    EXPECT_EQ(many[7].sNo, "PREFIX-TOO-LON7");
}

TEST(DcjsimFiles, LoadedFilesAreSortedCutAndNamed)
{
    dcjtest::TempDir dir("dcjsim");
    dcjtest::WriteFile(dir / "B.dat", "0123456789");
    dcjtest::WriteFile(dir / "A01_MACH_01_X_E7_20260102030405_SER9.FSN", "abc");
    dcjtest::WriteFile(dir / "C.FSN", "");
    dcjtest::WriteFile(dir / ".hidden", "skip me");

    std::vector<FsnFile> files;
    std::string error;
    ASSERT_TRUE(LoadFiles(dir.path(), 4, "DEFMACH", "20260000000000", &files, &error)) << error;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].machineNo, "MACH_01_X");  // underscores of a machine number survive
    EXPECT_EQ(files[0].dateTime, "20260102030405");
    EXPECT_EQ(files[0].sNo, "SER9");
    EXPECT_EQ(files[0].packets, (std::vector<std::string>{"abc"}));
    EXPECT_EQ(files[1].machineNo, "DEFMACH");
    EXPECT_EQ(files[1].sNo, "SN0000000000001");
    EXPECT_EQ(files[1].packets, (std::vector<std::string>{"0123", "4567", "89"}));
    EXPECT_EQ(files[2].packets, (std::vector<std::string>{""}));  // empty file: one empty packet

    EXPECT_FALSE(LoadFiles(dir / "missing", 4, "M", "T", &files, &error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(LoadFiles(dir.path(), 0, "M", "T", &files, &error));
    EXPECT_FALSE(error.empty());
}
