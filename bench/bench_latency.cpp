// Command latency: getDevStatus and getRMBCount through doCommand against
// the raw exchange (connect, 32-byte request, 20-byte ack, for getRMBCount
// the 136-byte count frame, close), per call.
//
//   bench_latency [--quick] [--scale X] [--calls N] [--block N] [--candidate SO]
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "BenchCommon.h"
#include "dcjsim/Simulator.h"

using namespace dcjbench;

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
