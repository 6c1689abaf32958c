// Request flattening, JSON text and GBK conversion, driven directly.
#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "MERV_QOLT_DCJ.h"
#include "TestSupport.h"

namespace {

class Flatten : public ::testing::Test {
protected:
    void TearDown() override { pinMap.clear(); }

    std::map<std::string, std::string> Flat(const std::string& json)
    {
        pinMap.clear();
        getKeyValueToMap(json);
        std::map<std::string, std::string> copy = pinMap;
        pinMap.clear();
        return copy;
    }
};

std::string Nested(int depth, const std::string& innermost)
{
    std::string text;
    for (int i = 0; i < depth - 1; ++i) text += "{\"k" + std::to_string(i) + "\":";
    text += innermost;
    for (int i = 0; i < depth - 1; ++i) text += "}";
    return text;
}

TEST_F(Flatten, FirstOccurrenceWinsAtAnyDepthInDocumentOrder)
{
    auto m = Flat(R"({"commonArgs":{"funcName":"getRMBCount","ip":"1.1.1.1"},)"
                  R"("connectArgs":{"ip":"2.2.2.2","port":"1000","deeper":{"port":"9","x":{"y":{"z":"deep"}}}},)"
                  R"("bizArgs":{"port":"7"},"top":"root-level","funcName":"late"})");
    EXPECT_EQ(m["funcName"], "getRMBCount");
    EXPECT_EQ(m["ip"], "1.1.1.1");
    EXPECT_EQ(m["port"], "1000");
    EXPECT_EQ(m["z"], "deep");
    EXPECT_EQ(m["top"], "root-level");
    EXPECT_EQ(m.count("commonArgs"), 0u);
    EXPECT_EQ(m.count("deeper"), 0u);

    // A nested object's members come before the members that follow it.
    auto n = Flat(R"({"a":{"k":"inner"},"k":"outer"})");
    EXPECT_EQ(n["k"], "inner");
    // Repeats inside one object: the first stays.
    auto d = Flat(R"({"s":{"k":"1","k":"2"}})");
    EXPECT_EQ(d["k"], "1");
}

TEST_F(Flatten, StoresStringsAnd32BitIntegersOnly)
{
    auto m = Flat(R"({"c":{"timeout":20,"neg":-5,"min":-2147483648,"max":2147483647,"big":2147483648,)"
                  R"("bigneg":-2147483649,"frac":20.0,"exp":2e1,"t":true,"f":false,"n":null,)"
                  R"("arr":["x",{"inArray":"y"},[1]],"s":"text"}})");
    EXPECT_EQ(m["timeout"], "20");
    EXPECT_EQ(m["neg"], "-5");
    EXPECT_EQ(m["min"], "-2147483648");
    EXPECT_EQ(m["max"], "2147483647");
    EXPECT_EQ(m["s"], "text");
    for (const char* skipped : {"big", "bigneg", "frac", "exp", "t", "f", "n", "arr", "inArray"}) {
        EXPECT_EQ(m.count(skipped), 0u) << skipped;
    }
    EXPECT_EQ(m.size(), 5u);
}

TEST_F(Flatten, TextsEndAtTheirFirstZeroByte)
{
    auto m = Flat(R"({"c":{"sn":"ab\u0000cd","k\u0000ey":"v"}})");
    EXPECT_EQ(m["sn"], "ab");
    EXPECT_EQ(m["k"], "v");
    // The request itself ends at its first zero byte.
    std::string withNul = std::string(R"({"c":{"a":"1"}})") + '\0' + "garbage";
    EXPECT_EQ(Flat(withNul)["a"], "1");
}

TEST_F(Flatten, UnusableRequestsStoreNothing)
{
    for (const char* text : {"", " ", "{", R"({"c":{"a":"1"}} trailing)", R"({"c":{"a":"1",}})",
                             R"({"c":/*x*/{"a":"1"}})", "[{\"a\":\"1\"}]", "\"a\"", "42", "null", "true",
                             R"({"a":NaN})"}) {
        EXPECT_TRUE(Flat(text).empty()) << text;
    }
}

TEST_F(Flatten, NestingLimitAtBelowAndAbove)
{
    using dcjtext::kMaxRequestDepth;
    EXPECT_EQ(Flat(Nested(kMaxRequestDepth - 1, R"({"v":"ok"})"))["v"], "ok");
    EXPECT_EQ(Flat(Nested(kMaxRequestDepth, R"({"v":"ok"})"))["v"], "ok");
    // One level more: the whole request is unusable, not just the deep part.
    auto above = Flat(R"({"early":"x","d":)" + Nested(kMaxRequestDepth, R"({"v":"ok"})") + "}");
    EXPECT_TRUE(above.empty());
    // Arrays count as levels too, and a million of them must not exhaust the stack.
    EXPECT_TRUE(Flat(std::string(1000000, '[')).empty());
    EXPECT_TRUE(Flat("{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}").empty());
}

TEST_F(Flatten, LargeRequestIsHandled)
{
    std::string big(4 * 1024 * 1024, 'x');
    auto m = Flat(R"({"c":{"sn":")" + big + R"(","funcName":"f"}})");
    EXPECT_EQ(m["sn"].size(), big.size());
    EXPECT_EQ(m["funcName"], "f");
}

TEST(JsonToStringTest, CompactAndBytesPassThrough)
{
    rapidjson::Document doc;
    doc.Parse("{ \"a\" : [1, 2.5, true, null] , \"b\" : { \"c\" : \"\\u00e9\\\"\\\\\" } }");
    ASSERT_FALSE(doc.HasParseError());
    EXPECT_EQ(JsonToString(doc), "{\"a\":[1,2.5,true,null],\"b\":{\"c\":\"\xC3\xA9\\\"\\\\\"}}");
}

TEST(GbkConversion, ExportedFunctionKeepsItsContract)
{
    char out[64];
    memset(out, 0x7f, sizeof(out));
    char empty[] = "";
    EXPECT_TRUE(GBKToUtf8(empty, 0, out));
    EXPECT_EQ(out[0], 0x7f) << "nothing written for no input";

    char ascii[] = "{\"a\":\"b\"}";
    memset(out, 0, sizeof(out));
    EXPECT_TRUE(GBKToUtf8(ascii, static_cast<int>(strlen(ascii)), out));
    EXPECT_STREQ(out, ascii);

    const std::string gbk = dcjtest::Utf8ToGbk("接口缓冲区大小参数不足");
    ASSERT_EQ(gbk.size(), 22u);
    std::vector<char> src(gbk.begin(), gbk.end());
    std::vector<char> dst(200, 0);
    EXPECT_TRUE(GBKToUtf8(src.data(), static_cast<int>(src.size()), dst.data()));
    EXPECT_EQ(strlen(dst.data()), 33u);
    EXPECT_EQ(std::string(dst.data()), "接口缓冲区大小参数不足");

    // Cut inside the last character: false, the part before it converted.
    std::vector<char> cut(gbk.begin(), gbk.end() - 1);
    std::fill(dst.begin(), dst.end(), 0);
    EXPECT_FALSE(GBKToUtf8(cut.data(), static_cast<int>(cut.size()), dst.data()));
    EXPECT_EQ(std::string(dst.data()), "接口缓冲区大小参数不");

    EXPECT_FALSE(GBKToUtf8(nullptr, 1, dst.data()));
    EXPECT_FALSE(GBKToUtf8(ascii, 1, nullptr));

    // More than the destination's 102400 bytes: false, whole characters up
    // to the limit, nothing beyond it (a guard after the limit stays).
    std::string many;
    for (int i = 0; i < 40000; ++i) many += gbk.substr(0, 2);  // 3 UTF-8 bytes each
    std::vector<char> big(many.begin(), many.end());
    std::vector<char> wide(102400 + 64, '\x7f');
    EXPECT_FALSE(GBKToUtf8(big.data(), static_cast<int>(big.size()), wide.data()));
    EXPECT_EQ(std::string(wide.data() + 102399 - 102399 % 3 - 3, 3), "接");
    for (size_t i = 102399 - 102399 % 3; i < wide.size(); ++i) ASSERT_EQ(wide[i], '\x7f') << i;

    char untouched[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(GB2312ToUtf8("\xb2\xd9", untouched), 0);
    EXPECT_STREQ(untouched, "abc");
}

// The C library's converter, the way the driver used it before it kept its
// own tables: every byte it cannot read becomes U+FFFD.
std::string IconvLenient(const std::string& gbk)
{
    iconv_t conv = iconv_open("UTF-8", "GBK");
    std::string out(3 * gbk.size() + 3, '\0');
    char* in = const_cast<char*>(gbk.data());
    size_t inLeft = gbk.size();
    char* dst = &out[0];
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(conv, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
        iconv(conv, nullptr, nullptr, nullptr, nullptr);
        memcpy(dst, "\xEF\xBF\xBD", 3);
        dst += 3;
        outLeft -= 3;
        ++in;
        --inLeft;
    }
    iconv_close(conv);
    out.resize(static_cast<size_t>(dst - out.data()));
    return out;
}

TEST(GbkConversion, ReadsEveryCharacterAsTheCLibraryDoes)
{
    // Every single byte, every lead with every trail, and each of them cut.
    for (int lead = 0; lead < 0x100; ++lead) {
        const std::string one(1, static_cast<char>(lead));
        ASSERT_EQ(dcjtext::GbkToUtf8Lenient(one.data(), 1), IconvLenient(one)) << lead;
        for (int trail = 0; lead >= 0x80 && trail < 0x100; ++trail) {
            const std::string two{static_cast<char>(lead), static_cast<char>(trail), 'x'};
            ASSERT_EQ(dcjtext::GbkToUtf8Lenient(two.data(), 3), IconvLenient(two)) << lead << " " << trail;
        }
    }
    // Noise weighted to high bytes, where characters and strays mix.
    unsigned seed = 12345;
    for (int round = 0; round < 3000; ++round) {
        std::string noise(static_cast<size_t>(rand_r(&seed) % 40), '\0');
        for (char& c : noise) c = static_cast<char>(rand_r(&seed) % 4 == 0 ? rand_r(&seed) % 0x80 : 0x80 + rand_r(&seed) % 0x80);
        ASSERT_EQ(dcjtext::GbkToUtf8Lenient(noise.data(), noise.size()), IconvLenient(noise)) << round;
    }
}

TEST(GbkConversion, ReplyConversionKeepsJsonWholeWhateverTheBytes)
{
    using dcjtext::ReplyToUtf8;
    const std::string ok = dcjtest::Utf8ToGbk("操作成功");
    EXPECT_EQ(ReplyToUtf8("{\"d\":\"" + ok + "\"}"), "{\"d\":\"操作成功\"}");
    EXPECT_EQ(ReplyToUtf8(" "), " ");

    // A lead byte before an escaped quote or backslash must not swallow the
    // escape; bytes that are not GBK become U+FFFD.
    for (const std::string& value : {std::string("\x81"), std::string("\x81\""), std::string("\x81\\"),
                                     std::string("\xff\xfe"), std::string("a\x80z"), std::string("\x95\\x")}) {
        std::string escaped;
        for (char c : value) {
            if (c == '"' || c == '\\') escaped += '\\';
            escaped += c;
        }
        const std::string reply = ReplyToUtf8("{\"sn\":\"" + escaped + "\",\"after\":\"kept\"}");
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseValidateEncodingFlag>(reply.c_str());
        ASSERT_FALSE(doc.HasParseError()) << reply;
        EXPECT_STREQ(doc["after"].GetString(), "kept") << reply;
    }
    // A number no double holds passes through as written, and the strings
    // around it are still converted one by one.
    const std::string withNumber = ReplyToUtf8("{\"a\":184467095540e300,\"b\":\"\x81\\\"\"}");
    rapidjson::Document numberDoc;
    numberDoc.Parse<rapidjson::kParseValidateEncodingFlag>(withNumber.c_str());
    EXPECT_FALSE(numberDoc.HasParseError()) << withNumber;
    EXPECT_EQ(withNumber.substr(0, 22), "{\"a\":184467095540e300,");

    // Valid GBK whose second byte is a backslash stays that one character.
    const std::string withBackslashTrail = dcjtest::Utf8ToGbk("昞");
    ASSERT_EQ(withBackslashTrail[1], '\\');
    EXPECT_EQ(ReplyToUtf8("{\"sn\":\"" + std::string(1, withBackslashTrail[0]) + "\\\\\"}"), "{\"sn\":\"昞\"}");
}


// A reply written the way the driver writes one, its strings in GBK: the
// UTF-8 reply must be the same document with each string converted on its
// own, whichever way the conversion goes (whole, or string by string).
TEST(GbkConversion, ReplyConvertsAsItsStringsDo)
{
    auto write = [](const std::vector<std::string>& values) {
        rapidjson::StringBuffer buf;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buf);
        writer.StartObject();
        for (size_t i = 0; i < values.size(); ++i) {
            writer.Key(("k" + std::to_string(i)).c_str());
            writer.String(values[i].c_str(), static_cast<rapidjson::SizeType>(values[i].size()));
        }
        writer.EndObject();
        return std::string(buf.GetString(), buf.GetSize());
    };
    const std::vector<std::vector<std::string>> cases = {
        {dcjtest::Utf8ToGbk("操作成功"), "DCJ", dcjtest::Utf8ToGbk("接口缓冲区大小参数不足")},
        {dcjtest::Utf8ToGbk("丂"), dcjtest::Utf8ToGbk("昞"), "x"},  // trail bytes 0x40 and '\\'
        {dcjtest::Utf8ToGbk("操作") + "\x01" + dcjtest::Utf8ToGbk("成功")},  // written as \u0001
        {"\xA1", "\xFE\xFE\xFE", "\x81\"q", "\xA1\xA1\x80"},           // not GBK, or cut
        {std::string("\xB2\xD9", 2), std::string("a\0b", 3)},
    };
    for (const auto& values : cases) {
        const std::string gbk = write(values);
        std::vector<std::string> converted;
        for (const std::string& v : values) converted.push_back(dcjtext::GbkToUtf8Lenient(v.data(), v.size()));
        EXPECT_EQ(dcjtext::ReplyToUtf8(gbk), write(converted)) << gbk;
    }
    // An escape stands for its bytes, which are read as GBK like any others.
    const std::string escaped = "{\"k0\":\"\\u00b2\\u00d9" + dcjtest::Utf8ToGbk("成功") + "\"}";
    EXPECT_EQ(dcjtext::ReplyToUtf8(escaped), write({dcjtext::GbkToUtf8Lenient("\xC2\xB2\xC3\x99", 4) + "成功"}));
}
}  // namespace
