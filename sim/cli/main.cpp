// dcjsim: the simulated counter as a program, for integrators without a
// counter at hand and for scripts that drive the driver against it.
#include <ctype.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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
  --generate N            N generated files instead (default 0)
  --packets M             packets per generated file (default 1)
  --packet-size BYTES     packet size, also for --files-dir (default 4096)
  --machine-no TEXT       machine number (default QOLTSIM0001)
  --date-time TEXT        date and time (default 20261206090507)
  --sno TEXT              serial prefix of generated files; file i gets the
                          prefix and i zero-padded to 15 characters (default SN)
  --seed N                content seed of generated files (default 1)
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
  --idle-exit SECONDS     exit after SECONDS without any connection
  --quiet                 no per-exchange lines
  -h, --help              this text
  --version               the version

Numbers are decimal or 0x-prefixed hex. In TEXT values \xNN stands for any
byte and \\ for a backslash. Commands: 0xA1 upload-files, 0xA2 clear-files,
0xA3 get-counts, 0xA4 clear-counts, 0xA5 set-time, 0xA6 confirm-download,
0xA7 status.

Log line: DATE TIME PEER CMD NAME ret=CODE OUTCOME [files=N packets=N sent=BYTES]
Outcomes: ok, closed by peer, short request, stopped, send failed, and
fault:no-answer, fault:close-after-accept, fault:stall (partial-stall),
fault:partial-close, fault:reset, fault:slow-drip.

Exit status: 0 on SIGINT/SIGTERM, --max-exchanges or --idle-exit; 1 when it
cannot start; 2 on a bad command line.

Examples:
  dcjsim --generate 3 --packets 4 --packet-size 65536
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

Options Parse(int argc, char** argv)
{
    Options o;
    dcjsim::Scenario& s = o.scenario;
    const uint64_t u32 = 0xFFFFFFFFu;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto flag = [&]() {
            if (hasValue) throw UsageError(arg + " takes no value");
        };
        auto next = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") flag(), o.help = true;
        else if (arg == "--version") flag(), o.version = true;
        else if (arg == "--quiet") flag(), o.quiet = true;
        else if (arg == "--keep-files") flag(), s.clearFilesOnConfirm = false;
        else if (arg == "--bind") o.bind = next();
        else if (arg == "--port") o.port = static_cast<uint16_t>(Number(arg, next(), 65535));
        else if (arg == "--files-dir") o.filesDir = next();
        else if (arg == "--generate") o.generate = static_cast<size_t>(Number(arg, next(), u32));
        else if (arg == "--packets") o.packets = static_cast<size_t>(Number(arg, next(), u32));
        else if (arg == "--packet-size") o.packetSize = static_cast<size_t>(Number(arg, next(), u32));
        else if (arg == "--machine-no") o.machineNo = Unescape(arg, next());
        else if (arg == "--date-time") o.dateTime = Unescape(arg, next());
        else if (arg == "--sno") o.sNo = Unescape(arg, next());
        else if (arg == "--seed") o.seed = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--denom") s.denomCount = Unescape(arg, next());
        else if (arg == "--reject") s.rejectCount = Unescape(arg, next());
        else if (arg == "--ret-code") {
            const std::string v = next();
            const size_t eq = v.find('=');
            if (eq == std::string::npos) throw UsageError(arg + ": expected CMD=CODE, e.g. 0xA7=6");
            s.retCodes[static_cast<uint32_t>(Number(arg, v.substr(0, eq), u32))] =
                static_cast<uint32_t>(Number(arg, v.substr(eq + 1), u32));
        }
        else if (arg == "--ack-start-word") s.ackStartWord = StartWord(arg, next());
        else if (arg == "--ack-cmd") s.ackCmdOverride = static_cast<int64_t>(Number(arg, next(), u32));
        else if (arg == "--count-start-word") s.countStartWord = StartWord(arg, next());
        else if (arg == "--count-cmd") s.countCmd = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--msg-length") o.header.msgLength = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--packet-count") o.header.packetCount = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--file-count") o.header.fileCount = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--header-machine-no") o.header.machineNo = Unescape(arg, next());
        else if (arg == "--header-date-time") o.header.dateTime = Unescape(arg, next());
        else if (arg == "--header-sno") o.header.sNo = Unescape(arg, next());
        else if (arg == "--fault") s.fault = ParseFault(next());
        else if (arg == "--fault-at") s.faultAt = ParseFaultAt(next());
        else if (arg == "--fault-bytes") s.faultBytes = static_cast<size_t>(Number(arg, next(), u32));
        else if (arg == "--fault-cmd") s.faultCmd = static_cast<uint32_t>(Number(arg, next(), u32));
        else if (arg == "--fault-times") s.faultConnections = static_cast<int>(Number(arg, next(), 0x7FFFFFFF));
        else if (arg == "--drip-ms") s.dripDelay = std::chrono::milliseconds(Number(arg, next(), 3600000));
        else if (arg == "--max-exchanges") o.maxExchanges = Number(arg, next(), UINT64_MAX);
        else if (arg == "--idle-exit") o.idleExit = Number(arg, next(), 86400u * 365);
        else throw UsageError("unknown option '" + arg + "'");
    }
    if (o.generate && !o.filesDir.empty()) throw UsageError("--files-dir and --generate exclude each other");
    if (o.packetSize == 0) throw UsageError("--packet-size must be at least 1");
    return o;
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

void PrintLine(const std::string& line)
{
    std::string l = line + "\n";
    fwrite(l.data(), 1, l.size(), stdout);
    fflush(stdout);
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
    if (o.help) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (o.version) {
        printf("dcjsim %s\n", DCJSIM_VERSION);
        return 0;
    }

    dcjsim::Scenario scenario = std::move(o.scenario);
    if (!o.filesDir.empty()) {
        std::string error;
        if (!dcjsim::LoadFiles(o.filesDir, o.packetSize, o.machineNo, o.dateTime, &scenario.files, &error)) {
            fprintf(stderr, "dcjsim: %s\n", error.c_str());
            return 1;
        }
    } else if (o.generate) {
        scenario.files = dcjsim::GenerateFiles(*o.generate, o.packets, o.packetSize, o.machineNo, o.dateTime, o.sNo,
                                               o.seed);
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
