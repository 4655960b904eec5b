#!/usr/bin/env bash
# Load and hostile HTTP against the real service on a simulated camera,
# loopback only; every part is bounded and the script stops by itself.
#
#  (a) mixed API requests over keep-alive from 32 connections (wrk and
#      tools/load.lua, which checks every answer); answers/s, latency,
#      wrong answers, and the service's RSS growth after the warm-up;
#  (b) 64 idle connections and a client sending one byte a second, while a
#      new client must still be answered within 100 ms;
#  (c) garbage HTTP requests, after which every method must still answer
#      correctly (tools/load_clients.py);
#  (d) the auto-rotation service stopped (SIGSTOP): how long a request
#      blocks, what a client asking meanwhile waits, and that the service
#      answers again once it continues.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: tools/load.sh [--quick] [--requests N] [--warm-up N] [--garbage N] [--idle-seconds S]
                     [--no-stall] [--build DIR] [--keep]

  --quick           the short run CI makes: 2,500 requests (RSS growth after 500),
                    2,000 garbage requests, 3 s of idle clients (a new client
                    within 1 s), no stall
  --requests N      mixed requests in all (default 200,000)
  --warm-up N       requests before the first RSS reading, and between two
                    (default 10,000)
  --garbage N       garbage requests (default 10,000)
  --idle-seconds S  how long the idle and slow clients are held (default 20: past
                    the endpoint's idle time-out)
  --no-stall        skip (d), which waits for a D-Bus time-out (about 25 s)
  --build DIR       a built tree to take the service from (default build/dev)
  --keep            keep the state folder (it is always kept after a failure)
EOF
}

requests=200000
warm_up=10000
garbage=10000
idle_seconds=20
idle_limit_ms=100
stall=1
keep=0
root=$(cd "$(dirname "$0")/.." && pwd)
sim_build=$root/build/dev
while (($#)); do
  case $1 in
    --quick) requests=2500; warm_up=500; garbage=2000; idle_seconds=3; idle_limit_ms=1000; stall=0; shift ;;
    --requests) requests=${2:?}; shift 2 ;;
    --warm-up) warm_up=${2:?}; shift 2 ;;
    --garbage) garbage=${2:?}; shift 2 ;;
    --idle-seconds) idle_seconds=${2:?}; shift 2 ;;
    --no-stall) stall=0; shift ;;
    --build) sim_build=$(cd "${2:?}" && pwd); shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "load.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for number in "$requests" "$warm_up" "$garbage" "$idle_seconds"; do
  [[ $number =~ ^[0-9]+$ ]] || { echo "load.sh: not a number: $number" >&2; exit 2; }
done
((warm_up >= 2 && requests >= warm_up)) || { echo "load.sh: need 2 <= warm-up <= requests" >&2; exit 2; }

cd "$root"
bash tools/setup.sh load
if [[ $sim_build == "$root/build/dev" ]]; then
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target panetessel zu-autorotation-sim
fi

state=$(mktemp -d /tmp/pts-load-XXXXXX)
mkdir -p "$state/localdata"
source "$root/tools/sim.sh"
failures=0
# shellcheck disable=SC2317  # runs from the trap
finish() {
  trap - EXIT INT TERM
  [[ -n ${wrk_pid:-} ]] && kill "$wrk_pid" 2>/dev/null
  sim_stop
  if ((keep || failures)); then echo "load.sh: state folder kept: $state" >&2; else rm -rf "$state"; fi
}
trap finish EXIT
trap 'echo "load.sh: interrupted" >&2; exit 130' INT TERM

fail() {
  failures=$((failures + 1))
  echo "load.sh: FAILED: $*" >&2
}

sim_start_bus "$state"
sim_start_rotation "$state"
sim_write_users "$state" operator
sim_start_service "$state" 0 "$state/service.log"
service=$sim_service
sim_pids+=("$service")
sim_service_ready "$state"
url=$sim_url

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$service/status"; }
fds() { find "/proc/$service/fd" -mindepth 1 -maxdepth 1 | wc -l; }
# The value of name=value in a line of figures.
figure() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

# --- (a) mixed requests over keep-alive ---------------------------------------

# One wrk run of all the requests, stopped once each thread has its share
# of answers; whenever both threads have another warm-up's worth (half of
# it each), the service's RSS is read.
threads=2
step=$((warm_up / threads))
echo "load.sh: (a) $requests mixed requests from 32 connections" >&2
rss_start=$(rss_kib)
rm -f "$state"/wrk-*
wrk -t "$threads" -c 32 -d 3600s --timeout 60s -s tools/load.lua "$url" -- \
  $((requests / threads)) "$state/wrk-" "$step" >"$state/wrk.out" 2>&1 &
wrk_pid=$!
rss_series=()
next=$step
while kill -0 "$wrk_pid" 2>/dev/null; do
  while [[ -e $state/wrk-mark-$next-0 && -e $state/wrk-mark-$next-1 ]]; do
    rss_series+=("$(rss_kib)")
    next=$((next + step))
  done
  [[ -e $state/wrk-done-0 && -e $state/wrk-done-1 ]] && kill -INT "$wrk_pid"
  sleep 0.05
done
wait "$wrk_pid" || true
wrk_pid=""
rss_end=$(rss_kib)
main=$(grep '^LOAD answered=' "$state/wrk.out") || { fail "wrk gave no figures: $(cat "$state/wrk.out")"; exit 1; }
grep '^LOAD first wrong' "$state/wrk.out" >&2 || true
answered=$(figure answered "$main")
wrong=$(figure wrong "$main")
errors=0
for name in connect_errors read_errors write_errors timeouts; do errors=$((errors + $(figure "$name" "$main"))); done
rate=$(awk -v n="$answered" -v s="$(figure seconds "$main")" 'BEGIN { printf "%.0f", n / s }')
rss_warm=${rss_series[0]:-$rss_start}
((wrong == 0)) || fail "$wrong wrong answers"
((errors == 0)) || fail "$errors connection errors or time-outs"
((answered >= requests)) || fail "only $answered of $requests answered"

# --- (b) idle and slow clients -------------------------------------------------

echo "load.sh: (b) 64 idle connections and a slow client for $idle_seconds s" >&2
idle=$(/usr/bin/python3 tools/load_clients.py idle "$url" --idle 64 --seconds "$idle_seconds" --limit-ms "$idle_limit_ms") ||
  fail "a new client waited over $idle_limit_ms ms or was answered wrongly"

# --- (c) garbage ------------------------------------------------------------------

echo "load.sh: (c) $garbage garbage requests" >&2
fds_before=$(fds)
rss_before=$(rss_kib)
/usr/bin/python3 tools/load_clients.py garbage "$url" --count "$garbage" >"$state/garbage.out" ||
  fail "garbage got unacceptable answers"
garbage_line=$(grep '^GARBAGE' "$state/garbage.out" || echo "GARBAGE (none)")
checked=$(/usr/bin/python3 tools/load_clients.py check "$url") || fail "after the garbage: $checked"
fds_after=$(fds)
rss_after=$(rss_kib)
# Connections left half-open go at the endpoint's idle time-out (15 s).
waited_s=0
while (($(fds) > fds_before && waited_s < 30)); do sleep 1; waited_s=$((waited_s + 1)); done
fds_settled=$(fds)
((fds_settled <= fds_before)) || fail "$((fds_settled - fds_before)) descriptors still open $waited_s s after the garbage"

# --- (d) the rotation service stopped ---------------------------------------------

stall_report="skipped"
if ((stall)); then
  echo "load.sh: (d) the auto-rotation service stopped (waits for a D-Bus time-out)" >&2
  timed_post() { curl -s -o "$1" -w '%{time_total}' --max-time 120 --data "$2" "$url"; }
  info='{"method": "getViewModeInfo", "apiVersion": "1.0"}'
  kill -STOP "$sim_rotation"
  timed_post "$state/stalled.json" "$info" >"$state/stalled.time" &
  first=$!
  sleep 1
  waited=$(timed_post "$state/waiting.json" '{"method": "getSupportedVersions"}')
  wait "$first"
  kill -CONT "$sim_rotation"
  again=$(timed_post "$state/again.json" "$info")
  grep -q '"code": 8000' "$state/stalled.json" || fail "the stalled request answered: $(cat "$state/stalled.json")"
  grep -q '"apiVersions": \["1.0"\]' "$state/waiting.json" || fail "the waiting request answered: $(cat "$state/waiting.json")"
  grep -q '"data": {"current"' "$state/again.json" || fail "after SIGCONT: $(cat "$state/again.json")"
  timeouts=$(grep -c 'ERROR: Failed to call dbus method GetAutoRotation (Timeout was reached)' "$state/service.log" || true)
  ((timeouts == 1)) || fail "$timeouts time-out lines logged"
  stall_report=$(printf 'getViewModeInfo blocked %.1f s and answered 8000; getSupportedVersions sent 1 s later waited %.1f s;
    after SIGCONT getViewModeInfo answered in %.0f ms' \
    "$(cat "$state/stalled.time")" "$waited" "$(awk -v s="$again" 'BEGIN { print s * 1000 }')")
fi

kill -0 "$service" 2>/dev/null || fail "the service is gone"
if grep -qE '^CRITICAL:|AddressSanitizer|runtime error:|malformed answer' "$state/service.log"; then
  fail "the service logged: $(grep -E '^CRITICAL:|AddressSanitizer|runtime error:|malformed answer' "$state/service.log" | head -3)"
fi

cat <<EOF

Load and hostile HTTP on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), service from $sim_build
(a) $answered mixed requests over keep-alive, 32 connections: $wrong wrong, $errors errors
    $rate answers/s, p50 $(($(figure p50_us "$main") / 1000)) ms, p99 $(($(figure p99_us "$main") / 1000)) ms, max $(($(figure max_us "$main") / 1000)) ms
    RSS $rss_start KiB at start, $rss_warm KiB after $warm_up, $rss_end KiB after $answered: $((rss_end - rss_warm)) KiB growth
    RSS (KiB) every $warm_up answers: ${rss_series[*]}
(b) $idle
(c) $garbage_line
$(grep '^  ' "$state/garbage.out" || true)
    then: $checked; RSS $rss_before -> $rss_after KiB; descriptors $fds_before -> $fds_after, $fds_settled after $waited_s s more
(d) $stall_report
failures: $failures
EOF
((failures == 0))
