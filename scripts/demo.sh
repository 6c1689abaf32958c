#!/usr/bin/env bash
# The main job, end to end on one machine: build, start the simulated counter
# with sample FSN files on a free loopback port, then work it through the
# driver exactly as a host does: status, counts, a download with the sample
# caller, a direct download and an archive download with dcjctl, each
# checked by reading its FSN files. Shows the records that arrived and stops
# the simulator.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target MERV_DCJ_QOLT vdxlog drvprobe dcjsim_cli dcjctl

root=$(cd -- "$build" >/dev/null && pwd)
demo=$root/demo
rm -rf "$demo" "$root/qolt"
mkdir -p "$demo"
export VDXLOG_FILE=${VDXLOG_FILE:-$demo/driver.log}

# Three FSN files of eight banknote records each (2014 layout, with the
# serial-number images), sent in 2 KiB packets and kept after each download
# so every step has something to fetch. The simulator prints its address
# first and exits by itself if left idle.
coproc SIM { exec "$root/bin/dcjsim" --generate 3 --fsn-records 8 --packet-size 2048 --keep-files --idle-exit 60; }
trap 'kill "${SIM_PID:-}" 2>/dev/null || true' EXIT
exec {sim_out}<&"${SIM[0]}"
read -r first <&"$sim_out"
port=${first##*:}
echo "== $first"
sed -u 's/^/   simulator: /' <&"$sim_out" &

step() { echo; echo "== $*"; }
dcjctl() { "$root/bin/dcjctl" --port "$port" "$@"; }

step "status"
dcjctl status
step "counts"
dcjctl counts

step "download with the sample caller (bin/drvprobe)"
(cd "$root/bin" && DRVPROBE_PORT=$port ./drvprobe)
ls -l "$root/qolt/upload"

step "direct download with dcjctl, its files checked"
dcjctl download --check --upload-dir "$demo/direct/" --temp-dir "$demo/temp/"

step "the records of the first file downloaded (dcjctl fsn)"
first_fsn=$(ls "$demo"/direct/*.FSN | head -1)
"$root/bin/dcjctl" fsn "$first_fsn"

step "archive download with dcjctl (the FSN files and a related file in one zip)"
echo "batch summary" > "$demo/summary.txt"
dcjctl download --check --related "$demo/summary.txt" --upload-dir "$demo/archive/" --temp-dir "$demo/temp/"
for zip in "$demo"/archive/*.zip; do unzip -l "$zip"; done

step "done; driver log: $VDXLOG_FILE"
