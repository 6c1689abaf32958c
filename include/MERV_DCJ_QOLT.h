/*
 * MERV_DCJ_QOLT.so: driver for the DCJ banknote counter.
 *
 * Most hosts load the library with dlopen and bind doCommand by name; this
 * header is for hosts that link it directly (link with the file itself, e.g.
 * -l:MERV_DCJ_QOLT.so, and keep libvdxlog.so beside it).
 *
 * doCommand takes one JSON request and writes the UTF-8 JSON reply into the
 * caller's buffer (never more than iOutDataLen bytes; zero-terminated when
 * shorter). It must not be called while another doCommand call is running.
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
