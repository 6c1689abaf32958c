// Frame templates, building requests and checking what the device sends.
#include <stdio.h>
#include <string.h>

#include "../LoadLogDll.h"
#include "Dataprocess.h"
#include "ResultCodes.h"

const REQUEST_PACKET null_Request_Packet = {{'Q', 'O', 'L', 'T'}, ToWire32(32), 0, {0}, 0};
const RESPONSE_PACKET null_Response_Packet = {{'Q', 'O', 'L', 'T'}, ToWire32(20), 0, 0, 0};
const RESPONSE_DATA null_Response_Data = {{'Q', 'O', 'L', 'T'}, ToWire32(20), 0, 0, 0};
const RESPONSE_UP null_Response_Up = {{'Q', 'O', 'L', 'T'}, ToWire32(108), 0, {0}, {0}, {0}, 0, 0, 0, 0, {0}};
const RESPONSE_DENOMCOUNT null_Response_Denomcount = {{'Q', 'O', 'L', 'T'}, ToWire32(136), 0, {0}, {0}, 0};

namespace dcjframe {

namespace {
bool StartWordMatches(const char* received, const char* expected)
{
    return memcmp(received, expected, 4) == 0;
}

// A "/" would put the file outside its folder; no GBK character holds its
// byte. A "|", which would split the name in the reply's file list, may be
// the second byte of one: it is looked for in the name as the host reads it.
bool HasUnsafeChar(const char* field, size_t width)
{
    return memchr(field, '/', strnlen(field, width)) != nullptr;
}
}  // namespace

std::string FieldText(const char* field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

AckCheck CheckAck(const RESPONSE_PACKET& frame, uint32_t cmdSent)
{
    AckCheck check;
    check.cmd = FromWire32(frame.cmd);
    check.retCode = FromWire32(frame.retCode);
    if (!StartWordMatches(frame.start_word, null_Response_Packet.start_word)) {
        check.verdict = AckVerdict::BadStartWord;
        check.code = DCJ_RC_RESPONSE_PACKET_ERROR;
    } else if (check.cmd != cmdSent) {
        check.verdict = AckVerdict::BadCommand;
        check.code = DCJ_RC_RESPONSE_PACKET_ERROR;
    } else if (check.retCode != 0) {
        check.verdict = AckVerdict::Refused;
        switch (check.retCode) {
            case 4: check.code = DCJ_RC_NO_FSN_FILE; break;
            case 5: check.code = DCJ_RC_DEVICE_CLEAR_FAILED; break;
            case 6: check.code = DCJ_RC_HARDWARE_FAULT; break;
            default: check.code = DCJ_RC_DEVICE_CMD_PARSE_ERROR; break;
        }
    } else {
        check.verdict = AckVerdict::Accepted;
        check.code = DCJ_RC_SUCCESS;
    }
    return check;
}

UpCheck CheckUploadHeader(const RESPONSE_UP& header, uint32_t maxDataLen)
{
    UpCheck check{UpVerdict::Accepted, 0};
    const uint32_t msgLength = FromWire32(header.msg_length);
    if (!StartWordMatches(header.start_word, null_Response_Up.start_word)) {
        check.verdict = UpVerdict::BadStartWord;
    } else if (FromWire32(header.cmd) != CMD_UPLOAD_FSN) {
        check.verdict = UpVerdict::BadCommand;
    } else if (msgLength < sizeof(RESPONSE_UP)) {
        check.verdict = UpVerdict::LengthBelowHeader;
    } else if (msgLength - sizeof(RESPONSE_UP) > maxDataLen) {
        check.verdict = UpVerdict::DataTooLong;
    } else if (FromWire32(header.packetCount) == 0 || FromWire32(header.fileCount) == 0) {
        check.verdict = UpVerdict::ZeroCount;
    } else if (HasUnsafeChar(header.MachineNo, sizeof(header.MachineNo)) ||
               HasUnsafeChar(header.DateTime, sizeof(header.DateTime)) ||
               HasUnsafeChar(header.SNo, sizeof(header.SNo))) {
        check.verdict = UpVerdict::UnsafeText;
    } else {
        check.dataLen = msgLength - static_cast<uint32_t>(sizeof(RESPONSE_UP));
    }
    return check;
}

CountVerdict CheckCountFrame(const RESPONSE_DENOMCOUNT& frame)
{
    if (!StartWordMatches(frame.start_word, null_Response_Denomcount.start_word)) return CountVerdict::BadStartWord;
    if (FromWire32(frame.cmd) != CMD_GET_COUNT) return CountVerdict::BadCommand;
    return CountVerdict::Accepted;
}

}  // namespace dcjframe

int CDataProcess::GenerateReqCmdData(REQUEST_PACKET* reqData, unsigned int cmd, char* para, int paraBufLen,
                                     unsigned int reserved)
{
    if (reqData == nullptr) return -1;
    // The para field is 16 bytes wide; never read past the caller's bytes or
    // write past the field.
    if (para != nullptr && (paraBufLen < 0 || paraBufLen > static_cast<int>(sizeof(reqData->para)))) return -1;
    *reqData = null_Request_Packet;
    reqData->cmd = ToWire32(cmd);
    if (para != nullptr) memcpy(reqData->para, para, static_cast<size_t>(paraBufLen));
    reqData->reserved = ToWire32(reserved);
    return 0;
}

bool CDataProcess::ParseAckData(RESPONSE_PACKET* resPacket, unsigned int cmdType, char* szRetCode)
{
    if (resPacket == nullptr) return false;
    const dcjframe::AckCheck check = dcjframe::CheckAck(*resPacket, cmdType);
    switch (check.verdict) {
        case dcjframe::AckVerdict::BadStartWord:
            LOG_ERRORF("CDataProcess::ParseAckData compare startword error!cmd=0x%04X", check.cmd);
            break;
        case dcjframe::AckVerdict::BadCommand:
            LOG_ERRORF("CDataProcess::ParseAckData compare cmd error!res cmd=0x%04X,send cmd=0x%04X", check.cmd,
                       cmdType);
            break;
        case dcjframe::AckVerdict::Refused:
            LOG_ERRORF("CDataProcess::ParseAckData retCode error!retCode=%d", static_cast<int>(check.retCode));
            break;
        case dcjframe::AckVerdict::Accepted:
            break;
    }
    if (szRetCode) snprintf(szRetCode, 13, "%s", check.code);  // the caller passes at least 13 bytes
    return check.verdict == dcjframe::AckVerdict::Accepted;
}

bool CDataProcess::ParseResUpData(RESPONSE_UP* resUp)
{
    if (resUp == nullptr) return false;
    const dcjframe::UpCheck check = dcjframe::CheckUploadHeader(*resUp, m_MaxPacketData);
    const unsigned int cmd = FromWire32(resUp->cmd);
    const unsigned int msgLength = FromWire32(resUp->msg_length);
    switch (check.verdict) {
        case dcjframe::UpVerdict::Accepted:
            return true;
        case dcjframe::UpVerdict::BadStartWord:
            LOG_ERRORF("CDataProcess::ParseResUpData compare startword error!cmd=0x%04X", cmd);
            return false;
        case dcjframe::UpVerdict::BadCommand:
            return false;
        case dcjframe::UpVerdict::LengthBelowHeader:
        case dcjframe::UpVerdict::DataTooLong:
            LOG_ERRORF("CDataProcess::ParseResUpData msg_length error!msg_length=%u,limit=%u", msgLength,
                       m_MaxPacketData);
            return false;
        case dcjframe::UpVerdict::ZeroCount:
            LOG_ERRORF("CDataProcess::ParseResUpData count error!packetCount=%u,fileCount=%u",
                       FromWire32(resUp->packetCount), FromWire32(resUp->fileCount));
            return false;
        case dcjframe::UpVerdict::UnsafeText:
            LOG_ERROR("CDataProcess::ParseResUpData name field holds '/'");
            return false;
    }
    return false;
}

bool CDataProcess::ParseReDenoCountData(RESPONSE_DENOMCOUNT* resDenoCount)
{
    if (resDenoCount == nullptr) {
        LOG_ERROR("CDataProcess::ParseReDenoCountData resDenoCount is null");
        return false;
    }
    switch (dcjframe::CheckCountFrame(*resDenoCount)) {
        case dcjframe::CountVerdict::Accepted:
            return true;
        case dcjframe::CountVerdict::BadStartWord:
            LOG_ERRORF("CDataProcess::ParseReDenoCountData compare startword error!cmd=0x%04X",
                       FromWire32(resDenoCount->cmd));
            return false;
        case dcjframe::CountVerdict::BadCommand:
            LOG_ERRORF("CDataProcess::ParseReDenoCountData compare cmd error!cmd=0x%04X",
                       FromWire32(resDenoCount->cmd));
            return false;
    }
    return false;
}
