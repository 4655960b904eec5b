#!/usr/bin/env bash
# Builds the `bench` preset (optimised, benchmarks) and measures the service
# against its floors, printing one markdown table: the request engine against
# jansson, the caller's look-up, round trips on the simulated camera against
# the D-Bus calls and file saves they are made of, HTTP throughput and
# start-up against nginx, and memory. Every figure comes from this run.
# Loopback only, bounded (about two minutes after the build); everything it
# starts is stopped and its folder removed. Exits 1 when an answer was wrong.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash tools/setup.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench >&2
b=$root/build/bench

machine="$(nproc) × $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

work=$(mktemp -d "${TMPDIR:-/tmp}/pts-bench.XXXXXX")
pids=()
# shellcheck disable=SC2317  # runs from the trap
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ $(type -t sim_stop) == function ]] && sim_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { echo "bench: $*" >&2; }
wrong=0

# --- helpers ---------------------------------------------------------------

# Other work on the machine only ever adds time and comes and goes, so a
# figure and its floor are taken in turn, and what is compared is the best
# of several rounds or the median of many requests. gbench runs a Google
# Benchmark binary in 15 rounds, interleaved at random; cpu_ns FILE NAME
# reads the best.
gbench() {
  "$@" --benchmark_min_time=0.1 --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null
}
cpu_ns() { awk -F, -v n="\"$2_best\"" '$1 == n { print $4 }' "$1"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
free_port() { "$b/bench/bench_startup" --free-port; }

# Waits up to 10 s for a command to succeed.
wait_for() {
  local i
  for ((i = 0; i < 200; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  say "timed out waiting for: $*"
  return 1
}

# wrk_run THREADS CONNECTIONS SECONDS URL REQUESTS EXPECTED [LIMIT [PROGRESS]]:
# sets answers, bad, mean_us, rps, errors and p50_us. With a LIMIT of answers per
# thread, wrk stops once every thread has had them; each thread then also
# writes its count to PROGRESS.N now and then, and on_progress (when set) is
# called while wrk runs.
wrk_run() {
  local out=$work/wrk.out
  wrk -t"$1" -c"$2" -d"$3"s -s "$root/bench/wrk_check.lua" "$4" -- "$5" "$6" "${7:-0}" "${8:-}" \
    >"$out" 2>&1 &
  local pid=$!
  if [[ -n ${7:-} ]]; then
    # wrk sleeps out its duration; once every thread has stopped (only the
    # main thread is left), an interrupt ends it.
    threads_run() { (($(ls "/proc/$pid/task" 2>/dev/null | wc -l) > 1)); }
    wait_for threads_run
    while threads_run; do
      [[ $(type -t on_progress) == function ]] && on_progress
      sleep 0.02
    done
    kill -INT "$pid" 2>/dev/null || true
  fi
  wait "$pid"
  if ! read -r answers bad mean_us rps errors p50_us \
    < <(awk -F'[= ]' '/^answers=/ { print $2, $4, $6, $8, $10, $12 }' "$out"); then
    say "wrk gave no figures:"
    cat "$out" >&2
    exit 1
  fi
  if ((bad || errors)); then
    say "wrk: $bad wrong answers, $errors errors ($5)"
    wrong=1
  fi
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# --- the simulated camera ----------------------------------------------------

cam=$work/camera
mkdir -p "$cam/localdata"
sim_build=$b
source "$root/tools/sim.sh"
sim_start_bus "$cam"
sim_start_rotation "$cam"
sim_write_users "$cam" operator
bus=$sim_bus
nss_wrapper=$sim_nss_wrapper

service_env=(ZU_PLATFORM_STATE_DIR="$cam" DBUS_SYSTEM_BUS_ADDRESS="$bus" LD_PRELOAD="$nss_wrapper"
  NSS_WRAPPER_PASSWD="$cam/passwd" NSS_WRAPPER_GROUP="$cam/group")

# Starts the service on a free port; sets service and url.
start_service() {
  rm -f "$cam/endpoint"
  (cd "$cam" && exec env "${service_env[@]}" ZU_HTTP_LISTEN=127.0.0.1:0 \
    ZU_HTTP_READY_FILE="$cam/endpoint" "$b/code/panetessel") &
  service=$!
  pids+=("$service")
  wait_for test -s "$cam/endpoint"
  url=$(cat "$cam/endpoint")
}
stop_service() { kill "$service" && wait "$service" 2>/dev/null || true; }

# --- nginx returning the same bytes ------------------------------------------

gsv='{"method": "getSupportedVersions"}'
gsv_answer='{"apiVersion": "1.0", "method": "getSupportedVersions", "data": {"apiVersions": ["1.0"]}}'
ngx=$work/nginx
mkdir -p "$ngx"
# nginx_conf PORT: a single process, as the service is one thread.
nginx_conf() {
  cat >"$ngx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $ngx/nginx.pid;
error_log $ngx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $ngx/body;
  proxy_temp_path $ngx/proxy;
  fastcgi_temp_path $ngx/fastcgi;
  uwsgi_temp_path $ngx/uwsgi;
  scgi_temp_path $ngx/scgi;
  server {
    listen 127.0.0.1:$1;
    location = /panetessel/api {
      default_type application/json;
      return 200 '$gsv_answer\r\n';
    }
  }
}
EOF
}
nginx_cmd=(nginx -p "$ngx" -c "$ngx/nginx.conf" -e "$ngx/error.log")

# Request and answer files for wrk_check.lua.
req() { printf '%s\n' "$@" >"$work/$name.req"; }
name=gsv; req "POST $gsv"; echo "$gsv_answer" >"$work/gsv.exp"
# The memory run: every kind of answer, 2 % of them rotation queries and a
# switch in every 250.
name=mixed
{
  for i in {1..49}; do
    echo "POST $gsv"
    echo 'POST {"method": "getSupportedVersions", "context": "c'"$i"'"}'
    echo 'POST [{"method": "getSupportedVersions"}, {"method": "nosuch", "apiVersion": "1.0"}, 5]'
    echo 'POST {"method": "getSupportedVersions", "context": '
    echo 'POST {"method": "getViewModeInfo", "apiVersion": "2.0"}'
    echo 'POST {"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "hex"}}'
    echo 'POST {"method": "setViewMode", "apiVersion": "1.0"}'
    echo "GET"
    echo 'POST []'
    echo 'POST {"method": 7}'
  done
  for i in {1..8}; do echo 'POST {"method": "getViewModeInfo", "apiVersion": "1.0"}'; done
  echo 'POST {"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "quad"}}'
  echo 'POST {"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "single"}}'
} >"$work/mixed.req"

# --- 1. the request engine and the look-up -----------------------------------

say "engine against jansson"
gbench "$b/bench/bench_zucgi" >"$work/engine.csv"
say "access level look-up"
gbench env LD_PRELOAD="$nss_wrapper" NSS_WRAPPER_PASSWD="$cam/passwd" NSS_WRAPPER_GROUP="$cam/group" \
  "$b/bench/bench_access" >"$work/access_files.csv"
gbench "$b/bench/bench_access" >"$work/access_nss.csv"

# --- 2. round trips on the simulated camera ------------------------------------

start_service
say "round trips on $url"
port=${url#http://127.0.0.1:}
port=${port%%/*}
# roundtrip NAME ROUNDS ENV...: sets NAME_us and NAME_floor_us.
roundtrip() {
  local -n service_us=${1}_us floor_us=${1}_floor_us
  local wrong_answers
  read -r service_us floor_us wrong_answers < <(env "${@:3}" "$b/bench/bench_roundtrip" "$port" \
    "$2" "$1" | sed 's/[a-z_]*=//g')
  if ((wrong_answers)); then
    say "$1: $wrong_answers wrong answers"
    wrong=1
  fi
}
roundtrip info 600 DBUS_SYSTEM_BUS_ADDRESS="$bus"
# One switch writes the files that the floor works on copies of.
curl -sf -o /dev/null -d '{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "single"}}' "$url"
mkdir -p "$work/files/localdata"
cp "$cam/ocul.conf" "$cam/parameters.conf" "$work/files/"
cp "$cam/localdata/panetessel.conf" "$work/files/localdata/"
roundtrip switch 100 BENCH_STATE_DIR="$work/files"

# --- 3. HTTP throughput against nginx, 32 connections ------------------------

say "HTTP getSupportedVersions, 32 connections, against nginx"
port=$(free_port)
nginx_conf "$port"
"${nginx_cmd[@]}" &
nginx_pid=$!
pids+=("$nginx_pid")
nginx_url=http://127.0.0.1:$port/panetessel/api
wait_for curl -sf -o /dev/null -d "$gsv" "$nginx_url"
# http_round NAME PID URL: one round; keeps NAME's best answers/s and CPU.
http_round() {
  local ticks cpu_us
  ticks=$(cpu_ticks "$2")
  wrk_run 2 32 2 "$3" "$work/gsv.req" "$work/gsv.exp"
  cpu_us=$(calc %.1f "($(cpu_ticks "$2") - $ticks) * 1e6 / $(getconf CLK_TCK) / $answers")
  local -n best_rps=${1}_rps best_cpu=${1}_cpu_us
  if [[ -z $best_rps ]] || awk "BEGIN { exit !($rps > $best_rps) }"; then best_rps=$rps; fi
  if [[ -z $best_cpu ]] || awk "BEGIN { exit !($cpu_us < $best_cpu) }"; then best_cpu=$cpu_us; fi
}
service_rps='' service_cpu_us='' nginx_rps='' nginx_cpu_us=''
for _ in 1 2 3 4 5; do
  http_round service "$service" "$url"
  http_round nginx "$nginx_pid" "$nginx_url"
done
kill "$nginx_pid"
wait "$nginx_pid" 2>/dev/null || true
stop_service

# --- 4. exec to the first answered request ------------------------------------

say "start-up against nginx"
runs=21
port=$(free_port)
nginx_conf "$port"
# fastest VAR US: keeps the lowest in VAR.
fastest() {
  local -n best=$1
  if [[ -z $best ]] || (($2 < best)); then best=$2; fi
}
service_start_us='' nginx_start_us=''
for ((i = 0; i < runs; i++)); do
  us=$(cd "$cam" && env "${service_env[@]}" ZU_HTTP_LISTEN="127.0.0.1:$port" \
    "$b/bench/bench_startup" "$port" 1 "$gsv" "$gsv_answer"$'\r\n' -- "$b/code/panetessel")
  fastest service_start_us "${us#*min_us=}"
  us=$("$b/bench/bench_startup" "$port" 1 "$gsv" "$gsv_answer"$'\r\n' -- "${nginx_cmd[@]}")
  fastest nginx_start_us "${us#*min_us=}"
done
runpath=$(readelf -d "$b/code/panetessel" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
runpath_met=yes
runpath_state="no empty element"
if [[ -n $runpath && :$runpath: == *::* ]]; then
  runpath_met=no
  runpath_state="empty element: \`$runpath\`"
fi

# --- 5. memory under load ---------------------------------------------------------

say "memory over 200,000 mixed requests"
start_service
sleep 0.5
at_rest=$(rss_kib "$service")
# One run over the same 32 connections, sampled when 10,000 and 100,000
# have been answered and at the end: the second half shows whether what
# grows keeps growing.
rss_10k='' rss_100k=''
on_progress() {
  local count
  [[ -n $rss_100k ]] && return
  count=$({ cat "$work"/progress.* 2>/dev/null || true; } | awk '{ n += $1 } END { print n + 0 }')
  if [[ -z $rss_10k ]] && ((count >= 10000)); then
    first=$count
    rss_10k=$(rss_kib "$service")
  elif [[ -n $rss_10k ]] && ((count >= 100000)); then
    half=$count
    rss_100k=$(rss_kib "$service")
  fi
}
wrk_run 2 32 300 "$url" "$work/mixed.req" - 100000 "$work/progress"
unset -f on_progress
total=$answers
rss_200k=$(rss_kib "$service")
stop_service

# --- the table ------------------------------------------------------------------------

e=$work/engine.csv
us() { calc %.2f "$1 / 1000"; }
ratio() { calc %.2f "$1 / $2"; }
met() { if awk "BEGIN { exit !($1) }"; then echo yes; else echo no; fi; }
row() { printf '| %s | %s | %s | %s | %s | %s |\n' "$@"; }

gsv_e=$(cpu_ns "$e" BM_Engine_GetSupportedVersions) gsv_f=$(cpu_ns "$e" BM_Floor_GetSupportedVersions)
bat_e=$(cpu_ns "$e" BM_Engine_Batch100) bat_f=$(cpu_ns "$e" BM_Floor_Batch100)
inv_e=$(cpu_ns "$e" BM_Engine_InvalidJson) inv_f=$(cpu_ns "$e" BM_Floor_InvalidJson)
acc_files=$(cpu_ns "$work/access_files.csv" BM_AccessLevel)
acc_nss=$(cpu_ns "$work/access_nss.csv" BM_AccessLevel)
http=$(ldd "$b/code/panetessel" | grep -o 'lib\(soup-3\.0\|microhttpd\)\.so[.0-9]*' | head -n1)

echo
echo "Machine: $machine; load average $load_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end; HTTP stand-in on ${http:-?}."
echo
row figure measured floor ratio goal "goal met"
row --- --- --- --- --- ---
row "engine, \`getSupportedVersions\` (look-up left out) vs jansson \`json_loads\` + \`json_dumps\` of the same answer" \
  "$(us "$gsv_e") µs" "$(us "$gsv_f") µs" "$(ratio "$gsv_e" "$gsv_f")×" "≤ 1.25×" "$(met "$gsv_e <= 1.25 * $gsv_f")"
row "engine, 100-element batch, same floor" "$(us "$bat_e") µs" "$(us "$bat_f") µs" \
  "$(ratio "$bat_e" "$bat_f")×" "≤ 1.25×" "$(met "$bat_e <= 1.25 * $bat_f")"
row "engine, invalid JSON (with its warning to the system log), same floor" "$(us "$inv_e") µs" \
  "$(us "$inv_f") µs" "$(ratio "$inv_e" "$inv_f")×" "≤ 2×" "$(met "$inv_e <= 2 * $inv_f")"
row "\`get_access_level\`: nss_wrapper files / the machine's nsswitch" "$(us "$acc_files") µs / $(us "$acc_nss") µs" \
  "" "" report ""
row "\`getViewModeInfo\` round trip (HTTP, one connection) vs four sequential \`GetAutoRotation\` calls from a plain GDBus client" \
  "$(calc %.3f "$info_us / 1000") ms" "$(calc %.3f "$info_floor_us / 1000") ms" \
  "$(ratio "$info_us" "$info_floor_us")×" "≤ 1.15×" "$(met "$info_us <= 1.15 * $info_floor_us")"
row "HTTP \`getSupportedVersions\`, 32 connections: answers/s vs nginx returning the same bytes" \
  "$(calc %.0f "$service_rps")/s" "$(calc %.0f "$nginx_rps")/s" "$(ratio "$service_rps" "$nginx_rps")×" "≥ 0.5×" \
  "$(met "$service_rps >= 0.5 * $nginx_rps")"
row "server CPU per request, same run" "$service_cpu_us µs" "$nginx_cpu_us µs" \
  "$(ratio "$service_cpu_us" "$nginx_cpu_us")×" report ""
row "\`setViewMode\` round trip (one connection, alternating) vs the same file reads and saves" \
  "$(calc %.3f "$switch_us / 1000") ms" "$(calc %.3f "$switch_floor_us / 1000") ms" \
  "$(ratio "$switch_us" "$switch_floor_us")×" report ""
row "exec to first answered request vs nginx (best of $runs)" "$(calc %.1f "$service_start_us / 1000") ms" \
  "$(calc %.1f "$nginx_start_us / 1000") ms" "$(ratio "$service_start_us" "$nginx_start_us")×" "≤ 1.5×" \
  "$(met "$service_start_us <= 1.5 * $nginx_start_us")"
row "run path of the service binary" "$runpath_state" "" "" "no empty element" "$runpath_met"
row "RSS at rest" "$at_rest KiB" "" "" report ""
row "RSS growth from $first to $total mixed requests (32 connections); from $half on" \
  "$((rss_200k - rss_10k)) KiB; $((rss_200k - rss_100k)) KiB" "" "" "≤ 64 KiB" "$(met "$rss_200k - $rss_10k <= 64")"
exit "$wrong"
