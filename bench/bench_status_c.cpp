// getDevStatus through doCommand as a C host makes the call: dlopen, one
// 102400-byte reply buffer, the request text with its zero byte. Prints the
// median and the 10th and 90th percentiles of CALLS calls in microseconds,
// and the calling thread's CPU time per call; then the CPU time of a call
// the driver answers at once (an unknown funcName), the call's own cost.
//
//   bench_status_c DRIVER PORT [CALLS [WARMUP]]
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

double NowUs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

const int kBlankCalls = 20000;

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DRIVER PORT [CALLS [WARMUP]]\n", argv[0]);
        return 2;
    }
    const int calls = argc > 3 ? atoi(argv[3]) : 1000;
    const int warmup = argc > 4 ? atoi(argv[4]) : 200;
    if (calls <= 0 || warmup < 0) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    using DoCommand = void (*)(int, int, char*, int, char*);
    const auto doCommand = reinterpret_cast<DoCommand>(dlsym(lib, "doCommand"));
    if (doCommand == nullptr) return 3;

    // The request the bindings build for status().
    std::string text = std::string("{\"commonArgs\":{\"devKind\":\"DCJ\",\"devBrand\":\"QOLT\",\"funcName\":\"getDevStatus\"},") +
                       "\"connectArgs\":{\"ip\":\"127.0.0.1\",\"port\":\"" + argv[2] + "\"},\"bizArgs\":{}}";
    std::vector<char> request(text.begin(), text.end());
    request.push_back('\0');
    std::vector<char> reply(102400 + 1, '\0');

    std::vector<double> times;
    times.reserve(static_cast<size_t>(calls));
    double cpu0 = 0;
    for (int i = 0; i < warmup + calls; ++i) {
        if (i == warmup) cpu0 = NowUs(CLOCK_THREAD_CPUTIME_ID);
        const double t0 = NowUs();
        doCommand(0, static_cast<int>(text.size()), request.data(), 102400, reply.data());
        const double t1 = NowUs();
        if (strstr(reply.data(), "\"status\":\"01\"") == nullptr) {
            fprintf(stderr, "unexpected reply: %s\n", reply.data());
            return 1;
        }
        if (i >= warmup) times.push_back(t1 - t0);
    }
    const double cpuPerCall = (NowUs(CLOCK_THREAD_CPUTIME_ID) - cpu0) / calls;

    // The call alone, without the device: a request the driver answers at
    // once with its blank reply.
    char blank[] = "{\"commonArgs\":{\"funcName\":\"none\"}}";
    const double blank0 = NowUs(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < kBlankCalls; ++i) doCommand(0, 0, blank, 102400, reply.data());
    const double blankCpu = (NowUs(CLOCK_THREAD_CPUTIME_ID) - blank0) / kBlankCalls;
    std::sort(times.begin(), times.end());
    const auto at = [&times](double q) { return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))]; };
    printf("median_us %.1f p10_us %.1f p90_us %.1f cpu_us %.1f blank_cpu_us %.2f calls %d\n", at(0.5), at(0.1), at(0.9),
           cpuPerCall, blankCpu, calls);
    return 0;
}
