// What a running download has put on disk so far, for the progress line and
// for the report when a reply is lost.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace dcjctl {

// The driver's form of a folder argument: backslashes become slashes and a
// trailing slash is added.
std::string DriverFolder(const std::string& dir);

class DownloadWatch {
public:
    // Takes note of what the upload folder holds before the download, so
    // only files that arrive or are replaced count. skipName is the related
    // file of archive mode, copied into the working folder but not received.
    DownloadWatch(const std::string& uploadDir, const std::string& tempDir, const std::string& skipName = "");

    struct Tally {
        size_t files = 0;
        uint64_t bytes = 0;
    };
    // Files finished in the upload folder plus those still in the working
    // folder; hidden names (partial copies, the archive in the making) are
    // left out.
    Tally Arrived() const;
    // Names new or replaced in the upload folder, sorted.
    std::vector<std::string> NewInUpload() const;

    const std::string& UploadDir() const { return m_upload; }

private:
    std::string m_upload;
    std::string m_work;
    std::string m_skip;
    std::map<std::string, ino_t> m_before;
};

// "1.2 MiB", "512 B".
std::string HumanBytes(uint64_t bytes);

}  // namespace dcjctl
