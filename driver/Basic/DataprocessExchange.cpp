// One command exchange: connect, request, acknowledgement, post-processing.
#include <stdio.h>
#include <string.h>

#include "../LoadLogDll.h"
#include "Dataprocess.h"
#include "Locker.h"
#include "ResultCodes.h"

namespace {
const char kSuccess[] = DCJ_RC_SUCCESS;
const char kCustomErrHead[] = "DRVDCJ";
}  // namespace

void CDataProcess::ProcClearFSN(char** strRet)
{
    SetResult(strRet, kSuccess);
}

namespace {

// The first exchange of a call shares its connect time with the call's wait
// for the device mutex, so a command ends within twice its time-out (and a
// second) from the moment it was called, whoever else used the device. A
// connect always gets up to a second of its own, even after a long wait.
long long ConnectDeadline(int timeoutSec, bool creditWait)
{
    const long long fresh = CTCPClient::DeadlineAfter(timeoutSec);
    const long long callStart = CTimedLocker::CallStartMs();
    if (!creditWait || callStart == 0 || fresh == CTCPClient::kExpired) return fresh;
    const long long timeoutMs = static_cast<long long>(timeoutSec) * 1000;
    const long long shared = callStart + timeoutMs;
    const long long least = CTCPClient::NowMs() + (timeoutMs < 1000 ? timeoutMs : 1000);
    return shared > least ? shared : least;
}

// A frame after the ack is a receive of its own: the time-out from the
// start of its read, as the ack had; but a command still ends within twice
// its time-out and a second of the call, however long the lock and the ack
// took.
long long FrameDeadline(int timeoutSec)
{
    const long long own = CTCPClient::DeadlineAfter(timeoutSec);
    const long long callStart = CTimedLocker::CallStartMs();
    if (callStart == 0 || own == CTCPClient::kExpired) return own;
    const long long bound = callStart + 2 * static_cast<long long>(timeoutSec) * 1000 + 1000;
    return own < bound ? own : bound;
}

}  // namespace

CDataProcess::AckLeg CDataProcess::RequestAck(const char* caller, unsigned int cmdType, char* para, int paraBufLen,
                                             unsigned int reserved, TCPPara& tcpPara, bool firstOfCall,
                                             const std::function<void()>& whileAnswering)
{
    REQUEST_PACKET reqData = null_Request_Packet;
    RESPONSE_PACKET resPacket = null_Response_Packet;
    unsigned int dataBufLen = sizeof(RESPONSE_PACKET);
    if (GenerateReqCmdData(&reqData, cmdType, para, paraBufLen, reserved) != 0) {
        LOG_ERRORF("%s,GenerateReqCmdData fail", caller);
        return AckLeg::NotBuilt;
    }
    tcpPara.ip[sizeof(tcpPara.ip) - 1] = '\0';

    // Every exchange starts on a new connection, also after one that ended
    // abruptly (an exception) and left its socket open.
    m_TcpClinet->Close();
    m_TcpClinet->CreateSocket();
    char* const request = reinterpret_cast<char*>(&reqData);
    const int requestLen = static_cast<int>(sizeof(reqData));
    int sent = 0;
    const int iRet = m_TcpClinet->ConnectBefore(tcpPara.ip, tcpPara.port, tcpPara.timeout,
                                                ConnectDeadline(tcpPara.timeout, firstOfCall), request, requestLen,
                                                &sent);
    if (iRet != 0) {
        LOG_ERRORF("%s:Connect fail:iRet:%d", caller, iRet);
        return AckLeg::NotConnected;
    }
    // The ack must be in whole within one time-out of the request, however
    // it trickles (a frame that follows gets its own, see FrameDeadline).
    const long long answerDeadline = CTCPClient::DeadlineAfter(tcpPara.timeout);
    if (sent < requestLen && !m_TcpClinet->SendBefore(request + sent, requestLen - sent, answerDeadline)) {
        LOG_ERRORF("%s: Send cmd 0x%04X req error", caller, cmdType);
        return AckLeg::Lost;
    }
    if (whileAnswering) {
        whileAnswering();
        m_TcpClinet->LookBeforeWaiting();
    }
    if (!m_TcpClinet->RecvBefore(reinterpret_cast<char*>(&resPacket), dataBufLen, answerDeadline)) {
        LOG_ERRORF("%s: Recv resPacket error", caller);
        return AckLeg::Lost;
    }
    // Either way ParseAckData leaves its code in the slot-0 buffer.
    return ParseAckData(&resPacket, cmdType, m_pstrRet0) ? AckLeg::Accepted : AckLeg::Refused;
}

void CDataProcess::ProcCommonCMD(unsigned int cmdType, char* para, int paraBufLen, unsigned int reserved,
                                 TCPPara tcpPara, void* inputPara, char** strRet, int* strRet1Count)
{
    if (!IsReady()) {
        FailUnready(strRet);
        return;
    }
    SetResult(strRet, DCJ_RC_UNKNOWN_ERROR);
    LOG_INFOF(">>CDataProcess::ProcCommonCMD,cmdType:0x%04X", cmdType);

    // A download's folders are made ready in the time the device takes to
    // answer, not after.
    std::function<void()> whileAnswering;
    // The record ends with this exchange, however that ends (a throw too):
    // no folder stays open or locked past the call.
    struct DownloadEnds {
        std::shared_ptr<FsnDownload>& download;
        ~DownloadEnds() { download.reset(); }
    } downloadEnds{m_Download};
    if (cmdType == CMD_UPLOAD_FSN) {
        m_Download = NewDownload(static_cast<InputFSNPara*>(inputPara), tcpPara.timeout);
        if (m_Download) whileAnswering = [this] { PrepareWhileAnswering(*m_Download); };
    }
    switch (RequestAck("CDataProcess::ProcCommonCMD", cmdType, para, paraBufLen, reserved, tcpPara, true,
                       whileAnswering)) {
        case AckLeg::NotBuilt:
            return;  // no connection was made
        case AckLeg::NotConnected:
            SetResult(strRet, DCJ_RC_NETWORK_FAILED);
            WriteSlot(strRet, 2, "03");
            break;
        case AckLeg::Lost:
            SetResult(strRet, DCJ_RC_NETWORK_FAILED);
            break;
        case AckLeg::Accepted:
            if (cmdType == CMD_UPLOAD_FSN) {
                ProcSaveFSN(static_cast<InputFSNPara*>(inputPara), strRet, strRet1Count, tcpPara.timeout);
            } else if (cmdType == CMD_GET_COUNT) {
                ProcGetCount(strRet, tcpPara.timeout);
            } else {
                ProcClearFSN(strRet);
                if (cmdType == CMD_DEV_STATUS) WriteSlot(strRet, 2, "01");
            }
            break;
        case AckLeg::Refused: {
            const std::string code(m_pstrRet0);
            SetResult(strRet, code.c_str());
            if (code == DCJ_RC_HARDWARE_FAULT) {
                WriteSlot(strRet, 2, "04");
            } else if (code.compare(0, sizeof(kCustomErrHead) - 1, kCustomErrHead) == 0) {
                // Internal codes reach the host inside a host code.
                char detail[256];
                snprintf(detail, sizeof(detail), "%s|%s", code.c_str(), Describe(code));
                WriteSlot(strRet, 1, detail);
                WriteSlot(strRet, 0, DCJ_RC_DEVICE_ERROR);
            }
            break;
        }
    }
    m_Download.reset();  // its folders are closed and unlocked before the connection
    m_TcpClinet->Close();
}

void CDataProcess::ProcFSNOKCMD(unsigned int cmdType, char* para, int paraBufLen, unsigned int reserved,
                                TCPPara tcpPara, void* /*inputPara*/, char** strRet)
{
    if (!IsReady()) {
        FailUnready(strRet);
        return;
    }
    LOG_INFOF(">>CDataProcess::ProcFSNOKCMD,cmdType:0x%04X", cmdType);

    switch (RequestAck("CDataProcess::ProcFSNOKCMD", cmdType, para, paraBufLen, reserved, tcpPara, false)) {
        case AckLeg::NotBuilt:
            return;
        case AckLeg::NotConnected:
            SetResult(strRet, DCJ_RC_DEVICE_NOT_FOUND);
            break;
        case AckLeg::Lost:
            SetResult(strRet, DCJ_RC_NETWORK_FAILED);
            break;
        case AckLeg::Accepted:
            // Slot 0 holds the success code; slots 1 to 3 keep the download's results.
            if (strRet) strRet[0] = m_pstrRet0;
            break;
        case AckLeg::Refused: {
            LOG_ERRORF("CDataProcess::ProcFSNOKCMD: ParseAckData error,cmdType:0x%04X", cmdType);
            const std::string code(m_pstrRet0);
            SetResult(strRet, code.c_str());
            break;
        }
    }
    m_TcpClinet->Close();
}

void CDataProcess::ProcGetCount(char** strRet, int timeOut)
{
    RESPONSE_DENOMCOUNT frame = null_Response_Denomcount;
    unsigned int dataLen = sizeof(frame);
    if (!m_TcpClinet->RecvBefore(reinterpret_cast<char*>(&frame), dataLen, FrameDeadline(timeOut))) {
        LOG_ERROR("CDataProcess::ProcGetCount: Recv resDenomcount error");
        SetResult(strRet, DCJ_RC_NETWORK_FAILED);
        return;
    }
    if (!ParseReDenoCountData(&frame)) {
        LOG_ERROR("CDataProcess::ProcGetCount: ParseReDenoCountData error");
        SetResult(strRet, DCJ_RC_RESPONSE_DATA_ERROR);
        return;
    }
    SetResult(strRet, kSuccess);
    // A count text that fills its whole field has no NUL: stop at the width.
    WriteSlot(strRet, 2, dcjframe::FieldText(frame.DenomCount, sizeof(frame.DenomCount)).c_str());
    WriteSlot(strRet, 3, dcjframe::FieldText(frame.RejectCount, sizeof(frame.RejectCount)).c_str());
}
