// Request flattening: every string or 32-bit integer member, at any depth,
// becomes one pinMap entry under its own name; the first occurrence wins.
#include <stdio.h>
#include <string.h>

#include <utility>
#include <vector>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "MERV_QOLT_DCJ.h"

namespace {

// Walks the request as a stream of events, so neither parsing nor
// flattening recurses, and gives up on nesting no real request has.
class FlattenHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FlattenHandler> {
public:
    std::map<std::string, std::string> entries;  // the first occurrence of a name wins

    bool Default() { return true; }  // booleans, null, fractions, 64-bit: skipped

    bool Int(int i)
    {
        char text[24];
        snprintf(text, sizeof(text), "%d", i);
        Store(text, strlen(text));
        return true;
    }
    bool Uint(unsigned u)
    {
        if (u <= 2147483647u) return Int(static_cast<int>(u));
        return true;
    }
    bool String(const char* str, rapidjson::SizeType length, bool)
    {
        Store(str, length);
        return true;
    }
    bool Key(const char* str, rapidjson::SizeType length, bool)
    {
        m_key.assign(str, strnlen(str, length));  // a name ends at its first NUL
        return true;
    }
    bool StartObject() { return Enter(false); }
    bool EndObject(rapidjson::SizeType) { return Leave(); }
    bool StartArray() { return Enter(true); }
    bool EndArray(rapidjson::SizeType) { return Leave(); }

private:
    bool Enter(bool isArray)
    {
        if (m_containers.size() >= static_cast<size_t>(dcjtext::kMaxRequestDepth)) return false;
        m_containers.push_back(isArray);
        if (isArray) ++m_arrays;
        return true;
    }
    bool Leave()
    {
        if (m_containers.back()) --m_arrays;
        m_containers.pop_back();
        return true;
    }
    void Store(const char* value, size_t length)
    {
        // Only members of objects count; everything inside an array is skipped.
        if (m_containers.empty() || m_containers.back() || m_arrays > 0) return;
        entries.emplace(m_key, std::string(value, strnlen(value, length)));
    }

    std::string m_key;
    std::vector<bool> m_containers;  // true: array
    int m_arrays = 0;
};

}  // namespace

namespace dcjtext {

bool FlattenRequest(std::string strJson, std::map<std::string, std::string>* entries)
{
    // Parsed in place, in this copy of the text: no string is copied twice.
    FlattenHandler handler;
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(&strJson[0]);
    if (reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag>(stream, handler).IsError()) {
        return false;
    }
    if (entries->empty()) {
        entries->swap(handler.entries);
    } else {
        for (auto& entry : handler.entries) entries->insert(std::move(entry));
    }
    return true;
}

}  // namespace dcjtext

void getKeyValueToMap(std::string strJson)
{
    dcjtext::FlattenRequest(std::move(strJson), &pinMap);
}

std::string JsonToString(const rapidjson::Value& valRoot)
{
    rapidjson::StringBuffer strBuf;
    rapidjson::Writer<rapidjson::StringBuffer> writer(strBuf);
    valRoot.Accept(writer);
    return std::string(strBuf.GetString(), strBuf.GetSize());
}
