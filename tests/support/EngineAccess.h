// White-box access to the engine's private operations, for test_wb_* only.
#pragma once

#include <string>

#include "Basic/Dataprocess.h"

struct DataProcessTestAccess {
    static int Generate(CDataProcess& e, REQUEST_PACKET* r, unsigned cmd, char* para, int len, unsigned reserved)
    {
        return e.GenerateReqCmdData(r, cmd, para, len, reserved);
    }
    static bool ParseAck(CDataProcess& e, RESPONSE_PACKET* p, unsigned cmd, char* code)
    {
        return e.ParseAckData(p, cmd, code);
    }
    static bool ParseUp(CDataProcess& e, RESPONSE_UP* p) { return e.ParseResUpData(p); }
    static bool ParseCount(CDataProcess& e, RESPONSE_DENOMCOUNT* p) { return e.ParseReDenoCountData(p); }
    static std::string Describe(CDataProcess& e, const char* code) { return e.Describe(code); }
    static size_t MapSize(CDataProcess& e) { return e.m_ErrCodeMap.size(); }
    static bool SaveFile(CDataProcess& e, const std::string& data, const std::string& path)
    {
        return e.SaveFile(const_cast<char*>(data.data()), static_cast<int>(data.size()), const_cast<char*>(path.c_str()));
    }
    static bool RemoveDir(CDataProcess& e, const std::string& path) { return e.RemoveDir(path.c_str()); }
    static bool SyncFile(CDataProcess& e, const std::string& path) { return e.sysSyncFile(const_cast<char*>(path.c_str())); }
    static void SaveFSN(CDataProcess& e, InputFSNPara* para, char** slots, int timeout)
    {
        e.ProcSaveFSN(para, slots, nullptr, timeout);
    }
    static CTCPClient* Client(CDataProcess& e) { return e.m_TcpClinet; }
    static size_t Slot2Size(CDataProcess& e) { return e.m_Slot2Size; }
};
