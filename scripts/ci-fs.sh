#!/usr/bin/env bash
# Downloads onto real file systems: mounts small images of every kind the
# machine can hold (loop devices: ext4, ext2, xfs, btrfs, and vfat and exFAT
# when the kernel has them; FUSE: exFAT and FAT; and a tmpfs), then runs
# test_filesystems over them. Everything mounted is unmounted, and every
# image removed, at exit. Skips, without failing, only where the machine has
# neither loop devices nor /dev/fuse (or is not root, who alone may mount).
#
#   BUILD_DIR   build folder (default: build)
#   any arguments are passed to cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."

skip() { echo "ci-fs: SKIPPED: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "mounting file systems needs root"

bash scripts/setup.sh ci
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
cmake --build "$build" --target test_filesystems

have_loop=0
if [ -e /dev/loop-control ] && losetup -f >/dev/null 2>&1; then have_loop=1; fi
have_fuse=0
if [ -c /dev/fuse ]; then have_fuse=1; fi
[ $have_loop = 1 ] || [ $have_fuse = 1 ] || skip "this machine has no loop devices and no /dev/fuse"

work=$(mktemp -d "${TMPDIR:-/tmp}/dcj-fs.XXXXXX")
mounts=()   # kind=mountpoint, for the test
points=()   # mountpoints, unmounted in reverse order
loops=()    # loop devices set up by hand
cleanup() {
  local i
  for ((i = ${#points[@]} - 1; i >= 0; i--)); do
    umount "${points[$i]}" 2>/dev/null || fusermount -u "${points[$i]}" 2>/dev/null ||
      umount -l "${points[$i]}" 2>/dev/null || true
  done
  for dev in "${loops[@]}"; do losetup -d "$dev" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

kernel_has() { grep -qw "$1" /proc/filesystems || { modprobe "$1" 2>/dev/null && grep -qw "$1" /proc/filesystems; }; }

# image KIND SIZE: a sparse image file and its mountpoint.
image() {
  truncate -s "$2" "$work/$1.img"
  mkdir -p "$work/$1"
}
added() { points+=("$work/$1"); mounts+=("$1=$work/$1"); echo "ci-fs: $1 mounted on $work/$1"; }

# loop_fs KIND SIZE TYPE MKFS...: made with MKFS, mounted through a loop device.
loop_fs() {
  local kind=$1 size=$2 type=$3; shift 3
  if [ $have_loop = 0 ]; then echo "ci-fs: $kind left out: no loop devices"; return; fi
  if ! kernel_has "$type"; then echo "ci-fs: $kind left out: the kernel has no $type"; return; fi
  image "$kind" "$size"
  "$@" "$work/$kind.img" >/dev/null
  mount -t "$type" -o loop "$work/$kind.img" "$work/$kind"
  added "$kind"
}

loop_fs ext4 64M ext4 mkfs.ext4 -q -F
loop_fs ext2 64M ext2 mkfs.ext2 -q -F
loop_fs xfs 320M xfs mkfs.xfs -q -f
loop_fs btrfs 128M btrfs mkfs.btrfs -q -f
loop_fs vfat 64M vfat mkfs.vfat
loop_fs exfat-kernel 64M exfat mkfs.exfat

if [ $have_fuse = 1 ]; then
  # exFAT through FUSE wants a block device: a loop device when there is one.
  if [ $have_loop = 1 ]; then
    image exfat 64M
    mkfs.exfat "$work/exfat.img" >/dev/null
    dev=$(losetup -f --show "$work/exfat.img")
    loops+=("$dev")
    mount.exfat-fuse "$dev" "$work/exfat" >/dev/null
    added exfat
  else
    echo "ci-fs: exfat left out: exfat-fuse needs a loop device"
  fi
  # FAT through FUSE, read-write, with the inode numbers it keeps itself.
  image fusefat 64M
  mkfs.vfat "$work/fusefat.img" >/dev/null
  fusefat -o rw+,use_ino "$work/fusefat.img" "$work/fusefat" >/dev/null
  added fusefat
else
  echo "ci-fs: exfat and fusefat left out: no /dev/fuse"
fi

mkdir -p "$work/tmpfs"
mount -t tmpfs -o size=64m tmpfs "$work/tmpfs"
added tmpfs

mkdir -p "$build/test-logs"
DCJ_FS_MOUNTS="${mounts[*]}" VDXLOG_FILE="$build/test-logs/test_filesystems.log" \
  "$build/bin/test_filesystems" --gtest_brief=1
