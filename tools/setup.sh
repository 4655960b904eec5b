#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing: the build's, and those of each stage or
# other job named (tools/setup.sh fuzz; tools/setup.sh bench).
# "--stages" prints the stages CI runs, in their order.
set -euo pipefail

# The stages of tools/test.sh, in the order CI runs them, each with the
# packages it needs beyond the build's. A stage that test.sh does not name
# runs the tests of tests/system that carry its pytest marker.
stages='
docs      python3
dev
asan
fuzz      clang libclang-rt-dev
memcheck  valgrind python3-pytest
web       chromium python3-jsonschema python3-yaml python3-requests
camera    @camera qemu-user-static dbus-daemon libgtest-dev:arm64 libgmock-dev:arm64 libnss-wrapper:arm64
boot      mmdebstrap arch-test qemu-system-arm qemu-user-static binfmt-support e2fsprogs python3-pytest
soak      python3-pytest
load      wrk python3-pytest
'
# Other jobs: the benchmarks (tools/bench.sh) and the camera build alone
# (tools/build-camera.sh, which needs nothing of the host's build).
others='
bench         wrk nginx-light python3 libcurl4-openssl-dev
camera-build  @camera
'
build=(
  g++ cmake ninja-build pkg-config python3
  libglib2.0-dev libglib2.0-bin libjansson-dev libmicrohttpd-dev
  dbus-daemon libnss-wrapper libuid-wrapper
  lighttpd lighttpd-mod-openssl lighttpd-modules-lua openssl
  libgtest-dev libgmock-dev libbenchmark-dev curl libcurl4-openssl-dev
)
camera=(
  g++-aarch64-linux-gnu cmake ninja-build pkg-config dpkg-dev
  libglib2.0-dev:arm64 libjansson-dev:arm64 libmicrohttpd-dev:arm64
)

if [[ ${1:-} == --stages ]]; then
  awk 'NF { print $1 }' <<<"$stages"
  exit
fi

packages=("${build[@]}")
for name in "$@"; do
  line=$(awk -v name="$name" '$1 == name' <<<"$stages$others")
  [[ -n $line ]] || { echo "setup: no stage or job $name (stages: $(awk 'NF { printf "%s ", $1 }' <<<"$stages"))" >&2; exit 2; }
  for p in ${line#"$name"}; do
    if [[ $p == @camera ]]; then packages+=("${camera[@]}"); else packages+=("$p"); fi
  done
done
[[ " $* " == *" camera-build "* ]] && packages=("${camera[@]}")
if [[ " $* " == *" camera "* ]]; then
  # The package check creates the service's user in a scratch root;
  # systemd has these tools, a machine without it gets them alone.
  command -v systemd-sysusers >/dev/null || packages+=(systemd-standalone-sysusers)
  command -v systemd-tmpfiles >/dev/null || packages+=(systemd-standalone-tmpfiles)
fi

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
if [[ " $* " == *" camera "* ]]; then
  unpacked=$(cd "$(dirname "$0")/.." && pwd)/build/arm64-libs
  if [[ ! -e $unpacked/usr/lib/aarch64-linux-gnu/libuid_wrapper.so ]]; then
    download=$(mktemp -d)
    mkdir -p "$unpacked"
    (cd "$download" && apt-get download -qq libuid-wrapper:arm64 2>/dev/null)
    dpkg-deb -x "$download"/libuid-wrapper_*_arm64.deb "$unpacked"
    rm -rf "$download"
  fi
fi
