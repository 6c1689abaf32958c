// Creating a directory path level by level.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace pathModuleSpace {

class CMakePahtModule {
public:
    CMakePahtModule() {}
    virtual ~CMakePahtModule() {}

    // Creates dir and every missing parent (0777 less the umask). True when
    // dir exists as a directory afterwards.
    bool makePath(const char* dir)
    {
        if (dir == nullptr || dir[0] == '\0') return false;
        struct stat st;
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return true;  // the usual case: nothing to create
        const std::string l_strDestDir(dir);
        std::string l_strSubDir;
        std::string::size_type l_strPosStart = 0;
        std::string l_strOprDestDir = l_strDestDir;
        std::string::size_type found;
        while ((found = l_strOprDestDir.find('/')) != std::string::npos) {
            l_strSubDir += l_strOprDestDir.substr(0, found + 1);
            if (access(l_strSubDir.c_str(), F_OK) != 0) {
                if (mkdir(l_strSubDir.c_str(), 0777) != 0) {
                    if (errno != EEXIST) return false;
                } else if (!syncParentOf(l_strSubDir)) {
                    // Made again, and its entry synced, next time: a folder
                    // left behind would be taken as durable by every later call.
                    rmdir(l_strSubDir.c_str());
                    return false;
                }
            }
            l_strPosStart += found + 1;
            l_strOprDestDir = l_strDestDir.substr(l_strPosStart);
        }
        if (access(l_strDestDir.c_str(), F_OK) != 0 && mkdir(l_strDestDir.c_str(), 0777) == 0 &&
            !syncParentOf(l_strDestDir)) {
            rmdir(l_strDestDir.c_str());
            return false;
        }
        return stat(l_strDestDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

private:
    // A new folder's name lives in its parent: files delivered into the
    // folder would vanish with it after a power cut unless that is on disk.
    static bool syncParentOf(std::string dir)
    {
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        const std::string::size_type slash = dir.find_last_of('/');
        const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
        const int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool synced = fsync(fd) == 0;
        close(fd);
        return synced;
    }
};

}  // namespace pathModuleSpace
