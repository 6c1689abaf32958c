// GBK to UTF-8: the exported GBKToUtf8 (destination of the documented
// 102400 bytes), the lenient conversion, and the whole-reply conversion,
// whose JSON must come out as valid JSON in valid UTF-8 with the same shape.
#include <string.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "FuzzCheck.h"
#include "MERV_QOLT_DCJ.h"

namespace {

void CheckStrict(const std::string& input, const std::string& lenient)
{
    std::vector<char> dest(dcjtext::kReplyScratchSize, '\0');
    std::vector<char> src(input.begin(), input.end());
    src.push_back('\0');
    if (!GBKToUtf8(src.data(), static_cast<int>(input.size()), dest.data())) return;
    // All of it was GBK: the lenient conversion has nothing to replace.
    FUZZ_CHECK(lenient.size() < dest.size());
    FUZZ_CHECK(memcmp(dest.data(), lenient.data(), lenient.size()) == 0);
    FUZZ_CHECK(dest[lenient.size()] == '\0');
}

void CheckLenient(const std::string& input, const std::string& lenient)
{
    FUZZ_CHECK(dcjfuzz::ValidUtf8(lenient));
    FUZZ_CHECK(lenient.size() <= 3 * input.size());
    bool ascii = true;
    for (unsigned char c : input) ascii = ascii && c < 0x80;
    if (ascii) FUZZ_CHECK(lenient == input);
}

// Same shape; every string is the lenient conversion of the original.
void CheckSameShape(const rapidjson::Value& gbk, const rapidjson::Value& utf8)
{
    std::vector<std::pair<const rapidjson::Value*, const rapidjson::Value*>> todo = {{&gbk, &utf8}};
    while (!todo.empty()) {
        const rapidjson::Value& a = *todo.back().first;
        const rapidjson::Value& b = *todo.back().second;
        todo.pop_back();
        FUZZ_CHECK(a.GetType() == b.GetType());
        if (a.IsString()) {
            FUZZ_CHECK(dcjtext::GbkToUtf8Lenient(a.GetString(), a.GetStringLength()) ==
                       std::string(b.GetString(), b.GetStringLength()));
        } else if (a.IsNumber()) {
            FUZZ_CHECK(a.IsInt64() == b.IsInt64() && a.IsUint64() == b.IsUint64() && a.IsDouble() == b.IsDouble());
            if (a.IsDouble()) {
                // A number written back in another form may read back a few
                // units in the last place away.
                const double x = a.GetDouble(), y = b.GetDouble();
                FUZZ_CHECK(x == y || std::fabs(x - y) <= 1e-12 * std::fmax(std::fabs(x), std::fabs(y)));
            } else if (a.IsInt64()) {
                FUZZ_CHECK(a.GetInt64() == b.GetInt64());
            } else {
                FUZZ_CHECK(a.GetUint64() == b.GetUint64());
            }
        } else if (a.IsArray()) {
            FUZZ_CHECK(a.Size() == b.Size());
            for (rapidjson::SizeType i = 0; i < a.Size(); ++i) todo.emplace_back(&a[i], &b[i]);
        } else if (a.IsObject()) {
            FUZZ_CHECK(a.MemberCount() == b.MemberCount());
            auto ia = a.MemberBegin();
            auto ib = b.MemberBegin();
            for (; ia != a.MemberEnd(); ++ia, ++ib) {
                FUZZ_CHECK(dcjtext::GbkToUtf8Lenient(ia->name.GetString(), ia->name.GetStringLength()) ==
                           std::string(ib->name.GetString(), ib->name.GetStringLength()));
                todo.emplace_back(&ia->value, &ib->value);
            }
        }
    }
}

void CheckReply(const std::string& input)
{
    const std::string reply = dcjtext::ReplyToUtf8(input);
    FUZZ_CHECK(dcjfuzz::ValidUtf8(reply));

    rapidjson::Document gbk;
    const bool json = input.find('\0') == std::string::npos && input.find('{') != std::string::npos &&
                      !gbk.Parse<rapidjson::kParseIterativeFlag>(input.c_str()).HasParseError();
    if (!json) {
        FUZZ_CHECK(reply == dcjtext::GbkToUtf8Lenient(input.data(), input.size()));
        return;
    }
    rapidjson::Document utf8;
    utf8.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(reply.c_str());
    FUZZ_CHECK(!utf8.HasParseError());
    FUZZ_CHECK(reply.find('\0') == std::string::npos);
    CheckSameShape(gbk, utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string lenient = dcjtext::GbkToUtf8Lenient(input.data(), input.size());
    CheckLenient(input, lenient);
    // Replies larger than the scratch area never reach the conversion.
    if (input.size() < dcjtext::kReplyScratchSize / 4) CheckStrict(input, lenient);
    CheckReply(input);
    return 0;
}
