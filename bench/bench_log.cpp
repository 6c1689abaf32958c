// The log library: records per second and CPU time per record at the
// default level, against a minimal write(2) of the same line to a file
// opened with O_APPEND, measured in the same run, interleaved in blocks.
//
//   bench_log [--quick] [--scale X] [--records N] [--block N]
//
// The library is loaded the way the driver loads it (dlopen, beside the
// driver) and writes into a file in the disk folder; the library's
// rotation works as under a host (default cap).
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "BenchCommon.h"

using namespace dcjbench;

namespace {

typedef void (*LogFunc)(const char*, const char*, const char*, int, const char*);
typedef void (*HoldFunc)(int);

// A record as the driver writes one on every call.
constexpr const char kFile[] = "MERV_QOLT_DCJ.cpp";
constexpr int kLine = 152;
constexpr const char kText[] = ">>doCommand funcName:getDevStatus,timeout:10";
// Records the driver writes per command, held and written together.
constexpr int kBurst = 8;

double ThreadCpu()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The library's line for the record, with the same field widths, for the
// minimal writer: "YYYY-MM-DD hh:mm:ss.mmm [pid:tid] INFO  QOLT DCJ file:line text\n".
std::string SameLine()
{
    char line[512];
    snprintf(line, sizeof(line), "2026-12-07 09:05:07.123 [%ld:%ld] INFO  QOLT DCJ %s:%d %s\n",
             static_cast<long>(getpid()), static_cast<long>(getpid()), kFile, kLine, kText);
    return line;
}

struct Figures {
    double wall = 0, cpu = 0;
    long records = 0;
};

class Library {
public:
    explicit Library(const std::string& path)
    {
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        info = reinterpret_cast<LogFunc>(dlsym(m_handle, "LogInfo"));
        hold = reinterpret_cast<HoldFunc>(dlsym(m_handle, "LogHold"));
        if (!info || !hold) throw std::runtime_error("libvdxlog.so lacks LogInfo or LogHold");
    }
    LogFunc info = nullptr;
    HoldFunc hold = nullptr;

private:
    void* m_handle = nullptr;  // kept loaded, as the driver keeps it
};

// n records; burst > 1: held in groups of burst, as the driver holds a call's.
void LogRecords(const Library& lib, int n, int burst, Figures* f)
{
    const double w0 = Now(), c0 = ThreadCpu();
    for (int i = 0; i < n; i += burst) {
        if (burst > 1) lib.hold(1);
        for (int k = 0; k < burst; ++k) lib.info("QOLT", "DCJ", kFile, kLine, kText);
        if (burst > 1) lib.hold(0);
    }
    f->cpu += ThreadCpu() - c0;
    f->wall += Now() - w0;
    f->records += n;
}

// The same lines with plain write(2): one per record, or one per burst.
void Minimal(int fd, const std::string& line, int n, int burst, Figures* f)
{
    std::string block;
    for (int k = 0; k < burst; ++k) block += line;
    const double w0 = Now(), c0 = ThreadCpu();
    for (int i = 0; i < n; i += burst) {
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            throw std::runtime_error("write failed");
        }
    }
    f->cpu += ThreadCpu() - c0;
    f->wall += Now() - w0;
    f->records += n;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> rest;
    Options o = ParseOptions(argc, argv, &rest);
    long records = std::max(20000L, static_cast<long>(400000 * o.scale));
    int block = 2000;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--records" && i + 1 < rest.size()) records = std::stol(rest[++i]);
        else if (rest[i] == "--block" && i + 1 < rest.size()) block = std::stoi(rest[++i]);
        else {
            fprintf(stderr, "bench_log: unknown option %s\n", rest[i].c_str());
            return 2;
        }
    }
    block = std::max(kBurst, block / kBurst * kBurst);
    try {
        const std::string dir = o.diskDir + "/log";
        if (!MakeDirs(dir)) throw std::runtime_error("cannot create " + dir);
        EmptyDir(dir);
        const std::string logPath = dir + "/vdxlog.log", minimalPath = dir + "/minimal.log";
        setenv("VDXLOG_FILE", logPath.c_str(), 1);
        unsetenv("VDXLOG_LEVEL");
        unsetenv("VDXLOG_MAX_BYTES");
        unsetenv("VDXLOG_KEEP");
        const std::string driverDir = o.driver.substr(0, o.driver.rfind('/') + 1);
        Library lib(driverDir + "libvdxlog.so");
        const int fd = open(minimalPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error("cannot open " + minimalPath);
        const std::string line = SameLine();

        std::vector<Row> rows;
        std::string cpuNote;
        for (int burst : {1, kBurst}) {
            // The first records open the file.
            Figures warm;
            LogRecords(lib, block, burst, &warm);
            Minimal(fd, line, block, burst, &warm);
            Figures lf, mf;
            for (long done = 0, b = 0; done < records; done += block, ++b) {
                // Alternated, so the machine's other work hits both alike.
                if (b % 2 == 0) {
                    LogRecords(lib, block, burst, &lf);
                    Minimal(fd, line, block, burst, &mf);
                } else {
                    Minimal(fd, line, block, burst, &mf);
                    LogRecords(lib, block, burst, &lf);
                }
                // Keep the minimal file from filling the disk; the library
                // rotates its own.
                if (lseek(fd, 0, SEEK_END) > (64 << 20) && ftruncate(fd, 0) != 0) {
                    perror("bench_log: ftruncate");
                    return 1;
                }
            }
            Progress("log: %ld records each, burst %d", lf.records, burst);
            const double cpu = lf.cpu / lf.records, cpuRef = mf.cpu / mf.records;
            const std::string caseName =
                burst == 1 ? Fmt("one record, one write (%s records)", Count(static_cast<double>(lf.records)).c_str())
                           : Fmt("%d records held and written together, as in one driver call", burst);
            // Held records share one write, so the whole cost counts; a
            // record on its own pays a write(2) of its own, which the
            // reference pays too, and the library's cost is what is beyond it.
            const double own = burst == 1 ? cpu - cpuRef : cpu;
            const bool pass = own <= 1.5e-6;
            rows.push_back({"Log library", caseName,
                            Fmt("%s records/s · %s CPU/record", Count(lf.records / lf.wall).c_str(),
                                Micros(cpu).c_str()),
                            "—",
                            Fmt("write(2): %s records/s · %s CPU/record", Count(mf.records / mf.wall).c_str(),
                                Micros(cpuRef).c_str()),
                            Fmt("%.2f", cpu / cpuRef),
                            burst == 1 ? Fmt("≤ 1.5 µs CPU/record beyond the write(2) (%s)", Micros(own).c_str())
                                       : std::string("≤ 1.5 µs CPU/record"),
                            PassMiss(pass)});
        }
        close(fd);
        RemoveTree(dir);
        PrintTable("Log library", rows,
                   {"Log: libvdxlog.so loaded with dlopen, records at the default level (info) into a file on the "
                    "disk folder, default rotation; reference = write(2) of the same line to a file opened with "
                    "O_APPEND, alternated in blocks of " +
                    std::to_string(block) +
                    " records. CPU = the calling thread's CPU time (user + system) per record; ratio = library / "
                    "write(2) CPU per record."});
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_log: %s\n", e.what());
        return 1;
    }
    return 0;
}
