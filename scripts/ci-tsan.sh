#!/usr/bin/env bash
# ThreadSanitizer over the test suite: the driver, the log library, the
# simulator and the tests built with -fsanitize=thread (GoogleTest from its
# sources), every test run, the first race ends the run.
#
#   BUILD_DIR   build folder (default: build-tsan)
#   TSAN_TESTS  ctest -R pattern (default: every test but the long run)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=${BUILD_DIR:-build-tsan}
cmake -S . -B "$build" -G Ninja -DDCJ_SANITIZE=thread -DDCJ_WERROR=ON -DDCJ_BUILD_BENCH=OFF "$@"
cmake --build "$build"

# The long run repeats what the other tests do, 10,000 times: its own stage
# covers it.
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -R "${TSAN_TESTS:-.}" -E '^LongRun\.'
