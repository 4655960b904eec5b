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

source "$root/tools/sim.sh"
# shellcheck disable=SC2317  # runs from the trap
stop() {
  trap - EXIT INT TERM
  sim_stop
  rm -f "$state/run.pid" "$state/endpoint" "$state/bus-address"
}
trap stop EXIT
trap 'echo; echo "run.sh: stopping" >&2; exit 0' INT TERM

sim_start_bus "$state"
sim_start_rotation "$state"
sim_write_users "$state" "$group_of_user"
sim_start_service "$state" "$port"
service=$sim_service
sim_pids+=("$service")
sim_service_ready "$state"
url=$sim_url

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
