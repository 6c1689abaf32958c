#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   BUILD_DIR   build folder (default: build)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja "$@"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
