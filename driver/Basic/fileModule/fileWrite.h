// Writing one block of data to a file, optionally forced to disk.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace fileWriteModuleSpace {

class CFileWriteModule {
public:
    CFileWriteModule() {}
    virtual ~CFileWriteModule() {}

    // newFile: start the file afresh instead of appending. syncFlag: force the
    // data to disk before returning. True only when every byte was written
    // (and synced) and the file closed cleanly.
    bool writeFile(std::string fileName, char* data, unsigned long dataLength, bool newFile, bool syncFlag)
    {
        if (data == nullptr || dataLength == 0) return false;
        // Never through a link someone put in the file's place, and never
        // waiting on a pipe there (O_NONBLOCK: opening a pipe to write fails
        // at once when nobody reads it).
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (newFile ? O_TRUNC : O_APPEND);
        int fd;
        do {
            fd = open(fileName.c_str(), flags, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return false;

        unsigned long written = 0;
        while (written < dataLength) {
            ssize_t n = write(fd, data + written, dataLength - written);
            if (n > 0) {
                written += static_cast<unsigned long>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                close(fd);
                return false;
            }
        }
        bool ok = !syncFlag || fsync(fd) == 0;
        if (close(fd) != 0 && errno != EINTR) ok = false;
        return ok;
    }
};

}  // namespace fileWriteModuleSpace
