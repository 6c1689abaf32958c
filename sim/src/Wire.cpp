// Frame encoders, written from the frame tables alone.
#include "Internal.h"

#include <string.h>

#include "dcjsim/Simulator.h"

namespace dcjsim {
namespace wire {

namespace {
constexpr char kStartWord[] = "QOLT";
}  // namespace

void PutU32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetU32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

bool DecodeRequest(const std::vector<uint8_t>& bytes, Request* out)
{
    if (bytes.size() != kRequestSize || out == nullptr) return false;
    const uint8_t* p = bytes.data();
    memcpy(out->startWord.data(), p, 4);
    out->msgLength = GetU32(p + 4);
    out->cmd = GetU32(p + 8);
    memcpy(out->para.data(), p + 12, 16);
    out->reserved = GetU32(p + 28);
    return true;
}

std::vector<uint8_t> EncodeRequest(uint32_t cmd, const uint8_t* para16)
{
    std::vector<uint8_t> out(kRequestSize, 0);
    memcpy(out.data(), kStartWord, 4);
    PutU32(&out[4], static_cast<uint32_t>(kRequestSize));
    PutU32(&out[8], cmd);
    if (para16) memcpy(&out[12], para16, 16);
    return out;
}

std::vector<uint8_t> EncodeAck(uint32_t cmd, uint32_t retCode, const std::string& startWord)
{
    std::vector<uint8_t> out(kAckSize, 0);
    detail::PutText(&out[0], 4, startWord);
    PutU32(&out[4], static_cast<uint32_t>(kAckSize));
    PutU32(&out[8], cmd);
    PutU32(&out[12], retCode);
    return out;
}

std::vector<uint8_t> EncodeCountFrame(const std::string& denomCount, const std::string& rejectCount, uint32_t cmd,
                                      const std::string& startWord)
{
    std::vector<uint8_t> out(kCountFrameSize, 0);
    detail::PutText(&out[0], 4, startWord);
    PutU32(&out[4], static_cast<uint32_t>(kCountFrameSize));
    PutU32(&out[8], cmd);
    detail::PutText(&out[12], 60, denomCount);
    detail::PutText(&out[72], 60, rejectCount);
    return out;
}

std::vector<uint8_t> EncodeUploadHeader(const std::string& machineNo, const std::string& dateTime,
                                        const std::string& sNo, uint32_t packetIndex, uint32_t packetCount,
                                        uint32_t fileIndex, uint32_t fileCount, uint32_t dataLength)
{
    std::vector<uint8_t> out(kUploadHeaderSize, 0);
    detail::WriteUploadHeader(out.data(), machineNo, dateTime, sNo, packetIndex, packetCount, fileIndex, fileCount,
                              dataLength);
    return out;
}

}  // namespace wire

namespace detail {

void PutText(uint8_t* at, size_t width, const std::string& text)
{
    const size_t n = text.size() < width ? text.size() : width;
    memcpy(at, text.data(), n);
    memset(at + n, 0, width - n);
}

void WriteUploadHeader(uint8_t* out, const std::string& machineNo, const std::string& dateTime,
                       const std::string& sNo, uint32_t packetIndex, uint32_t packetCount, uint32_t fileIndex,
                       uint32_t fileCount, uint32_t dataLength)
{
    using namespace wire;
    memcpy(out, "QOLT", 4);
    // msg_length counts the data that follows; wraps like the device's own
    // 32-bit field would for absurd sizes.
    PutU32(out + kUpMsgLength, static_cast<uint32_t>(kUploadHeaderSize) + dataLength);
    PutU32(out + kUpCmd, 0xA1);
    PutText(out + kUpMachineNo, 28, machineNo);
    PutText(out + kUpDateTime, 16, dateTime);
    PutText(out + kUpSNo, 16, sNo);
    PutU32(out + kUpPacketIndex, packetIndex);
    PutU32(out + kUpPacketCount, packetCount);
    PutU32(out + kUpFileIndex, fileIndex);
    PutU32(out + kUpFileCount, fileCount);
    memset(out + 88, 0, 20);
}

std::string SerialFor(const std::string& prefix, size_t index)
{
    constexpr size_t kWidth = 15;
    std::string number = std::to_string(index);
    if (number.size() >= kWidth) return number.substr(number.size() - kWidth);
    std::string head = prefix.substr(0, kWidth - number.size());
    return head + std::string(kWidth - head.size() - number.size(), '0') + number;
}

}  // namespace detail
}  // namespace dcjsim
