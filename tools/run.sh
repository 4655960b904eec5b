#!/usr/bin/env bash
# Builds the service and runs it on a simulated camera: a private system
# bus, the auto-rotation simulator, the stand-in platform libraries and a
# user database of its own. Ctrl-C (or SIGTERM) stops all of it.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: tools/run.sh [--state DIR] [--fresh] [--port N] [--viewer]

  --state DIR  the simulated camera's state folder (default: .sim in the repo)
  --fresh      wipe the state folder first: a camera straight from the box
  --port N     HTTP port on 127.0.0.1 (default 8642; 0 picks a free one)
  --viewer     the service's user is only a "viewer": every call is refused

While it runs, tools/camera rotates channels, injects faults and shows the
camera's state.
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
state="$root/.sim"
fresh=0
port=8642
group_of_user=operator

while (($#)); do
  case $1 in
    --state) state=${2:?--state needs a folder}; shift 2 ;;
    --fresh) fresh=1; shift ;;
    --port) port=${2:?--port needs a number}; shift 2 ;;
    --viewer) group_of_user=viewer; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ $port =~ ^[0-9]+$ ]] || ((port > 65535)); then
  echo "run.sh: bad port $port" >&2
  exit 2
fi

# The marker lets --fresh wipe only a folder this script made.
marker=.panetessel-sim
mkdir -p "$state"
state=$(cd "$state" && pwd)
if ((fresh)); then
  if [[ -e $state/$marker || -z $(ls -A "$state") ]]; then
    find "$state" -mindepth 1 -delete
  else
    echo "run.sh: $state is not a simulated camera's folder; not wiping it" >&2
    exit 2
  fi
fi
if [[ -f $state/run.pid ]] && kill -0 "$(cat "$state/run.pid")" 2>/dev/null; then
  echo "run.sh: already running on $state (pid $(cat "$state/run.pid"))" >&2
  exit 1
fi

cd "$root"
bash tools/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev

touch "$state/$marker"
mkdir -p "$state/localdata"
echo $$ >"$state/run.pid"
rm -f "$state/endpoint" "$state/bus-address"

pids=()
# shellcheck disable=SC2317  # runs from the trap
stop() {
  trap - EXIT INT TERM
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "$state/run.pid" "$state/endpoint" "$state/bus-address"
}
trap stop EXIT
trap 'echo; echo "run.sh: stopping" >&2; exit 0' INT TERM

# Waits up to 10 s for a command to succeed, failing early when pid ends.
wait_for() {
  local what=$1 pid=$2 i
  shift 2
  for ((i = 0; i < 200; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || { echo "run.sh: $what ended early" >&2; return 1; }
    sleep 0.05
  done
  echo "run.sh: $what did not come up" >&2
  return 1
}

# A private bus that plays the camera's system bus.
dbus-daemon --config-file="$root/platform/sim/system-bus.conf" --nofork --nopidfile \
  --print-address=1 >"$state/bus-address.new" 2>"$state/dbus.log" &
pids+=("$!")
wait_for dbus-daemon "$!" test -s "$state/bus-address.new"
bus=$(head -n1 "$state/bus-address.new")
mv "$state/bus-address.new" "$state/bus-address"

: >"$state/autorotation.log"
DBUS_SYSTEM_BUS_ADDRESS=$bus build/dev/platform/autorotation/zu-autorotation-sim 0 0 0 0 \
  >"$state/autorotation.log" 2>&1 &
pids+=("$!")
wait_for zu-autorotation-sim "$!" grep -qw ready "$state/autorotation.log"

# The camera's user database, through nss_wrapper: the current user is
# "camop", listed in "operator" (or "viewer" alone with --viewer).
# The machine's own build: with arm64 packages beside it, a search by name
# may find one this process cannot load.
nss_wrapper=$(dpkg -L "libnss-wrapper:$(dpkg --print-architecture)" 2>/dev/null |
  grep -m1 '/libnss_wrapper\.so$' || true)
[[ -n $nss_wrapper ]] || { echo "run.sh: libnss_wrapper.so not found" >&2; exit 1; }
uid=$(id -u)
gid=$(id -g)
cat >"$state/passwd" <<EOF
camop:x:$uid:$gid:Camera operator:$state:/bin/sh
EOF
members() { if [[ $1 == "$group_of_user" ]]; then echo camop; fi; }
cat >"$state/group" <<EOF
camop:x:$gid:
admin:x:64001:$(members admin)
operator:x:64002:$(members operator)
viewer:x:64003:$(members viewer)
EOF

(
  cd "$state"
  exec env ZU_PLATFORM_STATE_DIR="$state" DBUS_SYSTEM_BUS_ADDRESS="$bus" \
    ZU_HTTP_LISTEN="127.0.0.1:$port" ZU_HTTP_READY_FILE="$state/endpoint" ZU_LOG_STDERR=1 \
    ZU_HTTP_WEB_ROOT="$root/web" \
    LD_PRELOAD="$nss_wrapper" NSS_WRAPPER_PASSWD="$state/passwd" NSS_WRAPPER_GROUP="$state/group" \
    "$root/build/dev/code/panetessel"
) &
service=$!
pids+=("$service")
wait_for panetessel "$service" test -s "$state/endpoint"
url=$(cat "$state/endpoint")

cat <<EOF

The simulated camera runs; the service answers on $url
(state folder: $state, user "camop" in group "$group_of_user")

  Settings page: ${url%api}

  curl -s --data '{"method": "getSupportedVersions"}' $url
  curl -s --data '{"apiVersion": "1.0", "method": "getViewModeInfo"}' $url
  curl -s --data '{"apiVersion": "1.0", "method": "setViewMode", "params": {"value": "quad"}}' $url

Change the camera with tools/camera (e.g. "tools/camera rotate 2 90",
"tools/camera status"). Ctrl-C stops everything.

EOF

# Runs until interrupted, or until the service ends by itself.
set +e
wait "$service"
status=$?
echo "run.sh: panetessel ended (status $status)" >&2
exit "$status"
