#!/usr/bin/env bash
# The long run on its own, in a plain optimised build: 10,000 doCommand calls
# against the simulated counter, descriptors and resident memory checked
# after warm-up, the figures printed.
#
#   BUILD_DIR          build folder (default: build-longrun; an existing
#                      plain build, such as the README's, is reused)
#   DCJ_LONGRUN_CALLS  number of calls (default 10000)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=${BUILD_DIR:-build-longrun}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDCJ_BUILD_BENCH=OFF "$@"
fi
if grep -q '^DCJ_SANITIZE:STRING=.\+' "$build/CMakeCache.txt"; then
  echo "ci-longrun: $build is a sanitizer build; the memory figure needs a plain one" >&2
  exit 1
fi
cmake --build "$build" --target test_longrun MERV_DCJ_QOLT vdxlog
mkdir -p "$build/test-logs"
VDXLOG_FILE="$build/test-logs/longrun-stage.log" "$build/bin/test_longrun" --gtest_filter='LongRun.*'
