#!/usr/bin/env bash
# Builds the packages of a build folder and checks them as Debian would:
# architecture and layout, hardening of every shipped ELF file, stripped
# binaries whose debug files (the -dbgsym package) gdb finds by build-id,
# lintian, manual pages and bash completion.
#   scripts/ci-packages.sh BUILD_DIR ARCH     e.g. build amd64, build-arm64 arm64
#   DCJ_INSTALL_CHECK=1   also install the package, look it up with man and
#                         the completion, and remove it (root, throwaway machine)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
arch=$2
bash scripts/setup.sh ci

fail() {
  echo "ci-packages: $*" >&2
  exit 1
}

# The folder may have been configured before help2man was installed.
cmake -S . -B "$build" >/dev/null
cmake --build "$build"
rm -f "$build"/qolt-dcj-driver*_"$arch".deb "$build"/qolt-dcj-driver*_"$arch".ddeb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qolt-dcj-driver_*_"$arch".deb)
ddeb=$(ls "$build"/qolt-dcj-driver-dbgsym_*_"$arch".ddeb)
for p in "$deb" "$ddeb"; do
  got=$(dpkg-deb -f "$p" Architecture)
  [ "$got" = "$arch" ] || fail "$p is for $got, not $arch"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/pkg"
dpkg-deb -x "$ddeb" "$work/dbg"

for f in opt/qolt-dcj/bin/drvprobe opt/qolt-dcj/bin/dcjctl opt/qolt-dcj/bin/dcjsim \
  opt/qolt-dcj/lib/MERV_DCJ_QOLT.so opt/qolt-dcj/lib/libvdxlog.so opt/qolt-dcj/include/MERV_DCJ_QOLT.h \
  usr/bin/dcjctl usr/bin/dcjsim usr/share/doc/qolt-dcj-driver/copyright usr/share/doc/qolt-dcj-driver/changelog.gz \
  usr/share/man/man1/dcjctl.1.gz usr/share/man/man1/dcjsim.1.gz usr/share/man/man1/drvprobe.1.gz \
  usr/share/bash-completion/completions/dcjctl usr/share/bash-completion/completions/dcjsim \
  usr/share/lintian/overrides/qolt-dcj-driver; do
  [ -e "$work/pkg/$f" ] || [ -L "$work/pkg/$f" ] || fail "$(basename "$deb") lacks /$f"
done
zcat "$work/pkg/usr/share/doc/qolt-dcj-driver/changelog.gz" | head -1 |
  grep -qF "($(dpkg-deb -f "$deb" Version))" || fail "the changelog's newest entry is not the package's version"

# Every ELF file the package ships.
mapfile -t elves < <(cd "$work/pkg" && find . -type f -print0 | xargs -0 file | awk -F: '/ELF/ {print $1}' | sort)
[ ${#elves[@]} -eq 5 ] || fail "expected 5 ELF files, found ${#elves[@]}: ${elves[*]}"

# hardening-check reads control-flow protection only from the linked
# file's property note, which the linker drops because Debian 12's C
# library start files carry none (and it knows no arm64 note); the compile
# flags below show it instead. A program whose every string call the
# compiler proved in bounds has no checked function to find: the fortified
# headers in its debug information show the flag was there.
for f in "${elves[@]}"; do
  file=$work/pkg/$f
  id=$(readelf -n "$file" | awk '/Build ID:/ {print $3}')
  [ -n "$id" ] || fail "$f has no build-id"
  debug=$work/dbg/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  [ -f "$debug" ] || fail "$f: no debug file for build-id $id in $(basename "$ddeb")"
  if readelf -S -W "$file" | grep -qE '\.debug_(info|line)'; then fail "$f is not stripped"; fi

  report=$(hardening-check --nocfprotection "$file" 2>/dev/null || true)
  if ! hardening-check --nocfprotection --nofortify --quiet "$file" >/dev/null 2>&1; then
    echo "$report" >&2
    fail "$f: hardening-check failed"
  fi
  if ! grep -q 'Fortify Source functions: yes' <<<"$report"; then
    lines=$(readelf --debug-dump=line "$debug" 2>/dev/null || true)
    grep -qE 'string_fortified\.h|stdio2\.h|fcntl2\.h' <<<"$lines" ||
      fail "$f: no fortified functions and no fortified headers in its debug information"
  fi

  # Compile units of our own sources (not the assembler's start files).
  case $arch in
    amd64) flags=(-fstack-protector-strong -fstack-clash-protection -fcf-protection) ;;
    arm64) flags=(-fstack-protector-strong -fstack-clash-protection -mbranch-protection=standard) ;;
    *) fail "unknown architecture $arch" ;;
  esac
  producers=$(readelf --debug-dump=info "$debug" 2>/dev/null | grep -E 'DW_AT_producer.*GNU C' || true)
  [ -n "$producers" ] || fail "$f: no compile units in its debug information"
  for flag in "${flags[@]}"; do
    if grep -vqF -- "$flag" <<<"$producers"; then fail "$f: a compile unit built without $flag"; fi
  done

  # gdb finds the debug file by build-id: a source line for an address.
  gdb_out=$(timeout 120 gdb -batch -nx -iex "set debug-file-directory $work/dbg/usr/lib/debug" \
    -ex 'info sources' "$file" 2>&1 || true)
  grep -qE '\.cpp' <<<"$gdb_out" || fail "$f: gdb finds no source files: $gdb_out"
  echo "ci-packages: $f: hardened, stripped, debug file ${id:0:12}... found by gdb"
done

# lintian: no error or warning that is not overridden (each override in
# packaging/lintian-overrides says why); it also checks the manual pages.
status=0
tags=$(lintian --fail-on error,warning --pedantic --display-info "$deb" "$ddeb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$tags" || true
[ "$status" -eq 0 ] || fail "lintian reports errors or warnings"

# The completion offers the commands.
completion() {
  bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    "_${COMP_WORDS[0]}"; echo "${COMPREPLY[*]}"' _ "$@"
}
got=$(completion "$work/pkg/usr/share/bash-completion/completions/dcjctl" dcjctl "")
for c in status counts clear-counts set-time clear-files download raw fsn getAllFSNFiles; do
  grep -qw -- "$c" <<<"$got" || fail "dcjctl completion lacks $c: $got"
done
[ "$(completion "$work/pkg/usr/share/bash-completion/completions/dcjctl" dcjctl -a 10.0.0.1 dow)" = download ] ||
  fail "dcjctl completion does not complete 'dow' after an option's value"
[ "$(completion "$work/pkg/usr/share/bash-completion/completions/dcjsim" dcjsim --fault-at upload-h)" = upload-header ] ||
  fail "dcjsim completion does not complete --fault-at"
# Every long option a program's --help lists is offered (programs of the
# host's architecture only: the others would need the emulator).
if [ "$(dpkg --print-architecture)" = "$arch" ]; then
  for prog in dcjctl dcjsim; do
    offered=$(completion "$work/pkg/usr/share/bash-completion/completions/$prog" "$prog" --)
    for opt in $("$work/pkg/opt/qolt-dcj/bin/$prog" --help | grep -oE '^ *(-[a-zA-Z], )?--[a-z][a-z0-9-]*' |
      grep -oE -- '--[a-z0-9-]+' | sort -u); do
      grep -qw -- "$opt" <<<"$offered" || fail "$prog completion does not offer $opt"
    done
  done
fi
for page in dcjctl dcjsim drvprobe; do
  MANPATH=$work/pkg/usr/share/man man -w "$page" >/dev/null || fail "man finds no page for $page"
  # The page names the program as it is called.
  zcat "$work/pkg/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} " || fail "$page.1 names another program"
done

if [ "${DCJ_INSTALL_CHECK:-0}" = 1 ] && [ "$(dpkg --print-architecture)" = "$arch" ]; then
  [ "$(id -u)" -eq 0 ] || fail "DCJ_INSTALL_CHECK needs root"
  dpkg -i "$deb" >/dev/null
  trap 'dpkg -r qolt-dcj-driver >/dev/null; rm -rf "$work"' EXIT
  # Minimal images may exclude manual pages from every installed package.
  if [ -e /usr/share/man/man1/dcjctl.1.gz ]; then
    man -w dcjctl >/dev/null || fail "man -w dcjctl fails after installing the package"
  else
    echo "ci-packages: dpkg excludes manual pages on this machine; man checked on the unpacked package"
  fi
  got=$(completion /usr/share/bash-completion/completions/dcjctl dcjctl "")
  grep -qw download <<<"$got" || fail "the installed completion lacks download"
  dcjctl --version | grep -q "^driver $(dpkg-deb -f "$deb" Version) (/opt/qolt-dcj/" ||
    fail "dcjctl in the search path does not load the installed driver"
  echo "ci-packages: installed: man -w dcjctl, completion and dcjctl --version work"
fi

echo "ci-packages: $(basename "$deb") $(stat -c %s "$deb") bytes, $(basename "$ddeb") $(stat -c %s "$ddeb") bytes"
echo "ci-packages: Depends: $(dpkg-deb -f "$deb" Depends)"
