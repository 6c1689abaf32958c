// Worker processes. The parent sends one job per line (fields separated by
// tabs) on descriptor 3 of the worker; the worker answers one line, "ok" or
// "err" and then its fields. Timing happens inside the worker, around the
// receiver's own work only.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

#include "BenchCommon.h"
#include "Reference.h"

extern char** environ;

namespace dcjbench {

namespace {

constexpr int kChannelFd = 3;
// Downloads get room for the largest reply (kDownloadReplyBytes). Commands
// get what a host typically hands the driver.
constexpr size_t kDownloadReplySize = kDownloadReplyBytes;
constexpr int kCommandReplySize = 102400;
constexpr const char* kDriverOk = "ECPWS0000000";

const char* KindArg(Kind kind)
{
    switch (kind) {
    case Kind::Reference: return "reference";
    case Kind::OldRule: return "old-rule";
    case Kind::NoSync: return "no-sync";
    case Kind::Driver: return "driver";
    }
    return "?";
}

Kind KindFromArg(const char* arg)
{
    for (Kind k : {Kind::Reference, Kind::OldRule, Kind::NoSync, Kind::Driver}) {
        if (strcmp(arg, KindArg(k)) == 0) return k;
    }
    throw std::runtime_error(std::string("unknown worker kind ") + arg);
}

ref::Rule RuleOf(Kind kind)
{
    return kind == Kind::OldRule ? ref::Rule::PerPacket : kind == Kind::NoSync ? ref::Rule::NoSync : ref::Rule::PerFile;
}

std::vector<std::string> Split(const std::string& line, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = line.find(sep, start);
        out.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

std::string Join(const std::vector<std::string>& fields)
{
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += '\t';
        line += fields[i];
    }
    return line + '\n';
}

bool WriteLine(int fd, const std::string& line)
{
    const char* p = line.data();
    size_t n = line.size();
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// One line from fd, without its '\n'; false at the end of the stream.
bool ReadLine(int fd, std::string* pending, std::string* line)
{
    for (;;) {
        size_t nl = pending->find('\n');
        if (nl != std::string::npos) {
            *line = pending->substr(0, nl);
            pending->erase(0, nl + 1);
            return true;
        }
        char buf[65536];
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        pending->append(buf, static_cast<size_t>(k));
    }
}

int MoveHigh(int fd)
{
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return high;
}

// ---------------------------------------------------------------------------
// Worker side.

using DoCommandFn = void (*)(int, int, char*, int, char*);

// Syncs so far, counted by the sync shim when it is preloaded; -1 without it.
long SyncCalls()
{
    using CountFn = unsigned long (*)();
    static const CountFn count = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "dcj_slowsync_calls"));
    return count ? static_cast<long>(count()) : -1;
}

// CPU time of this process (the receiver is its only busy thread).
double CpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class Receiver {
public:
    // The driver's reply buffer is allocated and touched once, here: a
    // download's peak resident size must not count it.
    Receiver(Kind kind, const std::string& driverPath)
        : m_kind(kind), m_reply(kind == Kind::Driver ? kDownloadReplySize + 1 : 1, 0)
    {
        if (kind != Kind::Driver) return;
        void* lib = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        m_doCommand = reinterpret_cast<DoCommandFn>(dlsym(lib, "doCommand"));
        if (!m_doCommand) throw std::runtime_error("no doCommand in " + driverPath);
    }

    RunResult Download(const DownloadArgs& a)
    {
        RunResult r;
        const long s0 = SyncCalls();
        if (m_kind != Kind::Driver) {
            const double c0 = CpuNow(), t0 = Now();
            ref::Download(a.port, a.uploadDir, a.tempDir, a.instNo, a.empNo, RuleOf(m_kind));
            r.seconds = Now() - t0;
            r.cpuSeconds = CpuNow() - c0;
            r.retCode = "ok";
            if (s0 >= 0) r.syncs = SyncCalls() - s0;
            return r;
        }
        std::string json = "{\"commonArgs\":{\"funcName\":\"getAllFSNFiles\",\"timeout\":\"20\"},"
                           "\"connectArgs\":{\"ip\":\"127.0.0.1\",\"port\":\"" +
                           std::to_string(a.port) + "\"},\"bizArgs\":{\"instNo\":\"" + a.instNo + "\",\"empNo\":\"" +
                           a.empNo + "\",\"uploadDir\":\"" + a.uploadDir + "\",\"tempDir\":\"" + a.tempDir + "\"}}";
        std::vector<char> in(json.begin(), json.end());
        in.push_back('\0');
        const double c0 = CpuNow(), t0 = Now();
        m_doCommand(0, static_cast<int>(json.size()), in.data(), static_cast<int>(kDownloadReplySize), m_reply.data());
        r.seconds = Now() - t0;
        r.cpuSeconds = CpuNow() - c0;
        r.retCode = ReplyField("retCode");
        if (s0 >= 0) r.syncs = SyncCalls() - s0;
        return r;
    }

    // Per-call seconds; throws when any call failed.
    std::vector<double> Commands(uint16_t port, const std::string& func, int n)
    {
        std::vector<double> t;
        t.reserve(static_cast<size_t>(n));
        const uint32_t cmd = func == "getRMBCount" ? 0xA3 : 0xA7;
        const std::string json = "{\"commonArgs\":{\"funcName\":\"" + func +
                                  "\",\"timeout\":\"10\"},\"connectArgs\":{\"ip\":\"127.0.0.1\",\"port\":\"" +
                                  std::to_string(port) + "\"}}";
        std::vector<char> in(json.begin(), json.end());
        in.push_back('\0');
        for (int i = 0; i < n; ++i) {
            const double t0 = Now();
            if (m_kind != Kind::Driver) {
                ref::Command(port, cmd);
            } else {
                // A reply that fills the buffer has no NUL of its own.
                m_reply[kCommandReplySize] = '\0';
                m_doCommand(0, static_cast<int>(json.size()), in.data(), kCommandReplySize, m_reply.data());
            }
            t.push_back(Now() - t0);
            if (m_kind == Kind::Driver) {
                const bool ok = ReplyField("retCode") == kDriverOk &&
                                (func != "getDevStatus" || ReplyField("status") == "01");
                if (!ok) throw std::runtime_error(func + " failed: " + std::string(m_reply.data()));
            }
        }
        return t;
    }

private:
    // A string member of the reply, found by name (replies are flat enough).
    // The byte past the buffer handed to the driver is always a NUL.
    std::string ReplyField(const std::string& name) const
    {
        const std::string reply(m_reply.data());
        const std::string key = "\"" + name + "\":\"";
        size_t at = reply.find(key);
        if (at == std::string::npos) return reply.empty() ? "(empty reply)" : "(none)";
        at += key.size();
        return reply.substr(at, reply.find('"', at) - at);
    }

    Kind m_kind;
    DoCommandFn m_doCommand = nullptr;
    std::vector<char> m_reply;
};

uint64_t VmHwmBytes()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    unsigned long kb = 0;
    while (fgets(line, sizeof line, f)) {
        if (sscanf(line, "VmHWM: %lu kB", &kb) == 1) break;
    }
    fclose(f);
    return static_cast<uint64_t>(kb) * 1024;
}

// Resets the peak to the present resident size.
void ResetHwm()
{
    int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open /proc/self/clear_refs");
    const bool ok = write(fd, "5", 1) == 1;
    close(fd);
    if (!ok) throw std::runtime_error("cannot reset the peak resident size");
}

DownloadArgs ArgsFrom(const std::vector<std::string>& f, size_t at)
{
    DownloadArgs a;
    a.port = static_cast<uint16_t>(std::stoi(f.at(at)));
    a.uploadDir = f.at(at + 1);
    a.tempDir = f.at(at + 2);
    return a;
}

std::vector<std::string> Serve(Receiver& r, const std::vector<std::string>& f)
{
    const std::string& job = f.at(0);
    if (job == "download") {
        RunResult res = r.Download(ArgsFrom(f, 1));
        return {Fmt("%.9f", res.seconds), res.retCode, Fmt("%.9f", res.cpuSeconds), std::to_string(res.syncs)};
    }
    if (job == "commands") {
        const double c0 = CpuNow();
        std::vector<double> t = r.Commands(static_cast<uint16_t>(std::stoi(f.at(1))), f.at(2), std::stoi(f.at(3)));
        const double cpu = CpuNow() - c0;
        std::string list;
        for (double s : t) list += Fmt("%.0f,", s * 1e9);
        return {list, Fmt("%.9f", cpu)};
    }
    if (job == "discard") {
        const double t0 = Now();
        uint64_t bytes = ref::Discard(static_cast<uint16_t>(std::stoi(f.at(1))));
        return {Fmt("%.9f", Now() - t0), std::to_string(bytes)};
    }
    if (job == "memory") {
        const DownloadArgs a = ArgsFrom(f, 1);
        ResetHwm();
        const uint64_t before = VmHwmBytes();
        RunResult res = r.Download(a);
        const uint64_t after = VmHwmBytes();
        return {Fmt("%.9f", res.seconds), res.retCode, std::to_string(before), std::to_string(after)};
    }
    throw std::runtime_error("unknown job " + job);
}

}  // namespace

bool IsWorker(int argc, char** argv)
{
    return argc >= 2 && strcmp(argv[1], "--worker") == 0;
}

int WorkerMain(int argc, char** argv)
{
    if (argc < 4) return 2;
    signal(SIGPIPE, SIG_IGN);
    std::string pending, line;
    try {
        Receiver receiver(KindFromArg(argv[2]), argv[3]);
        if (!WriteLine(kChannelFd, "ok\tready\n")) return 1;
        while (ReadLine(kChannelFd, &pending, &line)) {
            std::vector<std::string> f = Split(line, '\t');
            if (f.at(0) == "quit") return 0;
            std::vector<std::string> answer;
            try {
                answer = Serve(receiver, f);
                answer.insert(answer.begin(), "ok");
            } catch (const std::exception& e) {
                answer = {"err", e.what()};
            }
            if (!WriteLine(kChannelFd, Join(answer))) return 1;
        }
    } catch (const std::exception& e) {
        WriteLine(kChannelFd, Join({"err", e.what()}));
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Parent side.

Worker::Worker(const Options& o, Kind kind, const char* logLevel, const std::string& driverPath)
    : Worker(o, kind, WorkerEnv{logLevel, driverPath, "", {}})
{
}

Worker::Worker(const Options& o, Kind kind, const WorkerEnv& we) : m_kind(kind)
{
    const char* logLevel = we.logLevel;
    const std::string& driverPath = we.driverPath;
    switch (kind) {
    case Kind::Reference: m_name = "reference"; break;
    case Kind::OldRule: m_name = "old-rule reference"; break;
    case Kind::NoSync: m_name = "no-sync reference"; break;
    case Kind::Driver: m_name = std::string("driver, log ") + (logLevel ? logLevel : "default"); break;
    }
    if (!driverPath.empty()) m_name = "candidate " + m_name;
    if (!we.preload.empty()) m_name += " (preloaded)";
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) throw std::runtime_error("socketpair");
    // Kept clear of 3 so the dup below always makes a fresh, inheritable copy.
    sv[0] = MoveHigh(sv[0]);
    sv[1] = MoveHigh(sv[1]);

    std::vector<std::string> env;
    std::string preload = we.preload;
    // A sanitized build links its runtime, which then no longer comes first
    // once something is preloaded; it works all the same, so it must not
    // refuse to start.
    std::string asan = "verify_asan_link_order=0";
    for (char** e = environ; *e; ++e) {
        if (strncmp(*e, "VDXLOG_LEVEL=", 13) == 0) continue;
        if (!preload.empty() && strncmp(*e, "LD_PRELOAD=", 11) == 0) {
            // Ours after any already there (a sanitizer runtime must stay first).
            if ((*e)[11]) preload = std::string(*e + 11) + ":" + preload;
            continue;
        }
        if (!preload.empty() && strncmp(*e, "ASAN_OPTIONS=", 13) == 0) {
            if ((*e)[13]) asan = std::string(*e + 13) + ":" + asan;
            continue;
        }
        env.push_back(*e);
    }
    if (logLevel) env.push_back(std::string("VDXLOG_LEVEL=") + logLevel);
    if (!preload.empty()) {
        env.push_back("LD_PRELOAD=" + preload);
        env.push_back("ASAN_OPTIONS=" + asan);
    }
    for (const std::string& e : we.extra) {
        const std::string name = e.substr(0, e.find('=') + 1);
        for (auto it = env.begin(); it != env.end();) {
            it = it->compare(0, name.size(), name) == 0 ? env.erase(it) : it + 1;
        }
        env.push_back(e);
    }
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(&s[0]);
    envp.push_back(nullptr);

    std::string self = o.self, flag = "--worker", which = KindArg(kind),
                driver = driverPath.empty() ? o.driver : driverPath;
    char* argv[] = {&self[0], &flag[0], &which[0], &driver[0], nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, sv[1], kChannelFd);
    const int rc = posix_spawn(&m_pid, "/proc/self/exe", &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(sv[1]);
    if (rc != 0) {
        close(sv[0]);
        throw std::runtime_error(std::string("posix_spawn: ") + strerror(rc));
    }
    m_fd = sv[0];
    std::string line;
    if (!ReadLine(m_fd, &m_pending, &line) || line.compare(0, 2, "ok") != 0)
        throw std::runtime_error(m_name + " worker did not start: " + line);
}

Worker::~Worker()
{
    if (m_fd >= 0) {
        WriteLine(m_fd, "quit\n");
        close(m_fd);
    }
    if (m_pid > 0) {
        int status;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::vector<std::string> Worker::Call(const std::vector<std::string>& fields)
{
    std::string line;
    if (!WriteLine(m_fd, Join(fields)) || !ReadLine(m_fd, &m_pending, &line))
        throw std::runtime_error(m_name + " worker is gone");
    std::vector<std::string> f = Split(line, '\t');
    if (f.at(0) != "ok") throw std::runtime_error(m_name + ": " + (f.size() > 1 ? f[1] : line));
    f.erase(f.begin());
    return f;
}

bool IsDriver(Kind kind)
{
    return kind == Kind::Driver;
}

bool Succeeded(Kind kind, const RunResult& r)
{
    return r.retCode == (IsDriver(kind) ? kDriverOk : "ok");
}

RunResult Download(Worker& w, const DownloadArgs& a)
{
    std::vector<std::string> f = w.Call({"download", std::to_string(a.port), a.uploadDir, a.tempDir});
    return RunResult{std::stod(f.at(0)), std::stod(f.at(2)), f.at(1), std::stol(f.at(3))};
}

std::vector<double> Commands(Worker& w, uint16_t port, const std::string& func, int n, double* cpuSeconds)
{
    std::vector<std::string> f = w.Call({"commands", std::to_string(port), func, std::to_string(n)});
    if (cpuSeconds) *cpuSeconds += std::stod(f.at(1));
    std::vector<double> t;
    for (const std::string& ns : Split(f.at(0), ',')) {
        if (!ns.empty()) t.push_back(std::stod(ns) / 1e9);
    }
    return t;
}

std::pair<double, uint64_t> Discard(Worker& w, uint16_t port)
{
    std::vector<std::string> f = w.Call({"discard", std::to_string(port)});
    return {std::stod(f.at(0)), std::stoull(f.at(1))};
}

MemoryResult DownloadMemory(Worker& w, const DownloadArgs& a)
{
    std::vector<std::string> f = w.Call({"memory", std::to_string(a.port), a.uploadDir, a.tempDir});
    MemoryResult m;
    m.run = RunResult{std::stod(f.at(0)), 0, f.at(1)};
    m.hwmBefore = std::stoull(f.at(2));
    m.hwmAfter = std::stoull(f.at(3));
    return m;
}

}  // namespace dcjbench
