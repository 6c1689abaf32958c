// What every benchmark program shares: worker processes that run the driver
// or the reference receiver, the reference itself, statistics, folders and
// the markdown table.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace dcjbench {

// ---------------------------------------------------------------------------
// Options every program takes.

struct Options {
    std::string driver;   // dlopen path of the driver
    std::string binDir;   // where dcjsim and the bench programs are
    std::string diskDir;  // a folder on a real disk (inside the build folder)
    std::string shmDir;   // a folder on tmpfs
    double scale = 1.0;   // < 1 for a quick look: shorter runs, fewer calls
    std::string self;     // argv[0], for the worker processes
    // Another build of the driver, measured in place of the log-off one
    // (same log setting as the driver), to check a change against the
    // current driver in the same run.
    std::string candidate;
    // The LD_PRELOAD library that makes fsync slow (libdcj_slowsync.so).
    std::string syncShim;
};

// Parses --driver, --bin-dir, --disk-dir, --shm-dir, --quick, --scale X,
// --candidate SO, --sync-shim SO;
// other arguments are left in rest for the program.
Options ParseOptions(int argc, char** argv, std::vector<std::string>* rest);

// True when argv asks for a worker: call WorkerMain and return its result.
bool IsWorker(int argc, char** argv);
int WorkerMain(int argc, char** argv);

// ---------------------------------------------------------------------------
// Worker processes: one process per receiver, so the driver runs in a
// process of its own (as under a host), with its own log setting, and the
// reference receivers run under the same conditions.

enum class Kind {
    Reference,  // the minimal receiver, the driver's rule: fsync per file
    OldRule,    // the minimal receiver, the former rule: fsync per packet
    NoSync,     // the minimal receiver, the driver's rule without any fsync
    Driver,
};
bool IsDriver(Kind kind);

// Environment changes for a worker.
struct WorkerEnv {
    const char* logLevel = nullptr;  // VDXLOG_LEVEL; nullptr: the driver's default
    std::string driverPath;          // the driver to load instead of Options::driver
    std::string preload;             // a library for LD_PRELOAD
    std::vector<std::string> extra;  // NAME=value
};

class Worker {
public:
    // logLevel: nullptr for the driver's default, else the VDXLOG_LEVEL value.
    // driverPath: the driver to load instead of o.driver.
    Worker(const Options& o, Kind kind, const char* logLevel, const std::string& driverPath = "");
    Worker(const Options& o, Kind kind, const WorkerEnv& env);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    const std::string& Name() const { return m_name; }
    Kind WhichKind() const { return m_kind; }

    // One job, fields joined by tabs; the answer's fields. Throws on a
    // broken worker or an "err" answer.
    std::vector<std::string> Call(const std::vector<std::string>& fields);

private:
    std::string m_name;
    Kind m_kind;
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_pending;
};

// The reply buffer a download hands the driver. A download's reply lists
// every file it delivered (about 670 KiB at 10,000 files), and the driver
// confirms nothing whose reply would not fit.
constexpr size_t kDownloadReplyBytes = 1u << 20;

struct DownloadArgs {
    uint16_t port = 0;
    std::string uploadDir;  // ends in '/'
    std::string tempDir;    // ends in '/'
    std::string instNo = "442000034";
    std::string empNo = "10677661";
};

struct RunResult {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system time of the worker process over the run
    std::string retCode;    // the driver's, or the reference's own "ok"
    long syncs = -1;        // syncs the sync shim counted over the run; -1 without the shim
};
// The driver's success code, or a reference receiver's "ok", for kind.
bool Succeeded(Kind kind, const RunResult& r);

// Jobs, run in the worker.
RunResult Download(Worker& w, const DownloadArgs& a);
// n calls of getDevStatus or getRMBCount; the time of each call in seconds.
// cpuSeconds, when given, grows by the worker's CPU time for the calls.
std::vector<double> Commands(Worker& w, uint16_t port, const std::string& func, int n, double* cpuSeconds = nullptr);
// Reads the whole 0xA1 stream and drops it: (seconds, bytes).
std::pair<double, uint64_t> Discard(Worker& w, uint16_t port);
// Peak resident growth (bytes) of the worker's process over one download.
struct MemoryResult {
    RunResult run;
    uint64_t hwmBefore = 0, hwmAfter = 0;
};
MemoryResult DownloadMemory(Worker& w, const DownloadArgs& a);

// ---------------------------------------------------------------------------
// Helpers.

double Now();  // monotonic seconds
double Median(std::vector<double> v);
double Percentile(std::vector<double> v, double p);  // p in [0, 100], nearest rank

// Creates dir and its parents.
bool MakeDirs(const std::string& dir);
// Removes what dir holds (not dir itself); the number of entries removed.
size_t EmptyDir(const std::string& dir);
void RemoveTree(const std::string& dir);
// Removes the files under dir, keeping its folders: a host's working folders
// stay from one download to the next (and a new one costs the driver a sync).
size_t ClearFiles(const std::string& dir);
size_t CountFiles(const std::string& dir);
// Flushes the file system that holds dir, outside any timed part.
void SyncFs(const std::string& dir);
bool IsTmpfs(const std::string& dir);
std::string FsType(const std::string& dir);

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::vector<size_t> ParseSizeList(const std::string& text);  // "1,100,1000"
std::string SizeName(size_t bytes);  // "1 KiB", "512 B"
std::string Rate(double bytesPerSecond);  // "12.3 MB/s"
std::string Count(double v);              // "12,345"
std::string Micros(double seconds);       // "123.4 µs"

// The one table shape of every program; bench.sh joins them. Reference is
// the receiver with the driver's own durability rule; the old-rule and
// no-sync columns are for downloads only.
struct Row {
    std::string bench, caseName, driver, driverLogOff, reference, ratio, target, result;
    std::string oldRule = "—", noSync = "—", ratioNoSync = "—", ratioOldRule = "—";
};
void PrintTable(const std::string& title, const std::vector<Row>& rows, const std::vector<std::string>& notes);
// The third worker of a comparison: the driver with logging off, or the
// candidate build when one is given.
Worker* NewSecondDriver(const Options& o);
std::string PassMiss(bool pass);

// Progress goes to stderr, tables to stdout.
void Progress(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace dcjbench
