#!/usr/bin/env bash
# Runs the service under valgrind memcheck on a simulated camera of its own
# and drives it through a scripted run of mixed requests and faults: every
# method, batches, broken input, rotated and failing channels, the video
# system, parameter service and key file failing, the auto-rotation service
# restarted. Passes when every answer is the expected one, memcheck found
# no error, and nothing is definitely lost in the service's own code.
#
#   tools/memcheck.sh [--rounds N]   (default 12 rounds, about 25 requests each)
set -euo pipefail

rounds=12
while (($#)); do
  case $1 in
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    -h | --help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "memcheck.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh memcheck
cmake --preset dev >/dev/null
cmake --build --preset dev

state=$(mktemp -d /tmp/pts-memcheck-XXXXXX)
mkdir -p "$state/localdata"
vglog=$state/valgrind.log
service=
source "$root/tools/sim.sh"
# shellcheck disable=SC2317  # runs from the trap
stop() {
  if [[ -n $service ]]; then kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; fi
  sim_stop
  rm -rf "$state"
}
trap stop EXIT

# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local seconds=$1 i
  shift
  for ((i = 0; i < seconds * 20; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  echo "memcheck.sh: timed out waiting for: $*" >&2
  return 1
}

sim_start_bus "$state"
sim_start_rotation "$state"
sim_write_users "$state" operator
stop_simulator() {
  kill "$sim_rotation"
  wait "$sim_rotation" || true
}

(
  cd "$state"
  exec env ZU_PLATFORM_STATE_DIR="$state" DBUS_SYSTEM_BUS_ADDRESS="$sim_bus" \
    ZU_HTTP_LISTEN=127.0.0.1:0 ZU_HTTP_READY_FILE="$state/endpoint" \
    LD_PRELOAD="$sim_nss_wrapper" NSS_WRAPPER_PASSWD="$state/passwd" NSS_WRAPPER_GROUP="$state/group" \
    G_SLICE=always-malloc G_DEBUG=gc-friendly \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --log-file="$vglog" \
    "$root/build/dev/code/panetessel"
) &
service=$!
wait_for 120 test -s "$state/endpoint"
url=$(cat "$state/endpoint")

camera() { tools/camera --state "$state" "$@"; }

requests=0
wrong=0
# ask WHAT EXPECTED PAYLOAD [curl options]: the answer must be HTTP 200
# with a body that contains EXPECTED.
ask() {
  local what=$1 expected=$2 payload=$3 answer
  shift 3
  requests=$((requests + 1))
  answer=$(curl -s --max-time 60 -w ' HTTP %{http_code}' "$@" --data-binary "$payload" "$url" | tr -d '\r\n') || true
  if [[ $answer != *' HTTP 200' || $answer != *"$expected"* ]]; then
    wrong=$((wrong + 1))
    echo "memcheck.sh: $what: expected $expected, got: ${answer:0:300}" >&2
  fi
}

versions='{"method": "getSupportedVersions"}'
info='{"method": "getViewModeInfo", "apiVersion": "1.0"}'
set_mode() { echo "{\"method\": \"setViewMode\", \"apiVersion\": \"1.0\", \"params\": {\"value\": \"$1\"}}"; }
both='"viewModes": ["single", "quad"]'
ok='"data": {}'
invalid='"code": 1000'
internal='"code": 8000'
long_context=$(head -c 20000 /dev/zero | tr '\0' 'c')
nested=$(printf '[%.0s' {1..3000})$(printf ']%.0s' {1..3000})
big_batch="[$(for i in {1..30}; do printf '%s, %s, ' "$info" "$versions"; done)$(set_mode single)]"

for ((round = 1; round <= rounds; round++)); do
  ask versions '"apiVersions": ["1.0"]' "$versions"
  ask "set quad" "$ok" "$(set_mode quad)"
  ask "info quad" "\"current\": \"quad\", $both" "$info"
  ask "batch" "\"current\": \"single\", $both" "[$(set_mode single), $info, $versions, {\"method\": \"nosuch\", \"apiVersion\": \"1.0\"}]"
  ask "big batch" '"apiVersions": ["1.0"]}}, {' "$big_batch"
  ask "context" "\"context\": \"$long_context\"" "{\"method\": \"getViewModeInfo\", \"apiVersion\": \"1.0\", \"context\": \"$long_context\"}"
  ask "invalid JSON" '"code": 4000' '{"method": "getViewModeInfo", "apiVersion": '
  ask "not UTF-8" '"code": 4000' $'{"method": "get\xff\xfe"}'
  ask "deep nesting" '"code": 4000' "$nested"
  ask "not POST" '"code": 2002' '' -X PUT
  ask "bad version" '"code": 2003' '{"method": "getViewModeInfo", "apiVersion": "2.0"}'
  ask "params not an object" '"code": 4002' '{"method": "setViewMode", "apiVersion": "1.0", "params": ["quad"]}'
  ask "bad value" "$invalid" "$(set_mode Quad)"

  camera rotate 2 90
  ask "info rotated" '"viewModes": ["single"]' "$info"
  ask "quad while rotated" "$invalid" "$(set_mode quad)"
  camera rotate 2 0
  camera fault rotation 1 error
  ask "info, channel failing" "$internal" "$info"
  ask "set, channel failing" "$invalid" "$(set_mode single)"
  camera fault rotation 1 wrong-type
  ask "info, wrong type" "$internal" "$info"
  camera fault rotation 1 none

  camera fault video apply on
  ask "video refuses" "$internal" "$(set_mode quad)"
  camera fault video apply off
  camera fault param new on
  ask "no parameter service" "$internal" "$(set_mode quad)"
  camera fault param new off
  camera fault param set on
  ask "parameter refused" "$ok" "$(set_mode single)"
  camera fault param set off
  mv "$state/localdata" "$state/localdata.away"
  ask "key file unwritable" "$internal" "$(set_mode quad)"
  mv "$state/localdata.away" "$state/localdata"
  ask "key file back" "$ok" "$(set_mode single)"

  if ((round % 4 == 0)); then
    stop_simulator
    ask "no rotation service" "$internal" "$info"
    sim_start_rotation "$state"
    ask "rotation service back" "\"current\": \"single\", $both" "$info"
  fi
done

# The service never ends by itself: SIGTERM ends it, and memcheck reports.
kill -TERM "$service"
wait "$service" || true
service=

errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$vglog" | tail -1)
lost=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$vglog" | tail -1)
# Definite losses whose stack passes through the service's own sources
# (memcheck names a frame's file without its folder).
own_files=$(git ls-files 'code/*.cpp' | xargs -n1 basename | paste -sd'|' | sed 's/\./\\./g')
own_lost=$(awk -v own_files="\\(($own_files):" '
  /definitely lost in loss record/ { record = 1; own = 0; next }
  record && $0 ~ own_files { own = 1 }
  record && /^==[0-9]+== *$/ { if (own) n++; record = 0 }
  END { print n + 0 }' "$vglog")
echo "memcheck: $requests requests in $rounds rounds, $wrong wrong; memcheck errors: ${errors:-?}," \
  "definitely lost: ${lost:-0} bytes (${own_lost} records in the service's own code)" >&2
if [[ $wrong != 0 || ${errors:-x} != 0 || $own_lost != 0 ]]; then
  cat "$vglog" >&2
  exit 1
fi
