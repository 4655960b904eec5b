#!/usr/bin/env bash
# Builds everything and runs every test: once in the development build and
# once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

presets=(dev asan)
[[ $# -gt 0 ]] && presets=("$@")

for preset in "${presets[@]}"; do
  echo "== $preset: configure and build" >&2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test" >&2
  ctest --preset "$preset"
done
