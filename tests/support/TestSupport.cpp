#include "TestSupport.h"

#include <pthread.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#include <dirent.h>
#include <errno.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dcjtest {

TempDir::TempDir(const std::string& tag)
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dp = opendir(path.c_str());
    if (!dp) return names;
    while (dirent* e = readdir(dp)) {
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(dp);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

namespace {

void ReadAll(int outFd, int errFd, ProcessResult* result, int timeoutSeconds, pid_t pid)
{
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = (outFd >= 0) + (errFd >= 0);
    const time_t deadline = time(nullptr) + timeoutSeconds;
    char buf[4096];
    while (open > 0) {
        int left = static_cast<int>(deadline - time(nullptr));
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left * 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result->out : result->err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
}

int WaitStatus(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

namespace {
// e_machine of an ELF file (64-bit little-endian targets), or -1.
int ElfMachine(const std::string& path)
{
    unsigned char header[20];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = read(fd, header, sizeof(header));
    close(fd);
    if (n != static_cast<ssize_t>(sizeof(header)) || memcmp(header, "\x7f" "ELF", 4) != 0) return -1;
    return header[18] | header[19] << 8;
}
}  // namespace

std::vector<std::string> ProgramCommand(const std::vector<std::string>& argv, const std::string& cwd)
{
    // A cross build's tests run under an emulator (DCJ_TEST_EMULATOR, say
    // "qemu-aarch64 -L /usr/aarch64-linux-gnu") that the kernel does not
    // know: a program built for the same machine as this one is started
    // through it; host programs run as they are.
    const char* emulator = getenv("DCJ_TEST_EMULATOR");
    if (emulator == nullptr || *emulator == '\0' || argv.empty() || argv[0].find('/') == std::string::npos) {
        return argv;
    }
    std::string program = argv[0];
    if (program == "/proc/self/exe") {
        // In the emulator's process that would name the emulator.
        char path[4096];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
        if (n > 0) program.assign(path, static_cast<size_t>(n));
    }
    const std::string where = program[0] != '/' && !cwd.empty() ? cwd + "/" + program : program;
    if (ElfMachine(where) != ElfMachine("/proc/self/exe")) return argv;
    std::vector<std::string> command;
    std::istringstream words(emulator);
    for (std::string word; words >> word;) command.push_back(word);
    command.push_back(program);
    command.insert(command.end(), argv.begin() + 1, argv.end());
    return command;
}

ProcessResult RunProcess(const std::vector<std::string>& programArgv, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds)
{
    const std::vector<std::string> argv = ProgramCommand(programArgv, cwd);
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ReadAll(outPipe[0], errPipe[0], &result, timeoutSeconds, pid);
    result.status = WaitStatus(pid);
    return result;
}

void RunAsFreshHost(const char* filter, const char* mode)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const ProcessResult run =
        RunProcess(ProgramCommand({self, std::string("--gtest_filter=") + filter}), "", {{"DCJ_FRESH_HOST", mode}}, 60);
    EXPECT_EQ(run.status, 0) << mode << ": " << run.out << run.err;
}

void ActOnPendingCancel()
{
#if defined(__SANITIZE_ADDRESS__)
    __asan_handle_no_return();
#endif
    pthread_testcancel();
}

ProcessResult RunInChild(const std::function<int()>& body, int timeoutSeconds)
{
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return result;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ReadAll(outPipe[0], errPipe[0], &result, timeoutSeconds, pid);
    result.status = WaitStatus(pid);
    return result;
}

std::vector<std::string> ZipEntries(const std::string& zip)
{
    const ProcessResult result = RunProcess({"unzip", "-Z1", zip});
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t nl; (nl = result.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        names.push_back(result.out.substr(start, nl - start));
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {
std::string Iconv(const char* to, const char* from, const std::string& text)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    std::string out(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* dst = &out[0];
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) throw std::runtime_error("iconv failed");
    out.resize(out.size() - outLeft);
    return out;
}
}  // namespace

std::string Utf8ToGbk(const std::string& utf8)
{
    return Iconv("GBK", "UTF-8", utf8);
}

std::string GbkToUtf8(const std::string& gbk)
{
    return Iconv("UTF-8", "GBK", gbk);
}

long long WallClockSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec);
}

std::string LocalStamp(long long seconds, const char* format)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm local;
    char text[64] = {0};
    if (localtime_r(&t, &local) == nullptr) return "<no local time>";
    strftime(text, sizeof(text), format, &local);
    return text;
}

int OpenDescriptorCount()
{
    return static_cast<int>(ListDir("/proc/self/fd").size()) - 1;  // minus the one listing it
}

DriverLib::DriverLib(const std::string& path)
{
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle) {
        m_doCommand = reinterpret_cast<void (*)(int, int, char*, int, char*)>(dlsym(m_handle, "doCommand"));
    }
}

DriverLib::~DriverLib()
{
    // Left loaded: a host unloads at exit, and tests must not depend on
    // unload order of globals.
}

void* DriverLib::symbol(const char* name) const
{
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

std::string DriverLib::DoCommand(const std::string& request, int outLen)
{
    std::vector<char> in(request.begin(), request.end());
    in.push_back('\0');
    std::vector<char> out(static_cast<size_t>(outLen > 0 ? outLen : 0) + 1, '\x7f');
    m_doCommand(0, static_cast<int>(request.size()), in.data(), outLen, out.data());
    if (outLen <= 0) return std::string();
    size_t n = strnlen(out.data(), static_cast<size_t>(outLen));
    return std::string(out.data(), n);
}

std::string ReplyField(const std::string& reply, const char* section, const char* key)
{
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(reply.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return "<bad json>";
    auto sec = doc.FindMember(section);
    if (sec == doc.MemberEnd() || !sec->value.IsObject()) return "<none>";
    auto member = sec->value.FindMember(key);
    if (member == sec->value.MemberEnd() || !member->value.IsString()) return "<none>";
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

bool HasSection(const std::string& reply, const char* section)
{
    rapidjson::Document doc;
    doc.Parse(reply.c_str());
    return !doc.HasParseError() && doc.IsObject() && doc.HasMember(section);
}

std::string MakeRequest(const std::string& funcName, const std::string& ip, int port,
                        const std::map<std::string, std::string>& extra)
{
    auto quote = [](const std::string& s) {
        std::string q = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\') q += '\\';
            q += c;
        }
        return q + "\"";
    };
    std::string common = "\"devKind\":\"DCJ\",\"devBrand\":\"QOLT\",\"funcName\":" + quote(funcName);
    std::string connect = "\"ip\":" + quote(ip) + ",\"port\":" + quote(std::to_string(port));
    std::string biz;
    for (const auto& kv : extra) {
        std::string member = quote(kv.first) + ":" + quote(kv.second);
        if (kv.first == "timeout" || kv.first == "sn") {
            common += "," + member;
        } else {
            biz += (biz.empty() ? "" : ",") + member;
        }
    }
    return "{\"commonArgs\":{" + common + "},\"connectArgs\":{" + connect + "},\"bizArgs\":{" + biz + "}}";
}

}  // namespace dcjtest
