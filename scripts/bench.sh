#!/usr/bin/env bash
# Builds the benchmarks in Release into their own folder, runs them all and
# prints one markdown table (also written to <build>/bench-results.md).
#
#   bash scripts/bench.sh              build and run everything (about four minutes)
#   bash scripts/bench.sh --quick      shorter runs: a first look, not figures to publish
#   bash scripts/bench.sh --no-build   run what is already built
#
#   BENCH_BUILD_DIR   build folder (default: build-bench)
# Other arguments go to every bench program (--disk-dir DIR, --shm-dir DIR,
# --scale X; --candidate SO measures another build of the driver in place of
# the log-off column, to check a change against the current driver).
# Progress goes to stderr, the table to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build-bench}
programs=(bench_download bench_latency bench_scale bench_memory bench_log)
do_build=1
args=()
for a in "$@"; do
  case "$a" in
    --no-build) do_build=0 ;;
    *) args+=("$a") ;;
  esac
done

if [ "$do_build" = 1 ]; then
  bash scripts/setup.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDCJ_BUILD_TESTS=OFF -DDCJ_BUILD_BENCH=ON >&2
  cmake --build "$build" --target "${programs[@]}" >&2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$SECONDS
# Other work on the machine shows in every figure: say how busy it was.
load_before=$(cut -d' ' -f1 /proc/loadavg)
failed=()
for p in "${programs[@]}"; do
  echo "== $p" >&2
  t0=$SECONDS
  if ! "$build/bin/$p" "${args[@]}" >"$out/$p.md"; then
    failed+=("$p")
  fi
  echo "== $p: $((SECONDS - t0)) s" >&2
done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
disk_fs=$(df -T "$build" 2>/dev/null | awk 'NR == 2 { print $2 }')
load_after=$(cut -d' ' -f1 /proc/loadavg)
{
  echo "## Benchmarks"
  echo
  echo "$(nproc) cores (${cpu:-unknown CPU}), Linux $(uname -r), Release build;" \
       "disk folder on ${disk_fs:-?} inside the build folder, tmpfs in /dev/shm;" \
       "$(date -u +%Y-%m-%d), $((SECONDS - start)) s in all; load average ${load_before} before, ${load_after} after."
  echo
  header=$(grep -h -m 1 '^| Benchmark |' "$out"/*.md | head -n 1)
  header=${header:-"| Benchmark | Case | Driver | Driver, log off | Reference | Ratio | Old rule | No sync | Driver / no sync | Driver / old rule | Target | Result |"}
  columns=$(($(tr -cd '|' <<<"$header" | wc -c) - 1))
  echo "$header"
  printf '|'; printf -- '---|%.0s' $(seq "$columns"); echo
  for p in "${programs[@]}"; do
    grep '^| ' "$out/$p.md" | grep -v '^| Benchmark |' ||
      { printf '| %s | failed: see its output above |' "$p"; printf ' |%.0s' $(seq $((columns - 3))); echo ' **MISS** |'; }
  done
  echo
  echo "Driver: the driver loaded like a host loads it (dlopen, doCommand), with the log library's default" \
       "logging; \"log off\": the same with VDXLOG_LEVEL=off. Reference: a minimal receiver in the bench" \
       "(plain POSIX calls, the driver's durability rule: each file kept open while its packets arrive, one" \
       "fsync when it is complete, rename into the upload folder; one fsync of the upload folder; the same" \
       "confirm exchange). Old rule: the same receiver with the former rule (open, append, fsync, close per" \
       "packet). No sync: the reference without any fsync. Both on the disk folder only. Sync shim rows: every" \
       "receiver's fsync sleeps first, as on the terminals' flash storage."
  echo
  for p in "${programs[@]}"; do
    grep '^- ' "$out/$p.md" || true
  done
} | tee "$build/bench-results.md"

if [ ${#failed[@]} -gt 0 ]; then
  echo "bench: failed: ${failed[*]}" >&2
  exit 1
fi
