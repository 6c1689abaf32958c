// Shared helpers of the test programs: temporary folders, files, child
// processes, the driver loaded the way a host loads it, GBK text.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dcjtest {

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "dcj");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
bool Exists(const std::string& path);  // lstat: links count, dangling or not
std::vector<std::string> ListDir(const std::string& path);  // sorted, without "." and ".."
void RemoveTree(const std::string& path);

// Runs argv (PATH lookup) in cwd with extra environment entries; returns the
// exit status (-1 if it did not exit) and what it printed.
struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd = "",
                         const std::map<std::string, std::string>& env = {}, int timeoutSeconds = 120);

// argv as it must be exec'd (execvp) from cwd: under DCJ_TEST_EMULATOR, a
// program built for this test's own machine is started through the emulator.
std::vector<std::string> ProgramCommand(const std::vector<std::string>& argv, const std::string& cwd = "");

// Runs body in a forked child; its return value is the exit status, its
// stdout is captured.
ProcessResult RunInChild(const std::function<int()>& body, int timeoutSeconds = 120);

// Runs the tests of filter again in a process of their own (this test
// program, which has not loaded the driver yet there), with DCJ_FRESH_HOST
// set to mode; expects it to end with 0.
void RunAsFreshHost(const char* filter, const char* mode);

// pthread_testcancel, for a test thread whose cancel is pending. The
// address sanitizer does not see a cancel's unwinding: the frames it ends
// would stay poisoned, and the thread's exit would trip on them.
void ActOnPendingCancel();

// Entry names of a zip archive, sorted (read with unzip).
std::vector<std::string> ZipEntries(const std::string& zip);

// GBK <-> UTF-8 for assertions on descriptions.
std::string Utf8ToGbk(const std::string& utf8);
std::string GbkToUtf8(const std::string& gbk);

// The wall clock the driver and the log stamp with, in whole seconds.
// time() reads a coarser clock that can lag it by a tick, so a stamp taken
// with time() just after a record may still show the previous second.
long long WallClockSeconds();

// "YYYY-MM-DD hh:mm:ss" (log) or "YYYYMMDDhhmmss" (archive) for a second.
std::string LocalStamp(long long seconds, const char* format);

// Descriptors open in this process (for leak checks).
int OpenDescriptorCount();

// The driver loaded with dlopen, as a host does.
class DriverLib {
public:
    explicit DriverLib(const std::string& path = DCJ_DRIVER_SO);
    ~DriverLib();
    bool ok() const { return m_handle != nullptr; }
    void* symbol(const char* name) const;
    // doCommand with a buffer of outLen bytes; returns the bytes up to the
    // first NUL (or all outLen when there is none).
    std::string DoCommand(const std::string& request, int outLen = 102400);
    void* handle() const { return m_handle; }

private:
    void* m_handle = nullptr;
    void (*m_doCommand)(int, int, char*, int, char*) = nullptr;
};

// A member of a reply document ("retComArgs" or "retBizArgs"); "<none>" when
// the section or key is missing, "<bad json>" when the reply does not parse.
std::string ReplyField(const std::string& reply, const char* section, const char* key);
// The reply's retCode.
inline std::string Code(const std::string& reply)
{
    return ReplyField(reply, "retComArgs", "retCode");
}
bool HasSection(const std::string& reply, const char* section);

// A request in the host's three-section shape. Keys map to their section.
std::string MakeRequest(const std::string& funcName, const std::string& ip, int port,
                        const std::map<std::string, std::string>& extra = {});

}  // namespace dcjtest
