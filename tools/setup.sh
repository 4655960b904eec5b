#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Shared by tools/run.sh and tools/test.sh;
# naming test stages adds what only they need (tools/setup.sh fuzz).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libglib2.0-dev libglib2.0-bin libjansson-dev libmicrohttpd-dev
  dbus-daemon libnss-wrapper libuid-wrapper
  libgtest-dev libgmock-dev libbenchmark-dev curl
)

for stage in "$@"; do
  case $stage in
    fuzz) packages+=(clang libclang-rt-dev) ;;
    memcheck) packages+=(valgrind) ;;
    web) packages+=(chromium python3-jsonschema python3-yaml) ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  # Only the machine's own architecture counts (a cross build may add arm64).
  status=$(dpkg-query -W -f='${Status}' "$p:$(dpkg --print-architecture)" 2>/dev/null ||
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
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
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
