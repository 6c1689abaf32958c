#include "Progress.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

namespace dcjctl {

namespace {

struct Entry {
    std::string name;
    ino_t ino;
    off_t size;
};

std::vector<Entry> RegularFiles(const std::string& dir)
{
    std::vector<Entry> entries;
    DIR* dp = opendir(dir.c_str());
    if (dp == nullptr) return entries;
    while (struct dirent* e = readdir(dp)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        // Gone between readdir and stat: moved on to the upload folder.
        if (lstat((dir + e->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        entries.push_back({e->d_name, st.st_ino, st.st_size});
    }
    closedir(dp);
    return entries;
}

}  // namespace

std::string DriverFolder(const std::string& dir)
{
    std::string out = dir;
    std::replace(out.begin(), out.end(), '\\', '/');
    if (!out.empty() && out.back() != '/') out += '/';
    return out;
}

DownloadWatch::DownloadWatch(const std::string& uploadDir, const std::string& tempDir, const std::string& skipName)
    : m_upload(DriverFolder(uploadDir)), m_work(DriverFolder(tempDir) + "QOLT/"), m_skip(skipName)
{
    for (const Entry& e : RegularFiles(m_upload)) m_before[e.name] = e.ino;
}

DownloadWatch::Tally DownloadWatch::Arrived() const
{
    Tally tally;
    // Upload folder first: a file moved between the two scans is missed
    // for one round rather than counted twice.
    for (const Entry& e : RegularFiles(m_upload)) {
        auto it = m_before.find(e.name);
        if (it != m_before.end() && it->second == e.ino) continue;
        ++tally.files;
        tally.bytes += static_cast<uint64_t>(e.size);
    }
    for (const Entry& e : RegularFiles(m_work)) {
        if (!m_skip.empty() && e.name == m_skip) continue;
        ++tally.files;
        tally.bytes += static_cast<uint64_t>(e.size);
    }
    return tally;
}

std::vector<std::string> DownloadWatch::NewInUpload() const
{
    std::vector<std::string> names;
    for (const Entry& e : RegularFiles(m_upload)) {
        auto it = m_before.find(e.name);
        if (it == m_before.end() || it->second != e.ino) names.push_back(e.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string HumanBytes(uint64_t bytes)
{
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    // Tenths of a unit in integers, so no float formatting is involved.
    uint64_t scale = 1024;
    size_t unit = 0;
    while (bytes / scale >= 1024 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        scale *= 1024;
        ++unit;
    }
    const uint64_t tenths = bytes / scale * 10 + bytes % scale * 10 / scale;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + kUnits[unit];
}

}  // namespace dcjctl
