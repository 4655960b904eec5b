#!/usr/bin/env bash
# Crash soak: runs the real service on a simulated camera and kills it with
# SIGKILL at random moments while it switches the view mode back and forth,
# then starts it again, and checks after every kill and every restart that
# nothing was corrupted or lost.
#
# A switch moves the video system, then the image parameter, then the key
# file, and the start-up brings the stored mode back onto the video system.
# So after a kill the key file must still parse and hold single or quad:
# the mode of the last answered switch, or the one in flight. After the
# restart the video system must be in that stored mode and the parameter
# must follow it ("yes" for quad), whatever step the kill interrupted, also
# when the restart itself was killed half-way through bringing it back.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: tools/soak.sh [--kills N] [--seed S] [--time-limit SEC] [--state DIR] [--keep]

  --kills N         SIGKILLs to survive (default 250; CI runs 50)
  --seed S          seed of the random moments, to repeat a run (default: random)
  --time-limit SEC  give up (and fail) after this long (default 1800)
  --state DIR       the camera's state folder (default: a new temporary one)
  --keep            keep the state folder (it is always kept after a failure)

Between two kills the service completes 1 to 3 switches. A restart that
must bring the video system and the parameter back to the stored mode is
itself killed on the way, and one in four that must bring the video
system alone. Prints its figures at the
end; exits 1 when any check failed.
EOF
}

kills=250
seed=$((RANDOM * 32768 + RANDOM))
time_limit=1800
state=""
keep=0
while (($#)); do
  case $1 in
    --kills) kills=${2:?--kills needs a number}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --time-limit) time_limit=${2:?--time-limit needs seconds}; shift 2 ;;
    --state) state=${2:?--state needs a folder}; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "soak.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for number in "$kills" "$seed" "$time_limit"; do
  [[ $number =~ ^[0-9]+$ ]] || { echo "soak.sh: not a number: $number" >&2; exit 2; }
done

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target panetessel zu-autorotation-sim zu-sim-state

if [[ -z $state ]]; then
  state=$(mktemp -d /tmp/pts-soak-XXXXXX)
else
  mkdir -p "$state"
  state=$(cd "$state" && pwd)
  [[ -z $(ls -A "$state") ]] || { echo "soak.sh: $state is not empty" >&2; exit 2; }
fi
mkdir -p "$state/localdata"

source "$root/tools/sim.sh"
failures=0
# shellcheck disable=SC2317  # runs from the trap
finish() {
  trap - EXIT INT TERM
  if [[ -n $sim_service ]]; then kill -KILL "$sim_service" 2>/dev/null || true; wait "$sim_service" 2>/dev/null || true; fi
  sim_stop
  if ((keep || failures)); then echo "soak.sh: state folder kept: $state" >&2; else rm -rf "$state"; fi
}
trap finish EXIT
trap 'echo "soak.sh: interrupted" >&2; exit 130' INT TERM

# --- the camera ------------------------------------------------------------

state_tool="$root/build/dev/platform/common/zu-sim-state"
value() { ZU_PLATFORM_STATE_DIR=$state "$state_tool" get "$@" 2>/dev/null; }
video() { value ocul.conf mode view_mode.name || echo "<absent>"; }
param() { value parameters.conf parameters root.Image.I4.Enabled || echo "<absent>"; }
# Fails when the key file does not parse or has no view mode.
stored() { value localdata/panetessel.conf general view_mode; }
i4_for() { if [[ $1 == quad ]]; then echo yes; else echo no; fi; }
other() { if [[ $1 == quad ]]; then echo single; else echo quad; fi; }

printf '[mode]\nview_mode.name=single\navailable_view_modes=single,quad\n' >"$state/ocul.conf"
printf '[parameters]\nroot.Image.I4.Enabled=no\n' >"$state/parameters.conf"
sim_start_bus "$state"
sim_start_rotation "$state"
sim_write_users "$state" operator

# A sleep of fractions of a millisecond without forking: a read that times out.
exec {pause_fd}<> <(:)
pause_us() { read -r -t "$(printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)))" -u "$pause_fd" _ || true; }
now_us() { local t=$EPOCHREALTIME; echo $((10#${t/./})); }
# Sets $drawn to a random number below $1 (no subshell: it would fork).
draw() { drawn=$(((RANDOM * 32768 + RANDOM) % $1)); }

fail() {
  failures=$((failures + 1))
  local snapshot="$state/failure-$failures"
  mkdir -p "$snapshot"
  cp -r "$state/localdata" "$state/ocul.conf" "$state/parameters.conf" "$state/service.log" "$snapshot/" 2>/dev/null || true
  echo "soak.sh: FAILED (kill $kill_count): $* (snapshot: $snapshot)" >&2
  ((failures < 10)) || { echo "soak.sh: too many failures, giving up" >&2; exit 1; }
}

# --- HTTP, without forking ------------------------------------------------

start_us=0
port=""
start_service() {
  : >"$state/service.log"
  start_us=$(now_us)
  sim_start_service "$state" 0 "$state/service.log"
}

service_ready() {
  sim_service_ready "$state" || return 1
  start_time_us=$(($(now_us) - start_us))
  port=${sim_url#http://127.0.0.1:}
  port=${port%%/*}
}

# Opens a connection on fd $conn and sends one POST.
send_post() {
  local body=$1
  conn=""
  exec {conn}<>"/dev/tcp/127.0.0.1/$port" || { conn=""; return 0; }
  printf 'POST /panetessel/api HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s' \
    "${#body}" "$body" >&"$conn" 2>/dev/null || true
}

# Reads what the connection gives within the time-out (seconds) into $reply.
read_reply() {
  reply=""
  [[ -n $conn ]] || return 0
  IFS= read -r -d '' -t "$1" -u "$conn" reply 2>/dev/null || true
  exec {conn}<&-
}

# A 200 answer whose body is exactly the JSON given and its line end.
is_answer() { [[ $reply == "HTTP/1.1 200 "* && ${reply#*$'\r\n\r\n'} == "$1"$'\r\n' ]]; }

set_body() { printf '{"method": "setViewMode", "apiVersion": "1.0", "params": {"value": "%s"}}' "$1"; }
set_answer='{"apiVersion": "1.0", "method": "setViewMode", "data": {}}'
info_answer() {
  printf '{"apiVersion": "1.0", "method": "getViewModeInfo", "data": {"current": "%s", "viewModes": ["single", "quad"]}}' "$1"
}

# --- checks --------------------------------------------------------------

# The key file parses and holds single or quad, the video system is in that
# mode and the parameter follows it. Leaves the stored mode in $agreed.
check_agree() {
  local when=$1 video_mode i4
  if ! agreed=$(stored); then fail "$when: the key file does not parse or holds no view mode"; return 1; fi
  if [[ $agreed != single && $agreed != quad ]]; then fail "$when: the key file holds '$agreed'"; return 1; fi
  video_mode=$(video)
  i4=$(param)
  [[ $video_mode == "$agreed" ]] || fail "$when: video system in '$video_mode', key file '$agreed'"
  [[ $i4 == $(i4_for "$agreed") ]] || fail "$when: parameter '$i4' in '$agreed'"
  return 0
}

# --- the soak --------------------------------------------------------------

switches=0 interrupted=0 kill_count=0 start_kills=0 restarts=0 reconciled=0
switch_us=0 switch_total_us=0 switch_done=0 aim=125 start_time_us=0 leftovers=0
start_us_back=0 start_aim=100
declare -A landed=() start_landed=()

RANDOM=$((seed % 32768))
echo "soak.sh: $kills kills, seed $seed, state $state" >&2
begun=$SECONDS

start_service
service_ready || { fail "the service did not start"; exit 1; }
check_agree "first start" || exit 1
mode=$agreed
acked=$mode

while ((kill_count < kills)); do
  if ((SECONDS - begun > time_limit)); then
    fail "time limit of $time_limit s reached after $kill_count kills"
    break
  fi

  # Switches that run to their end.
  draw 3
  for ((n = 1 + drawn; n > 0; n--)); do
    target=$(other "$mode")
    began=$(now_us)
    send_post "$(set_body "$target")"
    read_reply 30
    took=$(($(now_us) - began))
    # A smoothed switch time that a stall of the busy machine does not drag.
    ((switch_us == 0 || took < 3 * switch_us)) || took=$((3 * switch_us))
    if ((switch_us == 0)); then switch_us=$took; else switch_us=$(((switch_us * 7 + took) / 8)); fi
    switch_total_us=$((switch_total_us + took))
    switch_done=$((switch_done + 1))
    switches=$((switches + 1))
    is_answer "$set_answer" || fail "switch to $target answered: $reply"
    check_agree "after a switch to $target" || break
    mode=$agreed
    [[ $mode == "$target" ]] || fail "switch to $target left the camera in $mode"
    acked=$mode
  done

  # A switch killed at a random moment: anywhere from before the request is
  # read to after the answer is written. On a busy machine the kill arrives
  # late by a good part of a switch, so the window follows where the kills
  # land: shorter while they land after the end, longer while before the start.
  target=$(other "$mode")
  draw $((switch_us * aim / 100 + 1))
  body=$(set_body "$target")
  send_post "$body"
  pause_us "$drawn"
  kill -KILL "$sim_service"
  wait "$sim_service" 2>/dev/null || true
  read_reply 1
  switches=$((switches + 1))
  interrupted=$((interrupted + 1))
  kill_count=$((kill_count + 1))
  is_answer "$set_answer" && acked=$target

  # Where the kill landed, by what the switch had changed; the order of the
  # steps allows nothing else.
  if ! after_kill=$(stored); then
    fail "after the kill the key file does not parse or holds no view mode"
    after_kill=$mode
  fi
  case "$(video)/$(param)/$after_kill" in
    "$mode/$(i4_for "$mode")/$mode") step="before the video system" ;;
    "$target/$(i4_for "$mode")/$mode") step="after the video system" ;;
    "$target/$(i4_for "$target")/$mode") step="after the parameter" ;;
    "$target/$(i4_for "$target")/$target") step="after the key file" ;;
    *) step="nowhere"; fail "after the kill: video $(video), parameter $(param), key file $after_kill (from $mode to $target)" ;;
  esac
  landed[$step]=$((${landed[$step]:-0} + 1))
  case $step in
    "after the key file") aim=$((aim > 10 ? aim - aim / 8 : 10)) ;;
    "before the video system") aim=$((aim < 300 ? aim + aim / 8 + 1 : 300)) ;;
  esac
  [[ $acked == "$after_kill" || $target == "$after_kill" ]] || fail "the key file holds $after_kill, answered was $acked"
  [[ $acked == "$target" && $after_kill != "$target" ]] && fail "the answered switch to $target was lost"
  [[ $(video) != "$after_kill" ]] && reconciled=$((reconciled + 1))
  # The first start's time serves until one that brings a mode back is timed.
  ((start_us_back > 0)) || start_us_back=$start_time_us

  # A start that must bring both the video system and the parameter back is
  # killed on the way, and one in four that must bring the video system
  # alone; the window again follows where the kills land.
  draw 4
  if [[ $(video) != "$after_kill" ]] && { [[ $(param) != $(i4_for "$after_kill") ]] || ((drawn == 0)); }; then
    draw $((start_us_back * start_aim / 100 + 1))
    start_service
    pause_us "$drawn"
    kill -KILL "$sim_service"
    wait "$sim_service" 2>/dev/null || true
    start_kills=$((start_kills + 1))
    kill_count=$((kill_count + 1))
    [[ $(stored 2>/dev/null || echo "") == "$after_kill" ]] ||
      fail "a killed start changed the key file from $after_kill to $(stored 2>/dev/null || echo unreadable)"
    if [[ $(video) != "$after_kill" ]]; then
      step="before the video system"
      start_aim=$((start_aim < 300 ? start_aim + start_aim / 8 + 1 : 300))
    elif [[ $(param) != $(i4_for "$after_kill") ]]; then
      step="after the video system"
    else
      step="after the parameter"
      start_aim=$((start_aim > 10 ? start_aim - start_aim / 8 : 10))
    fi
    start_landed[$step]=$((${start_landed[$step]:-0} + 1))
  fi
  bringing_back=0
  [[ $(video) != "$after_kill" ]] && bringing_back=1

  start_service
  restarts=$((restarts + 1))
  service_ready || { fail "the service did not start again"; exit 1; }
  if ((bringing_back)); then
    if ((start_us_back == 0)); then start_us_back=$start_time_us; else start_us_back=$(((start_us_back * 7 + start_time_us) / 8)); fi
  fi
  check_agree "after the restart" || { mode=$after_kill; continue; }
  mode=$agreed
  [[ $mode == "$after_kill" ]] || fail "the restart changed the stored mode from $after_kill to $mode"
  acked=$mode

  send_post '{"method": "getViewModeInfo", "apiVersion": "1.0"}'
  read_reply 30
  is_answer "$(info_answer "$mode")" || fail "getViewModeInfo after the restart answered: $reply"
  if grep -qE '^(ERROR|CRITICAL|WARNING):' "$state/service.log"; then
    fail "the restart logged: $(grep -E '^(ERROR|CRITICAL|WARNING):' "$state/service.log" | head -3)"
  fi
  # An interrupted save must not leave its temporary file behind.
  if compgen -G "$state/localdata/panetessel.conf.*" >/dev/null; then
    fail "temporary key files left after the restart: $(cd "$state/localdata" && echo panetessel.conf.*)"
    rm -f "$state"/localdata/panetessel.conf.*
  fi
  # The stand-ins' own interrupted saves are the platform's business.
  for file in "$state"/ocul.conf.?????? "$state"/parameters.conf.??????; do
    [[ -e $file ]] && { rm -f "$file"; leftovers=$((leftovers + 1)); }
  done
done

elapsed=$((SECONDS - begun))
cat <<EOF

Crash soak: seed $seed, $elapsed s
  switches:      $switches ($interrupted of them killed, $((switches - interrupted)) answered; $reconciled brought back at start)
  kills:         $kill_count ($interrupted during a switch, $start_kills during a start)
  restarts:      $restarts
  failures:      $failures
  mean switch:   $((switch_total_us / switch_done / 1000)) ms
  kill window:   0 to $((switch_us * aim / 100000)) ms after the request, at the end
  kills landed:  $(for step in "before the video system" "after the video system" "after the parameter" "after the key file"; do printf '%s %d; ' "$step" "${landed[$step]:-0}"; done)
  in starts:     $(for step in "before the video system" "after the video system" "after the parameter"; do printf '%s %d; ' "$step" "${start_landed[$step]:-0}"; done)
  stand-in temp files cleared: $leftovers
EOF
((failures == 0))
