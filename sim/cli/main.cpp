// dcjsim: the simulated counter as a program, for integrators without a
// counter at hand and for scripts that drive the driver against it.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dcjsim/FsnContent.h"
#include "dcjsim/Simulator.h"

namespace {

const char kHelp[] = R"(Usage: dcjsim [OPTION]...
A simulated QOLT banknote counter (device kind DCJ) on TCP. Like the counter,
it serves one request per connection: it reads the 32-byte request, answers
with an ack and, for 0xA3 and 0xA1, the count frame or the upload stream,
then closes. Each exchange is logged as one line on stdout.

The first line on stdout, flushed at once, is
  dcjsim listening on ADDR:PORT
so a script can read the port without waiting blindly.

Listening:
  --bind ADDR             numeric IPv4 or IPv6 address (default 127.0.0.1)
  --port N                TCP port; 0 picks a free one (default 0)

Files on the counter (0xA1 uploads them; with none, 0xA1 answers retCode 4):
  --files-dir DIR         the regular files in DIR, sorted by name; a name like
                          INST_MACHINE_EMP_DATETIME_SNO.FSN gives the header
                          fields, other names get --machine-no, --date-time
                          and serial SN<index>; an empty file is sent as one
                          packet without data
  --generate N            N generated FSN files instead (default 0): records
                          of banknotes with distinct serial numbers, their
                          denominations and editions and, unless
                          --fsn-images no, the serial-number images
  --fsn-layout 2014|2018  layout of the generated files (default 2014)
  --fsn-images yes|no     records with images, flag 0x2E (default yes), or
                          without, flag 0x2D
  --fsn-records N         records per generated file (default 20, at most
                          100000); the file is cut into --packet-size packets,
                          the last one shorter
  --packets M             generated files of exactly M packets of exactly
                          --packet-size bytes (benchmarks need exact sizes):
                          an FSN file when M x BYTES is one (its header and a
                          whole number of records), random bytes otherwise;
                          excludes --fsn-records
  --packet-size BYTES     packet size, also for --files-dir (default 4096)
  --machine-no TEXT       machine number (default QOLTSIM0001)
  --date-time TEXT        date and time (default 20261206090507)
  --sno TEXT              serial prefix of generated files; file i gets the
                          prefix and i zero-padded to 15 characters (default SN)
  --seed N                content seed of generated files (default 1); the
                          records are stamped from --date-time on, two
                          seconds apart
  --keep-files            keep the files after 0xA6 / 0xA2 (default: cleared)

Answers:
  --denom TEXT            DenomCount of the count frame (default "100:10,50:2")
  --reject TEXT           RejectCount of the count frame (default "0")
  --ret-code CMD=CODE     ack retCode for a command; repeatable. Defaults: 0,
                          4 for 0xA1 without files, 1 for unknown commands.
                          Codes: 0 ok, 4 no FSN file, 5 clear failed,
                          6 hardware fault, other = command not understood.
                          A non-zero code sends nothing after the ack.

Bad frames (every frame of the kind):
  --ack-start-word XXXX   start word of the ack (4 bytes)
  --ack-cmd CMD           cmd in the ack instead of the request's
  --count-start-word XXXX start word of the count frame
  --count-cmd CMD         cmd of the count frame (default 0xA3)
  --msg-length N          msg_length of the upload headers; the packet's real
                          data still follows
  --packet-count N        packetCount of the upload headers
  --file-count N          fileCount of the upload headers
  --header-machine-no TEXT, --header-date-time TEXT, --header-sno TEXT
                          raw text of that upload header field; a text of the
                          full width (28, 16, 16 bytes) carries no NUL

Transport faults:
  --fault KIND            one of:
      no-answer           read the request, answer nothing, hold the connection
      close-after-accept  close at once, reading nothing (--fault-cmd does not
                          apply: no request has been read)
      partial-stall       send --fault-bytes of the --fault-at frame, then hold
                          the connection until the peer closes it
      partial-close       send --fault-bytes of the --fault-at frame, then close
      reset               read the request, then reset the connection (RST)
      slow-drip           send the whole answer one byte at a time, --drip-ms
                          apart
  --fault-at FRAME        frame a partial fault cuts: ack, count,
                          upload-header or upload-data (the first header / data
                          block of the download) (default ack)
  --fault-bytes N         bytes of that frame sent before the fault (default 8)
  --fault-cmd CMD         fault only requests with this cmd (default: any)
  --fault-times N         fault only the first N matching connections
                          (default: all)
  --drip-ms N             delay between bytes for slow-drip (default 2)
A command takes effect (files cleared, time set) only once its ack is fully
sent, so a faulted ack leaves the counter unchanged.

Running:
  --max-exchanges N       exit after N exchanges
  --idle-exit SECONDS     exit after SECONDS without any connection; a peer
                          silent for SECONDS is then dropped
  --quiet                 no per-exchange lines
  -h, --help              this text
  --version               the version

Options may be given as --name VALUE or --name=VALUE, abbreviated while
unambiguous; -- ends the options. Numbers are decimal or 0x-prefixed hex.
In TEXT values \xNN stands for any byte and \\ for a backslash. Commands:
0xA1 upload-files, 0xA2 clear-files, 0xA3 get-counts, 0xA4 clear-counts,
0xA5 set-time, 0xA6 confirm-download, 0xA7 status.

Log line: DATE TIME PEER CMD NAME ret=CODE OUTCOME [files=N packets=N sent=BYTES]
Outcomes: ok, closed by peer, short request, stopped, send failed, and
fault:no-answer, fault:close-after-accept, fault:stall (partial-stall),
fault:partial-close, fault:reset, fault:slow-drip.

Exit status: 0 on SIGINT/SIGTERM, --max-exchanges or --idle-exit; 1 when it
cannot start; 2 on a bad command line.

Examples:
  dcjsim --generate 3                       # three FSN files of 20 records
  dcjsim --generate 2 --fsn-layout 2018 --fsn-images no --fsn-records 500
  dcjsim --generate 3 --packets 4 --packet-size 65536  # exact sizes
  dcjsim --files-dir ./fsn --port 9100 --keep-files
  dcjsim --ret-code 0xA7=6                  # status: hardware fault
  dcjsim --generate 2 --fault partial-stall --fault-at upload-data --fault-bytes 100
  dcjsim --fault reset --fault-cmd 0xA6 --fault-times 1
  dcjsim --fault close-after-accept --fault-times 2
  dcjsim --fault slow-drip --drip-ms 20 --fault-cmd 0xA3
  dcjsim --generate 1 --msg-length 0xFFFFFFFF
  dcjsim --ack-start-word 'QOL\x00' --count-cmd 0xA4
  dcjsim --generate 1 --header-sno 'ABCDEFGHIJKLMNOP'   # 16 bytes, no NUL
  coproc dcjsim --idle-exit 60; read -r line <&"${COPROC[0]}"; port=${line##*:}
)";

class UsageError {
public:
    explicit UsageError(std::string what) : m_what(std::move(what)) {}
    const std::string& what() const { return m_what; }

private:
    std::string m_what;
};

uint64_t Number(const std::string& option, const std::string& text, uint64_t max)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const uint64_t base = hex ? 16 : 10;
    uint64_t v = 0;
    if (digits.empty()) throw UsageError(option + ": not a number: '" + text + "'");
    for (char c : digits) {
        uint64_t d;
        if (c >= '0' && c <= '9') {
            d = static_cast<uint64_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            d = static_cast<uint64_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            d = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            throw UsageError(option + ": not a number: '" + text + "'");
        }
        if (v > (max - d) / base) throw UsageError(option + ": out of range (at most " + std::to_string(max) + ")");
        v = v * base + d;
    }
    return v;
}

std::string Unescape(const std::string& option, const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            throw UsageError(option + ": bad escape in '" + text + "' (use \\xNN or \\\\)");
        }
    }
    return out;
}

std::string StartWord(const std::string& option, const std::string& text)
{
    std::string w = Unescape(option, text);
    if (w.size() != 4) throw UsageError(option + ": needs exactly 4 bytes, got " + std::to_string(w.size()));
    return w;
}

dcjsim::Fault ParseFault(const std::string& v)
{
    using dcjsim::Fault;
    if (v == "no-answer") return Fault::NoAnswer;
    if (v == "close-after-accept") return Fault::CloseAfterAccept;
    if (v == "partial-stall") return Fault::PartialThenStall;
    if (v == "partial-close") return Fault::PartialThenClose;
    if (v == "reset") return Fault::Reset;
    if (v == "slow-drip") return Fault::SlowDrip;
    if (v == "none") return Fault::None;
    throw UsageError("--fault: unknown kind '" + v + "' (see --help)");
}

dcjsim::FaultAt ParseFaultAt(const std::string& v)
{
    using dcjsim::FaultAt;
    if (v == "ack") return FaultAt::Ack;
    if (v == "count") return FaultAt::CountFrame;
    if (v == "upload-header") return FaultAt::UploadHeader;
    if (v == "upload-data") return FaultAt::UploadData;
    throw UsageError("--fault-at: unknown frame '" + v + "' (ack, count, upload-header, upload-data)");
}

// More records than this in one file would take more memory than a
// simulated counter should.
constexpr uint64_t kMaxRecords = 100000;

dcjfsn::Layout ParseLayout(const std::string& v)
{
    if (v == "2014") return dcjfsn::Layout::V2014;
    if (v == "2018") return dcjfsn::Layout::V2018;
    throw UsageError("--fsn-layout: unknown layout '" + v + "' (2014 or 2018)");
}

bool ParseYesNo(const std::string& option, const std::string& v)
{
    if (v == "yes") return true;
    if (v == "no") return false;
    throw UsageError(option + ": expected yes or no, got '" + v + "'");
}

struct Options {
    std::string bind = "127.0.0.1";
    uint16_t port = 0;
    std::string filesDir;
    std::optional<size_t> generate;
    size_t packets = 1;
    size_t packetSize = 4096;
    std::string machineNo = "QOLTSIM0001";
    std::string dateTime = "20261206090507";
    std::string sNo = "SN";
    uint32_t seed = 1;
    dcjsim::FsnContent fsn;
    bool fsnGiven = false;
    std::optional<size_t> fsnRecords;
    bool exactSize = false;  // --packets given: files of exactly packets x packet size
    struct HeaderOverrides {
        std::optional<uint32_t> msgLength, packetCount, fileCount;
        std::optional<std::string> machineNo, dateTime, sNo;
        bool Any() const { return msgLength || packetCount || fileCount || machineNo || dateTime || sNo; }
    } header;
    uint64_t maxExchanges = 0;
    uint64_t idleExit = 0;
    bool quiet = false;
    bool help = false;
    bool version = false;
    dcjsim::Scenario scenario;
};

// Long options without a short form: their codes start past any character.
enum OptionCode {
    kBind = 256, kPort, kFilesDir, kGenerate, kPackets, kPacketSize, kMachineNo, kDateTime, kSno, kSeed, kDenom,
    kReject, kRetCode, kAckStartWord, kAckCmd, kCountStartWord, kCountCmd, kMsgLength, kPacketCount, kFileCount,
    kHeaderMachineNo, kHeaderDateTime, kHeaderSno, kFault, kFaultAt, kFaultBytes, kFaultCmd, kFaultTimes, kDripMs,
    kMaxExchanges, kIdleExit, kQuiet, kKeepFiles, kVersion, kFsnLayout, kFsnImages, kFsnRecords
};

const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"quiet", no_argument, nullptr, kQuiet},
    {"keep-files", no_argument, nullptr, kKeepFiles},
    {"bind", required_argument, nullptr, kBind},
    {"port", required_argument, nullptr, kPort},
    {"files-dir", required_argument, nullptr, kFilesDir},
    {"generate", required_argument, nullptr, kGenerate},
    {"packets", required_argument, nullptr, kPackets},
    {"packet-size", required_argument, nullptr, kPacketSize},
    {"fsn-layout", required_argument, nullptr, kFsnLayout},
    {"fsn-images", required_argument, nullptr, kFsnImages},
    {"fsn-records", required_argument, nullptr, kFsnRecords},
    {"machine-no", required_argument, nullptr, kMachineNo},
    {"date-time", required_argument, nullptr, kDateTime},
    {"sno", required_argument, nullptr, kSno},
    {"seed", required_argument, nullptr, kSeed},
    {"denom", required_argument, nullptr, kDenom},
    {"reject", required_argument, nullptr, kReject},
    {"ret-code", required_argument, nullptr, kRetCode},
    {"ack-start-word", required_argument, nullptr, kAckStartWord},
    {"ack-cmd", required_argument, nullptr, kAckCmd},
    {"count-start-word", required_argument, nullptr, kCountStartWord},
    {"count-cmd", required_argument, nullptr, kCountCmd},
    {"msg-length", required_argument, nullptr, kMsgLength},
    {"packet-count", required_argument, nullptr, kPacketCount},
    {"file-count", required_argument, nullptr, kFileCount},
    {"header-machine-no", required_argument, nullptr, kHeaderMachineNo},
    {"header-date-time", required_argument, nullptr, kHeaderDateTime},
    {"header-sno", required_argument, nullptr, kHeaderSno},
    {"fault", required_argument, nullptr, kFault},
    {"fault-at", required_argument, nullptr, kFaultAt},
    {"fault-bytes", required_argument, nullptr, kFaultBytes},
    {"fault-cmd", required_argument, nullptr, kFaultCmd},
    {"fault-times", required_argument, nullptr, kFaultTimes},
    {"drip-ms", required_argument, nullptr, kDripMs},
    {"max-exchanges", required_argument, nullptr, kMaxExchanges},
    {"idle-exit", required_argument, nullptr, kIdleExit},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages: "--port" of "--port=x".
std::string Written(const char* arg)
{
    const std::string text = arg ? arg : "";
    return text.substr(0, text.find('='));
}

// Why getopt_long refused the option as written.
std::string Refusal(const std::string& written)
{
    std::string matches;
    for (const option* l = kLongOptions; l->name != nullptr; ++l) {
        const std::string name = std::string("--") + l->name;
        if (name == written) return written + " takes no value";
        if (written.size() > 2 && name.compare(0, written.size(), written) == 0) matches += (matches.empty() ? "" : ", ") + name;
    }
    if (matches.find(',') != std::string::npos) return "ambiguous option '" + written + "' (" + matches + ")";
    // A unique abbreviation is refused only for a value it cannot take.
    if (!matches.empty()) return matches + " takes no value";
    return "unknown option '" + written + "'";
}

void Apply(Options& o, int code, const std::string& opt, const std::string& v)
{
    dcjsim::Scenario& s = o.scenario;
    const uint64_t u32 = 0xFFFFFFFFu;
    switch (code) {
        case 'h': o.help = true; break;
        case kVersion: o.version = true; break;
        case kQuiet: o.quiet = true; break;
        case kKeepFiles: s.clearFilesOnConfirm = false; break;
        case kBind: o.bind = v; break;
        case kPort: o.port = static_cast<uint16_t>(Number(opt, v, 65535)); break;
        case kFilesDir: o.filesDir = v; break;
        case kGenerate: o.generate = static_cast<size_t>(Number(opt, v, u32)); break;
        case kPackets: o.packets = static_cast<size_t>(Number(opt, v, u32)); break;
        case kPacketSize: o.packetSize = static_cast<size_t>(Number(opt, v, u32)); break;
        case kFsnLayout: o.fsn.layout = ParseLayout(v); o.fsnGiven = true; break;
        case kFsnImages: o.fsn.images = ParseYesNo(opt, v); o.fsnGiven = true; break;
        case kFsnRecords: o.fsnRecords = static_cast<size_t>(Number(opt, v, kMaxRecords)); break;
        case kMachineNo: o.machineNo = Unescape(opt, v); break;
        case kDateTime: o.dateTime = Unescape(opt, v); break;
        case kSno: o.sNo = Unescape(opt, v); break;
        case kSeed: o.seed = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kDenom: s.denomCount = Unescape(opt, v); break;
        case kReject: s.rejectCount = Unescape(opt, v); break;
        case kRetCode: {
            const size_t eq = v.find('=');
            if (eq == std::string::npos) throw UsageError(opt + ": expected CMD=CODE, e.g. 0xA7=6");
            s.retCodes[static_cast<uint32_t>(Number(opt, v.substr(0, eq), u32))] =
                static_cast<uint32_t>(Number(opt, v.substr(eq + 1), u32));
            break;
        }
        case kAckStartWord: s.ackStartWord = StartWord(opt, v); break;
        case kAckCmd: s.ackCmdOverride = static_cast<int64_t>(Number(opt, v, u32)); break;
        case kCountStartWord: s.countStartWord = StartWord(opt, v); break;
        case kCountCmd: s.countCmd = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kMsgLength: o.header.msgLength = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kPacketCount: o.header.packetCount = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kFileCount: o.header.fileCount = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kHeaderMachineNo: o.header.machineNo = Unescape(opt, v); break;
        case kHeaderDateTime: o.header.dateTime = Unescape(opt, v); break;
        case kHeaderSno: o.header.sNo = Unescape(opt, v); break;
        case kFault: s.fault = ParseFault(v); break;
        case kFaultAt: s.faultAt = ParseFaultAt(v); break;
        case kFaultBytes: s.faultBytes = static_cast<size_t>(Number(opt, v, u32)); break;
        case kFaultCmd: s.faultCmd = static_cast<uint32_t>(Number(opt, v, u32)); break;
        case kFaultTimes: s.faultConnections = static_cast<int>(Number(opt, v, 0x7FFFFFFF)); break;
        case kDripMs: s.dripDelay = std::chrono::milliseconds(Number(opt, v, 3600000)); break;
        case kMaxExchanges: o.maxExchanges = Number(opt, v, UINT64_MAX); break;
        case kIdleExit: o.idleExit = Number(opt, v, 86400u * 365); break;
        default: throw UsageError("unknown option '" + opt + "'");
    }
}

Options Parse(int argc, char** argv)
{
    Options o;
    bool packetsGiven = false;
    opterr = 0;
    optind = 1;
    int code, index = -1;
    while ((code = getopt_long(argc, argv, ":h", kLongOptions, &index)) != -1) {
        // The option's full name (argv[optind - 1] may be its value).
        const std::string opt = index >= 0 ? std::string("--") + kLongOptions[index].name : Written(argv[optind - 1]);
        index = -1;
        if (code == ':') throw UsageError(opt + " needs a value");
        if (code == '?') throw UsageError(Refusal(opt));
        if (code == kPackets) packetsGiven = true;
        Apply(o, code, opt, optarg ? optarg : "");
    }
    if (optind < argc) throw UsageError(std::string("unexpected argument '") + argv[optind] + "'");
    if (o.generate && !o.filesDir.empty()) throw UsageError("--files-dir and --generate exclude each other");
    if (o.packetSize == 0) throw UsageError("--packet-size must be at least 1");
    if (packetsGiven && o.packets == 0) throw UsageError("--packets must be at least 1");
    if ((o.fsnGiven || o.fsnRecords) && !o.generate) throw UsageError("--fsn-layout, --fsn-images and --fsn-records apply to --generate");
    if (o.fsnRecords && packetsGiven) {
        throw UsageError("--fsn-records and --packets exclude each other: --packets asks for files of an exact size");
    }
    o.exactSize = packetsGiven;
    o.fsn.records = o.fsnRecords ? *o.fsnRecords : 20;
    return o;
}

// With --packets the files are exactly that many packets of --packet-size:
// an FSN file when that size is one (header and whole records), random bytes
// otherwise. Without it, FSN files of --fsn-records records, cut into packets
// of --packet-size.
std::vector<dcjsim::FsnFile> Generate(const Options& o)
{
    dcjsim::FsnContent content = o.fsn;
    // Kept in memory whole: refused beyond what a test could want.
    constexpr uint64_t kMostBytes = 1ull << 30;
    const uint64_t perFile = o.exactSize ? static_cast<uint64_t>(o.packets) * o.packetSize
                                         : dcjfsn::HeaderSize(content.layout) +
                                               static_cast<uint64_t>(content.records) *
                                                   dcjfsn::RecordSize(content.layout, content.images);
    if (*o.generate > 0 && perFile > kMostBytes / *o.generate) {
        throw std::length_error("the generated files would take more than 1 GiB");
    }
    if (o.exactSize) {
        const uint64_t total = static_cast<uint64_t>(o.packets) * o.packetSize;
        const size_t header = dcjfsn::HeaderSize(content.layout), record = dcjfsn::RecordSize(content.layout, content.images);
        if (total < header || (total - header) % record != 0 || (total - header) / record > kMaxRecords) {
            return dcjsim::GenerateFiles(*o.generate, o.packets, o.packetSize, o.machineNo, o.dateTime, o.sNo, o.seed);
        }
        content.records = static_cast<size_t>((total - header) / record);
    }
    return dcjsim::GenerateFsnFiles(*o.generate, content, o.packetSize, o.machineNo, o.dateTime, o.sNo, o.seed);
}

// Writes the bytes of text over the field, zero-padding a shorter text.
void PutField(std::vector<uint8_t>& h, size_t at, size_t width, const std::string& text)
{
    for (size_t k = 0; k < width; ++k) h[at + k] = k < text.size() ? static_cast<uint8_t>(text[k]) : 0;
}

void InstallHeaderTweaks(const Options::HeaderOverrides& o, dcjsim::Scenario* s)
{
    if (!o.Any()) return;
    s->tweakUploadHeader = [o](size_t, size_t, std::vector<uint8_t>& h) {
        using namespace dcjsim::wire;
        if (o.msgLength) PutU32(&h[kUpMsgLength], *o.msgLength);
        if (o.packetCount) PutU32(&h[kUpPacketCount], *o.packetCount);
        if (o.fileCount) PutU32(&h[kUpFileCount], *o.fileCount);
        if (o.machineNo) PutField(h, kUpMachineNo, 28, *o.machineNo);
        if (o.dateTime) PutField(h, kUpDateTime, 16, *o.dateTime);
        if (o.sNo) PutField(h, kUpSNo, 16, *o.sNo);
    };
}

// A line at a time, whole; one that a reader has not made room for within
// a second is dropped, and so is every line after it until there is room
// again: a pipe nobody reads must not hold the connections (nor the exit).
void PrintLine(const std::string& line)
{
    static std::mutex out;
    static bool stalled = false;
    std::lock_guard<std::mutex> lock(out);
    const std::string l = line + "\n";
    for (size_t done = 0; done < l.size();) {
        struct pollfd p = {STDOUT_FILENO, POLLOUT, 0};
        const int ready = poll(&p, 1, stalled ? 0 : 1000);
        if (ready < 0 && errno == EINTR) continue;
        stalled = ready <= 0;
        if (ready <= 0 || (p.revents & (POLLERR | POLLNVAL))) return;
        const ssize_t n = write(STDOUT_FILENO, l.data() + done, l.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        fprintf(stderr, "dcjsim: %s\nTry 'dcjsim --help'.\n", e.what().c_str());
        return 2;
    }
    if (o.help || o.version) {
        if (o.help) fputs(kHelp, stdout);
        if (!o.help) printf("dcjsim %s\n", DCJSIM_VERSION);
        // Text that did not get out is no success.
        if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
        fprintf(stderr, "dcjsim: cannot write the output: %s\n", strerror(errno));
        return 1;
    }

    dcjsim::Scenario scenario = std::move(o.scenario);
    if (!o.filesDir.empty()) {
        std::string error;
        bool loaded = false;
        try {
            loaded = dcjsim::LoadFiles(o.filesDir, o.packetSize, o.machineNo, o.dateTime, &scenario.files, &error);
        } catch (const std::exception& e) {
            error = std::string("cannot load ") + o.filesDir + ": " + e.what();
        }
        if (!loaded) {
            fprintf(stderr, "dcjsim: %s\n", error.c_str());
            return 1;
        }
    } else if (o.generate) {
        try {
            scenario.files = Generate(o);
        } catch (const std::exception& e) {
            fprintf(stderr, "dcjsim: cannot generate the files: %s\n", e.what());
            return 1;
        }
    }
    InstallHeaderTweaks(o.header, &scenario);

    // A closed stdout must not kill the counter; signals are taken by
    // sigtimedwait below, so every thread started from here on blocks them.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    dcjsim::Simulator sim(std::move(scenario));
    if (!o.quiet) sim.SetLogSink(PrintLine);
    sim.SetRecordLimit(0);  // the program reads no records back, only counts
    // A peer that holds a connection silent must not keep a simulator that
    // is to stop when idle running: silent that long, it is idle.
    if (o.idleExit) sim.SetPeerStallLimit(std::chrono::seconds(o.idleExit));
    std::string error;
    if (!sim.Start(o.port, o.bind, &error)) {
        fprintf(stderr, "dcjsim: %s\n", error.c_str());
        return 1;
    }
    const bool v6 = o.bind.find(':') != std::string::npos;
    PrintLine("dcjsim listening on " + (v6 ? "[" + o.bind + "]" : o.bind) + ":" + std::to_string(sim.Port()));

    using Clock = std::chrono::steady_clock;
    Clock::time_point lastActive = Clock::now();
    size_t lastAccepted = sim.Connections();
    for (;;) {
        const timespec tick{0, 50 * 1000 * 1000};
        const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
            if (!o.quiet) PrintLine(std::string("dcjsim: stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            break;
        }
        if (o.maxExchanges && sim.WaitForExchanges(o.maxExchanges, std::chrono::milliseconds(0))) {
            if (!o.quiet) PrintLine("dcjsim: " + std::to_string(o.maxExchanges) + " exchanges done, exiting");
            break;
        }
        if (o.idleExit) {
            const Clock::time_point now = Clock::now();
            if (sim.OpenConnections() > 0 || sim.Connections() != lastAccepted) {
                lastActive = now;
                lastAccepted = sim.Connections();
            } else if (now - lastActive >= std::chrono::seconds(o.idleExit)) {
                if (!o.quiet) PrintLine("dcjsim: idle for " + std::to_string(o.idleExit) + " s, exiting");
                break;
            }
        }
    }
    sim.Stop();
    return 0;
}
