#!/usr/bin/env bash
# Installs from Debian's packages what the build, the tests and the demo
# need; installs only what is missing, so it is safe to run again.
#
#   scripts/setup.sh            build, tests and demo
#   scripts/setup.sh ci         also what .ci/run's extra stages use
set -euo pipefail

base=(cmake ninja-build g++ make pkg-config rapidjson-dev libgtest-dev googletest zip unzip procps)
# libpng: dcjctl fsn --images writes the serial-number images as PNG files.
base+=(libpng-dev)
# The host bindings and their tests: Debian's python3 with what an offline
# pip install needs, a JDK and JNA.
base+=(python3 python3-venv python3-pip python3-setuptools python3-wheel default-jdk-headless libjna-java)
# clang and its runtimes: the fuzzers; the aarch64 toolchain and qemu: the
# cross build and its tests (scripts/ci-cross.sh adds the arm64 gconv modules).
ci=(clang-14 libclang-rt-14-dev valgrind gcc-aarch64-linux-gnu g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
  qemu-user)
# Packages and their checks (scripts/ci-packages.sh): manual pages, hardening,
# debug symbols, lintian, the completion.
ci+=(help2man devscripts lintian gdb man-db bash-completion file)
# scripts/ci-fs.sh: makes and mounts images of every file system a terminal may have.
ci+=(e2fsprogs xfsprogs btrfs-progs dosfstools exfatprogs exfat-fuse fusefat fuse3 mount)

want=("${base[@]}")
if [ "${1:-}" = "ci" ]; then want+=("${ci[@]}"); fi

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup: need root or sudo to install: ${missing[*]}" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
