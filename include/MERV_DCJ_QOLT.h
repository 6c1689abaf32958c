/*
 * MERV_DCJ_QOLT.so: driver for the DCJ banknote counter.
 *
 * Most hosts load the library with dlopen and bind doCommand by name; this
 * header is for hosts that link it directly (link with the file itself, e.g.
 * -l:MERV_DCJ_QOLT.so, and keep libvdxlog.so beside it). The README has the
 * request keys, the replies and their codes.
 *
 * doCommand(iSynFlag, iInDataLen, pchInData, iOutDataLen, pchOutData)
 *   iSynFlag     not used: every call is synchronous. Pass 0.
 *   iInDataLen   not used: the request ends at its first zero byte.
 *   pchInData    the request, UTF-8 JSON text that MUST end in a zero byte
 *                (a buffer of exactly the text's length is read past its
 *                end). Only read, never written.
 *   iOutDataLen  the size of pchOutData in bytes. All of it is zeroed first;
 *                nothing is written past it.
 *   pchOutData   receives the UTF-8 JSON reply, then zero bytes. A reply of
 *                exactly iOutDataLen bytes has no closing zero: pass one byte
 *                less than the buffer holds.
 * Null buffers or a negative iOutDataLen: the call returns, writing nothing.
 *
 * The reply is one of
 *   - a document whose retComArgs.retCode tells the outcome ("ECPWS0000000"
 *     is success);
 *   - " ", one blank: the request is no JSON object, is nested deeper than 16
 *     levels, or its funcName is unknown. Nothing was done;
 *   - retCode "ECPWSCOM0009" (87 bytes): the reply did not fit. getDevStatus,
 *     getRMBCount, setTime and getAllFSNFiles may be sent again with a larger
 *     buffer (a download whose reply does not fit is not confirmed: the next
 *     call receives and confirms the files again). clearRMBCount and
 *     clearAllFSNFiles are not sent to the counter unless their longest reply
 *     fits; size the buffer first: 4096 + 6 * strlen(request) bytes always
 *     hold a reply other than a download's;
 *   - nothing (all zero): iOutDataLen is below 87, or the call failed inside.
 * A download's reply takes 178 + len(sn) + sum(len(name) + 1) - 1 bytes;
 * each name (at most 255 bytes) is instNo_MachineNo_empNo_DateTime_SNo.FSN.
 *
 * Threads: doCommand may be called from several threads at once, each with
 * its own buffers; the device functions run one at a time, and a call waits
 * for the device at most its request's time-out (getDevStatus: 3 s). A child
 * forked while a call runs finds the driver idle.
 *
 * Log settings (VDXLOG_FILE, VDXLOG_LEVEL, ...) are read from the
 * environment when the library is loaded.
 */
#ifndef MERV_DCJ_QOLT_H
#define MERV_DCJ_QOLT_H

#ifdef __cplusplus
#include <string>

extern "C" {
#endif

void doCommand(int iSynFlag, int iInDataLen, char* pchInData, int iOutDataLen, char* pchOutData);

#ifdef __cplusplus
}

/*
 * The device functions behind doCommand, for C++ hosts. Arguments are texts
 * as in the request; the reply document comes back with its descriptions in
 * GBK (doCommand converts the whole reply to UTF-8).
 */
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" {
std::string getRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout);
std::string clearRMBCount(std::string strIP, std::string strNetPort, std::string strTimeout);
std::string getDevStatus(std::string strIP, std::string strNetPort, std::string strTimeout);

/* GBK to UTF-8; dest_data must have room for 102400 bytes or the whole result. */
bool GBKToUtf8(char* src_data, const int data_len, char* dest_data);
int GB2312ToUtf8(const char* gb2312, char* utf8);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

std::string getAllFSNFiles(std::string strInstNo, std::string strEmpNo, std::string strRelativeFilePath,
                           std::string strUploadDir, std::string strTempDir, std::string strIP,
                           std::string strNetPort, std::string timeout);
std::string clearAllFSNFiles(std::string strIP, std::string strNetPort, std::string timeout);
std::string setTime(std::string strTime, std::string strIP, std::string strNetPort, std::string timeout);
#endif /* __cplusplus */

#endif /* MERV_DCJ_QOLT_H */
