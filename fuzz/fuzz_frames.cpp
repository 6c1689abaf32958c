// The pure frame checks: ack, count frame, upload header, text fields. Each
// verdict is compared with the rule it stands for.
//
// Input: frame bytes (read as each kind of frame, zero-padded), then 4 bytes
// for the command sent and 4 for the largest data block allowed.
#include <string.h>

#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "Basic/Dataprocess.h"
#include "FuzzCheck.h"

namespace {

uint32_t Le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool StartWordOk(const unsigned char* p)
{
    return memcmp(p, "QOLT", 4) == 0;
}

// "/" would leave the upload folder. A "|" may be the second byte of a GBK
// character: it is looked for once the name is read, not in the header.
bool HasUnsafeChar(const char* field, size_t width)
{
    for (size_t i = 0; i < width && field[i] != '\0'; ++i) {
        if (field[i] == '/') return true;
    }
    return false;
}

void CheckField(const char* field, size_t width)
{
    const std::string text = dcjframe::FieldText(field, width);
    FUZZ_CHECK(text.size() <= width);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    FUZZ_CHECK(memcmp(text.data(), field, text.size()) == 0);
    FUZZ_CHECK(text.size() == width || field[text.size()] == '\0');
}

void CheckAckFrame(const unsigned char* bytes, uint32_t cmdSent)
{
    RESPONSE_PACKET frame;
    memcpy(&frame, bytes, sizeof(frame));
    const dcjframe::AckCheck check = dcjframe::CheckAck(frame, cmdSent);
    const uint32_t cmd = Le32(bytes + 8);
    const uint32_t retCode = Le32(bytes + 12);
    FUZZ_CHECK(check.cmd == cmd && check.retCode == retCode);
    FUZZ_CHECK(check.code != nullptr);
    // ParseAckData copies the code into 13 bytes.
    FUZZ_CHECK(strlen(check.code) >= 10 && strlen(check.code) <= 12);

    using V = dcjframe::AckVerdict;
    if (!StartWordOk(bytes)) {
        FUZZ_CHECK(check.verdict == V::BadStartWord);
    } else if (cmd != cmdSent) {
        FUZZ_CHECK(check.verdict == V::BadCommand);
    } else if (retCode != 0) {
        FUZZ_CHECK(check.verdict == V::Refused);
    } else {
        FUZZ_CHECK(check.verdict == V::Accepted);
    }
    FUZZ_CHECK((check.verdict == V::Accepted) == (strcmp(check.code, "ECPWS0000000") == 0));
    if (check.verdict == V::BadStartWord || check.verdict == V::BadCommand) {
        FUZZ_CHECK(strcmp(check.code, "DRVDCJ1002") == 0);
    }
}

void CheckUpFrame(const unsigned char* bytes, uint32_t maxDataLen)
{
    RESPONSE_UP header;
    memcpy(&header, bytes, sizeof(header));
    const dcjframe::UpCheck check = dcjframe::CheckUploadHeader(header, maxDataLen);
    const uint32_t msgLength = Le32(bytes + 4);

    for (const auto& field : {std::make_pair(header.MachineNo, sizeof(header.MachineNo)),
                              std::make_pair(header.DateTime, sizeof(header.DateTime)),
                              std::make_pair(header.SNo, sizeof(header.SNo))}) {
        CheckField(field.first, field.second);
    }

    const bool accept = StartWordOk(bytes) && Le32(bytes + 8) == CMD_UPLOAD_FSN && msgLength >= 108 &&
                        msgLength - 108 <= maxDataLen && Le32(bytes + 76) != 0 && Le32(bytes + 84) != 0 &&
                        !HasUnsafeChar(header.MachineNo, 28) && !HasUnsafeChar(header.DateTime, 16) &&
                        !HasUnsafeChar(header.SNo, 16);
    FUZZ_CHECK((check.verdict == dcjframe::UpVerdict::Accepted) == accept);
    if (accept) {
        FUZZ_CHECK(check.dataLen == msgLength - 108);
        FUZZ_CHECK(check.dataLen <= maxDataLen);
    } else {
        FUZZ_CHECK(check.dataLen == 0);
    }
    if (StartWordOk(bytes) && Le32(bytes + 8) == CMD_UPLOAD_FSN && msgLength < 108) {
        FUZZ_CHECK(check.verdict == dcjframe::UpVerdict::LengthBelowHeader);
    }
}

void CheckCount(const unsigned char* bytes)
{
    RESPONSE_DENOMCOUNT frame;
    memcpy(&frame, bytes, sizeof(frame));
    const dcjframe::CountVerdict verdict = dcjframe::CheckCountFrame(frame);
    const bool accept = StartWordOk(bytes) && Le32(bytes + 8) == CMD_GET_COUNT;
    FUZZ_CHECK((verdict == dcjframe::CountVerdict::Accepted) == accept);
    CheckField(frame.DenomCount, sizeof(frame.DenomCount));
    CheckField(frame.RejectCount, sizeof(frame.RejectCount));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const uint32_t maxDataLen = fdp.ConsumeIntegral<uint32_t>();
    const uint32_t cmdSent = fdp.ConsumeIntegral<uint32_t>();
    std::vector<unsigned char> bytes = fdp.ConsumeRemainingBytes<unsigned char>();
    const size_t given = bytes.size();
    if (bytes.size() < sizeof(RESPONSE_DENOMCOUNT)) bytes.resize(sizeof(RESPONSE_DENOMCOUNT), 0);

    CheckAckFrame(bytes.data(), cmdSent);
    CheckUpFrame(bytes.data(), maxDataLen);
    CheckUpFrame(bytes.data(), dcjframe::kDefaultMaxPacketData);
    CheckCount(bytes.data());
    // Any width over the bytes given, the whole text or none of it.
    CheckField(reinterpret_cast<const char*>(bytes.data()), given);
    return 0;
}
