// drvprobe: loads the driver the way a host does and sends one download
// request. DRVPROBE_IP and DRVPROBE_PORT point it at another counter (a
// simulator on an unprivileged port, say).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "LoadDll.h"

namespace {

std::string EnvOr(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return (value && *value) ? value : fallback;
}

// Keeps the request valid JSON whatever the environment holds.
bool PlainText(const std::string& text)
{
    for (char c : text) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    return true;
}

}  // namespace

int main()
{
    const bool loaded = LoadLib("../lib/MERV_DCJ_QOLT.so");
    puts(loaded ? "LoadLib MERV_DCJ_QOLT.so sucess" : "LoadLib MERV_DCJ_QOLT.so faied");
    fflush(stdout);
    if (!loaded) return 1;

    const std::string ip = EnvOr("DRVPROBE_IP", "127.0.0.1");
    const std::string port = EnvOr("DRVPROBE_PORT", "1000");
    if (!PlainText(ip) || !PlainText(port)) {
        fputs("drvprobe: DRVPROBE_IP and DRVPROBE_PORT must be plain text\n", stderr);
        return 2;
    }
    const std::string request =
        "{\"commonArgs\": {\"devKind\": \"DCJ\",\"devBrand\": \"QOLT\",\"timeout\": \"20\","
        "\"funcName\": \"getAllFSNFiles\",\"sn\": \"202202171712418124\"},"
        "\"connectArgs\": {\"portType\": \"RJ45\",\"portNo\": \"001\",\"baud\": \"9600\",\"isConBP\": \"1\","
        "\"d2bPort\": \"BPA\",\"ip\": \"" + ip + "\",\"port\": \"" + port + "\",\"pvid\": \"2121212/adadadad\","
        "\"devName\": \"usbname\"},"
        "\"bizArgs\": {\"instNo\": \"442000034\",\"empNo\": \"10677661\",\"uploadDir\": \"../qolt/upload/\","
        "\"tempDir\": \"../qolt/temp/\"}}";

    std::vector<char> input(10240, 0);
    if (request.size() >= input.size()) {
        fputs("drvprobe: DRVPROBE_IP and DRVPROBE_PORT are too long for the request buffer\n", stderr);
        return 2;
    }
    memcpy(input.data(), request.data(), request.size());
    std::vector<char> output(102400, 0);
    DoCommand(0, 0, input.data(), 102400, output.data());
    return 0;
}
