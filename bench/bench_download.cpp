// Download throughput: getAllFSNFiles through doCommand against minimal
// receivers, on a disk folder and on tmpfs, at four packet sizes; then on the
// disk folder with every sync slowed down as on the terminals' flash storage;
// then the simulator's own send rate into a receiver that keeps nothing.
//
// The minimal receivers: the reference (the driver's durability rule: fsync
// per file, one of the upload folder), the former rule (fsync per packet)
// and the reference's work without any fsync.
//
//   bench_download [--quick] [--scale X] [--reps N] [--seconds S]
//                  [--sizes 1024,8192,...] [--slow-sizes 1024,...]
//                  [--sync-delay-us US] [--only disk|tmpfs|slow] [--candidate SO]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

#include "BenchCommon.h"
#include "dcjsim/Simulator.h"

using namespace dcjbench;

namespace {

constexpr size_t kFilesPerRun = 4;
// tmpfs holds the files in memory, and so does the simulator.
constexpr uint64_t kMaxBytesPerRun = 1ull << 30;
// Wall time one size on one file system may take, rounds included.
constexpr double kBudgetSeconds = 25;
// The slow-sync section: about a minute in all.
constexpr double kSlowBudgetSeconds = 15;
constexpr int kSlowMaxRounds = 7;
constexpr long kDefaultSyncDelayUs = 5000;

struct Place {
    std::string label;  // "disk (ext4)", "tmpfs"
    std::string up, temp;
    bool disk;
};

// One receiver of a comparison. Receivers of one group get the same data
// set, sized so the group's first receiver takes about `seconds` a run; a
// receiver far slower or faster gets a group of its own.
struct Slot {
    Worker* worker;
    size_t group;
};

struct Measured {
    size_t packets = 0, files = 0;
    uint64_t bytes = 0;
    std::vector<double> t, cpu;
    std::vector<long> syncs;
    double Seconds() const { return Median(t); }
    double Rate() const { return static_cast<double>(bytes) / Seconds(); }
    double PacketRate() const { return static_cast<double>(packets) / Seconds(); }
    double CpuPerPacket() const { return Median(cpu) / static_cast<double>(packets); }
    double RoundRate(size_t r) const { return static_cast<double>(bytes) / t[r]; }
};

struct Figures {
    std::vector<Measured> slot;
    size_t rounds = 0;
    // Median over the rounds of a's throughput / b's in the same round, runs
    // seconds apart: load that drifts over the whole bench cancels out.
    double Ratio(size_t a, size_t b) const
    {
        std::vector<double> v;
        for (size_t r = 0; r < rounds; ++r) v.push_back(slot[a].RoundRate(r) / slot[b].RoundRate(r));
        return Median(v);
    }
};

// files x packets per file for about n packets: kFilesPerRun files when
// there are enough packets.
std::pair<size_t, size_t> Shape(size_t n)
{
    const size_t files = std::max<size_t>(1, std::min(kFilesPerRun, n));
    return {files, std::max<size_t>(1, n / files)};
}

size_t Canonical(size_t n)
{
    const auto [files, perFile] = Shape(n);
    return files * perFile;
}

class Bench {
public:
    Bench(dcjsim::Simulator& sim) : m_sim(sim) {}

    // The simulator serves size x n packets next (n canonical).
    void Load(size_t size, size_t n)
    {
        const auto key = std::make_pair(size, n);
        if (m_loaded == key) return;
        auto it = m_sets.find(key);
        if (it == m_sets.end()) {
            const auto [files, perFile] = Shape(n);
            it = m_sets.emplace(key, dcjsim::GenerateFiles(files, perFile, size)).first;
        }
        dcjsim::Scenario s;
        s.clearFilesOnConfirm = false;  // the same files for every run
        s.files = it->second;
        m_sim.SetScenario(std::move(s));
        m_loaded = key;
    }

    // Data sets of earlier sizes are not needed again.
    void Forget()
    {
        m_sets.clear();
        m_loaded = {0, 0};
    }

    RunResult RunOnce(Worker& w, const Place& p, size_t size, size_t n)
    {
        Load(size, n);
        EmptyDir(p.up);
        ClearFiles(p.temp);
        // Earlier runs' writes and deletions must not be flushed inside this one.
        if (p.disk) SyncFs(p.up);
        DownloadArgs a;
        a.port = m_sim.Port();
        a.uploadDir = p.up;
        a.tempDir = p.temp;
        RunResult r = Download(w, a);
        if (!Succeeded(w.WhichKind(), r)) throw std::runtime_error(w.Name() + " download failed: " + r.retCode);
        const size_t got = CountFiles(p.up), want = Shape(n).first;
        if (got != want) throw std::runtime_error(w.Name() + Fmt(": %zu files delivered, %zu expected", got, want));
        return r;
    }

    // Grows the run from start packets until lead takes half the wanted
    // time, then sizes it to the wanted time. A run has a fixed part (the
    // connections, and with slow storage the syncs of every file and of the
    // folder), so the time per packet comes from the last two runs.
    size_t Calibrate(Worker& lead, size_t size, const Place& p, size_t maxPackets, double seconds, size_t start = 0)
    {
        if (start == 0) start = p.disk ? 8 : std::max<size_t>(16, (4u << 20) / size);
        size_t n = Canonical(std::min(maxPackets, start)), n0 = 0;
        double t = 0, t0 = 0;
        for (;;) {
            t = RunOnce(lead, p, size, n).seconds;
            if (t >= 0.5 * seconds || n >= maxPackets) break;
            const double perPacket = PerPacket(n0, t0, n, t);
            const double grow = perPacket > 0 ? (static_cast<double>(n) + (seconds - t) / perPacket) / n : 50;
            n0 = n;
            t0 = t;
            const double factor = std::min(50.0, std::max(2.0, grow));
            n = Canonical(std::min(maxPackets, static_cast<size_t>(static_cast<double>(n) * factor)));
        }
        const double perPacket = PerPacket(n0, t0, n, t);
        if (perPacket <= 0) return n;
        const double wanted = std::max(0.0, static_cast<double>(n) + (seconds - t) / perPacket);
        return Canonical(std::min(maxPackets, std::max<size_t>(kFilesPerRun, static_cast<size_t>(wanted))));
    }

    // slots[i].group indexes seconds (the wanted run time of each group).
    Figures Measure(size_t size, const Place& p, const std::vector<Slot>& slots, const std::vector<double>& seconds,
                    int reps, double budget)
    {
        Forget();
        const size_t maxPackets = std::max<size_t>(kFilesPerRun, static_cast<size_t>(kMaxBytesPerRun / size));
        const size_t groups = seconds.size();
        std::vector<size_t> lead(groups, slots.size()), n(groups, 0);
        for (size_t i = 0; i < slots.size(); ++i) {
            if (lead[slots[i].group] == slots.size()) lead[slots[i].group] = i;
        }
        for (size_t g = 0; g < groups; ++g) n[g] = Calibrate(*slots[lead[g]].worker, size, p, maxPackets, seconds[g]);

        Figures f;
        const size_t ns = slots.size();
        // A disk's fsync time swings with what else the machine writes: when
        // the first round shows a sizing far off, size again and start over.
        for (int attempt = 0;; ++attempt) {
            f.slot.assign(ns, Measured());
            std::string sizes;
            for (size_t g = 0; g < groups; ++g) {
                sizes += Fmt("%s%s: %zu packets in %zu files (%.1f MB)", g ? "; " : "",
                             slots[lead[g]].worker->Name().c_str(), n[g], Shape(n[g]).first,
                             static_cast<double>(n[g] * size) / 1e6);
            }
            Progress("  %s, %s, per run: %s", SizeName(size).c_str(), p.label.c_str(), sizes.c_str());
            for (size_t i = 0; i < ns; ++i) {
                Measured& m = f.slot[i];
                m.packets = n[slots[i].group];
                m.files = Shape(m.packets).first;
                m.bytes = static_cast<uint64_t>(m.packets) * size;
            }
            bool resized = false;
            // A disk that slows down after sizing must not stretch the bench
            // past its time: no new round once the budget is spent (three
            // rounds at least).
            const double started = Now();
            for (int r = 0; r < reps && !resized && (r < 3 || Now() - started < budget); ++r) {
                // Interleaved, and rotated so no receiver always runs first.
                std::string line;
                for (size_t k = 0; k < ns; ++k) {
                    const size_t i = (k + static_cast<size_t>(r)) % ns;
                    Measured& m = f.slot[i];
                    const RunResult res = RunOnce(*slots[i].worker, p, size, m.packets);
                    m.t.push_back(res.seconds);
                    m.cpu.push_back(res.cpuSeconds);
                    m.syncs.push_back(res.syncs);
                }
                for (size_t i = 0; i < ns; ++i)
                    line += Fmt("%s%s %.3f s", i ? ", " : "", slots[i].worker->Name().c_str(), f.slot[i].t.back());
                Progress("    round %d: %s", r + 1, line.c_str());
                if (r != 0 || attempt >= 2) continue;
                for (size_t g = 0; g < groups; ++g) {
                    const double first = f.slot[lead[g]].t.back();
                    if (first > 2.5 * seconds[g] || (first < 0.4 * seconds[g] && n[g] < maxPackets)) {
                        // Sized again from here: far too slow starts from a
                        // share of the run (the fixed part makes it short).
                        const size_t from =
                            first > seconds[g] ? Scaled(n[g], 0.5 * seconds[g] / first, maxPackets) : n[g];
                        n[g] = Calibrate(*slots[lead[g]].worker, size, p, maxPackets, seconds[g], from);
                        resized = true;
                    }
                }
            }
            if (!resized) break;
        }
        f.rounds = f.slot[0].t.size();
        return f;
    }

    // The data set now on the simulator, read and dropped.
    double DiscardRate(Worker& w, uint64_t expectBytes, int reps)
    {
        std::vector<double> rates;
        for (int r = 0; r < reps; ++r) {
            auto [secs, bytes] = Discard(w, m_sim.Port());
            if (bytes < expectBytes) throw std::runtime_error("discard receiver got too few bytes");
            rates.push_back(static_cast<double>(expectBytes) / secs);
        }
        return Median(rates);
    }

private:
    // Seconds per packet from two runs (n0 = 0: only the second), or 0 when
    // the two do not tell: noise larger than the difference.
    static double PerPacket(size_t n0, double t0, size_t n, double t)
    {
        if (n0 == 0 || n <= n0) return t / static_cast<double>(n);
        const double d = (t - t0) / static_cast<double>(n - n0);
        return d > 0.05 * t / static_cast<double>(n) ? d : 0;
    }

    static size_t Scaled(size_t n, double factor, size_t maxPackets)
    {
        const size_t wanted = static_cast<size_t>(static_cast<double>(n) * factor);
        return Canonical(std::min(maxPackets, std::max<size_t>(kFilesPerRun, wanted)));
    }

    dcjsim::Simulator& m_sim;
    std::map<std::pair<size_t, size_t>, std::vector<dcjsim::FsnFile>> m_sets;
    std::pair<size_t, size_t> m_loaded{0, 0};
};

std::string Times(double x)
{
    return x >= 100 ? Fmt("%.0fx", x) : Fmt("%.1fx", x);
}

std::string Both(const Measured& m)
{
    return Rate(m.Rate()) + " · " + Count(m.PacketRate()) + " pkt/s";
}

// The slots of the main comparison.
enum Main { kRef, kDriver, kSecond, kOld, kNoSync };
// The slots of the slow-sync comparison.
enum Slow { kSlowRef, kSlowDriver, kSlowOld };

long MedianSyncs(const Measured& m)
{
    std::vector<double> v(m.syncs.begin(), m.syncs.end());
    return static_cast<long>(Median(v));
}

}  // namespace

int main(int argc, char** argv)
{
    if (IsWorker(argc, argv)) return WorkerMain(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> rest;
    Options o = ParseOptions(argc, argv, &rest);
    int reps = o.scale < 1 ? 3 : 9;
    double seconds = 0.5 * std::min(1.0, o.scale);
    std::vector<size_t> sizes = {1024, 8192, 65536, 1048576};
    std::vector<size_t> slowSizes = {1024, 8192, 65536};
    long syncDelayUs = kDefaultSyncDelayUs;
    if (const char* d = getenv("DCJ_SYNC_DELAY_US")) {
        if (*d) syncDelayUs = std::stol(d);
    }
    std::string only;  // "disk", "tmpfs" or "slow": one part only
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--reps" && i + 1 < rest.size()) reps = std::stoi(rest[++i]);
        else if (rest[i] == "--seconds" && i + 1 < rest.size()) seconds = std::stod(rest[++i]);
        else if (rest[i] == "--sizes" && i + 1 < rest.size()) sizes = ParseSizeList(rest[++i]);
        else if (rest[i] == "--slow-sizes" && i + 1 < rest.size()) slowSizes = ParseSizeList(rest[++i]);
        else if (rest[i] == "--sync-delay-us" && i + 1 < rest.size()) syncDelayUs = std::stol(rest[++i]);
        else if (rest[i] == "--only" && i + 1 < rest.size()) only = rest[++i];
        else {
            fprintf(stderr, "bench_download: unknown option %s\n", rest[i].c_str());
            return 2;
        }
    }
    if (!only.empty() && only != "disk" && only != "tmpfs" && only != "slow") {
        fprintf(stderr, "bench_download: --only takes disk, tmpfs or slow\n");
        return 2;
    }
    if (syncDelayUs < 0) {
        fprintf(stderr, "bench_download: --sync-delay-us must not be negative\n");
        return 2;
    }
    // The old rule is ten to a thousand times slower than the others: its
    // runs are sized to its own time.
    const double extraSeconds = 0.6 * seconds, slowSeconds = 0.8 * seconds;

    const std::string diskBase = o.diskDir + "/download", shmBase = o.shmDir + "/download";
    std::vector<Place> places = {{"disk", diskBase + "/up/", diskBase + "/tmp/", true},
                                 {"tmpfs", shmBase + "/up/", shmBase + "/tmp/", false}};
    std::vector<std::string> notes;
    int status = 0;
    try {
        for (Place& p : places) {
            if (!MakeDirs(p.up) || !MakeDirs(p.temp)) throw std::runtime_error("cannot create " + p.up);
        }
        places[0].label = "disk (" + FsType(places[0].up) + ")";
        if (!IsTmpfs(places[1].up)) places[1].label = "shm dir (" + FsType(places[1].up) + ", not tmpfs)";

        dcjsim::Simulator sim;
        std::string error;
        if (!sim.Start(0, "127.0.0.1", &error)) throw std::runtime_error("simulator: " + error);
        Bench bench(sim);

        std::vector<Row> rows, slowRows, simRows;
        std::string cpuNote, syncNote, ruleNote;
        if (only != "slow") {
            Worker ref(o, Kind::Reference, nullptr), on(o, Kind::Driver, nullptr);
            std::unique_ptr<Worker> second(NewSecondDriver(o));
            Worker old(o, Kind::OldRule, nullptr), noSync(o, Kind::NoSync, nullptr);
            // Driver, reference and the no-sync receiver share their data
            // set: the same files, runs seconds apart, so what the syncs cost
            // is the only difference. The old rule is far slower and gets runs
            // of its own size. On tmpfs an fsync costs nothing, so the
            // old-rule and no-sync receivers only run on the disk.
            const std::vector<Slot> diskSlots = {{&ref, 0}, {&on, 0}, {second.get(), 0}, {&old, 1}, {&noSync, 0}};
            const std::vector<Slot> shmSlots(diskSlots.begin(), diskSlots.begin() + kOld);
            const std::vector<double> diskSeconds = {seconds, extraSeconds}, shmSeconds = {seconds};
            for (size_t size : sizes) {
                Figures perPlace[2];
                for (size_t k = 0; k < places.size(); ++k) {
                    const Place& p = places[k];
                    if (only == (p.disk ? "tmpfs" : "disk")) continue;
                    Progress("download %s packets on %s", SizeName(size).c_str(), p.label.c_str());
                    const Figures f = p.disk ? bench.Measure(size, p, diskSlots, diskSeconds, reps, kBudgetSeconds)
                                             : bench.Measure(size, p, shmSlots, shmSeconds, reps, kBudgetSeconds);
                    perPlace[k] = f;
                    const Measured &mr = f.slot[kRef], &md = f.slot[kDriver];
                    const double ratio = f.Ratio(kDriver, kRef);
                    cpuNote += Fmt("%s%s %s %s / %s (driver busy %.0f%% of its run)", cpuNote.empty() ? "" : "; ",
                                   SizeName(size).c_str(), p.disk ? "disk" : "tmpfs",
                                   Micros(md.CpuPerPacket()).c_str(), Micros(mr.CpuPerPacket()).c_str(),
                                   100.0 * Median(md.cpu) / md.Seconds());
                    // On a disk at 8 KiB the driver's own syncs must cost
                    // little next to the same work without any.
                    const bool syncTarget = p.disk && size == 8192;
                    const double vsNoSync = p.disk ? f.Ratio(kDriver, kNoSync) : 0;
                    // On a disk the driver keeps up with the reference; on tmpfs,
                    // where nothing waits for a sync, within 5%.
                    const double least = p.disk ? 1.0 : 0.95;
                    const bool pass = ratio >= least && (!syncTarget || vsNoSync >= 0.6);
                    Row row{"Download, " + p.label,
                            SizeName(size) + " packets (" + Count(static_cast<double>(md.packets)) + " per run, " +
                                std::to_string(f.rounds) + " rounds)",
                            Both(md),
                            Rate(f.slot[kSecond].Rate()) + Fmt(" (%.2f)", f.Ratio(kSecond, kRef)),
                            Both(mr),
                            Fmt("%.2f", ratio),
                            Fmt("≥ %.2f", least) + (syncTarget ? "; driver / no sync ≥ 0.60" : ""),
                            PassMiss(pass)};
                    if (p.disk) {
                        row.oldRule = Both(f.slot[kOld]) + " (" +
                                      Count(static_cast<double>(f.slot[kOld].packets)) + " per run)";
                        row.noSync = Both(f.slot[kNoSync]);
                        row.ratioNoSync = Fmt("%.2f", vsNoSync);
                        row.ratioOldRule = Times(f.Ratio(kDriver, kOld));
                        ruleNote += Fmt("%s%s %.2f", ruleNote.empty() ? "" : ", ", SizeName(size).c_str(),
                                        f.Ratio(kRef, kNoSync));
                    }
                    rows.push_back(row);
                }
                // The tmpfs data set of the reference is still on the simulator.
                if (!only.empty()) continue;
                const Figures& t = perPlace[1];
                bench.Load(size, t.slot[kRef].packets);
                const double simRate = bench.DiscardRate(ref, t.slot[kRef].bytes, reps);
                const Figures& d = perPlace[0];
                auto faster = [](const Figures& f) { return std::max(f.slot[kRef].Rate(), f.slot[kDriver].Rate()); };
                const double diskLead = simRate / faster(d), shmLead = simRate / faster(t);
                simRows.push_back({"Simulator send rate", SizeName(size) + " packets, receiver reads and drops", "—",
                                   "—",
                                   "sim " + Rate(simRate) + "; reference receiver: disk " +
                                       Rate(d.slot[kRef].Rate()) + ", tmpfs " + Rate(t.slot[kRef].Rate()),
                                   "disk " + Times(diskLead) + ", tmpfs " + Times(shmLead),
                                   "≥ 2x the disk receivers (tmpfs: shown)", PassMiss(diskLead >= 2.0)});
            }
        }

        if (only.empty() || only == "slow") {
            const Place& p = places[0];
            const std::string delayName = syncDelayUs % 1000 == 0 ? Fmt("%ld ms", syncDelayUs / 1000)
                                                                  : Fmt("%ld µs", syncDelayUs);
            WorkerEnv env;
            env.preload = o.syncShim;
            env.extra = {"DCJ_SYNC_DELAY_US=" + std::to_string(syncDelayUs)};
            Worker ref(o, Kind::Reference, env), on(o, Kind::Driver, env), old(o, Kind::OldRule, env);
            const std::vector<Slot> slots = {{&ref, 0}, {&on, 0}, {&old, 1}};
            const std::vector<double> groupSeconds = {slowSeconds, slowSeconds};
            const int slowReps = std::min(reps, kSlowMaxRounds);
            for (size_t size : slowSizes) {
                Progress("download %s packets on %s, %s per sync", SizeName(size).c_str(), p.label.c_str(),
                         delayName.c_str());
                const Figures f = bench.Measure(size, p, slots, groupSeconds, slowReps, kSlowBudgetSeconds);
                const Measured &mr = f.slot[kSlowRef], &md = f.slot[kSlowDriver], &mo = f.slot[kSlowOld];
                // Every packet of the old rule syncs: a run shorter than its
                // syncs' sleep means the shim was not loaded.
                if (MedianSyncs(mo) < static_cast<long>(mo.packets) ||
                    mo.Seconds() < 1e-6 * static_cast<double>(syncDelayUs * static_cast<long>(mo.packets)))
                    throw std::runtime_error("the sync shim is not in effect in the receivers (" + o.syncShim + ")");
                const double ratio = f.Ratio(kSlowDriver, kSlowRef), vsOld = f.Ratio(kSlowDriver, kSlowOld);
                const bool oldTarget = size == 8192 && syncDelayUs >= 5000;
                const bool pass = ratio >= 1.0 && (!oldTarget || vsOld >= 20);
                Row row{"Download, " + p.label + ", " + delayName + " sync shim",
                        SizeName(size) + " packets (" + Count(static_cast<double>(md.packets)) + " per run, " +
                            std::to_string(f.rounds) + " rounds)",
                        Both(md),
                        "—",
                        Both(mr),
                        Fmt("%.2f", ratio),
                        oldTarget ? "≥ 1.00; driver / old rule ≥ 20x" : "≥ 1.00",
                        PassMiss(pass)};
                row.oldRule = Both(mo) + " (" + Count(static_cast<double>(mo.packets)) + " per run)";
                row.ratioOldRule = Times(vsOld);
                slowRows.push_back(row);
                syncNote += Fmt("%s%s: driver %ld, reference %ld (%zu files), old rule %ld (%zu packets)",
                                syncNote.empty() ? "" : "; ", SizeName(size).c_str(), MedianSyncs(md),
                                MedianSyncs(mr), mr.files, MedianSyncs(mo), mo.packets);
            }
            notes.push_back("Sync shim: the receivers run with libdcj_slowsync.so preloaded, which sleeps " +
                            delayName +
                            " in every fsync and fdatasync (and waiting sync_file_range) before the real one, as "
                            "the terminals' eMMC and SD storage take 2–20 ms a sync; the old rule's run and the "
                            "others' are each sized to about " +
                            Fmt("%.1f", slowSeconds) + " s of their own time (4 files at least); up to " +
                            std::to_string(kSlowMaxRounds) + " rounds. Syncs per run, counted by the shim: " +
                            syncNote + ".");
        }
        rows.insert(rows.end(), slowRows.begin(), slowRows.end());
        rows.insert(rows.end(), simRows.begin(), simRows.end());
        std::vector<std::string> head;
        if (only != "slow") {
            head.push_back(Fmt("Download: up to %d rounds (fewer when a size has used %.0f s); each round runs every "
                               "receiver once, back to back (order rotated); a run is one getAllFSNFiles (0xA1 "
                               "download and 0xA6 confirm) of 4 files, sized to about %.1f s of the reference's time "
                               "for the driver, the reference and the no-sync receiver (the same files for all), and "
                               "to about %.1f s of its own time for the old-rule receiver (disk folder only).",
                               reps, kBudgetSeconds, seconds, extraSeconds));
        }
        head.push_back("Download receivers: Reference = the driver's rule (each file kept open while its packets "
                       "arrive, one fsync when complete, rename into the upload folder; one fsync of the upload "
                       "folder before the 0xA6 confirm); Old rule = open, append, fsync and close per packet, "
                       "rename and fsync per file, one fsync of the upload folder; No sync = the reference without "
                       "any fsync (what the syncs cost).");
        head.push_back("Download: figures are medians over the rounds; Ratio, Driver / no sync and Driver / old rule "
                       "= median over the rounds of driver throughput / that receiver's throughput in the same "
                       "round (log on, the default hosts get); the second driver column gives its ratio to the "
                       "reference in brackets.");
        notes.insert(notes.begin(), head.begin(), head.end());
        if (!simRows.empty()) {
            notes.push_back("Simulator send rate: the in-process simulator feeding a receiver that reads and drops "
                            "everything, against the faster of driver and reference at the same size. On tmpfs a "
                            "receiver copies every byte twice (socket, then file) where the dropping one copies it "
                            "once, so about 2x is the most to expect there on two cores; there the CPU figures "
                            "below show that the receivers are busy for most of each run, so they, not the "
                            "simulator, set the pace, and driver and reference meet the same simulator.");
        }
        if (!ruleNote.empty()) {
            // The driver's Driver / no sync is to be read against this: the
            // part the rule itself costs.
            notes.push_back("Download, disk folder: what the rule itself costs, reference / no sync (median over "
                            "the rounds, as the ratios): " + ruleNote + ".");
        }
        if (!cpuNote.empty()) {
            notes.push_back("Download: receiver CPU time per packet, driver / reference (a check that does not "
                            "depend on the machine's other load): " + cpuNote + ".");
        }
        PrintTable("Download throughput", rows, notes);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_download: %s\n", e.what());
        status = 1;
    }
    RemoveTree(diskBase);
    RemoveTree(shmBase);
    rmdir(o.shmDir.c_str());  // only when nothing else is left in it
    return status;
}
