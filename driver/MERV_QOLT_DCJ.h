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

// Output limit of GBKToUtf8 (its callers' scratch size).
constexpr size_t kReplyScratchSize = 102400;

// GBK to UTF-8 for a whole reply document: each JSON string is converted on
// its own, so no byte of the request echoed in it can swallow a quote or an
// escape. Bytes that are not GBK become U+FFFD. Text that is not JSON is
// converted as plain text.
std::string ReplyToUtf8(const std::string& gbkReply);

// Plain GBK to UTF-8 with U+FFFD for every byte that is not GBK.
std::string GbkToUtf8Lenient(const char* data, size_t len);

// The text with every byte that is not GBK replaced by 0xFF: valid GBK that
// converts to what GbkToUtf8Lenient makes of the input, and ends on a whole
// character. A file name listed in a reply is this form of the name, so the
// reply's conversion gives exactly the name on disk.
std::string CanonicalGbk(const char* data, size_t len);
// The same, appended to out.
void AppendCanonicalGbk(const char* data, size_t len, std::string* out);

// A host's text for a file name, in the GBK form that the reply's
// conversion turns back into it: UTF-8 as the host wrote it (text that is
// not UTF-8 is taken for GBK, as a host of old sends). False when a
// character has no GBK form, so no reply could list the name on disk.
bool HostTextToGbk(const char* text, std::string* gbk);

// Fills the GBK tables if no conversion has yet (the fork handler's first
// step: no child may have to open a converter).
void FillGbkTables();

// The request's members as getKeyValueToMap stores them, into a map of the
// caller's; false when the text is not a usable request.
bool FlattenRequest(std::string strJson, std::map<std::string, std::string>* entries);

// How long a call waits for another call's device work to end: its own
// time-out as the device gets it (-1 is 10 s; other negative ones: no wait).
int LockWaitSeconds(const std::string& timeoutText);

// The largest reply (UTF-8 bytes) the doCommand in progress can hand to its
// caller; SIZE_MAX outside doCommand. Set under the device lock.
void SetReplyLimit(size_t bytes);

// What a device function answers when another call kept the device busy
// for longer than its time-out: no answer from the device.
std::string DeviceBusyReply(const std::string& funcName, const std::string& sn);

}  // namespace dcjtext
