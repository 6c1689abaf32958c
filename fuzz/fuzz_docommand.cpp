// doCommand with a fuzzed request and a small output buffer, and request
// flattening (getKeyValueToMap) against a plain walk of the parsed document.
//
// Input: the request bytes, then two bytes (little-endian) for iOutDataLen.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/document.h>

#include "FuzzCheck.h"
#include "MERV_QOLT_DCJ.h"

// Linked with --wrap=connect: a fuzzed request may name any address, and
// none may ever be contacted.
extern "C" int __wrap_connect(int, const struct sockaddr*, socklen_t)
{
    errno = ECONNREFUSED;
    return -1;
}

namespace {

constexpr size_t kCanary = 32;
constexpr unsigned char kCanaryByte = 0xA5;
constexpr int kMaxOutLen = 1200;  // around the sizes of real replies

std::string UpToNul(const char* s, size_t n)
{
    return std::string(s, strnlen(s, n));
}

// Deepest nesting of objects and arrays, without recursion.
int Depth(const rapidjson::Value& root)
{
    std::vector<std::pair<const rapidjson::Value*, int>> todo = {{&root, 1}};
    int deepest = 0;
    while (!todo.empty()) {
        const rapidjson::Value* v = todo.back().first;
        const int depth = todo.back().second;
        todo.pop_back();
        if (v->IsObject()) {
            if (depth > deepest) deepest = depth;
            for (auto it = v->MemberBegin(); it != v->MemberEnd(); ++it) todo.emplace_back(&it->value, depth + 1);
        } else if (v->IsArray()) {
            if (depth > deepest) deepest = depth;
            for (auto it = v->Begin(); it != v->End(); ++it) todo.emplace_back(&*it, depth + 1);
        }
    }
    return deepest;
}

// The flattening rule as the interface promises it: every string or 32-bit
// integer member of an object, at any depth, under its own name (both cut
// at a NUL); nothing inside arrays; the first occurrence wins.
void Flatten(const rapidjson::Value& object, std::map<std::string, std::string>* out)
{
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        const std::string key = UpToNul(it->name.GetString(), it->name.GetStringLength());
        const rapidjson::Value& v = it->value;
        if (v.IsString()) {
            out->emplace(key, UpToNul(v.GetString(), v.GetStringLength()));
        } else if (v.IsInt()) {
            out->emplace(key, std::to_string(v.GetInt()));
        } else if (v.IsObject()) {
            Flatten(v, out);
        }
    }
}

void CheckFlattening(const std::string& request)
{
    std::map<std::string, std::string> expected;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(request.c_str());
    if (!doc.HasParseError() && Depth(doc) <= dcjtext::kMaxRequestDepth && doc.IsObject()) Flatten(doc, &expected);

    pinMap.clear();
    getKeyValueToMap(request);
    FUZZ_CHECK(pinMap == expected);
    pinMap.clear();
}

void CheckDoCommand(std::string request, int outLen)
{
    std::vector<char> in(request.begin(), request.end());
    in.push_back('\0');
    std::vector<char> out(static_cast<size_t>(outLen) + kCanary, static_cast<char>(kCanaryByte));
    doCommand(0, static_cast<int>(request.size()), in.data(), outLen, out.data());

    for (size_t i = static_cast<size_t>(outLen); i < out.size(); ++i) {
        FUZZ_CHECK(static_cast<unsigned char>(out[i]) == kCanaryByte);
    }
    FUZZ_CHECK(pinMap.empty());

    // The buffer holds a reply (whole, never cut) and its zero byte when
    // there is room; the bytes after them are as the caller left them. A
    // buffer that not even the 87-byte buffer-too-small reply fits is all
    // zero bytes (or, when the call failed on its way, just the first).
    const size_t n = strnlen(out.data(), static_cast<size_t>(outLen));
    const bool zeroed = n == 0 && outLen < 87 && outLen > 1 && out[1] == '\0';
    for (size_t i = n + 1; i < static_cast<size_t>(outLen); ++i) {
        FUZZ_CHECK(static_cast<unsigned char>(out[i]) == (zeroed ? 0 : kCanaryByte));
    }
    const std::string reply(out.data(), n);
    FUZZ_CHECK(dcjfuzz::ValidUtf8(reply));
    if (reply.empty() || reply == " ") return;  // nothing fits / no such function

    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(reply.c_str());
    FUZZ_CHECK(!doc.HasParseError());
    FUZZ_CHECK(doc.IsObject());
    auto common = doc.FindMember("retComArgs");
    FUZZ_CHECK(common != doc.MemberEnd() && common->value.IsObject());
    auto code = common->value.FindMember("retCode");
    FUZZ_CHECK(code != common->value.MemberEnd() && code->value.IsString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const int outLen = fdp.ConsumeIntegralInRange<int>(0, kMaxOutLen);
    const std::string request = fdp.ConsumeRemainingBytesAsString();

    CheckFlattening(request);
    CheckDoCommand(request, outLen);
    return 0;
}
