// Memory: peak resident growth of the receiving process over one 256 MiB
// single-file download in 1 MiB packets. The counter is the dcjsim program
// in a process of its own, and every receiver gets a fresh process, so the
// peak belongs to the download alone.
//
//   bench_memory [--packets N] [--packet-size BYTES]
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "BenchCommon.h"

extern char** environ;

using namespace dcjbench;

namespace {

// The dcjsim program, stopping by itself: after the download and its
// confirm, or when left idle.
class SimProcess {
public:
    SimProcess(const std::string& binDir, size_t packets, size_t packetSize)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const std::string prog = binDir + "/dcjsim";
        std::vector<std::string> args = {prog,           "--generate",    "1",
                                         "--packets",    std::to_string(packets), "--packet-size",
                                         std::to_string(packetSize), "--idle-exit", "30",
                                         "--max-exchanges", "2",          "--quiet"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        const int rc = posix_spawn(&m_pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        if (rc != 0) {
            close(fds[0]);
            throw std::runtime_error("cannot start " + prog + ": " + strerror(rc));
        }
        m_out = fds[0];
        // Its first line names the port; it is written once the listener is up.
        std::string line;
        char c;
        while (line.size() < 200) {
            ssize_t k = read(m_out, &c, 1);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0 || c == '\n') break;
            line += c;
        }
        const size_t colon = line.rfind(':');
        if (line.rfind("dcjsim listening on ", 0) != 0 || colon == std::string::npos) {
            Stop();
            throw std::runtime_error("dcjsim did not start: " + line);
        }
        m_port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    uint16_t Port() const { return m_port; }

    // Waits for it to leave on its own (it has --max-exchanges); a failed
    // run may leave it waiting, so it is then told to stop.
    void Stop(bool finished = false)
    {
        if (m_pid <= 0) return;
        if (!finished) kill(m_pid, SIGTERM);
        char buf[4096];
        while (read(m_out, buf, sizeof buf) > 0) {
        }
        close(m_out);
        int st;
        while (waitpid(m_pid, &st, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    uint16_t m_port = 0;
};

// Size of the one regular file in dir, whatever its name.
uint64_t OnlyFileSize(const std::string& dir)
{
    uint64_t size = 0;
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        struct stat st;
        if (e->d_type == DT_REG && stat((dir + e->d_name).c_str(), &st) == 0) size = static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    return size;
}

std::string MiB(double bytes)
{
    return Fmt("%.2f MiB", bytes / (1024.0 * 1024.0));
}

}  // namespace

int main(int argc, char** argv)
{
    if (IsWorker(argc, argv)) return WorkerMain(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> rest;
    Options o = ParseOptions(argc, argv, &rest);
    size_t packets = 256, packetSize = 1 << 20;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--packets" && i + 1 < rest.size()) packets = std::stoul(rest[++i]);
        else if (rest[i] == "--packet-size" && i + 1 < rest.size()) packetSize = std::stoul(rest[++i]);
        else {
            fprintf(stderr, "bench_memory: unknown option %s\n", rest[i].c_str());
            return 2;
        }
    }
    const std::string base = o.diskDir + "/memory", up = base + "/up/", temp = base + "/tmp/";
    int status = 0;
    try {
        if (!MakeDirs(up) || !MakeDirs(temp)) throw std::runtime_error("cannot create " + up);
        const uint64_t fileBytes = static_cast<uint64_t>(packets) * packetSize;
        double growth[3] = {0, 0, 0}, seconds[3] = {0, 0, 0};
        const Kind kinds[3] = {Kind::Reference, Kind::Driver, Kind::Driver};
        const char* levels[3] = {nullptr, nullptr, "off"};
        for (int i = 0; i < 3; ++i) {
            EmptyDir(up);
            ClearFiles(temp);
            SimProcess sim(o.binDir, packets, packetSize);
            Worker w(o, kinds[i], levels[i]);
            DownloadArgs a;
            a.port = sim.Port();
            a.uploadDir = up;
            a.tempDir = temp;
            MemoryResult m = DownloadMemory(w, a);
            sim.Stop(true);
            if (!Succeeded(kinds[i], m.run)) throw std::runtime_error(w.Name() + " download failed: " + m.run.retCode);
            if (CountFiles(up) != 1) throw std::runtime_error(w.Name() + ": no file delivered");
            const uint64_t size = OnlyFileSize(up);
            if (size != fileBytes)
                throw std::runtime_error(w.Name() + Fmt(": file holds %llu bytes, %llu expected",
                                                        static_cast<unsigned long long>(size),
                                                        static_cast<unsigned long long>(fileBytes)));
            growth[i] = static_cast<double>(m.hwmAfter) - static_cast<double>(m.hwmBefore);
            seconds[i] = m.run.seconds;
            Progress("memory: %s: VmHWM %llu -> %llu kB in %.2f s", w.Name().c_str(),
                     static_cast<unsigned long long>(m.hwmBefore / 1024),
                     static_cast<unsigned long long>(m.hwmAfter / 1024), m.run.seconds);
        }
        const double limit = static_cast<double>(packetSize) + 4.0 * 1024 * 1024;
        std::vector<Row> rows = {
            {"Memory, disk (" + FsType(up) + ")",
             Fmt("peak RSS growth, %s file in %s packets", SizeName(fileBytes).c_str(), SizeName(packetSize).c_str()),
             MiB(growth[1]), MiB(growth[2]), MiB(growth[0]), "—", "≤ 1 packet + 4 MiB = " + MiB(limit),
             PassMiss(growth[1] <= limit && growth[2] <= limit)}};
        PrintTable("Memory", rows,
                   {"Memory: VmHWM of the receiving process, reset through /proc/self/clear_refs just before the "
                    "download, read right after; the driver's process had only loaded it (first call, so one-time "
                    "set-up is counted). dcjsim runs as a separate program." +
                    Fmt(" Download times: driver %.2f s, reference %.2f s.", seconds[1], seconds[0])});
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_memory: %s\n", e.what());
        status = 1;
    }
    RemoveTree(base);
    return status;
}
