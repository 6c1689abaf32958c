// The command entry as a host sees it: the driver loaded with dlopen, the
// caller's buffer contract, dispatch and the request map between calls.
#include <dlfcn.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "TestSupport.h"

namespace {

using dcjtest::DriverLib;

// getDevStatus with no address never reaches a device and has a fixed reply.
const char kStatusRequest[] = R"({"commonArgs":{"funcName":"getDevStatus","sn":"42"},"connectArgs":{"ip":""}})";
const std::string kStatusReply =
    R"({"retComArgs":{"devKind":"DCJ","devBrand":"QOLT","devType":"","funcName":"getDevStatus","sn":"42",)"
    R"("retCode":"ECPWS0000000","errDesc":"操作成功"},"retBizArgs":{"DRVVersion":"1.1.0.0","FIRVersion":"",)"
    R"("status":"","devSn":"","extStatus":""}})";
const std::string kTooSmallReply = R"({"retComArgs":{"retCode":"ECPWSCOM0009","errDesc":"接口缓冲区大小参数不足"}})";

class DoCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_lib = new DriverLib(); }
    static DriverLib* s_lib;

    // Calls doCommand with a buffer of outLen bytes followed by canary bytes;
    // returns the whole buffer so the test can look at every byte.
    std::vector<char> Call(const std::string& request, int outLen, size_t canary = 16)
    {
        auto fn = reinterpret_cast<void (*)(int, int, char*, int, char*)>(s_lib->symbol("doCommand"));
        std::vector<char> in(request.begin(), request.end());
        in.push_back('\0');
        std::vector<char> out(static_cast<size_t>(outLen > 0 ? outLen : 0) + canary, '\x5a');
        fn(0, 0, in.data(), outLen, out.data());
        return out;
    }

    static bool CanaryIntact(const std::vector<char>& out, size_t from)
    {
        for (size_t i = from; i < out.size(); ++i) {
            if (out[i] != '\x5a') return false;
        }
        return true;
    }
};
DriverLib* DoCommand::s_lib = nullptr;

TEST_F(DoCommand, ReplyArrivesInUtf8)
{
    ASSERT_TRUE(s_lib->ok());
    EXPECT_EQ(s_lib->DoCommand(kStatusRequest), kStatusReply);
}

TEST_F(DoCommand, BufferBoundariesAreMeasuredAfterConversion)
{
    const int exact = static_cast<int>(kStatusReply.size());
    // Exactly the converted size: the whole reply, no terminator, nothing beyond.
    auto out = Call(kStatusRequest, exact);
    EXPECT_EQ(std::string(out.data(), static_cast<size_t>(exact)), kStatusReply);
    EXPECT_TRUE(CanaryIntact(out, static_cast<size_t>(exact)));

    // One byte less, and down to the size the reply has before conversion
    // (where a GBK-length test would wrongly accept it): buffer-too-small.
    const int gbkSize = exact - 4;  // "操作成功": 8 bytes in GBK, 12 in UTF-8
    for (int len : {exact - 1, gbkSize, gbkSize - 1, static_cast<int>(kTooSmallReply.size()) + 1}) {
        out = Call(kStatusRequest, len);
        EXPECT_EQ(std::string(out.data()), kTooSmallReply) << len;
        EXPECT_TRUE(CanaryIntact(out, static_cast<size_t>(len))) << len;
    }

    // The buffer-too-small reply itself: 87 bytes fit exactly, 86 do not.
    ASSERT_EQ(kTooSmallReply.size(), 87u);
    out = Call(kStatusRequest, 87);
    EXPECT_EQ(std::string(out.data(), 87), kTooSmallReply);
    EXPECT_TRUE(CanaryIntact(out, 87));
    out = Call(kStatusRequest, 86);
    EXPECT_EQ(std::string(out.data(), 86), std::string(86, '\0'));
    EXPECT_TRUE(CanaryIntact(out, 86));
}

// A host may hand the same buffer again, still holding a longer reply or
// anything else: the reply read up to its NUL is the whole answer, and
// nothing past iOutDataLen is touched.
TEST_F(DoCommand, ReplyEndsAtItsNulWhateverTheBufferHeld)
{
    for (int len : {static_cast<int>(kStatusReply.size()) + 1, 4096}) {
        auto out = Call(kStatusRequest, len);
        ASSERT_EQ(std::string(out.data()), kStatusReply) << len;
        EXPECT_EQ(out[kStatusReply.size()], '\0') << len;
        EXPECT_TRUE(CanaryIntact(out, static_cast<size_t>(len))) << len;
    }
    // A reply that does not fit is replaced whole, never left half-written
    // over the buffer's old text.
    auto out = Call(kStatusRequest, static_cast<int>(kStatusReply.size()) - 1);
    EXPECT_EQ(std::string(out.data()), kTooSmallReply);
    EXPECT_EQ(out[kTooSmallReply.size()], '\0');
    EXPECT_TRUE(CanaryIntact(out, kStatusReply.size() - 1));
}

// Hosts that answer in the buffer the request came in: the request is read
// whole before a byte of the reply is written, wherever the two overlap.
TEST_F(DoCommand, ARequestAndItsReplyMayShareOneBuffer)
{
    auto fn = reinterpret_cast<void (*)(int, int, char*, int, char*)>(s_lib->symbol("doCommand"));
    for (size_t offset : {size_t(0), size_t(1), size_t(40)}) {
        std::vector<char> buf(4096, '\x5a');
        memcpy(buf.data(), kStatusRequest, sizeof(kStatusRequest));
        fn(0, 0, buf.data(), static_cast<int>(buf.size() - offset), buf.data() + offset);
        EXPECT_EQ(std::string(buf.data() + offset), kStatusReply) << offset;
    }
}

TEST_F(DoCommand, OutOfContractArgumentsWriteNothing)
{
    auto fn = reinterpret_cast<void (*)(int, int, char*, int, char*)>(s_lib->symbol("doCommand"));
    std::vector<char> out(64, '\x5a');
    fn(0, 0, nullptr, 64, out.data());
    EXPECT_TRUE(CanaryIntact(out, 0));
    std::vector<char> in(kStatusRequest, kStatusRequest + sizeof(kStatusRequest));
    fn(0, 0, in.data(), -1, out.data());
    EXPECT_TRUE(CanaryIntact(out, 0));
    fn(0, 0, in.data(), 0, out.data());
    EXPECT_TRUE(CanaryIntact(out, 0));
    fn(0, 0, in.data(), 64, nullptr);  // must simply return
}

TEST_F(DoCommand, UnknownOrMiscasedFunctionAnswersOneBlank)
{
    for (const char* name : {"getdevstatus", "GetDevStatus", "getDevStatus ", "", "nothing"}) {
        std::string request = std::string(R"({"commonArgs":{"funcName":")") + name + R"("}})";
        auto out = Call(request, 8);
        EXPECT_EQ(std::string(out.data()), " ") << name;
        EXPECT_EQ(out[1], '\0');
    }
    EXPECT_EQ(s_lib->DoCommand("not json"), " ");
    EXPECT_EQ(s_lib->DoCommand(R"(["getDevStatus"])"), " ");
}

TEST_F(DoCommand, RequestMapIsEmptyAfterEveryCall)
{
    auto* map = static_cast<std::map<std::string, std::string>*>(s_lib->symbol("_Z6pinMapB5cxx11"));
    ASSERT_NE(map, nullptr);
    s_lib->DoCommand(kStatusRequest);
    EXPECT_TRUE(map->empty());
    s_lib->DoCommand("{\"a\":{\"funcName\":\"x\",\"sn\":\"7\"}}");
    EXPECT_TRUE(map->empty());
    // The second call does not see the first call's sn.
    std::string second = s_lib->DoCommand(R"({"commonArgs":{"funcName":"getDevStatus"}})");
    EXPECT_NE(second.find("\"sn\":\"\""), std::string::npos) << second;
}

// The request is UTF-8: its sn comes back as the host wrote it, not as its
// bytes read as GBK would convert.
TEST_F(DoCommand, TheSnComesBackAsTheHostWroteIt)
{
    for (const std::string& sn : {std::string("\xC3\xA9-42"), std::string("\xE5\xBC\xA0\xE4\xB8\x89"),
                                  std::string("\xE2\x80\x94")}) {
        const std::string reply = s_lib->DoCommand(R"({"commonArgs":{"funcName":"getDevStatus","sn":")" + sn +
                                                   R"("},"connectArgs":{"ip":""}})");
        rapidjson::Document doc;
        doc.Parse(reply.c_str());
        ASSERT_FALSE(doc.HasParseError()) << reply;
        EXPECT_EQ(std::string(doc["retComArgs"]["sn"].GetString()), sn) << reply;
    }
    // Every unified ideograph GBK has, in one text.
    std::string ideographs;
    for (uint32_t cp = 0x4E00; cp <= 0x9FA5; ++cp) {
        ideographs += static_cast<char>(0xE0 | (cp >> 12));
        ideographs += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        ideographs += static_cast<char>(0x80 | (cp & 0x3F));
    }
    const std::string reply = s_lib->DoCommand(
        R"({"commonArgs":{"funcName":"getDevStatus","sn":")" + ideographs + R"("},"connectArgs":{"ip":""}})", 1 << 20);
    rapidjson::Document doc;
    doc.Parse(reply.c_str());
    ASSERT_FALSE(doc.HasParseError()) << reply.substr(0, 200);
    EXPECT_TRUE(std::string(doc["retComArgs"]["sn"].GetString()) == ideographs);
}

TEST_F(DoCommand, EchoedBytesThatAreNotGbkKeepTheReplyWhole)
{
    for (const std::string& sn : {std::string("\\u0081"), std::string("\\u00ff\\\"x"), std::string("\\\\\\\""),
                                  std::string("\x81\\\""), std::string("\xff\xfe\xfd"), std::string("\x81\\\\")}) {
        const std::string request = R"({"commonArgs":{"funcName":"getDevStatus","sn":")" + sn + R"("}})";
        const std::string reply = s_lib->DoCommand(request);
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseValidateEncodingFlag>(reply.c_str());
        ASSERT_FALSE(doc.HasParseError()) << reply;
        EXPECT_STREQ(doc["retBizArgs"]["DRVVersion"].GetString(), "1.1.0.0");
        EXPECT_STREQ(doc["retComArgs"]["errDesc"].GetString(), "操作成功");
    }
}

TEST_F(DoCommand, OversizedRequestsAndRepliesNeverCrash)
{
    // A reply beyond 100 KiB reaches a caller whose buffer takes it, and is
    // refused whole one byte short of that.
    std::string sn(200 * 1024, 'a');
    const std::string request = R"({"commonArgs":{"funcName":"getDevStatus","sn":")" + sn + R"("}})";
    const std::string whole = s_lib->DoCommand(request, 400 * 1024);
    EXPECT_EQ(whole.size(), kStatusReply.size() - 2 + sn.size());
    EXPECT_EQ(dcjtest::ReplyField(whole, "retComArgs", "sn"), sn);
    EXPECT_EQ(s_lib->DoCommand(request, static_cast<int>(whole.size())).size(), whole.size());
    EXPECT_EQ(s_lib->DoCommand(request, static_cast<int>(whole.size()) - 1), kTooSmallReply);
    EXPECT_EQ(s_lib->DoCommand(std::string(2000000, '{')), " ");
}

}  // namespace
