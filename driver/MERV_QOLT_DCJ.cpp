// Global objects and the command entry doCommand.
#include "MERV_QOLT_DCJ.h"

#include <stdio.h>
#include <string.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Basic/GbkText.h"
#include "Device.h"
#include "LoadLogDll.h"

// Construction order matters: pinMap first, then the device facade, whose
// constructor creates the engine, binds the log library and initialises
// the (constant-initialised) mutex.
std::map<std::string, std::string> pinMap;
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
CDevice device(&mutex);

namespace {

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
    writer.String("ECPWSCOM0009");
    writer.Key("errDesc");
    writer.String(GBK_OUT_BUFFER_TOO_SMALL);
    writer.EndObject();
    writer.EndObject();
    return std::string(strBuf.GetString(), strBuf.GetSize());
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

void RunCommand(const char* pchInData, int iOutDataLen, char* pchOutData)
{
    std::string pinJson(pchInData);
    std::string rest = " ";
    LOG_INFOF(">>doCommand iOutDataLen:%d", iOutDataLen);

    getKeyValueToMap(pinJson);
    const std::string strFuncName = MapValue("funcName");
    std::string timeout = MapValue("timeout");
    const std::string ip = MapValue("ip");
    const std::string port = MapValue("port");
    LOG_INFOF(">>doCommand funcName:%s,timeout:%s", strFuncName.c_str(), timeout.c_str());
    if (timeout.empty()) timeout = "10";

    rest = Dispatch(strFuncName, timeout, ip, port);

    // The caller's buffer is never written past iOutDataLen: the reply is
    // measured after conversion, and one that does not fit (or does not fit
    // the scratch area) is replaced whole, never cut.
    std::string reply;
    if (rest.size() < dcjtext::kReplyScratchSize) reply = dcjtext::ReplyToUtf8(rest);
    if (reply.empty() || reply.size() > static_cast<size_t>(iOutDataLen)) {
        reply = dcjtext::ReplyToUtf8(BufferTooSmallReply());
        if (reply.size() > static_cast<size_t>(iOutDataLen)) reply.clear();
    }
    memcpy(pchOutData, reply.data(), reply.size());
}

}  // namespace

void doCommand(int /*iSynFlag*/, int /*iInDataLen*/, char* pchInData, int iOutDataLen, char* pchOutData)
{
    if (pchInData == nullptr || pchOutData == nullptr || iOutDataLen < 0) return;
    // The device lock (recursive) also covers pinMap: a host thread calling
    // an exported device function meanwhile reads it for the reply's "sn".
    CLocker locker(&mutex);
    LogDefer();
    // Zeroed first, so a call that fails on the way leaves an empty reply.
    memset(pchOutData, 0, static_cast<size_t>(iOutDataLen));
    try {
        RunCommand(pchInData, iOutDataLen, pchOutData);
    } catch (...) {
        // Nothing may cross into the host; the buffer stays as zeroed.
    }
    pinMap.clear();
    LogFlushDeferred();
}
