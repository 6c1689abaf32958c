#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "BenchCommon.h"

namespace dcjbench {

namespace {

[[noreturn]] void Usage(const std::string& what)
{
    fprintf(stderr,
            "%s\nOptions: --driver SO  --bin-dir DIR  --disk-dir DIR  --shm-dir DIR  --quick  --scale X\n"
            "         --candidate SO  --sync-shim SO\n",
            what.c_str());
    exit(2);
}

}  // namespace

Options ParseOptions(int argc, char** argv, std::vector<std::string>* rest)
{
    Options o;
    o.self = argv[0];
    o.driver = DCJ_BENCH_DRIVER;
    o.binDir = DCJ_BENCH_BIN_DIR;
    o.diskDir = DCJ_BENCH_DATA_DIR;
    o.syncShim = DCJ_BENCH_SYNC_SHIM;
    // Per process, so two runs at once never share a folder.
    o.shmDir = "/dev/shm/dcjbench-" + std::to_string(getpid());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) Usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--driver") o.driver = next();
        else if (a == "--bin-dir") o.binDir = next();
        else if (a == "--disk-dir") o.diskDir = next();
        else if (a == "--shm-dir") o.shmDir = next();
        else if (a == "--quick") o.scale = 0.25;
        else if (a == "--scale") o.scale = std::stod(next());
        else if (a == "--candidate") o.candidate = next();
        else if (a == "--sync-shim") o.syncShim = next();
        else if (rest) rest->push_back(a);
        else Usage("unknown option " + a);
    }
    if (o.scale <= 0) Usage("--scale must be positive");
    return o;
}

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    if (rank < 1) rank = 1;
    if (rank > v.size()) rank = v.size();
    return v[rank - 1];
}

bool MakeDirs(const std::string& dir)
{
    std::string path;
    size_t start = 0;
    while (start <= dir.size()) {
        size_t slash = dir.find('/', start);
        path = dir.substr(0, slash == std::string::npos ? dir.size() : slash);
        if (!path.empty() && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

size_t EmptyDir(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    size_t n = 0;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            n += EmptyDir(path);
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
        ++n;
    }
    return n;
}

size_t ClearFiles(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    size_t n = 0;
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            n += ClearFiles(path);
        } else if (unlink(path.c_str()) == 0) {
            ++n;
        }
    }
    return n;
}

void RemoveTree(const std::string& dir)
{
    EmptyDir(dir);
    rmdir(dir.c_str());
}

size_t CountFiles(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    size_t n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_type == DT_REG) ++n;
    }
    closedir(d);
    return n;
}

void SyncFs(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    syncfs(fd);
    close(fd);
}

bool IsTmpfs(const std::string& dir)
{
    struct statfs s;
    return statfs(dir.c_str(), &s) == 0 && s.f_type == 0x01021994;
}

std::string FsType(const std::string& dir)
{
    struct statfs s;
    if (statfs(dir.c_str(), &s) != 0) return "?";
    switch (static_cast<unsigned long>(s.f_type)) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext4";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlayfs";
    default: return Fmt("0x%lx", static_cast<unsigned long>(s.f_type));
    }
}

std::string Fmt(const char* fmt, ...)
{
    // Notes run to several hundred characters: never cut one short.
    char buf[512];
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::string out;
    if (n >= static_cast<int>(sizeof buf)) {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&out[0], out.size(), fmt, again);
        out.resize(static_cast<size_t>(n));
    } else if (n > 0) {
        out.assign(buf, static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

std::string SizeName(size_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return Fmt("%zu MiB", bytes >> 20);
    if (bytes >= 1024 && bytes % 1024 == 0) return Fmt("%zu KiB", bytes >> 10);
    return Fmt("%zu B", bytes);
}

std::string Rate(double bytesPerSecond)
{
    const double mb = bytesPerSecond / 1e6;
    return mb >= 100 ? Fmt("%.0f MB/s", mb) : mb >= 10 ? Fmt("%.1f MB/s", mb) : Fmt("%.2f MB/s", mb);
}

std::string Count(double v)
{
    const long long n = std::llround(v);
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

std::string Micros(double seconds)
{
    const double us = seconds * 1e6;
    if (us >= 10000) return Fmt("%.1f ms", us / 1000);
    return us >= 100 ? Fmt("%.0f µs", us) : Fmt("%.1f µs", us);
}

std::string PassMiss(bool pass)
{
    return pass ? "PASS" : "**MISS**";
}

namespace {
bool g_candidate = false;
}

Worker* NewSecondDriver(const Options& o)
{
    if (o.candidate.empty()) return new Worker(o, Kind::Driver, "off");
    g_candidate = true;
    return new Worker(o, Kind::Driver, nullptr, o.candidate);
}

void PrintTable(const std::string& title, const std::vector<Row>& rows, const std::vector<std::string>& notes)
{
    printf("\n### %s\n\n", title.c_str());
    printf("| Benchmark | Case | Driver | %s | Reference | Ratio | Old rule | No sync | Driver / no sync | "
           "Driver / old rule | Target | Result |\n",
           g_candidate ? "Candidate driver" : "Driver, log off");
    printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", r.bench.c_str(), r.caseName.c_str(),
               r.driver.c_str(), r.driverLogOff.c_str(), r.reference.c_str(), r.ratio.c_str(), r.oldRule.c_str(),
               r.noSync.c_str(), r.ratioNoSync.c_str(), r.ratioOldRule.c_str(), r.target.c_str(), r.result.c_str());
    }
    if (!notes.empty()) printf("\n");
    for (const std::string& n : notes) printf("- %s\n", n.c_str());
    fflush(stdout);
}

void Progress(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

std::vector<size_t> ParseSizeList(const std::string& text)
{
    std::vector<size_t> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        out.push_back(static_cast<size_t>(std::stoull(text.substr(start, comma - start))));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace dcjbench
