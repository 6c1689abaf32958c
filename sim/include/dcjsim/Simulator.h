// dcjsim: a simulated banknote counter on TCP, for integrators without
// hardware and for the driver's tests. Its frame code is written from the
// frame tables on its own, never shared with the driver, so a layout fault in
// either one shows up against the other.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dcjsim {

// ---------------------------------------------------------------------------
// Wire frames as byte vectors (all integers little-endian).
namespace wire {

constexpr size_t kRequestSize = 32;
constexpr size_t kAckSize = 20;
constexpr size_t kUploadHeaderSize = 108;
constexpr size_t kCountFrameSize = 136;

// Field offsets of the upload header, for tests that craft headers.
constexpr size_t kUpMsgLength = 4, kUpCmd = 8, kUpMachineNo = 12, kUpDateTime = 40, kUpSNo = 56,
                 kUpPacketIndex = 72, kUpPacketCount = 76, kUpFileIndex = 80, kUpFileCount = 84;

void PutU32(uint8_t* at, uint32_t value);
uint32_t GetU32(const uint8_t* at);

struct Request {
    std::array<uint8_t, 4> startWord;
    uint32_t msgLength;
    uint32_t cmd;
    std::array<uint8_t, 16> para;
    uint32_t reserved;
};
// False unless exactly 32 bytes are given.
bool DecodeRequest(const std::vector<uint8_t>& bytes, Request* out);
std::vector<uint8_t> EncodeRequest(uint32_t cmd, const uint8_t* para16 = nullptr);

std::vector<uint8_t> EncodeAck(uint32_t cmd, uint32_t retCode, const std::string& startWord = "QOLT");
// Text fields are raw bytes: shorter texts are zero-padded, a text of the
// full width carries no NUL.
std::vector<uint8_t> EncodeCountFrame(const std::string& denomCount, const std::string& rejectCount,
                                      uint32_t cmd = 0xA3, const std::string& startWord = "QOLT");
std::vector<uint8_t> EncodeUploadHeader(const std::string& machineNo, const std::string& dateTime,
                                        const std::string& sNo, uint32_t packetIndex, uint32_t packetCount,
                                        uint32_t fileIndex, uint32_t fileCount, uint32_t dataLength);

}  // namespace wire

// ---------------------------------------------------------------------------

struct FsnFile {
    std::string machineNo;             // up to 28 bytes; 28 = no NUL on the wire
    std::string dateTime;              // up to 16 bytes
    std::string sNo;                   // up to 16 bytes
    std::vector<std::string> packets;  // file data, one entry per packet
    std::string Content() const;       // all packets joined
};

// files x packetsPerFile packets of packetSize bytes, content deterministic
// from seed. Every file gets its own name: the serial number of file i is
// sNo followed by i (zero-padded to the field's width).
std::vector<FsnFile> GenerateFiles(size_t files, size_t packetsPerFile, size_t packetSize,
                                   const std::string& machineNo = "QOLTSIM0001",
                                   const std::string& dateTime = "20261206090507", const std::string& sNo = "SN",
                                   uint32_t seed = 1);

// Files from a folder, sorted by name, each cut into packets of packetSize
// bytes. A name of the shape "<inst>_<machine>_<emp>_<datetime>_<sno>.FSN"
// gives the header fields; other names take the given defaults and the
// serial number "SN" followed by the file's index. Hidden files and anything
// not a regular file are left out; an empty file is sent as one packet
// without data, so the driver still sees it.
bool LoadFiles(const std::string& folder, size_t packetSize, const std::string& machineNo,
               const std::string& dateTime, std::vector<FsnFile>* files, std::string* error);

// Transport faults.
enum class Fault {
    None,
    NoAnswer,          // read the request, answer nothing, hold the connection
    CloseAfterAccept,  // close at once, reading nothing
    PartialThenStall,  // send faultBytes of the target frame, then hold
    PartialThenClose,  // send faultBytes of the target frame, then close
    Reset,             // read the request, then reset the connection (RST)
    SlowDrip,          // send every byte of the answer on its own, dripDelay apart
    ExtraFileAfterPause,  // after the last announced file, wait extraFileDelay, then send one more file
};

// The frame a partial fault cuts: the ack, the count frame, or the first
// upload header / first upload data block of the download.
enum class FaultAt { Ack, CountFrame, UploadHeader, UploadData };

struct Scenario {
    // Ack retCode by command code; commands not listed answer 0, except 0xA1
    // with no files, which answers 4 (no FSN file to upload).
    std::map<uint32_t, uint32_t> retCodes;
    std::string ackStartWord = "QOLT";  // any 4 bytes
    int64_t ackCmdOverride = -1;        // >= 0: echo this instead of the request's cmd

    std::string denomCount = "100:10,50:2";  // raw field bytes, up to 60
    std::string rejectCount = "0";
    std::string countStartWord = "QOLT";
    uint32_t countCmd = 0xA3;

    std::vector<FsnFile> files;
    bool clearFilesOnConfirm = true;  // 0xA6 and 0xA2 clear the device's files

    // Called for every upload header before it is sent: (file index, packet
    // index, the 108 header bytes). Tests craft bad headers here.
    std::function<void(size_t, size_t, std::vector<uint8_t>&)> tweakUploadHeader;

    Fault fault = Fault::None;
    FaultAt faultAt = FaultAt::Ack;
    size_t faultBytes = 8;
    uint32_t faultCmd = 0;    // only connections whose request has this cmd (0: any)
    int faultConnections = -1;  // how many matching connections fault (-1: all)
    std::chrono::milliseconds dripDelay{2};
    std::chrono::milliseconds extraFileDelay{150};
};

struct ExchangeRecord {
    std::vector<uint8_t> request;  // the bytes of the request frame as received (32 unless cut short)
    uint32_t cmd = 0;
    uint32_t ackRetCode = 0;
    std::string outcome;  // short text: "ok", "fault:stall", "closed by peer", ...
};

class Simulator {
public:
    explicit Simulator(Scenario scenario = Scenario());
    ~Simulator();  // stops
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens on bindAddress:port (port 0 picks a free port) and serves on a
    // thread of its own. Ready to accept when it returns true.
    bool Start(uint16_t port = 0, const std::string& bindAddress = "127.0.0.1", std::string* error = nullptr);
    // Closes the listener and every open connection and joins the threads;
    // returns promptly whatever the connections are doing.
    void Stop();
    uint16_t Port() const;

    // Replace or edit the scenario between exchanges. An exchange uses the
    // scenario as it was when its request arrived. change runs under the
    // simulator's lock: it must not call back into the simulator.
    void SetScenario(Scenario scenario);
    void Edit(const std::function<void(Scenario&)>& change);
    Scenario CurrentScenario() const;

    std::vector<ExchangeRecord> Exchanges() const;
    std::vector<std::vector<uint8_t>> RequestFrames() const;
    size_t Connections() const;      // accepted since construction
    size_t OpenConnections() const;  // being served now
    // The time the last successful 0xA5 set (its para bytes up to the first
    // NUL); empty before any.
    std::string DeviceTime() const;
    // Keeps only the latest records (a long-running simulator must not grow);
    // the count of finished exchanges goes on.
    void SetRecordLimit(size_t latest);
    // A peer that sends or takes nothing for this long is dropped, as a
    // counter drops it; zero (the default) waits as long as it takes.
    void SetPeerStallLimit(std::chrono::milliseconds limit);
    // Blocks until n exchanges have finished or the time-out passes.
    bool WaitForExchanges(size_t n, std::chrono::milliseconds timeout) const;

    // One line per exchange, for the command-line program. Called on a
    // serving thread, before the exchange shows in Exchanges().
    void SetLogSink(std::function<void(const std::string&)> sink);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace dcjsim
