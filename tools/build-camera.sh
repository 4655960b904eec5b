#!/usr/bin/env bash
# The camera build on a fresh Debian 12: installs what is missing (the cross
# compiler, cmake, ninja, the arm64 libraries), builds the camera preset and
# packages it. Extra arguments go to the configure step
# (e.g. -DPTS_CAMERA_SYSROOT=/path/to/camera-rootfs).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh camera-build
cmake --preset camera "$@" >/dev/null
cmake --build --preset camera
cpack --preset camera >/dev/null
echo "build-camera: build/camera/code/panetessel and the package:" >&2
ls -l build/camera/panetessel_*.deb build/camera/panetessel_*.tar.gz >&2
