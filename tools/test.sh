#!/usr/bin/env bash
# Builds everything and runs every test. With no arguments it runs every
# stage that CI runs, in tools/setup.sh's order (its table also gives each
# stage's packages); naming stages runs only those (tools/test.sh dev).
set -euo pipefail
cd "$(dirname "$0")/.."

# A CMake preset: configure, build, run its ctest suite.
preset_stage() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

# The tests of tests/system that carry the stage's marker.
system_stage() {
  /usr/bin/python3 -m pytest tests/system -m "$1" -p no:cacheprovider -q -rs
}

mapfile -t stages < <(bash tools/setup.sh --stages)
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
    memcheck) PTS_WRAPPER=valgrind system_stage memcheck ;;
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
    *) system_stage "$stage" ;;
  esac
  echo "== $stage: passed in $((SECONDS - started)) s" >&2
done
