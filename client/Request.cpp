#include "Request.h"

#include <string.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace dcjctl {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void Put(Writer& writer, const std::string& key, const std::string& value)
{
    writer.Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

// Depth-first in document order, skipping arrays: the driver's flattening
// keeps the first occurrence of a name and ignores array contents.
// Objects nested deeper than the driver takes a request are not looked in:
// the driver refuses such a request anyway, and the look recurses.
constexpr int kMaxDepth = 16;

bool FindFirstString(const rapidjson::Value& object, const char* name, std::string* out, int depth = 1)
{
    if (depth > kMaxDepth) return false;
    for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
        const bool named = m->name.GetStringLength() == strlen(name) && strcmp(m->name.GetString(), name) == 0;
        if (named && m->value.IsString()) {
            out->assign(m->value.GetString(), m->value.GetStringLength());
            return true;
        }
        if (m->value.IsObject() && FindFirstString(m->value, name, out, depth + 1)) return true;
    }
    return false;
}

Fields Members(const rapidjson::Value& object)
{
    Fields fields;
    for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
        std::string value;
        if (m->value.IsString()) {
            value.assign(m->value.GetString(), m->value.GetStringLength());
        } else {
            // Not a shape the driver sends; shown as JSON rather than dropped.
            rapidjson::StringBuffer buf;
            Writer writer(buf);
            m->value.Accept(writer);
            value.assign(buf.GetString(), buf.GetSize());
        }
        fields.emplace_back(std::string(m->name.GetString(), m->name.GetStringLength()), value);
    }
    return fields;
}

std::string Lookup(const Fields& fields, const char* key)
{
    for (const auto& f : fields) {
        if (f.first == key) return f.second;
    }
    return std::string();
}

}  // namespace

std::string BuildRequest(const std::string& funcName, const Target& target, const Fields& biz)
{
    rapidjson::StringBuffer buf;
    Writer writer(buf);
    writer.StartObject();
    writer.Key("commonArgs");
    writer.StartObject();
    Put(writer, "devKind", "DCJ");
    Put(writer, "devBrand", "QOLT");
    Put(writer, "timeout", target.timeout);
    Put(writer, "funcName", funcName);
    Put(writer, "sn", target.sn);
    writer.EndObject();
    writer.Key("connectArgs");
    writer.StartObject();
    Put(writer, "ip", target.ip);
    Put(writer, "port", target.port);
    writer.EndObject();
    writer.Key("bizArgs");
    writer.StartObject();
    for (const auto& f : biz) Put(writer, f.first, f.second);
    writer.EndObject();
    writer.EndObject();
    return std::string(buf.GetString(), buf.GetSize());
}

std::string FuncNameOf(const std::string& request)
{
    rapidjson::Document doc;
    // Iteratively: a request file of any nesting must not exhaust the stack.
    doc.Parse<rapidjson::kParseIterativeFlag>(request.c_str());
    std::string name;
    if (doc.HasParseError() || !doc.IsObject()) return name;
    FindFirstString(doc, "funcName", &name);
    return name;
}

bool MayRepeat(const std::string& funcName)
{
    // A download whose reply does not fit is not confirmed: the counter
    // keeps its files and a second call delivers them again. A second clear
    // could wipe what the counter took in meanwhile.
    return funcName == "getDevStatus" || funcName == "getRMBCount" || funcName == "setTime" ||
           funcName == "getAllFSNFiles";
}

std::string Reply::Common(const char* key) const
{
    return Lookup(common, key);
}

std::string Reply::Biz(const char* key) const
{
    return Lookup(biz, key);
}

Reply ParseReply(const std::string& text)
{
    Reply reply;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) return reply;
    auto common = doc.FindMember("retComArgs");
    if (common == doc.MemberEnd() || !common->value.IsObject()) return reply;
    reply.parsed = true;
    reply.common = Members(common->value);
    auto biz = doc.FindMember("retBizArgs");
    if (biz != doc.MemberEnd() && biz->value.IsObject()) {
        reply.hasBiz = true;
        reply.biz = Members(biz->value);
    }
    return reply;
}

bool IsBufferTooSmallReply(const std::string& text)
{
    const Reply reply = ParseReply(text);
    return reply.parsed && reply.Common("retCode") == "ECPWSCOM0009";
}

}  // namespace dcjctl
