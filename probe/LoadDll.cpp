#include "LoadDll.h"

#include <dlfcn.h>
#include <stdio.h>

void* lib_dl = nullptr;
DoCommandFunc DoCommand = nullptr;

bool LoadLib(std::string path)
{
    lib_dl = dlopen(path.c_str(), RTLD_LAZY);
    if (lib_dl == nullptr) {
        fputs("error open so\n", stdout);
        fflush(stdout);
        return false;
    }
    fputs("LoadLib dlopen sucess", stdout);
    DoCommand = reinterpret_cast<DoCommandFunc>(dlsym(lib_dl, "doCommand"));
    if (DoCommand == nullptr) return false;
    fputs("LoadLib DoCommand is not NULL", stdout);
    return true;
}
