// The driver as a host sees it: a shared library opened with dlopen and one
// entry point, doCommand, bound by name.
#pragma once

#include <stddef.h>

#include <string>

namespace dcjctl {

// Where the driver is looked for when neither --driver nor DCJCTL_DRIVER
// names it: ../lib/MERV_DCJ_QOLT.so from the folder of this program.
std::string DefaultDriverPath();

class DriverHost {
public:
    // The buffer a host passes, and the most a retry may grow it to.
    static constexpr size_t kFirstReplyBuffer = 102400;
    static constexpr size_t kLargestReplyBuffer = 8u * 1024u * 1024u;

    bool Load(const std::string& path, std::string* error);

    // One doCommand with a kFirstReplyBuffer buffer. When the reply says the
    // buffer was too small and mayRepeat is set, the request is sent again
    // with a larger buffer, up to kLargestReplyBuffer. Every attempt runs the
    // whole command on the counter again, so only requests that can be
    // repeated safely may set mayRepeat.
    std::string Call(const std::string& request, bool mayRepeat);

    // How many doCommand calls the last Call made.
    int Attempts() const { return m_attempts; }

private:
    using DoCommandFn = void (*)(int, int, char*, int, char*);
    DoCommandFn m_doCommand = nullptr;
    int m_attempts = 0;
};

}  // namespace dcjctl
