// Global objects and the command entry doCommand.
#include "MERV_QOLT_DCJ.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Basic/CancelDeferred.h"
#include "Basic/GbkText.h"
#include "Basic/ResultCodes.h"
#include "Device.h"
#include "ForkSafety.h"
#include "LoadLogDll.h"

// Construction order matters: pinMap first, then the device facade, whose
// constructor creates the engine, binds the log library and initialises
// the (constant-initialised) mutex.
std::map<std::string, std::string> pinMap;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
CDevice device(&mutex);

namespace {

// After the device's construction, so the handlers see a ready mutex.
const int g_forkHandlersRegistered = dcjfork::RegisterHandlers();

std::string MapValue(const char* key)
{
    auto it = pinMap.find(key);
    return it == pinMap.end() ? std::string() : it->second;
}

std::string BufferTooSmallReply()
{
    rapidjson::StringBuffer strBuf;
    rapidjson::Writer<rapidjson::StringBuffer> writer(strBuf);
    writer.StartObject();
    writer.Key("retComArgs");
    writer.StartObject();
    writer.Key("retCode");
    writer.String(DCJ_RC_OUT_BUFFER_TOO_SMALL);
    writer.Key("errDesc");
    writer.String(GBK_OUT_BUFFER_TOO_SMALL);
    writer.EndObject();
    writer.EndObject();
    return std::string(strBuf.GetString(), strBuf.GetSize());
}

bool IsDeviceFunction(const std::string& name)
{
    static const char* const kNames[] = {"getAllFSNFiles", "clearAllFSNFiles", "setTime",
                                         "getRMBCount",    "clearRMBCount",    "getDevStatus"};
    for (const char* known : kNames) {
        if (name == known) return true;
    }
    return false;
}

std::string Dispatch(const std::string& strFuncName, const std::string& timeout, const std::string& ip,
                     const std::string& port)
{
    if (strFuncName == "getAllFSNFiles") {
        const std::string instNo = MapValue("instNo");
        const std::string empNo = MapValue("empNo");
        const std::string relativeFilePath = MapValue("relativeFilePath");
        const std::string uploadDir = MapValue("uploadDir");
        const std::string tempDir = MapValue("tempDir");
        return getAllFSNFiles(instNo, empNo, relativeFilePath, uploadDir, tempDir, ip, port, timeout);
    }
    if (strFuncName == "clearAllFSNFiles") return clearAllFSNFiles(ip, port, timeout);
    if (strFuncName == "setTime") return setTime(MapValue("time"), ip, port, timeout);
    if (strFuncName == "getRMBCount") return getRMBCount(ip, port, timeout);
    if (strFuncName == "clearRMBCount") return clearRMBCount(ip, port, timeout);
    if (strFuncName == "getDevStatus") return getDevStatus(ip, port, "3");
    return " ";
}

// The request of the call in progress lives in pinMap while the call holds
// the device lock, and no longer.
class RequestInMap {
public:
    // Taken over, not copied: the caller is done with it.
    RequestInMap(std::map<std::string, std::string>&& request, size_t replyLimit)
    {
        pinMap.swap(request);
        dcjtext::SetReplyLimit(replyLimit);
    }
    ~RequestInMap()
    {
        dcjtext::SetReplyLimit(SIZE_MAX);
        pinMap.clear();
    }
    RequestInMap(const RequestInMap&) = delete;
    RequestInMap& operator=(const RequestInMap&) = delete;
};

// The code the caller was told, for the log: the first "retCode" key (a
// quotation mark inside a value is always escaped, so it cannot fake one).
std::string RetCodeOf(const std::string& reply)
{
    static const char kKey[] = "\"retCode\":\"";
    const size_t at = reply.find(kKey);
    if (at == std::string::npos) return reply.empty() ? "(nothing fits)" : "(none)";
    const size_t from = at + sizeof(kKey) - 1;
    const size_t to = reply.find('"', from);
    return reply.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

void RunCommand(const char* pchInData, int iOutDataLen, char* pchOutData)
{
    std::string rest = " ";
    LOG_INFOF(">>doCommand iOutDataLen:%d", iOutDataLen);

    // Flattened before the device lock is asked for: a call waits for
    // another's device work at most its own time-out, so it must know it.
    std::map<std::string, std::string> request;
    dcjtext::FlattenRequest(pchInData, &request);
    auto value = [&request](const char* key) {
        auto it = request.find(key);
        return it == request.end() ? std::string() : it->second;
    };
    const std::string strFuncName = value("funcName");
    std::string timeout = value("timeout");
    const std::string ip = value("ip");
    const std::string port = value("port");
    LOG_INFOF(">>doCommand funcName:%s,timeout:%s", strFuncName.c_str(), timeout.c_str());
    if (timeout.empty()) timeout = "10";

    if (IsDeviceFunction(strFuncName)) {
        const std::string effective = strFuncName == "getDevStatus" ? "3" : timeout;
        CTimedLocker locker(&mutex, dcjtext::LockWaitSeconds(effective));
        if (!locker.held()) {
            LOG_ERRORF("doCommand %s: the device is busy with another call for longer than timeout:%s",
                       strFuncName.c_str(), effective.c_str());
            rest = dcjtext::DeviceBusyReply(strFuncName, value("sn"));
        } else {
            RequestInMap inMap(std::move(request), static_cast<size_t>(iOutDataLen));
            rest = Dispatch(strFuncName, timeout, ip, port);
        }
    }

    // The caller's buffer is never written past iOutDataLen: the reply is
    // measured after conversion, and one that does not fit is replaced whole,
    // never cut. A download is confirmed only when its reply fits (the
    // device function checks with the same measure).
    std::string reply = dcjtext::ReplyToUtf8(rest);
    if (reply.empty() || reply.size() > static_cast<size_t>(iOutDataLen)) {
        reply = dcjtext::ReplyToUtf8(BufferTooSmallReply());
        if (reply.size() > static_cast<size_t>(iOutDataLen)) reply.clear();
    }
    // The reply and its NUL, when there is room for one; a buffer that not
    // even the buffer-too-small reply fits is all NULs (at most 86 bytes).
    // The rest of the caller's buffer is left as it was: zeroing all of it
    // cost a download with a 1 MiB buffer as much as a hundred files.
    const size_t limit = static_cast<size_t>(iOutDataLen);
    if (reply.empty()) {
        memset(pchOutData, 0, limit);
    } else {
        memcpy(pchOutData, reply.data(), reply.size());
        if (reply.size() < limit) pchOutData[reply.size()] = '\0';
    }
    // The outcome of every device call, as the caller was told it. Written
    // already: a failure to log it must not take the reply back.
    if (IsDeviceFunction(strFuncName)) {
        try {
            LOG_INFOF("<<doCommand funcName:%s,retCode:%s", strFuncName.c_str(), RetCodeOf(reply).c_str());
        } catch (...) {
        }
    }
}

}  // namespace

void doCommand(int /*iSynFlag*/, int /*iInDataLen*/, char* pchInData, int iOutDataLen, char* pchOutData)
{
    if (pchInData == nullptr || pchOutData == nullptr || iOutDataLen < 0) return;
    const CancelDeferred cancelAfterTheCall;
    LogDefer();
    // Nothing is written before the request has been read: a host may hand
    // one buffer for both. A call that fails on the way leaves an empty reply.
    try {
        // pinMap is filled, read and emptied under the device lock (held
        // from the request's own time-out on), so calls from several host
        // threads never see each other's requests.
        RunCommand(pchInData, iOutDataLen, pchOutData);
    } catch (...) {
        // Nothing may cross into the host. The reply is written last, whole,
        // by nothing that throws: none was written.
        if (iOutDataLen > 0) pchOutData[0] = '\0';
    }
    LogFlushDeferred();
}
