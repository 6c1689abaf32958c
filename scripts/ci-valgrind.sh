#!/usr/bin/env bash
# Valgrind memcheck over the end-to-end test programs (the driver loaded as a
# host loads it, against the simulated counter): no invalid access, no
# definite leak. Then the long run under memcheck with N and 2N calls: the
# memory still held at exit must not grow with the number of calls.
#
#   BUILD_DIR       build folder (default: build-valgrind; an existing
#                   plain build, such as the README's, is reused)
#   LEAK_CALLS      N for the growth check (default 200)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ci

build=${BUILD_DIR:-build-valgrind}
programs=(test_exchange test_download test_device test_docommand)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDCJ_BUILD_BENCH=OFF "$@"
fi
if grep -q '^DCJ_SANITIZE:STRING=.\+' "$build/CMakeCache.txt"; then
  echo "ci-valgrind: $build is a sanitizer build; valgrind needs a plain one" >&2
  exit 1
fi
cmake --build "$build" --target "${programs[@]}" test_longrun
logs=$build/valgrind
mkdir -p "$logs"
supp=scripts/valgrind.supp

memcheck() {
  local name=$1; shift
  VDXLOG_FILE="$logs/$name.vdxlog" valgrind -q --error-exitcode=1 --leak-check=full --suppressions="$supp" \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect \
    --num-callers=30 --log-file="$logs/$name.log" "$@"
}

status=0
for p in "${programs[@]}"; do
  t0=$(date +%s)
  if memcheck "$p" "$build/bin/$p" --gtest_brief=1 > "$logs/$p.out" 2>&1; then
    echo "ci-valgrind: $p clean ($(( $(date +%s) - t0 )) s)"
  else
    echo "ci-valgrind: $p FAILED ($(( $(date +%s) - t0 )) s)" >&2
    cat "$logs/$p.out" "$logs/$p.log" >&2
    status=1
  fi
done

# Bytes still allocated at exit (lost or reachable) after n calls.
held_after() {
  local n=$1 log=$logs/longrun-$1.log
  DCJ_LONGRUN_CALLS=$n DCJ_LONGRUN_RSS=0 VDXLOG_FILE="$logs/longrun-$n.vdxlog" \
    valgrind --error-exitcode=1 --leak-check=full --suppressions="$supp" --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect \
    --log-file="$log" "$build/bin/test_longrun" --gtest_brief=1 > "$logs/longrun-$n.out" 2>&1 || {
    echo "ci-valgrind: test_longrun with $n calls FAILED" >&2
    cat "$logs/longrun-$n.out" "$log" >&2
    return 1
  }
  awk '/(definitely lost|indirectly lost|possibly lost|still reachable):/ { gsub(",", "", $4); sum += $4 }
       END { print sum + 0 }' "$log"
}
n=${LEAK_CALLS:-200}
if held_n=$(held_after "$n") && held_2n=$(held_after $((2 * n))); then
  echo "ci-valgrind: bytes held at exit: $held_n after $n calls, $held_2n after $((2 * n)) calls"
  if [ "$held_2n" -gt "$held_n" ]; then
    echo "ci-valgrind: memory held at exit grows with the number of calls" >&2
    status=1
  fi
else
  status=1
fi
exit $status
