// The six exported device functions and their reply documents.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Basic/CancelDeferred.h"
#include "Basic/GbkText.h"
#include "Basic/ResultCodes.h"
#include "Device.h"
#include "LoadLogDll.h"
#include "MERV_QOLT_DCJ.h"
#include "Version.h"

namespace {

const char kSuccess[] = DCJ_RC_SUCCESS;
const char kDriverVersion[] = DCJ_DRIVER_VERSION;

// Result slots as the facade receives them: five entries, each an empty text
// until the facade or the engine points it at a slot buffer.
struct ResultSlots {
    char empty[1] = {0};
    char* entry[5] = {empty, empty, empty, empty, empty};
};

// strtol in base 10, narrowed to 32 bits as the host's own integers are:
// "4294967295" (an unsigned -1) is -1, the default time-out, and "2147483648"
// is negative and refused; no text turns into a wait of decades.
int ToInt(const std::string& text)
{
    const long value = strtol(text.c_str(), nullptr, 10);
    const uint32_t low = static_cast<uint32_t>(static_cast<unsigned long>(value));
    int32_t narrowed;
    memcpy(&narrowed, &low, sizeof(narrowed));
    return narrowed;
}

// A port as the text says it, before any narrowing: a number past 65535
// (2^32 + P included, which ToInt turns into P) is -1, refused.
int ToPort(const std::string& text)
{
    errno = 0;
    const long value = strtol(text.c_str(), nullptr, 10);
    return errno == 0 && value >= 0 && value <= 65535 ? static_cast<int>(value) : -1;
}

size_t g_replyLimit = SIZE_MAX;  // under the device lock

// Copies text into a zero-filled work buffer; false when it does not fit
// with its terminator.
template <size_t N>
bool Fill(char (&buf)[N], const std::string& text)
{
    memset(buf, 0, N);
    if (text.size() >= N) return false;
    memcpy(buf, text.data(), text.size());
    return true;
}

struct Member {
    const char* key;
    const char* value;
};

std::string SnOfRequest()
{
    auto sn = pinMap.find("sn");
    return sn == pinMap.end() ? std::string() : sn->second;
}

std::string BuildReply(const char* funcName, const char* retCode, const char* errDesc, const Member* biz,
                       size_t bizCount, const std::string& snValue = SnOfRequest())
{
    // Echoed in the GBK form the reply's conversion turns back into the
    // host's own UTF-8; a character GBK lacks is echoed as before.
    std::string sn;
    if (!dcjtext::HostTextToGbk(snValue.c_str(), &sn)) sn = snValue;
    rapidjson::StringBuffer strBuf;
    rapidjson::Writer<rapidjson::StringBuffer> writer(strBuf);
    writer.StartObject();
    writer.Key("retComArgs");
    writer.StartObject();
    const Member common[] = {{"devKind", "DCJ"},   {"devBrand", "QOLT"},  {"devType", ""},
                             {"funcName", funcName}, {"sn", sn.c_str()}, {"retCode", retCode},
                             {"errDesc", errDesc}};
    for (const Member& m : common) {
        writer.Key(m.key);
        writer.String(m.value);
    }
    writer.EndObject();
    if (biz != nullptr) {
        writer.Key("retBizArgs");
        writer.StartObject();
        for (size_t i = 0; i < bizCount; ++i) {
            writer.Key(biz[i].key);
            writer.String(biz[i].value);
        }
        writer.EndObject();
    }
    writer.EndObject();
    return std::string(strBuf.GetString(), strBuf.GetSize());
}

std::string CommonReply(const char* funcName, const ResultSlots& slots)
{
    return BuildReply(funcName, slots.entry[0], slots.entry[1], nullptr, 0);
}

std::string StatusReply(const char* status, const std::string& sn)
{
    // The device's condition travels in "status" alone.
    const Member biz[] = {{"DRVVersion", kDriverVersion}, {"FIRVersion", ""}, {"status", status},
                          {"devSn", ""}, {"extStatus", ""}};
    return BuildReply("getDevStatus", kSuccess, GBK_OPERATION_OK, biz, 5, sn);
}

}  // namespace

namespace dcjtext {

int LockWaitSeconds(const std::string& timeoutText)
{
    const int timeout = ToInt(timeoutText);
    return timeout == -1 ? 10 : timeout < 0 ? 0 : timeout;
}

void SetReplyLimit(size_t bytes)
{
    g_replyLimit = bytes;
}

std::string DeviceBusyReply(const std::string& funcName, const std::string& sn)
{
    if (funcName == "getDevStatus") return StatusReply("", sn);
    return BuildReply(funcName.c_str(), DCJ_RC_NETWORK_FAILED, GBK_NETWORK_FAILED, nullptr, 0, sn);
}

}  // namespace dcjtext

// Every function holds the device mutex (recursive) from the facade call
// until its reply is built: the slot buffers are shared by all calls. A
// function called while another thread works the device waits for it at
// most its own time-out, then answers as if the device had not answered.

std::string getAllFSNFiles(std::string strInstNo, std::string strEmpNo, std::string strRelativeFilePath,
                           std::string strUploadDir, std::string strTempDir, std::string strIP,
                           std::string strNetPort, std::string timeout)
{
    const CancelDeferred cancelAfterTheCall;
    ResultSlots slots;
    char instNo[40], empNo[40], relativeFilePath[256], uploadDir[256], tempDir[256], ip[40];
    const bool fits = Fill(instNo, strInstNo) && Fill(empNo, strEmpNo) &&
                      Fill(relativeFilePath, strRelativeFilePath) && Fill(uploadDir, strUploadDir) &&
                      Fill(tempDir, strTempDir) && Fill(ip, strIP);
    // Directories may still gain a separator.
    const bool roomForSeparator = strUploadDir.size() < sizeof(uploadDir) - 1 && strTempDir.size() < sizeof(tempDir) - 1;

    CTimedLocker locker(&mutex, dcjtext::LockWaitSeconds(timeout));
    if (!locker.held()) return dcjtext::DeviceBusyReply("getAllFSNFiles", "");
    // The download is confirmed only when this reply reaches the caller:
    // the counter clears what it has confirmed.
    // The reply measured is the reply returned (the confirmation leaves the
    // description and the list as they were): a list of thousands of names
    // is built once.
    std::string measured, measuredDesc, measuredList;
    auto deliverable = [&](char** entries) {
        const Member biz[] = {{"fsnFiles", entries[2]}};
        measured = BuildReply("getAllFSNFiles", kSuccess, entries[1], biz, 1);
        measuredDesc = entries[1];
        measuredList = entries[2];
        return g_replyLimit == SIZE_MAX || dcjtext::ReplyToUtf8(measured).size() <= g_replyLimit;
    };
    if (!fits || !roomForSeparator) {
        device.refuseArguments("getAllFSNFiles", "argument text too long", slots.entry);
    } else {
        device.getAllFSNFiles(instNo, empNo, relativeFilePath, uploadDir, tempDir, ip, ToPort(strNetPort),
                              ToInt(timeout), slots.entry, nullptr, deliverable);
    }
    if (strcmp(slots.entry[0], kSuccess) == 0) {
        if (!measured.empty() && measuredDesc == slots.entry[1] && measuredList == slots.entry[2]) return measured;
        const Member biz[] = {{"fsnFiles", slots.entry[2]}};
        return BuildReply("getAllFSNFiles", slots.entry[0], slots.entry[1], biz, 1);
    }
    return CommonReply("getAllFSNFiles", slots);
}

namespace {

typedef void (CDevice::*ConnectionOnlyMethod)(char* strIP, int netPort, int timeout, char** arrayRet);

// Room for any code and description a reply can carry (the longest is about
// 50 bytes in UTF-8).
const size_t kOutcomeRoom = 128;

// A clear acts on the counter the moment it is sent, and a second one would
// wipe what the counter took in since: its outcome must reach the caller.
// When even its longest reply would not fit the caller's buffer, the counter
// is not contacted. The reply returned then is that longest one, which
// doCommand, finding it too large, replaces with ECPWSCOM0009.
bool OutcomeWouldBeLost(const char* funcName, std::string* longest)
{
    if (g_replyLimit == SIZE_MAX) return false;
    *longest = BuildReply(funcName, DCJ_RC_DEVICE_ERROR, std::string(kOutcomeRoom, 'x').c_str(), nullptr, 0);
    return dcjtext::ReplyToUtf8(*longest).size() > g_replyLimit;
}

enum class Acts { OnRead, AtOnce };

// The device functions that take only the connection arguments: run the
// facade method and build the reply while still holding the device lock.
template <typename Reply>
std::string RunConnectionOnly(const char* funcName, ConnectionOnlyMethod method, const std::string& strIP,
                              const std::string& strNetPort, const std::string& strTimeout, Reply reply,
                              Acts acts = Acts::OnRead)
{
    const CancelDeferred cancelAfterTheCall;
    ResultSlots slots;
    char ip[40];
    CTimedLocker locker(&mutex, dcjtext::LockWaitSeconds(strTimeout));
    if (!locker.held()) return dcjtext::DeviceBusyReply(funcName, "");
    std::string longest;
    if (acts == Acts::AtOnce && OutcomeWouldBeLost(funcName, &longest)) {
        LOG_ERRORF("%s: its reply may not fit the caller's buffer of %zu bytes; the counter is not contacted",
                   funcName, g_replyLimit);
        return longest;
    }
    if (!Fill(ip, strIP)) {
        device.refuseArguments(funcName, "ip too long", slots.entry);
    } else {
        (device.*method)(ip, ToPort(strNetPort), ToInt(strTimeout), slots.entry);
    }
    return reply(slots);
}

}  // namespace

std::string clearAllFSNFiles(std::string strIP, std::string strNetPort, std::string timeout)
{
    return RunConnectionOnly(
        "clearAllFSNFiles", &CDevice::clearAllFSNFiles, strIP, strNetPort, timeout,
        [](const ResultSlots& slots) { return CommonReply("clearAllFSNFiles", slots); }, Acts::AtOnce);
}

std::string setTime(std::string strTime, std::string strIP, std::string strNetPort, std::string timeout)
{
    const CancelDeferred cancelAfterTheCall;
    ResultSlots slots;
    char ip[40];
    // The time is a 16-byte parameter, not a text: longer input keeps its
    // first 16 bytes, shorter input is padded with zero bytes.
    char time[16] = {0};
    memcpy(time, strTime.data(), strTime.size() < sizeof(time) ? strTime.size() : sizeof(time));
    CTimedLocker locker(&mutex, dcjtext::LockWaitSeconds(timeout));
    if (!locker.held()) return dcjtext::DeviceBusyReply("setTime", "");
    if (!Fill(ip, strIP)) {
        device.refuseArguments("setTime", "ip too long", slots.entry);
    } else {
        device.setTime(time, ip, ToPort(strNetPort), ToInt(timeout), slots.entry);
    }
    return CommonReply("setTime", slots);
}

std::string getRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout)
{
    return RunConnectionOnly("getRMBCount", &CDevice::getRMBCount, strIP, strNetPort, strTimeout,
                             [](const ResultSlots& slots) {
                                 if (strcmp(slots.entry[0], kSuccess) != 0) return CommonReply("getRMBCount", slots);
                                 const Member biz[] = {{"realCash", slots.entry[2]}, {"rejCash", slots.entry[3]}};
                                 return BuildReply("getRMBCount", slots.entry[0], slots.entry[1], biz, 2);
                             });
}

std::string clearRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout)
{
    return RunConnectionOnly(
        "clearRMBCount", &CDevice::clearRMBCount, strIP, strNetPort, strTimeout,
        [](const ResultSlots& slots) { return CommonReply("clearRMBCount", slots); }, Acts::AtOnce);
}

std::string getDevStatus(std::string strIP, std::string strNetPort, std::string strTimeout)
{
    return RunConnectionOnly(
        "getDevStatus", &CDevice::getDevStatus, strIP, strNetPort, strTimeout,
        [](const ResultSlots& slots) { return StatusReply(slots.entry[2], SnOfRequest()); });
}
