// The device's FSN files: generated for tests and benchmarks, or loaded from
// a folder for integrators who have real files.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "Internal.h"
#include "dcjsim/Simulator.h"

namespace dcjsim {

std::string FsnFile::Content() const
{
    size_t total = 0;
    for (const std::string& p : packets) total += p.size();
    std::string all;
    all.reserve(total);
    for (const std::string& p : packets) all += p;
    return all;
}

namespace {

uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// xorshift64: cheap enough that a 256 MiB file takes a fraction of a second.
// Bytes are taken low first so the content is the same on every host.
void Fill(std::string& out, uint64_t& state)
{
    char* p = &out[0];
    size_t left = out.size();
    while (left > 0) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        uint64_t v = state;
        const size_t n = left < 8 ? left : 8;
        for (size_t i = 0; i < n; ++i, v >>= 8) p[i] = static_cast<char>(v & 0xFF);
        p += n;
        left -= n;
    }
}

bool EndsWithFsn(const std::string& name)
{
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return ext == ".FSN";
}

// "<inst>_<machine>_<emp>_<datetime>_<sno>.FSN"; a machine number may hold
// underscores of its own, so the other fields are taken from the ends.
bool ParseFsnName(const std::string& name, FsnFile* file)
{
    if (!EndsWithFsn(name)) return false;
    const std::string stem = name.substr(0, name.size() - 4);
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t us = stem.find('_', start);
        parts.push_back(stem.substr(start, us == std::string::npos ? std::string::npos : us - start));
        if (us == std::string::npos) break;
        start = us + 1;
    }
    if (parts.size() < 5) return false;
    const size_t n = parts.size();
    std::string machine = parts[1];
    for (size_t i = 2; i + 3 < n; ++i) machine += "_" + parts[i];
    const std::string& dateTime = parts[n - 2];
    const std::string& sNo = parts[n - 1];
    if (parts[0].empty() || machine.empty() || dateTime.empty() || sNo.empty()) return false;
    if (machine.size() > 28 || dateTime.size() > 16 || sNo.size() > 16) return false;
    file->machineNo = machine;
    file->dateTime = dateTime;
    file->sNo = sNo;
    return true;
}

bool ReadPackets(const std::string& path, size_t packetSize, FsnFile* file, std::string* error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (error) *error = path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    // Read straight into the packets so a large file is held once.
    size_t left = static_cast<size_t>(st.st_size);
    do {
        std::string packet(left < packetSize ? left : packetSize, '\0');
        size_t got = 0;
        while (got < packet.size()) {
            ssize_t n = read(fd, &packet[got], packet.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (error) *error = path + ": " + (n < 0 ? strerror(errno) : "file shrank while being read");
                close(fd);
                return false;
            }
            got += static_cast<size_t>(n);
        }
        left -= packet.size();
        file->packets.push_back(std::move(packet));
    } while (left > 0);
    close(fd);
    return true;
}

}  // namespace

std::vector<FsnFile> GenerateFiles(size_t files, size_t packetsPerFile, size_t packetSize, const std::string& machineNo,
                                   const std::string& dateTime, const std::string& sNo, uint32_t seed)
{
    std::vector<FsnFile> out(files);
    for (size_t i = 0; i < files; ++i) {
        FsnFile& f = out[i];
        f.machineNo = machineNo;
        f.dateTime = dateTime;
        f.sNo = detail::SerialFor(sNo, i);
        // Each file's content depends on the seed and its index only.
        uint64_t state = SplitMix((static_cast<uint64_t>(seed) << 32) ^ i) | 1;
        f.packets.resize(packetsPerFile);
        for (std::string& p : f.packets) {
            p.resize(packetSize);
            Fill(p, state);
        }
    }
    return out;
}

bool LoadFiles(const std::string& folder, size_t packetSize, const std::string& machineNo,
               const std::string& dateTime, std::vector<FsnFile>* files, std::string* error)
{
    if (files == nullptr) return false;
    if (packetSize == 0) {
        if (error) *error = "packet size must be at least 1 byte";
        return false;
    }
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        if (error) *error = folder + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;  // ".", ".." and hidden files
        struct stat st;
        const std::string path = folder + "/" + e->d_name;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    std::vector<FsnFile> loaded;
    loaded.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        FsnFile f;
        if (!ParseFsnName(names[i], &f)) {
            f.machineNo = machineNo;
            f.dateTime = dateTime;
            f.sNo = detail::SerialFor("SN", i);
        }
        if (!ReadPackets(folder + "/" + names[i], packetSize, &f, error)) return false;
        loaded.push_back(std::move(f));
    }
    *files = std::move(loaded);
    return true;
}

}  // namespace dcjsim
