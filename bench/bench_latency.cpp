// Command latency: getDevStatus and getRMBCount through doCommand against
// the raw exchange (connect, 32-byte request, 20-byte ack, for getRMBCount
// the 136-byte count frame, close), per call. Then getDevStatus from a C
// host (bench_chost: the driver dlopen'ed by a small C program) against the
// bare exchange made by the same C program in another process.
//
//   bench_latency [--quick] [--scale X] [--calls N] [--block N] [--candidate SO]
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "BenchCommon.h"
#include "dcjsim/Simulator.h"

using namespace dcjbench;

extern char** environ;

namespace {

// One bench_chost process, fed jobs through a pipe: the driver's default
// logging (no VDXLOG_LEVEL), as a host gets it.
class CHost {
public:
    CHost(const Options& o, bool driver)
    {
        const std::string program = o.binDir + "/bench_chost";
        std::vector<std::string> args = {program, driver ? "driver" : "bare"};
        if (driver) args.push_back(o.driver);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) {
            if (strncmp(*e, "VDXLOG_LEVEL=", 13) != 0) envp.push_back(*e);
        }
        envp.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const int rc = posix_spawn(&m_pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        if (rc != 0) throw std::runtime_error(program + ": " + strerror(rc));
        m_in = fdopen(in[1], "w");
        m_out = fdopen(out[0], "r");
        if (!m_in || !m_out) throw std::runtime_error("fdopen");
    }
    ~CHost()
    {
        if (m_in) fclose(m_in);  // end of jobs: it exits
        if (m_out) fclose(m_out);
        if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    }
    CHost(const CHost&) = delete;
    CHost& operator=(const CHost&) = delete;

    // n calls; their times in seconds, the process's CPU time added to *cpu.
    std::vector<double> Calls(uint16_t port, int n, double* cpu)
    {
        fprintf(m_in, "%u %d\n", port, n);
        fflush(m_in);
        std::string line;
        for (int c; (c = fgetc(m_out)) != EOF && c != '\n';) line += static_cast<char>(c);
        if (line.compare(0, 3, "ok ") != 0) throw std::runtime_error("bench_chost: " + (line.empty() ? "no answer" : line));
        std::vector<double> t;
        const char* p = line.c_str() + 3;
        char* end = nullptr;
        *cpu += static_cast<double>(strtoll(p, &end, 10)) * 1e-9;
        for (p = end; static_cast<int>(t.size()) < n; p = end) {
            const long long ns = strtoll(p, &end, 10);
            if (end == p) throw std::runtime_error("bench_chost: short answer");
            t.push_back(static_cast<double>(ns) * 1e-9);
        }
        return t;
    }

private:
    pid_t m_pid = -1;
    FILE* m_in = nullptr;
    FILE* m_out = nullptr;
};

// getDevStatus from the C host against the bare exchange, interleaved in blocks.
void CHostRows(const Options& o, uint16_t port, int calls, int block, std::vector<Row>* rows,
               std::vector<std::string>* notes)
{
    CHost bare(o, false), driver(o, true);
    CHost* hosts[2] = {&bare, &driver};
    double cpu[2] = {0, 0};
    // First calls open the log file, the converter and the like.
    for (CHost* h : hosts) h->Calls(port, 50, &cpu[0]);
    cpu[0] = 0;
    std::vector<double> t[2];
    for (int done = 0, b = 0; done < calls; done += block, ++b) {
        const int n = std::min(block, calls - done);
        for (int k = 0; k < 2; ++k) {
            const int i = (k + b) % 2;
            std::vector<double> part = hosts[i]->Calls(port, n, &cpu[i]);
            t[i].insert(t[i].end(), part.begin(), part.end());
        }
    }
    Progress("getDevStatus from a C host: %d calls each", calls);
    const double p50[2] = {Percentile(t[0], 50), Percentile(t[1], 50)};
    const double p99[2] = {Percentile(t[0], 99), Percentile(t[1], 99)};
    const bool busy = p50[0] > 1e-3;
    const std::string verdict50 = busy ? "— (machine busy)" : PassMiss(p50[1] / p50[0] <= 1.15);
    const std::string verdict99 = busy ? "— (machine busy)" : PassMiss(p99[1] / p99[0] <= 1.3);
    rows->push_back({"Command latency, C host", Fmt("getDevStatus p50 (%s calls)", Count(calls).c_str()),
                     Micros(p50[1]), "—", Micros(p50[0]), Fmt("%.2f", p50[1] / p50[0]), "p50 ratio ≤ 1.15",
                     verdict50});
    rows->push_back({"Command latency, C host", "getDevStatus p99", Micros(p99[1]), "—", Micros(p99[0]),
                     Fmt("%.2f", p99[1] / p99[0]), "p99 ratio ≤ 1.3", verdict99});
    notes->push_back(Fmt("Latency, C host: a small C program dlopens the driver and calls doCommand (default "
                         "logging, 100 KiB reply buffer); the reference is another C program making the bare "
                         "exchange (connect, 32 bytes out, 20 bytes in, close); blocks of %d calls, alternated. "
                         "CPU per call: driver %s, bare exchange %s.",
                         block, Micros(cpu[1] / calls).c_str(), Micros(cpu[0] / calls).c_str()));
    if (busy) {
        notes->push_back(Fmt("Latency, C host: the bare exchange's own p50 was %s: the machine was too busy for "
                             "these figures to mean anything.",
                             Micros(p50[0]).c_str()));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (IsWorker(argc, argv)) return WorkerMain(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> rest;
    Options o = ParseOptions(argc, argv, &rest);
    int calls = std::max(200, static_cast<int>(3000 * o.scale));
    int block = 100;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == "--calls" && i + 1 < rest.size()) calls = std::stoi(rest[++i]);
        else if (rest[i] == "--block" && i + 1 < rest.size()) block = std::stoi(rest[++i]);
        else {
            fprintf(stderr, "bench_latency: unknown option %s\n", rest[i].c_str());
            return 2;
        }
    }
    try {
        dcjsim::Simulator sim;
        std::string error;
        if (!sim.Start(0, "127.0.0.1", &error)) throw std::runtime_error("simulator: " + error);
        const uint16_t port = sim.Port();
        Worker ref(o, Kind::Reference, nullptr), on(o, Kind::Driver, nullptr);
        std::unique_ptr<Worker> off(NewSecondDriver(o));
        Worker* workers[3] = {&ref, &on, off.get()};

        std::vector<Row> rows;
        std::vector<std::string> notes;
        std::string cpuNote;
        for (const std::string func : {"getDevStatus", "getRMBCount"}) {
            // First calls open the log file, the converter and the like.
            for (Worker* w : workers) Commands(*w, port, func, 50);
            std::vector<double> t[3];
            double cpu[3] = {0, 0, 0};
            for (int done = 0, b = 0; done < calls; done += block, ++b) {
                const int n = std::min(block, calls - done);
                // Small blocks, rotated, so machine noise hits all three alike.
                for (int k = 0; k < 3; ++k) {
                    const int i = (k + b) % 3;
                    std::vector<double> part = Commands(*workers[i], port, func, n, &cpu[i]);
                    t[i].insert(t[i].end(), part.begin(), part.end());
                }
            }
            Progress("%s: %d calls each", func.c_str(), calls);
            cpuNote += Fmt("%s%s %s / %s / %s", cpuNote.empty() ? "" : "; ", func.c_str(),
                           Micros(cpu[1] / calls).c_str(), Micros(cpu[2] / calls).c_str(),
                           Micros(cpu[0] / calls).c_str());
            const double p50[3] = {Percentile(t[0], 50), Percentile(t[1], 50), Percentile(t[2], 50)};
            const double p99[3] = {Percentile(t[0], 99), Percentile(t[1], 99), Percentile(t[2], 99)};
            const double ratio = p50[1] / p50[0];
            // A minimal exchange takes well under a millisecond here; when the
            // reference's median does not, every new simulator thread waited
            // for a CPU (other work on the machine) and the ratio means nothing.
            const bool busy = p50[0] > 1e-3;
            if (busy) {
                notes.push_back(Fmt("Latency: the reference's own p50 for %s was %s: the machine was too busy for "
                                    "these figures to mean anything; run again on a quieter machine.",
                                    func.c_str(), Micros(p50[0]).c_str()));
            }
            rows.push_back({"Command latency", func + Fmt(" p50 (%s calls)", Count(calls).c_str()), Micros(p50[1]),
                            Micros(p50[2]), Micros(p50[0]), Fmt("%.2f", ratio), "p50 ratio ≤ 1.3",
                            busy ? "— (machine busy)" : PassMiss(ratio <= 1.3)});
            rows.push_back({"Command latency", func + " p99", Micros(p99[1]), Micros(p99[2]), Micros(p99[0]),
                            Fmt("%.2f", p99[1] / p99[0]), "—", "—"});
        }
        CHostRows(o, port, calls, block, &rows, &notes);
        notes.insert(notes.begin(),
                     {"Latency: one call = connect, request, ack (and count frame), close; the driver's call is the "
                      "whole doCommand (JSON in, JSON reply out). Calls interleaved in blocks of " +
                          std::to_string(block) + ". Ratio = driver / reference.",
                      "Latency: CPU time of the calling process per call, driver / " +
                          std::string(o.candidate.empty() ? "driver log off" : "candidate") +
                          " / reference (what each call costs the host's CPU, whatever else the machine runs): " +
                          cpuNote + "."});
        PrintTable("Command latency", rows, notes);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
    return 0;
}
