// Binding the driver at run time.
#pragma once

#include <string>

typedef void (*DoCommandFunc)(int iSynFlag, int iInDataLen, char* pchInData, int iOutDataLen, char* pchOutData);

extern void* lib_dl;
extern DoCommandFunc DoCommand;

bool LoadLib(std::string path);
