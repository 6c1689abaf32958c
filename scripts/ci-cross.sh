#!/usr/bin/env bash
# The 64-bit Arm build: cross-compiled with Debian's aarch64 toolchain,
# checked to be AArch64 code exporting the same names as the host build,
# and its whole test suite run under qemu-aarch64 through ctest.
#
#   BUILD_DIR         cross build folder (default: build-arm64)
#   NATIVE_BUILD_DIR  host build whose exports are the reference (default:
#                     build; its driver library is built if missing)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh ci

build=${BUILD_DIR:-build-arm64}
native=${NATIVE_BUILD_DIR:-build}
triple=aarch64-linux-gnu
target_root=/usr/$triple

as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi

# GBK conversion loads the target C library's gconv modules at run time; the
# cross C library has none, so they come from Debian's arm64 libc6, unpacked
# into the build folder (never installed).
extra=$build/sysroot-extra
gconv=$extra/usr/lib/$triple/gconv
if [ ! -f "$gconv/gconv-modules" ] && [ ! -d "$gconv/gconv-modules.d" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${as_root[@]}" dpkg --add-architecture arm64
    "${as_root[@]}" apt-get update -q
  fi
  debs=$build/debs
  mkdir -p "$debs" "$extra"
  rm -f "$debs"/libc6_*_arm64.deb
  # Downloaded by the caller itself: apt's own download user may not write
  # into the build folder.
  download=(apt-get download -q -o APT::Sandbox::User="$(id -un)" libc6:arm64)
  if ! (cd "$debs" && "${download[@]}"); then
    "${as_root[@]}" apt-get update -q
    (cd "$debs" && "${download[@]}")
  fi
  dpkg -x "$debs"/libc6_*_arm64.deb "$extra"
fi
ls "$gconv"/GBK.so >/dev/null

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/$triple.cmake "$@"
cmake --build "$build"

# Every shipped binary is AArch64 code (ELF e_machine 183).
for f in lib/MERV_DCJ_QOLT.so lib/libvdxlog.so bin/drvprobe bin/dcjsim; do
  machine=$(od -An -tu2 -j18 -N2 "$build/$f" | tr -d ' ')
  class=$(od -An -tu1 -j4 -N1 "$build/$f" | tr -d ' ')
  if [ "$machine" != 183 ] || [ "$class" != 2 ]; then
    echo "ci-cross: $f is not 64-bit AArch64 (e_machine $machine, class $class)" >&2
    exit 1
  fi
  echo "ci-cross: $f: ELF64 AArch64"
done

# Same interface on both architectures: the defined dynamic symbol names.
if [ ! -f "$native/lib/MERV_DCJ_QOLT.so" ]; then
  cmake -S . -B "$native" -G Ninja
  cmake --build "$native" --target MERV_DCJ_QOLT vdxlog
fi
exports() {
  readelf --dyn-syms -W "$1" |
    awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") { sub(/@.*/, "", $8); print $8 }' |
    sort -u
}
for lib in MERV_DCJ_QOLT.so libvdxlog.so; do
  exports "$native/lib/$lib" > "$build/exports-host-$lib.txt"
  exports "$build/lib/$lib" > "$build/exports-arm64-$lib.txt"
  if ! diff -u "$build/exports-host-$lib.txt" "$build/exports-arm64-$lib.txt"; then
    echo "ci-cross: $lib exports differ between the host and the arm64 build" >&2
    exit 1
  fi
  if [ ! -s "$build/exports-arm64-$lib.txt" ]; then
    echo "ci-cross: $lib exports nothing" >&2
    exit 1
  fi
  echo "ci-cross: $lib: $(wc -l < "$build/exports-arm64-$lib.txt") exported names, same as the host build"
done

# The tests run under the emulator (ctest adds it); programs the tests start
# themselves go through DCJ_TEST_EMULATOR.
export GCONV_PATH
GCONV_PATH=$(cd "$gconv" && pwd)
export DCJ_TEST_EMULATOR="qemu-aarch64 -L $target_root"
exclude='^LongRun\.'  # the long-run check has a stage of its own
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E "$exclude"
