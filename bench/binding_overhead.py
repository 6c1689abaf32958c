#!/usr/bin/env python3
"""Per-call overhead of the Python and Java bindings against the C call.

One simulator; for each caller, in turn and in one run, CALLS getDevStatus
calls (after a warm-up) in a process of its own: C (bench_status_c, doCommand
through dlopen), Python (dcj.Driver.status) and Java (DcjDriver.status on the
JVM). Prints the medians, each binding's ratio to C and its overhead, and
the calling thread's CPU time per call (what the machine's other load moves
least), and the CPU time of a call the driver answers at once.

    bench/binding_overhead.py [BUILD_DIR] [--calls N] [--rounds R]
A round runs every caller once (order rotated); figures are the median over
the rounds of each round's median.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

PYTHON_RUN = r"""
import sys, time, dcj
driver = dcj.Driver(sys.argv[1]); port = int(sys.argv[2]); calls = int(sys.argv[3]); warmup = int(sys.argv[4])
times = []
for i in range(warmup + calls):
    if i == warmup: cpu0 = time.thread_time()
    t0 = time.perf_counter(); status = driver.status("127.0.0.1", port)["status"]; t1 = time.perf_counter()
    assert status == "01", status
    if i >= warmup: times.append((t1 - t0) * 1e6)
cpu = (time.thread_time() - cpu0) * 1e6 / calls
blank = b'{"commonArgs":{"funcName":"none"}}'
blank0 = time.thread_time()
for i in range(20000): driver.exchange(blank, True)
blank_cpu = (time.thread_time() - blank0) * 1e6 / 20000
times.sort()
print("median_us %.1f p10_us %.1f p90_us %.1f cpu_us %.1f blank_cpu_us %.2f calls %d" % (times[(calls - 1) // 2], times[int(0.1 * (calls - 1))], times[int(0.9 * (calls - 1))], cpu, blank_cpu, calls))
"""


def run(command, env):
    out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    m = re.search(r"median_us (\S+) p10_us (\S+) p90_us (\S+) cpu_us (\S+) blank_cpu_us (\S+)", out)
    return tuple(float(x) for x in m.groups())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build", nargs="?", default=os.path.join(SOURCE, "build"))
    ap.add_argument("--calls", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=1)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    driver = os.path.join(build, "lib", "MERV_DCJ_QOLT.so")
    jna = "/usr/share/java/jna.jar"
    env = dict(os.environ, PYTHONPATH=os.path.join(SOURCE, "bindings", "python"))
    env.setdefault("VDXLOG_FILE", os.path.join(build, "bench-data", "binding_overhead.log"))
    os.makedirs(os.path.dirname(env["VDXLOG_FILE"]), exist_ok=True)

    sim = subprocess.Popen([os.path.join(build, "bin", "dcjsim"), "--quiet", "--idle-exit", "60"],
                           stdout=subprocess.PIPE, text=True)
    try:
        port = re.match(r"dcjsim listening on \S+:(\d+)", sim.stdout.readline()).group(1)
        n = str(args.calls)
        callers = [
            ("C (doCommand)", [os.path.join(build, "bin", "bench_status_c"), driver, port, n, "200"]),
            ("Python (dcj)", [sys.executable, "-c", PYTHON_RUN, driver, port, n, "200"]),
            ("Java (DcjDriver, JNA)", ["java", "-cp", os.path.join(build, "java", "dcj.jar") + ":" + jna,
                                       os.path.join(HERE, "BindingStatus.java"), driver, port, n, "2000"]),
        ]
        results = {name: [] for name, _ in callers}
        started = time.time()
        for r in range(args.rounds):
            for name, command in callers[r % 3:] + callers[:r % 3]:
                results[name].append(run(command, env))
    finally:
        sim.kill()
        sim.wait()

    med = {name: tuple(statistics.median(v[i] for v in runs) for i in range(5)) for name, runs in results.items()}
    c, c_cpu, c_blank = med["C (doCommand)"][0], med["C (doCommand)"][3], med["C (doCommand)"][4]
    print("getDevStatus against one dcjsim, %d calls per caller and round, %d round(s), %.0f s; %s, %d cores"
          % (args.calls, args.rounds, time.time() - started, os.uname().release, os.cpu_count()))
    print()
    print("| Caller | median µs | p10 µs | p90 µs | median ratio to C | median overhead | CPU µs per call | CPU overhead "
          "| call alone, CPU µs | its overhead |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name, (m, p10, p90, cpu, blank) in med.items():
        first = name.startswith("C ")
        over = "—" if first else "%+.1f µs" % (m - c)
        cpu_over = "—" if first else "%+.1f µs" % (cpu - c_cpu)
        blank_over = "—" if first else "%+.2f µs" % (blank - c_blank)
        print("| %s | %.1f | %.1f | %.1f | %.2f | %s | %.1f | %s | %.2f | %s |"
              % (name, m, p10, p90, m / c, over, cpu, cpu_over, blank, blank_over))
    print()
    print("Median, p10, p90: wall time of a getDevStatus call (connect, request, ack, close on loopback).")
    print("CPU: the calling thread's CPU time per getDevStatus call. Call alone: CPU time of a call the driver")
    print("answers at once (unknown funcName: blank reply, its two log lines), %d calls; in the bindings through" % 20000)
    print("the same exchange as status(), without building the request or parsing the reply.")


if __name__ == "__main__":
    main()
