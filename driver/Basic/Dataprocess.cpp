// Engine lifecycle, the error-code table and the result slots.
#include "Dataprocess.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "../LoadLogDll.h"
#include "CancelDeferred.h"
#include "DataprocessFiles.h"
#include "GbkText.h"
#include "ResultCodes.h"

CDataProcess* CDataProcess::m_DataProcess = nullptr;
void* (*CDataProcess::s_AllocSlot)(size_t) = malloc;

namespace {
constexpr size_t kSlotSize = 256;
constexpr size_t kSlot2InitialSize = 1024;

// What an engine without its buffers answers: constant texts, never a
// dangling or null slot.
char g_UnreadyCode[] = DCJ_RC_UNKNOWN_ERROR;
char g_UnreadyDesc[] = GBK_UNKNOWN_ERROR;
}  // namespace

CDataProcess::CDataProcess()
    : m_pstrRet0(nullptr),
      m_pstrRet1(nullptr),
      m_pstrRet2(nullptr),
      m_pstrRet3(nullptr),
      m_TcpClinet(nullptr),
      m_Slot2Size(0),
      m_MaxPacketData(dcjframe::kDefaultMaxPacketData)
{
    m_TcpClinet = new (std::nothrow) CTCPClient(2, 1, 0);
    initErrCodeMap();

    m_pstrRet0 = static_cast<char*>(s_AllocSlot(kSlotSize));
    m_pstrRet1 = static_cast<char*>(s_AllocSlot(kSlotSize));
    m_pstrRet2 = static_cast<char*>(s_AllocSlot(kSlot2InitialSize));
    m_pstrRet3 = static_cast<char*>(s_AllocSlot(kSlotSize));
    if (m_pstrRet0 && m_pstrRet1 && m_pstrRet2 && m_pstrRet3) {
        memset(m_pstrRet0, 0, kSlotSize);
        memset(m_pstrRet1, 0, kSlotSize);
        memset(m_pstrRet2, 0, kSlot2InitialSize);
        memset(m_pstrRet3, 0, kSlotSize);
        m_Slot2Size = kSlot2InitialSize;
    } else {
        LOG_ERROR("CDataProcess::CDataProcess() memory m_pstrRet0 or m_pstrRet1 or m_pstrRet2 error");
        // Half an engine is no engine: without every buffer no call is served.
        free(m_pstrRet0);
        free(m_pstrRet1);
        free(m_pstrRet2);
        free(m_pstrRet3);
        m_pstrRet0 = m_pstrRet1 = m_pstrRet2 = m_pstrRet3 = nullptr;
    }
}

CDataProcess::~CDataProcess()
{
    free(m_pstrRet0);
    m_pstrRet0 = nullptr;
    free(m_pstrRet1);
    m_pstrRet1 = nullptr;
    free(m_pstrRet2);
    m_pstrRet2 = nullptr;
    free(m_pstrRet3);
    m_pstrRet3 = nullptr;
    delete m_TcpClinet;
    m_TcpClinet = nullptr;
}

CDataProcess* CDataProcess::GetInstance()
{
    // Built while the library loads: nothing may escape into the host's
    // dlopen, a cancel pending in the loading thread included.
    const CancelDeferred cancelAfterTheLoad;
    if (m_DataProcess == nullptr) {
        try {
            m_DataProcess = new CDataProcess();
        } catch (...) {
            m_DataProcess = nullptr;
        }
    }
    return m_DataProcess;
}

void CDataProcess::initErrCodeMap()
{
    static const char* const kTable[][2] = {
        {DCJ_RC_SUCCESS, GBK_OPERATION_OK},
        {DCJ_RC_UNKNOWN_ERROR, GBK_UNKNOWN_ERROR},
        {DCJ_RC_NETWORK_FAILED, GBK_NETWORK_FAILED},
        {DCJ_RC_BAD_PARAMETER, GBK_BAD_PARAMETER},
        {DCJ_RC_NO_FSN_FILE, GBK_NO_FSN_FILE},
        {DCJ_RC_DEVICE_NOT_FOUND, GBK_DEVICE_NOT_FOUND},
        {DCJ_RC_INVALID_OPERATION, GBK_INVALID_OPERATION},
        {DCJ_RC_DEVICE_CMD_PARSE_ERROR, GBK_DEVICE_CMD_PARSE_ERROR},
        {DCJ_RC_RESPONSE_PACKET_ERROR, GBK_RESPONSE_PACKET_ERROR},
        {DCJ_RC_RESPONSE_DATA_ERROR, GBK_RESPONSE_DATA_ERROR},
        {DCJ_RC_ZIP_FAILED, GBK_ZIP_FAILED},
        {DCJ_RC_HOST_BUFFER_SHORT, GBK_HOST_BUFFER_SHORT},
        {DCJ_RC_RELATED_FILE_MISSING, GBK_RELATED_FILE_MISSING},
        {DCJ_RC_DEVICE_CLEAR_FAILED, GBK_DEVICE_CLEAR_FAILED},
        {DCJ_RC_HARDWARE_FAULT, GBK_HARDWARE_FAULT},
    };
    for (const auto& entry : kTable) m_ErrCodeMap.insert(std::make_pair(entry[0], entry[1]));
}

const char* CDataProcess::Describe(const std::string& code)
{
    // Read only: the table never changes after construction, so a child
    // forked in the middle of a call still finds it whole.
    auto it = m_ErrCodeMap.find(code);
    return it == m_ErrCodeMap.end() ? "" : it->second.c_str();
}

void CDataProcess::AbandonCallAfterFork()
{
    // The fork handler closed this process's copy of the socket (close,
    // never shutdown: the parent's connection stays as it is).
    if (m_TcpClinet != nullptr) m_TcpClinet->ForgetAfterFork();
    // A download in progress is the parent's: its descriptors were closed
    // here and their numbers may be taken again, so its record is dropped
    // without being destroyed (nothing of it is closed or freed twice).
    new (&m_Download) std::shared_ptr<FsnDownload>();
}

void CDataProcess::FailUnready(char** strRet)
{
    if (strRet == nullptr) return;
    strRet[0] = g_UnreadyCode;
    strRet[1] = g_UnreadyDesc;
}

void CDataProcess::WriteSlot(char** strRet, int slot, const char* text)
{
    char* buffers[4] = {m_pstrRet0, m_pstrRet1, m_pstrRet2, m_pstrRet3};
    const size_t sizes[4] = {kSlotSize, kSlotSize, m_Slot2Size, kSlotSize};
    if (slot < 0 || slot > 3 || buffers[slot] == nullptr) return;
    char* buf = buffers[slot];
    size_t len = strnlen(text, sizes[slot] - 1);
    memcpy(buf, text, len);
    buf[len] = '\0';
    if (strRet) strRet[slot] = buf;
}

void CDataProcess::SetResult(char** strRet, const char* code)
{
    WriteSlot(strRet, 0, code);
    WriteSlot(strRet, 1, Describe(code));
}

bool CDataProcess::GrowSlot2(size_t bytes)
{
    if (bytes <= m_Slot2Size) return true;
    char* bigger = static_cast<char*>(calloc(bytes, 1));
    if (bigger == nullptr) return false;
    free(m_pstrRet2);
    m_pstrRet2 = bigger;
    m_Slot2Size = bytes;
    return true;
}
