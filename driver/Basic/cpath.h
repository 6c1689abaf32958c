// Where the driver library itself was loaded from.
#pragma once

#include "../Export.h"

class CPath {
public:
    CPath() {}
    ~CPath() {}

    // dir: a zero-filled buffer of at least 256 bytes; receives the library's
    // directory without a trailing slash, or stays empty.
    void GetCurrentDir(char* dir);
};

extern "C" DCJ_EXPORT int TestFuncAddr();
