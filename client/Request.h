// Request texts in the host's three-section shape, and reply documents.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace dcjctl {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Target {
    std::string ip;
    std::string port;
    std::string timeout;
    std::string sn;
};

// {"commonArgs":{devKind,devBrand,timeout,funcName,sn},"connectArgs":{ip,port},
//  "bizArgs":{biz...}}, every value a JSON string.
std::string BuildRequest(const std::string& funcName, const Target& target, const Fields& biz);

// The funcName the driver will act on: the first string member of that name
// in document order, outside arrays, as the driver flattens a request.
// Empty when there is none or the text is not JSON.
std::string FuncNameOf(const std::string& request);

// True for functions whose repetition leaves the counter as one call would:
// a retry with a larger reply buffer runs the command again.
bool MayRepeat(const std::string& funcName);

struct Reply {
    bool parsed = false;  // a JSON object with a retComArgs object
    Fields common;        // retComArgs members, in order
    bool hasBiz = false;
    Fields biz;           // retBizArgs members, in order

    std::string Common(const char* key) const;
    std::string Biz(const char* key) const;
    bool Succeeded() const { return parsed && Common("retCode") == "ECPWS0000000"; }
};

Reply ParseReply(const std::string& text);
bool IsBufferTooSmallReply(const std::string& text);

}  // namespace dcjctl
