#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, address + undefined sanitizers) and
# runs each for a bounded time from its seed corpus in fuzz/corpus/. Any
# crash, sanitizer report or broken property fails the run; the input that
# caused it is kept in <build>/fuzz-artifacts/.
#
#   BUILD_DIR      build folder (default: build-fuzz)
#   FUZZ_SECONDS   time per target (default: 60)
#   FUZZ_TARGETS   targets to run (default: all six)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ci

build=${BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
read -r -a targets <<< "${FUZZ_TARGETS:-fuzz_docommand fuzz_frames fuzz_gbk fuzz_savefsn fuzz_zipdir fuzz_fsn}"

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DDCJ_BUILD_FUZZERS=ON -DDCJ_BUILD_TESTS=OFF -DDCJ_BUILD_BENCH=OFF -DDCJ_WERROR=ON "$@"
cmake --build "$build" --target dcj_fuzzers

# The download fuzzer writes and syncs files for every input: a memory file
# system keeps that cheap. Its folders are removed at the end.
base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
scratch=$(mktemp -d "$base/dcj-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

max_len() {
  case $1 in
    fuzz_frames) echo 512 ;;
    fuzz_savefsn) echo 16384 ;;
    fuzz_zipdir) echo 4096 ;;
    fuzz_fsn) echo 16384 ;;
    *) echo 8192 ;;
  esac
}

run() {
  local t=$1
  local work=$build/fuzz-corpus/$t artifacts=$build/fuzz-artifacts
  mkdir -p "$work" "$artifacts"
  TMPDIR=$scratch UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/bin/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$work" "fuzz/corpus/$t" > "$build/$t.log" 2>&1
}

# One target per core at a time; each is single-threaded.
status=0
jobs=$(nproc)
pids=()
names=()
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  names+=("$t")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || { echo "ci-fuzz: ${names[0]} FAILED" >&2; status=1; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "ci-fuzz: ${names[$i]} FAILED" >&2; status=1; }
done

for t in "${targets[@]}"; do
  log=$build/$t.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  corpus=$(find "$build/fuzz-corpus/$t" -type f | wc -l)
  if ! grep -qE '^(==[0-9]+==ERROR|SUMMARY: |.*property broken)' "$log"; then
    echo "ci-fuzz: $t: ${runs:-?} executions in ${seconds} s, corpus $corpus inputs, clean"
  else
    echo "ci-fuzz: $t: stopped on a finding after ${runs:-?} executions" >&2
    echo "ci-fuzz: $t reported:" >&2
    grep -E -A40 '^(==[0-9]+==ERROR|.*runtime error|.*property broken)' "$log" | head -80 >&2
    for a in "$build"/fuzz-artifacts/"$t"-*; do
      if [ -e "$a" ]; then echo "ci-fuzz: reproduce with: $build/bin/$t $a" >&2; fi
    done
    status=1
  fi
done
exit $status
