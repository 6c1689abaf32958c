#include "DriverHost.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Request.h"

namespace dcjctl {

std::string DefaultDriverPath()
{
    std::vector<char> buf(4096);
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) >= buf.size() - 1) return "../lib/MERV_DCJ_QOLT.so";
    std::string exe(buf.data(), static_cast<size_t>(n));
    const std::string::size_type slash = exe.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash == 0 ? 1 : slash);
    return dir + (dir == "/" ? "" : "/") + "../lib/MERV_DCJ_QOLT.so";
}

bool DriverHost::Load(const std::string& path, std::string* error)
{
    // The driver prints to stdout when its log library is missing; that
    // text must not mix with a reply printed for a script. While it loads,
    // its stdout is our stderr.
    fflush(stdout);
    const int savedOut = dup(1);
    if (savedOut >= 0) dup2(2, 1);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* why = handle ? nullptr : dlerror();
    std::string reason = why ? why : "";
    fflush(stdout);
    if (savedOut >= 0) {
        dup2(savedOut, 1);
        close(savedOut);
    }
    if (handle == nullptr) {
        if (error) *error = reason.empty() ? "dlopen failed" : reason;
        return false;
    }
    // Never unloaded: the driver keeps global state until the process ends.
    m_doCommand = reinterpret_cast<DoCommandFn>(dlsym(handle, "doCommand"));
    if (m_doCommand == nullptr) {
        if (error) *error = "no doCommand in " + path;
        return false;
    }
    return true;
}

std::string DriverHost::Call(const std::string& request, bool mayRepeat)
{
    m_attempts = 0;
    // doCommand takes a writable text; it reads up to the first NUL.
    std::vector<char> in(request.begin(), request.end());
    in.push_back('\0');
    size_t size = kFirstReplyBuffer;
    for (;;) {
        std::vector<char> out(size + 1, '\0');
        std::vector<char> input = in;  // the driver may scribble on its input
        ++m_attempts;
        m_doCommand(0, static_cast<int>(request.size()), input.data(), static_cast<int>(size), out.data());
        std::string reply(out.data(), strnlen(out.data(), size));
        if (!mayRepeat || size >= kLargestReplyBuffer || !IsBufferTooSmallReply(reply)) return reply;
        size = std::min(size * 4, kLargestReplyBuffer);
    }
}

}  // namespace dcjctl
