#!/usr/bin/env bash
# Builds everything and runs every test. With no arguments it runs every
# stage that CI runs; naming stages runs only those (tools/test.sh dev).
set -euo pipefail
cd "$(dirname "$0")/.."

# A CMake preset: configure, build, run its ctest suite.
preset_stage() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

stages=(docs dev asan fuzz memcheck web camera boot soak load)
(($#)) && stages=("$@")

bash tools/setup.sh "${stages[@]}"

for stage in "${stages[@]}"; do
  echo "== $stage" >&2
  started=$SECONDS
  case $stage in
    # Every relative link and #anchor in README.md and docs/ resolves.
    docs) python3 tools/check-docs.py ;;
    dev | asan) preset_stage "$stage" ;;
    fuzz) bash tools/fuzz.sh ;;
    memcheck) bash tools/memcheck.sh ;;
    web) bash tools/web.sh ;;
    camera)
      # The camera build and package, checked, then the whole suite
      # cross-built for AArch64 and run under qemu.
      bash tools/build-camera.sh
      bash tools/check-camera.sh
      preset_stage camera-test
      ;;
    # The packages on a booted arm64 system under qemu: first boot, journal,
    # crash, reboot, 3 power cuts (1 more under the strict drop-in), upgrade,
    # removal, purge and reinstall.
    boot) bash tools/boot-test.sh --cuts 3 ;;
    # A short crash soak: 50 SIGKILLs during switches, each checked.
    soak) bash tools/soak.sh --kills 50 --time-limit 900 ;;
    # Load, idle clients and garbage HTTP, short: every answer checked.
    load) bash tools/load.sh --quick ;;
    *) echo "test.sh: unknown stage $stage (stages: docs dev asan fuzz memcheck web camera boot soak load)" >&2; exit 2 ;;
  esac
  echo "== $stage: passed in $((SECONDS - started)) s" >&2
done
