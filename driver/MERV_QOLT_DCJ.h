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

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

extern "C" {
DCJ_EXPORT void doCommand(int iSynFlag, int iInDataLen, char* pchInData, int iOutDataLen, char* pchOutData);

DCJ_EXPORT void getKeyValueToMap(std::string strJson);
DCJ_EXPORT std::string JsonToString(const rapidjson::Value& valRoot);

DCJ_EXPORT std::string getRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout);
DCJ_EXPORT std::string clearRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout);
DCJ_EXPORT std::string getDevStatus(std::string strIP, std::string strNetPort, std::string strTimeout);

DCJ_EXPORT bool GBKToUtf8(char* src_data, const int data_len, char* dest_data);
DCJ_EXPORT int GB2312ToUtf8(const char* gb2312, char* utf8);
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

DCJ_EXPORT std::string getAllFSNFiles(std::string strInstNo, std::string strEmpNo, std::string strRelativeFilePath,
                                      std::string strUploadDir, std::string strTempDir, std::string strIP,
                                      std::string strNetPort, std::string timeout);
DCJ_EXPORT std::string clearAllFSNFiles(std::string strIP, std::string strNetPort, std::string timeout);
DCJ_EXPORT std::string setTime(std::string strTime, std::string strIP, std::string strNetPort, std::string timeout);

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
