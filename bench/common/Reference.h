// The minimal reference receiver: plain POSIX calls, nothing the protocol
// and the durability rule do not ask for. Errors throw std::runtime_error.
#pragma once

#include <stdint.h>

#include <string>

namespace dcjbench {
namespace ref {

struct DownloadStats {
    uint64_t files = 0, packets = 0, bytes = 0;
};

// 0xA1 download into uploadDir (through tempDir + "QOLT/"), then the 0xA6
// confirm on a second connection. Both folders end in '/'.
DownloadStats Download(uint16_t port, const std::string& uploadDir, const std::string& tempDir,
                       const std::string& instNo, const std::string& empNo);

// One exchange: connect, 32-byte request, 20-byte ack (and the 136-byte
// count frame for 0xA3), close.
void Command(uint16_t port, uint32_t cmd);

// 0xA1, then reads until the device closes, keeping nothing. Data bytes
// after the ack.
uint64_t Discard(uint16_t port);

}  // namespace ref
}  // namespace dcjbench
