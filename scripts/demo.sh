#!/usr/bin/env bash
# The main job, end to end on one machine: build, start the simulated counter
# with sample FSN files on a free loopback port, download them through the
# driver with the sample caller, show what arrived, stop the simulator.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target MERV_DCJ_QOLT vdxlog drvprobe dcjsim_cli

export VDXLOG_FILE=${VDXLOG_FILE:-$PWD/$build/demo.log}
rm -rf "$build/qolt"

# The simulator prints its address first; it exits by itself if left idle.
coproc SIM { exec "$build/bin/dcjsim" --generate 3 --packets 2 --packet-size 2048 --idle-exit 60; }
trap 'kill "$SIM_PID" 2>/dev/null || true' EXIT
exec {sim_out}<&"${SIM[0]}"
read -r first <&"$sim_out"
port=${first##*:}
echo "simulator: $first"
sed -u 's/^/simulator: /' <&"$sim_out" &

echo "download through the driver (drvprobe, device 127.0.0.1:$port):"
(cd "$build/bin" && DRVPROBE_PORT=$port ./drvprobe)

echo "files in $build/qolt/upload:"
ls -l "$build/qolt/upload"
echo "driver log: $VDXLOG_FILE"
