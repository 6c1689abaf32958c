// Frames against golden bytes, the pure frame checks, the error-code table
// and the engine's result slots.
#include <stddef.h>
#include <string.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Basic/Dataprocess.h"
#include "Basic/GbkText.h"
#include "EngineAccess.h"
#include "TestSupport.h"
#include "dcjsim/Simulator.h"

namespace {

using Bytes = std::vector<unsigned char>;

template <typename T>
Bytes BytesOf(const T& frame)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&frame);
    return Bytes(p, p + sizeof(T));
}

template <typename T>
T FrameFrom(const Bytes& bytes)
{
    T frame;
    EXPECT_EQ(bytes.size(), sizeof(T));
    memcpy(&frame, bytes.data(), sizeof(T));
    return frame;
}

Bytes Ack(unsigned char cmd, unsigned char retCode, const char* start = "QOLT", unsigned char length = 20)
{
    return Bytes{static_cast<unsigned char>(start[0]), static_cast<unsigned char>(start[1]),
                 static_cast<unsigned char>(start[2]), static_cast<unsigned char>(start[3]),
                 length, 0, 0, 0, cmd, 0, 0, 0, retCode, 0, 0, 0, 0, 0, 0, 0};
}

TEST(WireFrames, TemplatesAreTheGoldenBytes)
{
    Bytes request(32, 0);
    memcpy(request.data(), "QOLT", 4);
    request[4] = 32;
    EXPECT_EQ(BytesOf(null_Request_Packet), request);
    EXPECT_EQ(BytesOf(null_Response_Packet), Ack(0, 0));
    Bytes up(108, 0);
    memcpy(up.data(), "QOLT", 4);
    up[4] = 108;
    EXPECT_EQ(BytesOf(null_Response_Up), up);
    Bytes count(136, 0);
    memcpy(count.data(), "QOLT", 4);
    count[4] = 136;
    EXPECT_EQ(BytesOf(null_Response_Denomcount), count);
}

TEST(WireFrames, RequestsAreBuiltByteExact)
{
    CDataProcess engine;
    REQUEST_PACKET req;
    ASSERT_EQ(DataProcessTestAccess::Generate(engine, &req, 0xA7, nullptr, 0, 0), 0);
    Bytes expected(32, 0);
    memcpy(expected.data(), "QOLT", 4);
    expected[4] = 32;
    expected[8] = 0xA7;
    EXPECT_EQ(BytesOf(req), expected);

    char time[16];
    for (int i = 0; i < 16; ++i) time[i] = static_cast<char>(0xF0 + i);
    ASSERT_EQ(DataProcessTestAccess::Generate(engine, &req, 0xA5, time, 16, 0x01020304), 0);
    expected[8] = 0xA5;
    for (int i = 0; i < 16; ++i) expected[12 + i] = static_cast<unsigned char>(0xF0 + i);
    expected[28] = 4, expected[29] = 3, expected[30] = 2, expected[31] = 1;
    EXPECT_EQ(BytesOf(req), expected);

    EXPECT_EQ(DataProcessTestAccess::Generate(engine, nullptr, 0xA5, time, 16, 0), -1);
    // The para field holds 16 bytes: more is refused, never copied past it.
    EXPECT_EQ(DataProcessTestAccess::Generate(engine, &req, 0xA5, time, 17, 0), -1);
    EXPECT_EQ(DataProcessTestAccess::Generate(engine, &req, 0xA5, time, -1, 0), -1);
}

TEST(FrameChecks, AcknowledgementVerdictsInOrder)
{
    struct Case {
        Bytes frame;
        unsigned sent;
        dcjframe::AckVerdict verdict;
        const char* code;
    };
    const std::vector<Case> cases = {
        {Ack(0xA3, 0), 0xA3, dcjframe::AckVerdict::Accepted, "ECPWS0000000"},
        {Ack(0xA3, 0, "QOLT", 99), 0xA3, dcjframe::AckVerdict::Accepted, "ECPWS0000000"},  // length not checked
        {Ack(0xA3, 0, "QOLX"), 0xA3, dcjframe::AckVerdict::BadStartWord, "DRVDCJ1002"},
        {Ack(0xA1, 6, "qolt"), 0xA3, dcjframe::AckVerdict::BadStartWord, "DRVDCJ1002"},  // start word first
        {Ack(0xA1, 0), 0xA3, dcjframe::AckVerdict::BadCommand, "DRVDCJ1002"},
        {Ack(0xA3, 4), 0xA3, dcjframe::AckVerdict::Refused, "ECPWSDCJ0001"},
        {Ack(0xA3, 5), 0xA3, dcjframe::AckVerdict::Refused, "DRVDCJ1007"},
        {Ack(0xA3, 6), 0xA3, dcjframe::AckVerdict::Refused, "ECPWSCOM0013"},
        {Ack(0xA3, 7), 0xA3, dcjframe::AckVerdict::Refused, "DRVDCJ1001"},
        {Ack(0xA3, 1), 0xA3, dcjframe::AckVerdict::Refused, "DRVDCJ1001"},
    };
    CDataProcess engine;
    for (const Case& c : cases) {
        RESPONSE_PACKET frame = FrameFrom<RESPONSE_PACKET>(c.frame);
        const dcjframe::AckCheck check = dcjframe::CheckAck(frame, c.sent);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_STREQ(check.code, c.code);
        char code[13];
        memset(code, 'x', sizeof(code));
        EXPECT_EQ(DataProcessTestAccess::ParseAck(engine, &frame, c.sent, code),
                  c.verdict == dcjframe::AckVerdict::Accepted);
        EXPECT_STREQ(code, c.code);
    }
    EXPECT_FALSE(DataProcessTestAccess::ParseAck(engine, nullptr, 0xA3, nullptr));
}

class UploadHeaderCheck : public ::testing::Test {
protected:
    RESPONSE_UP Header(uint32_t dataLen = 10)
    {
        RESPONSE_UP h = null_Response_Up;
        h.cmd = ToWire32(0xA1);
        h.msg_length = ToWire32(108 + dataLen);
        memcpy(h.MachineNo, "M1", 2);
        memcpy(h.DateTime, "20261206090507", 14);
        memcpy(h.SNo, "S1", 2);
        h.packetCount = ToWire32(1);
        h.fileCount = ToWire32(1);
        return h;
    }
    static constexpr uint32_t kLimit = 1000;
};

TEST_F(UploadHeaderCheck, AcceptsWellFormedHeadersUpToTheDataLimit)
{
    for (uint32_t dataLen : {0u, 1u, kLimit - 1, kLimit}) {
        const auto check = dcjframe::CheckUploadHeader(Header(dataLen), kLimit);
        EXPECT_EQ(check.verdict, dcjframe::UpVerdict::Accepted) << dataLen;
        EXPECT_EQ(check.dataLen, dataLen);
    }
    // Text fields that fill their width without a NUL are still names.
    RESPONSE_UP full = Header();
    memset(full.MachineNo, 'M', sizeof(full.MachineNo));
    memset(full.SNo, 'S', sizeof(full.SNo));
    EXPECT_EQ(dcjframe::CheckUploadHeader(full, kLimit).verdict, dcjframe::UpVerdict::Accepted);
    EXPECT_EQ(dcjframe::FieldText(full.MachineNo, sizeof(full.MachineNo)), std::string(28, 'M'));
}

TEST_F(UploadHeaderCheck, RefusesMalformedHeaders)
{
    auto verdict = [&](RESPONSE_UP h) { return dcjframe::CheckUploadHeader(h, kLimit).verdict; };
    RESPONSE_UP h = Header();
    h.start_word[3] = 'X';
    EXPECT_EQ(verdict(h), dcjframe::UpVerdict::BadStartWord);
    h = Header();
    h.cmd = ToWire32(0xA3);
    EXPECT_EQ(verdict(h), dcjframe::UpVerdict::BadCommand);
    for (uint32_t length : {0u, 107u}) {
        h = Header();
        h.msg_length = ToWire32(length);
        EXPECT_EQ(verdict(h), dcjframe::UpVerdict::LengthBelowHeader) << length;
    }
    for (uint32_t length : {108u + kLimit + 1, 0xFFFFFFFFu}) {
        h = Header();
        h.msg_length = ToWire32(length);
        EXPECT_EQ(verdict(h), dcjframe::UpVerdict::DataTooLong) << length;
    }
    h = Header();
    h.packetCount = 0;
    EXPECT_EQ(verdict(h), dcjframe::UpVerdict::ZeroCount);
    h = Header();
    h.fileCount = 0;
    EXPECT_EQ(verdict(h), dcjframe::UpVerdict::ZeroCount);
    for (size_t offset : {offsetof(RESPONSE_UP, MachineNo), offsetof(RESPONSE_UP, DateTime),
                          offsetof(RESPONSE_UP, SNo)}) {
        h = Header();
        memcpy(reinterpret_cast<char*>(&h) + offset, "../", 3);
        EXPECT_EQ(verdict(h), dcjframe::UpVerdict::UnsafeText) << offset;
    }
    // A slash beyond the field's first NUL is not part of the name.
    h = Header();
    h.SNo[10] = '/';
    EXPECT_EQ(verdict(h), dcjframe::UpVerdict::Accepted);

    CDataProcess engine;
    h = Header();
    EXPECT_TRUE(DataProcessTestAccess::ParseUp(engine, &h));
    h.cmd = ToWire32(0xA3);
    EXPECT_FALSE(DataProcessTestAccess::ParseUp(engine, &h));
    EXPECT_FALSE(DataProcessTestAccess::ParseUp(engine, nullptr));
}

TEST(FrameChecks, CountFrames)
{
    RESPONSE_DENOMCOUNT frame = null_Response_Denomcount;
    frame.cmd = ToWire32(0xA3);
    EXPECT_EQ(dcjframe::CheckCountFrame(frame), dcjframe::CountVerdict::Accepted);
    frame.cmd = ToWire32(0xA1);
    EXPECT_EQ(dcjframe::CheckCountFrame(frame), dcjframe::CountVerdict::BadCommand);
    frame.cmd = ToWire32(0xA3);
    frame.start_word[0] = 'X';
    EXPECT_EQ(dcjframe::CheckCountFrame(frame), dcjframe::CountVerdict::BadStartWord);
    CDataProcess engine;
    EXPECT_FALSE(DataProcessTestAccess::ParseCount(engine, &frame));
    EXPECT_FALSE(DataProcessTestAccess::ParseCount(engine, nullptr));
}

TEST(ErrorCodes, TableHoldsFifteenGbkDescriptions)
{
    CDataProcess engine;
    const std::vector<std::pair<const char*, const char*>> table = {
        {"ECPWS0000000", "操作成功"},       {"DRV0000001", "未知错误"},
        {"ECPWSDCJ0002", "网络连接失败"},   {"ECPWSCOM0005", "接口参数错误"},
        {"ECPWSDCJ0001", "无可上传的FSN文件"}, {"ECPWSCOM0008", "找不到设备"},
        {"ECPWSCOM0011", "无效操作"},       {"DRVDCJ1001", "设备解析命令包格式错误"},
        {"DRVDCJ1002", "设备返回的响应包格式错误"}, {"DRVDCJ1003", "设备返回的响应数据格式错误"},
        {"DRVDCJ1004", "zip压缩失败"},     {"DRVDCJ1005", "上位机参数缓冲区不够"},
        {"DRVDCJ1006", "关联文件不存在"},   {"DRVDCJ1007", "设备清除已上传文件失败"},
        {"ECPWSCOM0013", "硬件故障"},
    };
    EXPECT_EQ(DataProcessTestAccess::MapSize(engine), 15u);
    for (const auto& entry : table) {
        EXPECT_EQ(DataProcessTestAccess::Describe(engine, entry.first), dcjtest::Utf8ToGbk(entry.second))
            << entry.first;
    }
    // Unknown codes describe as empty and leave the table as it was: it is
    // never written after construction (a forked child may find it mid-call).
    EXPECT_EQ(DataProcessTestAccess::Describe(engine, "ECPWSCOM0001"), "");
    EXPECT_EQ(DataProcessTestAccess::MapSize(engine), 15u);
}

TEST(Engine, SingletonAndZeroedSlots)
{
    CDataProcess* first = CDataProcess::GetInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(CDataProcess::GetInstance(), first);
    CDataProcess fresh;
    ASSERT_TRUE(fresh.IsReady());
    EXPECT_EQ(std::string(fresh.m_pstrRet0, 256), std::string(256, '\0'));
    EXPECT_EQ(std::string(fresh.m_pstrRet1, 256), std::string(256, '\0'));
    EXPECT_EQ(std::string(fresh.m_pstrRet2, 1024), std::string(1024, '\0'));
    EXPECT_EQ(std::string(fresh.m_pstrRet3, 256), std::string(256, '\0'));

    // Slot writes are bounded by the slot's size.
    char empty[] = "";
    char* slots[5] = {empty, empty, empty, empty, empty};
    fresh.WriteSlot(slots, 3, std::string(1000, 'x').c_str());
    EXPECT_EQ(slots[3], fresh.m_pstrRet3);
    EXPECT_EQ(strlen(slots[3]), 255u);
}

TEST(Engine, WithoutItsBuffersEveryCallAnswersAnError)
{
    static int allocations = 0;
    allocations = 0;
    CDataProcess::s_AllocSlot = [](size_t size) -> void* { return ++allocations == 3 ? nullptr : malloc(size); };
    CDataProcess broken;
    CDataProcess::s_AllocSlot = malloc;
    EXPECT_FALSE(broken.IsReady());

    char empty[] = "";
    char* slots[5] = {empty, empty, empty, empty, empty};
    TCPPara para{};
    memcpy(para.ip, "127.0.0.1", 9);
    para.port = 1;
    para.timeout = 1;
    broken.ProcCommonCMD(0xA3, nullptr, 0, 0, para, nullptr, slots, nullptr);
    EXPECT_STREQ(slots[0], "DRV0000001");
    EXPECT_EQ(std::string(slots[1]), dcjtest::Utf8ToGbk("未知错误"));
    slots[0] = slots[1] = empty;
    broken.ProcFSNOKCMD(0xA6, nullptr, 0, 0, para, nullptr, slots);
    EXPECT_STREQ(slots[0], "DRV0000001");
}

TEST(Engine, ExchangeAfterOneLeftItsSocketOpenStartsAfresh)
{
    dcjsim::Simulator sim;
    ASSERT_TRUE(sim.Start());
    CDataProcess engine;
    ASSERT_TRUE(engine.IsReady());
    // What an exchange ended by an exception leaves: its socket, with the
    // device's unread answer in it.
    CTCPClient* client = DataProcessTestAccess::Client(engine);
    ASSERT_GE(client->CreateSocket(), 0);
    ASSERT_EQ(client->Connect("127.0.0.1", sim.Port(), 2), 0);
    unsigned char status[32] = {'Q', 'O', 'L', 'T', 32, 0, 0, 0, 0xA7};
    ASSERT_TRUE(client->Send(reinterpret_cast<char*>(status), sizeof(status), 2));
    ASSERT_TRUE(sim.WaitForExchanges(1, std::chrono::seconds(5)));

    char empty[] = "";
    char* slots[5] = {empty, empty, empty, empty, empty};
    TCPPara para{};
    memcpy(para.ip, "127.0.0.1", 9);
    para.port = sim.Port();
    para.timeout = 2;
    engine.ProcCommonCMD(0xA4, nullptr, 0, 0, para, nullptr, slots, nullptr);
    EXPECT_STREQ(slots[0], "ECPWS0000000");
    ASSERT_TRUE(sim.WaitForExchanges(2, std::chrono::seconds(5)));
    ASSERT_EQ(sim.RequestFrames().size(), 2u);
    EXPECT_EQ(sim.RequestFrames()[1][8], 0xA4);
}

// Packet data may take the time-out plus its size at the least rate: a rate
// the device keeps above the least one passes, below it the download fails
// unconfirmed.
TEST(Engine, PacketDataMustKeepTheLeastRate)
{
    dcjtest::TempDir tmp;
    // 1000 bytes at about 2 ms a byte: a little over 2 s of data.
    for (const uint32_t leastRate : {250u, 2000u}) {
        dcjsim::Simulator sim;
        ASSERT_TRUE(sim.Start());
        sim.Edit([](dcjsim::Scenario& s) {
            s.files = dcjsim::GenerateFiles(1, 1, 1000);
            s.fault = dcjsim::Fault::SlowDrip;
            s.faultCmd = 0xA1;
        });
        CDataProcess engine;
        ASSERT_TRUE(engine.IsReady());
        engine.SetMinDataRate(leastRate);
        std::string inst = "1", emp = "2", related, upload = tmp / ("up" + std::to_string(leastRate) + "/"),
                    temp = tmp / "temp/";
        InputFSNPara fsn{&inst[0], &emp[0], &related[0], &upload[0], &temp[0]};
        char empty[] = "";
        char* slots[5] = {empty, empty, empty, empty, empty};
        TCPPara para{};
        memcpy(para.ip, "127.0.0.1", 9);
        para.port = sim.Port();
        para.timeout = 1;
        const auto start = std::chrono::steady_clock::now();
        engine.ProcCommonCMD(0xA1, nullptr, 0, 0, para, &fsn, slots, nullptr);
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (leastRate == 250u) {
            // Allowed 1 s + 4 s.
            EXPECT_STREQ(slots[0], "ECPWS0000000") << took;
            EXPECT_EQ(dcjtest::ListDir(upload).size(), 1u);
        } else {
            // Allowed 1 s + 0.5 s.
            EXPECT_STREQ(slots[0], "ECPWSDCJ0002") << took;
            EXPECT_LT(took, 2.0);
            EXPECT_TRUE(dcjtest::ListDir(upload).empty());
            EXPECT_EQ(sim.CurrentScenario().files.size(), 1u) << "not confirmed";
        }
    }
}

}  // namespace
