// The protocol engine: wire frames, command exchanges, the FSN download, file
// utilities, the error-code table and the result slots.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "TCPClient.h"

// ---------------------------------------------------------------------------
// Wire frames. Each record is the exact byte image of its frame; integer
// fields hold little-endian values on every platform (read and write them
// through FromWire32 / ToWire32).

constexpr uint32_t ToWire32(uint32_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap32(v);
#else
    return v;
#endif
}
constexpr uint32_t FromWire32(uint32_t v)
{
    return ToWire32(v);
}

struct REQUEST_PACKET {
    char start_word[4];
    uint32_t msg_length;
    uint32_t cmd;
    char para[16];
    uint32_t reserved;
};

struct RESPONSE_PACKET {
    char start_word[4];
    uint32_t msg_length;
    uint32_t cmd;
    uint32_t retCode;
    uint32_t reserved;
};

typedef RESPONSE_PACKET RESPONSE_DATA;

struct RESPONSE_UP {
    char start_word[4];
    uint32_t msg_length;
    uint32_t cmd;
    char MachineNo[28];
    char DateTime[16];
    char SNo[16];
    uint32_t packetIndex;
    uint32_t packetCount;
    uint32_t fileIndex;
    uint32_t fileCount;
    char reserved[20];
};

struct RESPONSE_DENOMCOUNT {
    char start_word[4];
    uint32_t msg_length;
    uint32_t cmd;
    char DenomCount[60];
    char RejectCount[60];
    uint32_t reserved;
};

static_assert(sizeof(REQUEST_PACKET) == 32, "request frame is 32 bytes");
static_assert(offsetof(REQUEST_PACKET, msg_length) == 4 && offsetof(REQUEST_PACKET, cmd) == 8 &&
                  offsetof(REQUEST_PACKET, para) == 12 && offsetof(REQUEST_PACKET, reserved) == 28,
              "request frame layout");
static_assert(sizeof(RESPONSE_PACKET) == 20, "ack frame is 20 bytes");
static_assert(offsetof(RESPONSE_PACKET, cmd) == 8 && offsetof(RESPONSE_PACKET, retCode) == 12 &&
                  offsetof(RESPONSE_PACKET, reserved) == 16,
              "ack frame layout");
static_assert(sizeof(RESPONSE_UP) == 108, "upload header is 108 bytes");
static_assert(offsetof(RESPONSE_UP, MachineNo) == 12 && offsetof(RESPONSE_UP, DateTime) == 40 &&
                  offsetof(RESPONSE_UP, SNo) == 56 && offsetof(RESPONSE_UP, packetIndex) == 72 &&
                  offsetof(RESPONSE_UP, packetCount) == 76 && offsetof(RESPONSE_UP, fileIndex) == 80 &&
                  offsetof(RESPONSE_UP, fileCount) == 84 && offsetof(RESPONSE_UP, reserved) == 88,
              "upload header layout");
static_assert(sizeof(RESPONSE_DENOMCOUNT) == 136, "count frame is 136 bytes");
static_assert(offsetof(RESPONSE_DENOMCOUNT, DenomCount) == 12 && offsetof(RESPONSE_DENOMCOUNT, RejectCount) == 72 &&
                  offsetof(RESPONSE_DENOMCOUNT, reserved) == 132,
              "count frame layout");

extern const REQUEST_PACKET null_Request_Packet;
extern const RESPONSE_PACKET null_Response_Packet;
extern const RESPONSE_DATA null_Response_Data;
extern const RESPONSE_UP null_Response_Up;
extern const RESPONSE_DENOMCOUNT null_Response_Denomcount;

// Command codes.
enum : uint32_t {
    CMD_UPLOAD_FSN = 0xA1,
    CMD_CLEAR_FSN = 0xA2,
    CMD_GET_COUNT = 0xA3,
    CMD_CLEAR_COUNT = 0xA4,
    CMD_SET_TIME = 0xA5,
    CMD_FSN_OK = 0xA6,
    CMD_DEV_STATUS = 0xA7,
};

// Connection parameters of one exchange.
struct TCPPara {
    char ip[16];
    int port;
    int timeout;
    int delayTime;
};

// Business arguments of the FSN download; directories end in "/".
namespace dcjfile {
struct CheckedFolders;
}

struct InputFSNPara {
    char* strInstNo;
    char* strEmpNo;
    char* strRelativeFilePath;
    char* strUploadDir;
    char* strTempDir;
    dcjfile::CheckedFolders* checked = nullptr;  // the folders, when the checks opened them
};

// ---------------------------------------------------------------------------
// Frame checks: bytes in, verdict out. No socket, no log, no state, so they
// can be tested and fuzzed on their own.
namespace dcjframe {

// Largest data block a single upload packet may announce. Real packets are a
// few kilobytes; anything near this is a broken or hostile device.
constexpr uint32_t kDefaultMaxPacketData = 64u * 1024 * 1024;

enum class AckVerdict { Accepted, BadStartWord, BadCommand, Refused };
struct AckCheck {
    AckVerdict verdict;
    uint32_t cmd;      // as received
    uint32_t retCode;  // as received
    const char* code;  // result code the verdict maps to
};
AckCheck CheckAck(const RESPONSE_PACKET& frame, uint32_t cmdSent);

enum class UpVerdict {
    Accepted,
    BadStartWord,
    BadCommand,
    LengthBelowHeader,  // msg_length < 108
    DataTooLong,        // more data than any real packet carries
    ZeroCount,          // packetCount or fileCount 0
    UnsafeText,         // a "/" in MachineNo, DateTime or SNo
};
struct UpCheck {
    UpVerdict verdict;
    uint32_t dataLen;  // bytes of file data that follow the header
};
UpCheck CheckUploadHeader(const RESPONSE_UP& header, uint32_t maxDataLen);

enum class CountVerdict { Accepted, BadStartWord, BadCommand };
CountVerdict CheckCountFrame(const RESPONSE_DENOMCOUNT& frame);

// A fixed-width text field up to its first NUL, never beyond its width.
std::string FieldText(const char* field, size_t width);

}  // namespace dcjframe

// ---------------------------------------------------------------------------

class CDataProcess {
public:
    char* m_pstrRet0;  // 256 bytes: result code
    char* m_pstrRet1;  // 256 bytes: description
    char* m_pstrRet2;  // 1024 bytes or more: command-specific text
    char* m_pstrRet3;  // 256 bytes: command-specific text

    CDataProcess();
    ~CDataProcess();
    CDataProcess(const CDataProcess&) = delete;
    CDataProcess& operator=(const CDataProcess&) = delete;

    static CDataProcess* GetInstance();

    void ProcCommonCMD(unsigned int cmdType, char* para, int paraBufLen, unsigned int reserved, TCPPara tcpPara,
                       void* inputPara, char** strRet, int* strRet1Count);
    void ProcFSNOKCMD(unsigned int cmdType, char* para, int paraBufLen, unsigned int reserved, TCPPara tcpPara,
                      void* inputPara, char** strRet);

    bool GetCurTime(char* buf, int bufSize);
    bool CreateZipFile(char* cSrcFile, char* cZipName);
    char* strrpl(char* in, char* out, int outlen, const char* src, char* dst);

    // False when the slot buffers could not all be allocated; the engine then
    // answers every call with an error through FailUnready.
    bool IsReady() const { return m_pstrRet0 && m_pstrRet1 && m_pstrRet2 && m_pstrRet3 && m_TcpClinet; }
    static void FailUnready(char** strRet);
    // In a child forked during a call: the call's socket and open files
    // belong to the parent (the fork handler has closed the child's copies).
    void AbandonCallAfterFork();

    // Slot 0 = code, slot 1 = its description.
    void SetResult(char** strRet, const char* code);
    // Copies text into the slot's buffer (bounded by its size) and points
    // the caller's entry at it.
    void WriteSlot(char** strRet, int slot, const char* text);

    uint32_t MaxPacketData() const { return m_MaxPacketData; }
    void SetMaxPacketData(uint32_t bytes) { m_MaxPacketData = bytes; }

    // Packet data must keep at least this rate (bytes per second) beyond the
    // time-out: a device that drips its data cannot hold a call for hours.
    static constexpr uint32_t kDefaultMinDataRate = 256u * 1024;
    uint32_t MinDataRate() const { return m_MinDataRate; }
    void SetMinDataRate(uint32_t bytesPerSecond) { m_MinDataRate = bytesPerSecond ? bytesPerSecond : 1; }

    // How long a download waits, after the last announced file, for the
    // device to close the stream before it is confirmed: any byte in that
    // time refuses it. A device that is done closes at once.
    static constexpr int kEndOfStreamWaitMs = 500;
    static int EndOfStreamWaitMs(int timeoutSec)
    {
        return timeoutSec <= 0 ? 0 : timeoutSec * 1000LL < kEndOfStreamWaitMs ? timeoutSec * 1000 : kEndOfStreamWaitMs;
    }

    // A tool a download runs (zip, cp) is killed after ToolSeconds: each
    // download sets it from its time-out and its data, never below
    // MinToolSeconds.
    static constexpr int kDefaultMinToolSeconds = 60;
    int ToolSeconds() const { return m_ToolSeconds; }
    void SetToolSeconds(int seconds) { m_ToolSeconds = seconds; }
    int MinToolSeconds() const { return m_MinToolSeconds; }
    void SetMinToolSeconds(int seconds) { m_MinToolSeconds = seconds; }

    // Allocator for the slot buffers; replaced only to test allocation failure.
    static void* (*s_AllocSlot)(size_t);

private:
    friend struct DataProcessTestAccess;

    int GenerateReqCmdData(REQUEST_PACKET* reqData, unsigned int cmd, char* para, int paraBufLen,
                           unsigned int reserved);
    bool ParseAckData(RESPONSE_PACKET* resPacket, unsigned int cmdType, char* szRetCode);
    bool ParseResUpData(RESPONSE_UP* resUp);
    bool ParseReDenoCountData(RESPONSE_DENOMCOUNT* resDenoCount);
    void initErrCodeMap();

    // Connect, send the request, receive and check the acknowledgement.
    enum class AckLeg { NotBuilt, NotConnected, Lost, Refused, Accepted };
    // firstOfCall: the connect shares its time-out with the call's wait for
    // the device mutex. whileAnswering, when given, runs once the request is
    // sent: work that needs no answer, done while the device makes one.
    AckLeg RequestAck(const char* caller, unsigned int cmdType, char* para, int paraBufLen, unsigned int reserved,
                      TCPPara& tcpPara, bool firstOfCall, const std::function<void()>& whileAnswering = nullptr);

    // The download's steps, over one state record; failures return their code.
    struct FsnDownload;
    // The record of a download, or null when its arguments are missing.
    std::shared_ptr<FsnDownload> NewDownload(InputFSNPara* fsnPara, int timeOut);
    // Its folders, made ready while the device answers the request.
    void PrepareWhileAnswering(FsnDownload& d);
    // Takes up m_Download when it is this download's, else starts anew.
    void ProcSaveFSN(InputFSNPara* fsnPara, char** strRet, int* strRet1Count, int timeOut);
    const char* PrepareDownloadFolders(FsnDownload& d);
    void ClearLeftovers(FsnDownload& d);
    void EmptyWorkingFolder(FsnDownload& d, bool justOpened = false);
    const char* ReceiveFiles(FsnDownload& d);
    const char* ReceivePacket(FsnDownload& d);
    const char* BeginFile(FsnDownload& d);
    const char* FinishFile(FsnDownload& d);
    const char* MoveIntoUploadFolder(FsnDownload& d, size_t* index);
    const char* FindDeliveredFile(FsnDownload& d, long* found);
    bool StoreUnderDeliveredName(FsnDownload& d, size_t index);
    void DeliverDirect(FsnDownload& d, char** strRet);
    void DeliverArchive(FsnDownload& d, char** strRet);
    bool CopyRelatedFile(FsnDownload& d);
    bool PublishArchive(FsnDownload& d, const char* partialZip, char* stamp, int stampSize);
    void ProcClearFSN(char** strRet);
    void ProcGetCount(char** strRet, int timeOut);

    bool SaveFile(char* data, int dataLen, char* filePath);
    bool RemoveDir(const char* szFileDir);
    bool sysSyncFile(char* filePathName);

    const char* Describe(const std::string& code);
    bool GrowSlot2(size_t bytes);

    static CDataProcess* m_DataProcess;
    CTCPClient* m_TcpClinet;
    std::map<std::string, std::string> m_ErrCodeMap;

    size_t m_Slot2Size;
    uint32_t m_MaxPacketData;
    uint32_t m_MinDataRate = kDefaultMinDataRate;
    int m_ToolSeconds = kDefaultMinToolSeconds;
    int m_MinToolSeconds = kDefaultMinToolSeconds;
    std::shared_ptr<FsnDownload> m_Download;  // the 0xA1 exchange's download, while it runs
};
