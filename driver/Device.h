// The device facade: one method per device function, run one at a time under
// the device mutex.
#pragma once

#include <functional>

#include "Basic/Dataprocess.h"
#include "Basic/Locker.h"

class CDevice {
public:
    explicit CDevice(pthread_mutex_t* Locker);
    ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    // strUploadDir and strTempDir must have room for one more character.
    // replyDeliverable, when given, is asked before the download is
    // confirmed whether its reply can reach the caller; when it cannot, the
    // download stays unconfirmed (the counter keeps its files) and the slots
    // keep the download's result.
    void getAllFSNFiles(char* strInstNo, char* strEmpNo, char* strRelativeFilePath, char* strUploadDir,
                        char* strTempDir, char* strIP, int netPort, int timeout, char** arrayRet, int* arrayRet1Size,
                        const std::function<bool(char** arrayRet)>& replyDeliverable = {});
    void clearAllFSNFiles(char* strIP, int netPort, int timeout, char** arrayRet);
    // strTime: the 16 bytes sent as the command parameter.
    void setTime(char* strTime, char* strIP, int netPort, int timeout, char** arrayRet);
    void getRMBCount(char* strIP, int netPort, int timeout, char** arrayRet);
    void clearRMBCount(char* strIP, int netPort, int timeout, char** arrayRet);
    void getDevStatus(char* strIP, int netPort, int timeout, char** arrayRet);

    // Refuses a call whose argument texts do not fit the caller's work
    // buffers; logs detail under the method's name.
    void refuseArguments(const char* method, const char* detail, char** arrayRet);

private:
    void runCommand(const char* method, unsigned int cmd, char* para, int paraLen, char* strIP, int netPort,
                    int timeout, char** arrayRet);
    bool engineReady(char** arrayRet);
    void writeInvalidParameter(char** arrayRet);

    MMutex* mLocker;
    CDataProcess* mDataProcss;
};
