// dcjctl: works a QOLT banknote counter through the driver, loaded and
// called exactly as a host does, and shows the reply.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DriverHost.h"
#include "Fsn.h"
#include "Progress.h"
#include "Request.h"

#ifndef DCJCTL_VERSION
#define DCJCTL_VERSION "0.0.0"
#endif

namespace {

using dcjctl::DriverHost;
using dcjctl::Fields;
using dcjctl::Reply;

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNoDriver = 3 };

const char kHelp[] = R"(Usage: dcjctl [OPTION]... COMMAND [ARG]
Works a QOLT banknote counter (device kind DCJ) through the driver
MERV_DCJ_QOLT.so, loaded and called the way a host does, and shows the reply.

Commands (the driver function in brackets; its name works as a command too):
  status              device status and versions [getDevStatus]
  counts              the banknote counts [getRMBCount]
  clear-counts        clear the counts [clearRMBCount]
  set-time [TIME]     set the counter's clock; TIME is YYYYMMDDhhmmss
                      (default: now, local time) [setTime]
  clear-files         delete the FSN files on the counter [clearAllFSNFiles]
  download            fetch the FSN files into the upload folder, or with
                      --related pack them into one YYYYMMDDhhmmss.zip
                      [getAllFSNFiles]
  raw JSON            send the request text JSON as it is
  raw --request FILE  the same, the text read from FILE (- for stdin); of
                      the options only --json, --dry-run and --driver apply
  fsn FILE...         read FSN files (nothing is sent; the driver is not
                      loaded): per file its layout, image flag, declared and
                      found record counts, one line per record (time,
                      authenticity, currency, edition, denomination, serial,
                      error codes) and the count and value per currency and
                      denomination; every disagreement is a "problem:" line

Counter:
  -a, --ip ADDR         address (default 127.0.0.1, or $DCJCTL_IP)
  -p, --port N          TCP port (default 1000, or $DCJCTL_PORT)
  -t, --timeout SEC     time-out of each step (default 20; for status the
                        driver always takes 3)
      --sn TEXT         serial number of the request, echoed in the reply
                        (default: the time and 4 more digits)

Download:
      --upload-dir DIR  where the files land (default ./qolt/upload/)
      --temp-dir DIR    working folder: the driver receives into DIR/QOLT/
                        and empties that folder (default ./qolt/temp/)
      --inst-no TEXT    institution number in the file names (default 442000034)
      --emp-no TEXT     employee number in the file names (default 10677661)
      --related FILE    archive mode: FILE goes into the zip with the files
      --check           after a successful download, read every delivered FSN
                        file (or every one in the archive) and print a line
                        per file and the summary (with --json only the
                        problems); problems go to stderr and make the exit
                        status 1; the files stay as delivered

set-time:
      --time TEXT       the same as TIME

fsn:
      --json            one JSON array, an object per file: file, layout
                        ("2014", "2018" or null), images, declared, records
                        (time, authenticity, errors, currency, version,
                        denomination, serial) and problems
      --csv             one CSV row per record, with the file name first;
                        problems on stderr
      --images DIR      also write DIR/<file>-<record>.png for every record
                        with images: its serial characters side by side;
                        DIR "-" draws them in text below each record instead

Output and driver:
      --json            print the reply exactly as the driver wrote it, then
                        one newline; messages still go to stderr
      --dry-run         print the request text and stop: nothing is loaded
                        and nothing is sent
      --driver PATH     the driver to load (default $DCJCTL_DRIVER, else
                        ../lib/MERV_DCJ_QOLT.so from this program's folder)
  -h, --help            this text
      --version         dcjctl's version and the driver's

The reply is shown readably on stdout; a download lists each file with its
size in bytes. While a download runs, the files and bytes received so far
are shown on stderr when stderr is a terminal. A reply too large for the
102400-byte buffer a host passes is fetched again with a larger one, except
for clear-counts and clear-files: running those twice would act on the
counter twice (a download whose reply does not fit is not confirmed, so
fetching it again is safe). The driver logs to $VDXLOG_FILE (default
${TMPDIR:-/tmp}/vdxlog-<uid>/vdxlog.log).

Exit status:
  0  the reply's retCode is ECPWS0000000 (status also needs status 01);
     fsn: every file read cleanly
  1  the counter or the driver reported a failure; fsn or --check: a file
     could not be read or has a problem
  2  usage error
  3  the driver could not be loaded

Examples:
  dcjctl -a 192.168.1.50 status
  dcjctl -a 192.168.1.50 download --upload-dir /srv/fsn/ --temp-dir /srv/tmp/
  dcjctl download --related ./batch/summary.txt
  dcjctl set-time 20261207093000
  dcjctl --json counts
  dcjctl download --check
  dcjctl fsn --images ./serials qolt/upload/*.FSN
  dcjctl raw '{"commonArgs":{"funcName":"getRMBCount","timeout":"5"},"connectArgs":{"ip":"127.0.0.1","port":"1000"}}'
)";

// Option groups: an option outside its command's groups is a usage error,
// so a misplaced --related never passes silently.
enum Group : unsigned { kCounter = 1, kDownload = 2, kTime = 4, kRaw = 8, kFsn = 16 };

struct CommandInfo {
    const char* name;
    const char* funcName;
    unsigned groups;
};

const CommandInfo kCommands[] = {
    {"status", "getDevStatus", kCounter},
    {"counts", "getRMBCount", kCounter},
    {"clear-counts", "clearRMBCount", kCounter},
    {"set-time", "setTime", kCounter | kTime},
    {"clear-files", "clearAllFSNFiles", kCounter},
    {"download", "getAllFSNFiles", kCounter | kDownload},
    {"raw", "", kRaw},
    {"fsn", "", kFsn},
};

struct Options {
    std::string ip = "127.0.0.1";
    std::string port = "1000";
    std::string timeout = "20";
    std::string sn;
    bool snGiven = false;
    std::string uploadDir = "./qolt/upload/";
    std::string tempDir = "./qolt/temp/";
    std::string instNo = "442000034";
    std::string empNo = "10677661";
    std::string related;
    std::string time;
    bool timeGiven = false;  // an empty --time is a mistake, not "now"
    std::string requestFile;
    std::string driver;
    bool json = false;
    bool csv = false;
    std::string images;
    bool check = false;
    bool dryRun = false;
    bool help = false;
    bool version = false;
    // Options given on the command line, by long name, with their group.
    std::vector<std::pair<std::string, unsigned>> given;
    std::vector<std::string> operands;
};

struct UsageError {
    std::string message;
};

std::string EnvOr(const char* name, const std::string& fallback)
{
    const char* value = getenv(name);
    return (value && *value) ? value : fallback;
}

bool AllDigits(const std::string& text)
{
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Digits only, within [low, high]; no sign, no spaces, no overflow.
bool NumberIn(const std::string& text, long low, long high)
{
    if (!AllDigits(text) || text.size() > 9) return false;
    const long value = strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool ValidClockTime(const std::string& text)
{
    if (text.size() != 14 || !AllDigits(text)) return false;
    auto num = [&](size_t at, size_t len) { return atoi(text.substr(at, len).c_str()); };
    const int year = num(0, 4), month = num(4, 2), day = num(6, 2);
    const int hour = num(8, 2), minute = num(10, 2), second = num(12, 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= days && hour <= 23 && minute <= 59 && second <= 59;
}

std::string LocalStamp()
{
    // The precise clock: time() may lag it by a tick.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t now = ts.tv_sec;
    struct tm local;
    char text[32] = {0};
    if (localtime_r(&now, &local) != nullptr) strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
    return text;
}

std::string DefaultSn()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char tail[8];
    snprintf(tail, sizeof(tail), "%04ld", (ts.tv_nsec / 1000000L * 10 + getpid() % 10) % 10000);
    return LocalStamp() + tail;
}

Options Parse(int argc, char** argv)
{
    enum {
        kOptUpload = 256, kOptTemp, kOptInst, kOptEmp, kOptRelated, kOptTime, kOptSn, kOptDriver, kOptJson,
        kOptVersion, kOptRequest, kOptDryRun, kOptCsv, kOptImages, kOptCheck
    };
    static const struct option kLong[] = {
        {"ip", required_argument, nullptr, 'a'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"upload-dir", required_argument, nullptr, kOptUpload},
        {"temp-dir", required_argument, nullptr, kOptTemp},
        {"inst-no", required_argument, nullptr, kOptInst},
        {"emp-no", required_argument, nullptr, kOptEmp},
        {"related", required_argument, nullptr, kOptRelated},
        {"time", required_argument, nullptr, kOptTime},
        {"sn", required_argument, nullptr, kOptSn},
        {"driver", required_argument, nullptr, kOptDriver},
        {"request", required_argument, nullptr, kOptRequest},
        {"json", no_argument, nullptr, kOptJson},
        {"dry-run", no_argument, nullptr, kOptDryRun},
        {"csv", no_argument, nullptr, kOptCsv},
        {"images", required_argument, nullptr, kOptImages},
        {"check", no_argument, nullptr, kOptCheck},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kOptVersion},
        {nullptr, 0, nullptr, 0},
    };

    Options o;
    o.ip = EnvOr("DCJCTL_IP", o.ip);
    o.port = EnvOr("DCJCTL_PORT", o.port);
    o.driver = EnvOr("DCJCTL_DRIVER", "");

    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":a:p:t:h", kLong, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        switch (c) {
            case 'a':
                if (arg.empty()) throw UsageError{"--ip needs an address"};
                o.ip = arg;
                o.given.emplace_back("--ip", kCounter);
                break;
            case 'p':
                if (!NumberIn(arg, 1, 65535)) throw UsageError{"--port needs a port number (1-65535): " + arg};
                o.port = arg;
                o.given.emplace_back("--port", kCounter);
                break;
            case 't':
                if (!NumberIn(arg, 1, 86400)) throw UsageError{"--timeout needs seconds (1-86400): " + arg};
                o.timeout = arg;
                o.given.emplace_back("--timeout", kCounter);
                break;
            case kOptSn:
                o.sn = arg;
                o.snGiven = true;
                o.given.emplace_back("--sn", kCounter);
                break;
            case kOptUpload: o.uploadDir = arg; o.given.emplace_back("--upload-dir", kDownload); break;
            case kOptTemp: o.tempDir = arg; o.given.emplace_back("--temp-dir", kDownload); break;
            case kOptInst: o.instNo = arg; o.given.emplace_back("--inst-no", kDownload); break;
            case kOptEmp: o.empNo = arg; o.given.emplace_back("--emp-no", kDownload); break;
            case kOptRelated:
                if (arg.empty()) throw UsageError{"--related needs a file"};
                o.related = arg;
                o.given.emplace_back("--related", kDownload);
                break;
            case kOptTime: o.time = arg; o.timeGiven = true; o.given.emplace_back("--time", kTime); break;
            case kOptRequest: o.requestFile = arg; o.given.emplace_back("--request", kRaw); break;
            case kOptDriver:
                if (arg.empty()) throw UsageError{"--driver needs a path"};
                o.driver = arg;
                break;
            case kOptJson: o.json = true; break;
            case kOptDryRun: o.dryRun = true; break;
            case kOptCsv: o.csv = true; o.given.emplace_back("--csv", kFsn); break;
            case kOptImages:
                if (arg.empty()) throw UsageError{"--images needs a folder (or - for text)"};
                o.images = arg;
                o.given.emplace_back("--images", kFsn);
                break;
            case kOptCheck: o.check = true; o.given.emplace_back("--check", kDownload); break;
            case 'h': o.help = true; break;
            case kOptVersion: o.version = true; break;
            case ':': throw UsageError{std::string("option ") + argv[optind - 1] + " needs a value"};
            default: throw UsageError{std::string("unknown option ") + argv[optind - 1]};
        }
    }
    for (int i = optind; i < argc; ++i) o.operands.push_back(argv[i]);
    return o;
}

const CommandInfo* FindCommand(const std::string& name)
{
    for (const CommandInfo& info : kCommands) {
        if (name == info.name || (info.funcName[0] && name == info.funcName)) return &info;
    }
    return nullptr;
}

bool ReadText(const std::string& path, std::string* text, std::string* error)
{
    FILE* f = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    // A request is a few KiB; /dev/zero or an endless pipe must not take
    // all memory first.
    constexpr size_t kMaxRequest = 16u << 20;
    char buf[65536];
    size_t n;
    while (text->size() <= kMaxRequest && (n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
    bool ok = !ferror(f);
    if (!ok) *error = path + ": read error";
    if (ok && text->size() > kMaxRequest) {
        *error = path + ": larger than 16 MiB";
        ok = false;
    }
    if (f != stdin) fclose(f);
    return ok;
}

// ---------------------------------------------------------------------------
// Output.

void Message(const std::string& text)
{
    fprintf(stderr, "dcjctl: %s\n", text.c_str());
}

std::string StatusName(const std::string& status)
{
    if (status == "01") return "ok";
    if (status == "03") return "unreachable";
    if (status == "04") return "hardware fault";
    return "unknown";
}

std::string FileSize(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "missing";
    return std::to_string(static_cast<unsigned long long>(st.st_size));
}

std::vector<std::string> Split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

void PrintFields(const Fields& fields)
{
    for (const auto& f : fields) printf("%s: %s\n", f.first.c_str(), f.second.c_str());
}

// The files a reply lists, each once: a name the counter sent twice is one
// file on disk, holding both.
std::vector<std::string> DeliveredNames(const std::string& listed)
{
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const std::string& name : listed.empty() ? std::vector<std::string>() : Split(listed, '|')) {
        if (seen.insert(name).second) names.push_back(name);
    }
    return names;
}

void PrintDownload(const Reply& reply, const std::string& uploadDir, bool archive)
{
    const std::string files = reply.Biz("fsnFiles");
    const std::vector<std::string> names = DeliveredNames(files);
    unsigned long long total = 0;
    for (const std::string& name : names) {
        const std::string size = FileSize(uploadDir + name);
        if (size != "missing") total += strtoull(size.c_str(), nullptr, 10);
        printf("%12s  %s\n", size.c_str(), name.c_str());
    }
    if (archive) {
        printf("archive %s in %s\n", files.c_str(), uploadDir.c_str());
    } else {
        printf("%zu file%s, %llu bytes, in %s\n", names.size(), names.size() == 1 ? "" : "s", total,
               uploadDir.c_str());
    }
}

// Runs the download on a worker thread while this one shows what has
// arrived: doCommand blocks until the last file is confirmed.
std::string CallWithProgress(DriverHost& host, const std::string& request, const dcjctl::DownloadWatch& watch)
{
    std::promise<std::string> result;
    std::future<std::string> done = result.get_future();
    std::thread worker([&] {
        try {
            result.set_value(host.Call(request, dcjctl::MayRepeat("getAllFSNFiles")));
        } catch (...) {
            result.set_exception(std::current_exception());
        }
    });
    bool shown = false;
    while (done.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        const auto tally = watch.Arrived();
        fprintf(stderr, "\r\033[K  %zu file%s, %s received", tally.files, tally.files == 1 ? "" : "s",
                dcjctl::HumanBytes(tally.bytes).c_str());
        shown = true;
    }
    worker.join();
    if (shown) fputs("\r\033[K", stderr);
    return done.get();
}

int ShowVersion(const Options& o)
{
    printf("dcjctl %s\n", DCJCTL_VERSION);
    fflush(stdout);
    const std::string path = o.driver.empty() ? dcjctl::DefaultDriverPath() : o.driver;
    DriverHost host;
    std::string error;
    if (!host.Load(path, &error)) {
        Message("cannot load the driver: " + error);
        return kNoDriver;
    }
    // No address: the driver answers from itself, without the counter.
    dcjctl::Target none;
    const std::string reply = host.Call(dcjctl::BuildRequest("getDevStatus", none, {}), true);
    const std::string version = dcjctl::ParseReply(reply).Biz("DRVVersion");
    if (version.empty()) {
        Message("the driver did not tell its version; reply: " + reply);
        return kFailed;
    }
    char resolved[PATH_MAX];
    printf("driver %s (%s)\n", version.c_str(), realpath(path.c_str(), resolved) ? resolved : path.c_str());
    return kOk;
}

int Usage(const std::string& text)
{
    Message(text);
    fputs("Try 'dcjctl --help' for more information.\n", stderr);
    return kUsage;
}

int RunFsn(const Options& o, const std::vector<std::string>& paths)
{
    if (paths.empty()) return Usage("fsn needs at least one FILE");
    if (o.json && o.csv) return Usage("fsn takes --json or --csv, not both");
    if (o.dryRun) return Usage("--dry-run does not apply to fsn");
    if (o.images == "-" && (o.json || o.csv)) return Usage("--images - draws in the plain listing only");
    if (!o.images.empty() && o.images != "-" && !dcjctl::PngSupported()) {
        return Usage("--images DIR: this dcjctl was built without PNG support (use --images - for text)");
    }
    dcjctl::FsnShow show;
    show.format = o.json ? dcjctl::FsnFormat::Json : o.csv ? dcjctl::FsnFormat::Csv : dcjctl::FsnFormat::Plain;
    show.imagesDir = o.images;
    const bool clean = dcjctl::ShowFsn(dcjctl::ReadFsnFiles(paths), show);
    if (fflush(stdout) != 0) {
        Message(std::string("cannot write the output: ") + strerror(errno));
        return kFailed;
    }
    return clean ? kOk : kFailed;
}

// Reads what the download delivered: the listed FSN files, or those in the
// archive. The files are only read.
bool CheckDownload(const Reply& reply, const std::string& uploadDir, bool archive, bool quiet)
{
    const std::string listed = reply.Biz("fsnFiles");
    std::vector<dcjctl::NamedFsn> files;
    if (archive) {
        std::string error;
        if (!dcjctl::ReadFsnInZip(uploadDir + listed, &files, &error)) {
            Message("check: " + error);
            return false;
        }
    } else if (!listed.empty()) {
        std::vector<std::string> paths;
        for (const std::string& name : DeliveredNames(listed)) paths.push_back(uploadDir + name);
        files = dcjctl::ReadFsnFiles(paths);
        for (size_t i = 0; i < files.size(); ++i) files[i].name = files[i].name.substr(uploadDir.size());
    }
    if (!quiet) printf("check: %zu FSN file%s\n", files.size(), files.size() == 1 ? "" : "s");
    const bool clean = dcjctl::CheckFsn(files, quiet);
    if (!clean) Message("check: the delivered files have problems (they stay as delivered)");
    return clean;
}

int Run(int argc, char** argv)
{
    Options o;
    try {
        o = Parse(argc, argv);
    } catch (const UsageError& e) {
        Message(e.message);
        fputs("Try 'dcjctl --help' for more information.\n", stderr);
        return kUsage;
    }
    if (o.help) {
        fputs(kHelp, stdout);
        return kOk;
    }
    if (o.version) return ShowVersion(o);

    const auto usage = Usage;

    // --request alone means raw.
    if (o.operands.empty() && !o.requestFile.empty()) o.operands.push_back("raw");
    if (o.operands.empty()) return usage("no command given");
    const CommandInfo* command = FindCommand(o.operands[0]);
    if (command == nullptr) return usage("unknown command '" + o.operands[0] + "'");
    const std::string name = command->name;
    for (const auto& g : o.given) {
        if (!(g.second & command->groups)) return usage(g.first + " does not apply to " + name);
    }
    const std::vector<std::string> args(o.operands.begin() + 1, o.operands.end());
    if (name == "fsn") return RunFsn(o, args);
    if (name != "raw" && !NumberIn(o.port, 1, 65535)) {
        return usage("DCJCTL_PORT must be a port number (1-65535): " + o.port);
    }

    std::string request;
    std::string funcName = command->funcName;
    if (name == "raw") {
        if (args.size() > 1) return usage("raw takes one request text");
        if (args.size() == 1 && !o.requestFile.empty()) return usage("raw takes JSON or --request, not both");
        if (args.empty() && o.requestFile.empty()) return usage("raw needs a request text or --request FILE");
        if (args.size() == 1) {
            request = args[0];
        } else {
            std::string error;
            if (!ReadText(o.requestFile, &request, &error)) return usage("cannot read the request: " + error);
        }
        funcName = dcjctl::FuncNameOf(request);
    } else {
        if (name == "set-time") {
            if (args.size() > 1) return usage("set-time takes one TIME");
            if (args.size() == 1 && o.timeGiven) return usage("set-time takes TIME or --time, not both");
            if (args.size() == 1) o.time = args[0];
            // Only a TIME not given at all means now: an empty one (an unset
            // variable in a script) must not set the counter's clock.
            if (args.empty() && !o.timeGiven) o.time = LocalStamp();
            if (!ValidClockTime(o.time)) return usage("TIME must be YYYYMMDDhhmmss: " + o.time);
        } else if (!args.empty()) {
            return usage(name + " takes no argument: " + args[0]);
        }
        dcjctl::Target target{o.ip, o.port, o.timeout, o.snGiven ? o.sn : DefaultSn()};
        Fields biz;
        if (name == "set-time") biz.emplace_back("time", o.time);
        if (name == "download") {
            biz = {{"instNo", o.instNo}, {"empNo", o.empNo}, {"uploadDir", o.uploadDir}, {"tempDir", o.tempDir}};
            if (!o.related.empty()) biz.emplace_back("relativeFilePath", o.related);
        }
        request = dcjctl::BuildRequest(funcName, target, biz);
    }

    if (o.dryRun) {
        fwrite(request.data(), 1, request.size(), stdout);
        fputc('\n', stdout);
        return fflush(stdout) == 0 ? kOk : kFailed;
    }

    const std::string driverPath = o.driver.empty() ? dcjctl::DefaultDriverPath() : o.driver;
    DriverHost host;
    std::string error;
    if (!host.Load(driverPath, &error)) {
        Message("cannot load the driver: " + error);
        return kNoDriver;
    }

    std::string reply;
    const bool download = name == "download";
    std::string relatedBase;
    // The driver reads backslashes as slashes.
    if (!o.related.empty()) relatedBase = o.related.substr(o.related.find_last_of("/\\") + 1);
    const dcjctl::DownloadWatch watch(download ? o.uploadDir : "", download ? o.tempDir : "", relatedBase);
    if (download && isatty(2)) {
        reply = CallWithProgress(host, request, watch);
    } else {
        reply = host.Call(request, dcjctl::MayRepeat(funcName));
    }

    if (o.json) {
        fwrite(reply.data(), 1, reply.size(), stdout);
        fputc('\n', stdout);
    }

    const Reply parsed = dcjctl::ParseReply(reply);
    int rc = kOk;
    if (!parsed.parsed) {
        if (reply.empty()) {
            Message(name + ": the driver wrote no reply");
        } else if (reply == " ") {
            Message(name + ": the driver did not take the request (reply \" \": unknown or missing funcName)");
        } else {
            Message(name + ": the reply is not a reply document: " + reply);
        }
        rc = kFailed;
    } else if (!parsed.Succeeded()) {
        const std::string desc = parsed.Common("errDesc");
        Message(name + ": " + parsed.Common("retCode") + (desc.empty() ? "" : " " + desc));
        if (parsed.Common("retCode") == "ECPWSCOM0009" && !dcjctl::MayRepeat(funcName)) {
            // The driver sends a clear only when its longest reply fits:
            // this one never reached the counter.
            Message("the reply would not fit in " + std::to_string(DriverHost::kFirstReplyBuffer) +
                    " bytes, so the driver did not send the request: the counter was not cleared");
            if (download) {
                const auto arrived = watch.NewInUpload();
                Message(std::to_string(arrived.size()) + " file(s) arrived in " + watch.UploadDir() +
                        (arrived.empty() ? "" : ":"));
                for (const auto& f : arrived) fprintf(stderr, "  %s\n", f.c_str());
            }
        }
        rc = kFailed;
    } else if (name == "status") {
        const std::string status = parsed.Biz("status");
        if (!o.json) {
            printf("status: %s (%s)\n", StatusName(status).c_str(), status.c_str());
            const struct {
                const char* label;
                const char* key;
            } extra[] = {{"driver", "DRVVersion"}, {"firmware", "FIRVersion"}, {"serial", "devSn"},
                         {"extStatus", "extStatus"}};
            for (const auto& e : extra) {
                const std::string value = parsed.Biz(e.key);
                if (!value.empty()) printf("%s: %s\n", e.label, value.c_str());
            }
        }
        if (status != "01") {
            const std::string where = "status: the counter at " + o.ip + ":" + o.port;
            if (status == "03") {
                Message(where + " is unreachable (03)");
            } else if (status == "04") {
                Message(where + " reports a hardware fault (04)");
            } else {
                Message(where + " gave no usable status (\"" + status + "\")");
            }
            rc = kFailed;
        }
    } else if (!o.json) {
        if (name == "counts") {
            printf("realCash: %s\nrejCash: %s\n", parsed.Biz("realCash").c_str(), parsed.Biz("rejCash").c_str());
        } else if (name == "clear-counts") {
            puts("counts cleared");
        } else if (name == "set-time") {
            printf("time set: %s\n", o.time.c_str());
        } else if (name == "clear-files") {
            puts("files cleared");
        } else if (download) {
            PrintDownload(parsed, watch.UploadDir(), !o.related.empty());
        } else {
            PrintFields(parsed.common);
            PrintFields(parsed.biz);
        }
    }
    if (download && o.check && parsed.Succeeded()) {
        fflush(stdout);
        if (!CheckDownload(parsed, watch.UploadDir(), !o.related.empty(), o.json)) rc = kFailed;
    }
    if (fflush(stdout) != 0) {
        Message(std::string("cannot write the output: ") + strerror(errno));
        return kFailed;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    int rc;
    try {
        rc = Run(argc, argv);
    } catch (const std::bad_alloc&) {
        Message("out of memory");
        return kFailed;
    }
    // Whatever printed it (the help, the version): output that did not get
    // out is no success.
    if ((fflush(stdout) != 0 || ferror(stdout)) && rc == kOk) {
        Message(std::string("cannot write the output: ") + strerror(errno));
        rc = kFailed;
    }
    return rc;
}
