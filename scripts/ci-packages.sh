#!/usr/bin/env bash
# Builds the .deb of a build folder and checks its architecture and layout.
#   scripts/ci-packages.sh BUILD_DIR ARCH     e.g. build amd64, build-arm64 arm64
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
arch=$2

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/qolt-dcj-driver_*_"$arch".deb)
got=$(dpkg-deb -f "$deb" Architecture)
if [ "$got" != "$arch" ]; then
  echo "ci-packages: $deb is for $got, not $arch" >&2
  exit 1
fi
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in bin/drvprobe bin/dcjctl bin/dcjsim lib/MERV_DCJ_QOLT.so lib/libvdxlog.so include/MERV_DCJ_QOLT.h; do
  if ! grep -qx "./opt/qolt-dcj/$f" <<<"$contents"; then
    echo "ci-packages: $deb lacks /opt/qolt-dcj/$f" >&2
    exit 1
  fi
done
echo "ci-packages: $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
