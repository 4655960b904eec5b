#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Shared by tools/run.sh and tools/test.sh;
# naming test stages adds what only they need (tools/setup.sh fuzz;
# tools/setup.sh bench for tools/bench.sh).
# "camera-build" alone is the camera build and package (tools/build-camera.sh),
# without anything of the host's.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libglib2.0-dev libglib2.0-bin libjansson-dev libmicrohttpd-dev
  dbus-daemon libnss-wrapper libuid-wrapper
  libgtest-dev libgmock-dev libbenchmark-dev curl
)
camera=(
  g++-aarch64-linux-gnu cmake ninja-build pkg-config dpkg-dev
  libglib2.0-dev:arm64 libjansson-dev:arm64 libmicrohttpd-dev:arm64
)
camera_test=(
  qemu-user-static dbus-daemon
  libgtest-dev:arm64 libgmock-dev:arm64 libnss-wrapper:arm64
)

arm64_uid_wrapper=0
for stage in "$@"; do
  case $stage in
    docs) packages+=(python3) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    memcheck) packages+=(valgrind) ;;
    web) packages+=(chromium python3-jsonschema python3-yaml) ;;
    load) packages+=(wrk python3) ;;
    camera-build) packages=("${camera[@]}") ;;
    camera)
      packages+=("${camera[@]}" "${camera_test[@]}")
      arm64_uid_wrapper=1
      # The package check creates the service's user in a scratch root;
      # systemd has these tools, a machine without it gets them alone.
      command -v systemd-sysusers >/dev/null || packages+=(systemd-standalone-sysusers)
      command -v systemd-tmpfiles >/dev/null || packages+=(systemd-standalone-tmpfiles)
      ;;
    bench) packages+=(wrk nginx-light) ;;
    # The booted-system test: an arm64 Debian image, qemu, the guest agent's
    # client and the file system tools that look at a cut disk.
    boot) packages+=(mmdebstrap arch-test qemu-system-arm qemu-user-static binfmt-support e2fsprogs python3 curl) ;;
  esac
done

missing=()
foreign=0
for p in "${packages[@]}"; do
  if [[ $p == *:* ]]; then
    foreign=1
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  else
    # Only the machine's own architecture counts (a cross build adds arm64).
    status=$(dpkg-query -W -f='${Status}' "$p:$(dpkg --print-architecture)" 2>/dev/null ||
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  fi
  [[ $status == "install ok installed" ]] || missing+=("$p")
done
# Node.js may come from elsewhere than Debian (with npm inside): Debian's
# packages only where the commands are missing.
if [[ " $* " == *" web "* ]]; then
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
fi

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  if ((foreign)) && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# uid_wrapper's arm64 package would replace the host's (it is not multi-arch),
# so the emulated tests take its library unpacked into build/ instead.
if ((arm64_uid_wrapper)); then
  unpacked=$(cd "$(dirname "$0")/.." && pwd)/build/arm64-libs
  if [[ ! -e $unpacked/usr/lib/aarch64-linux-gnu/libuid_wrapper.so ]]; then
    download=$(mktemp -d)
    mkdir -p "$unpacked"
    (cd "$download" && apt-get download -qq libuid-wrapper:arm64 2>/dev/null)
    dpkg-deb -x "$download"/libuid-wrapper_*_arm64.deb "$unpacked"
    rm -rf "$download"
  fi
fi
