// The minimal reference receivers: plain POSIX calls, nothing the protocol
// and the durability rule do not ask for. Errors throw std::runtime_error.
#pragma once

#include <stdint.h>

#include <string>

namespace dcjbench {
namespace ref {

struct DownloadStats {
    uint64_t files = 0, packets = 0, bytes = 0;
};

// How a receiver makes a download durable before it confirms.
enum class Rule {
    // The driver's rule: each file kept open while its packets arrive, one
    // fsync when it is complete, renamed into the upload folder; one fsync
    // of the upload folder before the confirm.
    PerFile,
    // The former rule: every packet opened, appended, fsynced and closed;
    // then rename and fsync per file and one fsync of the upload folder.
    PerPacket,
    // PerFile's work without any fsync: what the syncs cost.
    NoSync,
};

// 0xA1 download into uploadDir (through tempDir + "QOLT/"), then the 0xA6
// confirm on a second connection. Both folders end in '/'.
DownloadStats Download(uint16_t port, const std::string& uploadDir, const std::string& tempDir,
                       const std::string& instNo, const std::string& empNo, Rule rule = Rule::PerFile);

// One exchange: connect, 32-byte request, 20-byte ack (and the 136-byte
// count frame for 0xA3), close.
void Command(uint16_t port, uint32_t cmd);

// 0xA1, then reads until the device closes, keeping nothing. Data bytes
// after the ack.
uint64_t Discard(uint16_t port);

}  // namespace ref
}  // namespace dcjbench
