#!/usr/bin/env bash
# Fuzzes the service's input paths with libFuzzer under ASan + UBSan. Builds
# every fuzz/fuzz_*.cpp target with clang (build/fuzz), replays its corpus
# fuzz/corpus/<target without fuzz_>/, then fuzzes it for a bounded time.
# Any finding (crash, leak, sanitizer report, failed check, hang) fails the
# run, and its reproducer is copied into that corpus folder: commit it with
# the fix, and every later run replays it.
#
#   tools/fuzz.sh [--minutes N | --seconds N] [TARGET...]   (default 60 s each)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
targets=()
while (($#)); do
  case $1 in
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -h | --help) sed -n '2,9p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

bash tools/setup.sh fuzz

# Absolute paths: a harness may change its working directory.
build=$PWD/build/fuzz
# The key file path is relative: each harness runs in a scratch folder.
CC=clang CXX=clang++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPTS_BUILD_FUZZ=ON -DPTS_BUILD_TESTS=OFF -DPTS_CONFIG_PATH=localdata/panetessel.conf >/dev/null
cmake --build $build -j2 --target "${targets[@]}"

# GLib's slice allocator would hide leaked blocks from LeakSanitizer.
export G_SLICE=always-malloc
# The harnesses' scratch folders, on tmpfs where fsync costs nothing; a
# finding ends a harness before it can clean up, so this goes at the end.
scratch_root=/tmp
[[ -d /dev/shm ]] && scratch_root=/dev/shm
TMPDIR=$(mktemp -d "$scratch_root/pts-fuzz-XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1

# Copies what libFuzzer left in the artifact folder into the corpus, and
# prints it, so a run on a machine that is thrown away still gives it up.
keep_reproducers() {
  local artifacts=$1 seeds=$2 kept=0
  for artifact in "$artifacts"/*; do
    [[ -f $artifact ]] || continue
    local name
    name=finding-$(basename "$artifact")
    cp "$artifact" "$seeds/$name"
    echo "fuzz: reproducer $seeds/$name (base64: $(base64 -w0 "$artifact"))" >&2
    kept=$((kept + 1))
  done
  echo $kept
}

failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  seeds=$PWD/fuzz/corpus/${target#fuzz_}
  work=$build/corpus/${target#fuzz_}
  artifacts=$build/artifacts/$target
  log=$build/$target.log
  mkdir -p "$seeds" "$work" "$artifacts"
  rm -f "$artifacts"/*
  echo "== fuzz $target: replay $(find "$seeds" -type f | wc -l) corpus files, then fuzz ${seconds} s" >&2

  status=0
  "$binary" -runs=0 -artifact_prefix="$artifacts/" "$seeds" >"$log" 2>&1 || status=$?
  if ((status == 0)); then
    "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$work" "$seeds" >>"$log" 2>&1 || status=$?
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  findings=$(keep_reproducers "$artifacts" "$seeds")
  if ((status != 0)); then
    tail -n 60 "$log" >&2
    ((findings > 0)) || findings="no reproducer, exit $status"
    failed+=("$target")
  fi
  echo "== fuzz $target: ${runs:-0} runs, findings: $findings (log $log)" >&2
done

if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
