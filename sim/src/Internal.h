// Helpers shared by the simulator's sources; not part of the public API.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace dcjsim {
namespace detail {

// Writes the 108 header bytes at out (which must hold that many).
void WriteUploadHeader(uint8_t* out, const std::string& machineNo, const std::string& dateTime,
                       const std::string& sNo, uint32_t packetIndex, uint32_t packetCount, uint32_t fileIndex,
                       uint32_t fileCount, uint32_t dataLength);

// Copies at most width bytes of text to at, zero-filling the rest.
void PutText(uint8_t* at, size_t width, const std::string& text);

// prefix followed by index, zero-padded so the whole is 15 characters: the
// 16-byte field then still ends in a NUL. A long prefix is cut, never the
// number, so names stay distinct.
std::string SerialFor(const std::string& prefix, size_t index);

}  // namespace detail
}  // namespace dcjsim
