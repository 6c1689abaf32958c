// The driver's exported interface: the command entry, request flattening,
// the six device functions and text conversion.
#pragma once

#include <pthread.h>

#include <map>
#include <string>

#include <rapidjson/document.h>

#include "Export.h"

class CDevice;

DCJ_EXPORT extern std::map<std::string, std::string> pinMap;
DCJ_EXPORT extern CDevice device;
DCJ_EXPORT extern pthread_mutex_t mutex;

// The public interface, exported as declared there: the definitions here
// must match it.
#pragma GCC visibility push(default)
#include "MERV_DCJ_QOLT.h"
#pragma GCC visibility pop

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" {
DCJ_EXPORT void getKeyValueToMap(std::string strJson);
DCJ_EXPORT std::string JsonToString(const rapidjson::Value& valRoot);
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Internal pieces, not exported.
namespace dcjtext {

// Nesting deeper than any real request (objects and arrays together): such
// a request is unusable and stores nothing.
constexpr int kMaxRequestDepth = 16;

// Size of the scratch area a reply must fit in before conversion.
constexpr size_t kReplyScratchSize = 102400;

// GBK to UTF-8 for a whole reply document: each JSON string is converted on
// its own, so no byte of the request echoed in it can swallow a quote or an
// escape. Bytes that are not GBK become U+FFFD. Text that is not JSON is
// converted as plain text.
std::string ReplyToUtf8(const std::string& gbkReply);

// Plain GBK to UTF-8 with U+FFFD for every byte that is not GBK.
std::string GbkToUtf8Lenient(const char* data, size_t len);

}  // namespace dcjtext
