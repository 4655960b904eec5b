# The simulated camera's pieces, sourced by run.sh, soak.sh, load.sh,
# memcheck.sh and bench.sh: a private system bus, the auto-rotation
# simulator, a user database of its own and the service on a state folder.
# Needs $root (the repository) and a built tree: $sim_build, default the dev
# preset's. Every process started lands in sim_pids; sim_stop ends them.

sim_pids=()
sim_bus=""
sim_service=""
sim_url=""

sim_say() { echo "$(basename "$0"): $*" >&2; }

# Waits up to 10 s for a command to succeed, failing early when pid ends.
sim_wait_for() {
  local what=$1 pid=$2 i
  shift 2
  for ((i = 0; i < 200; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || { sim_say "$what ended early"; return 1; }
    sleep 0.05
  done
  sim_say "$what did not come up"
  return 1
}

# A private bus that plays the camera's system bus; its address goes to
# $state/bus-address and $sim_bus.
sim_start_bus() {
  local state=$1
  rm -f "$state/bus-address"
  dbus-daemon --config-file="$root/platform/sim/system-bus.conf" --nofork --nopidfile \
    --print-address=1 >"$state/bus-address.new" 2>"$state/dbus.log" &
  sim_pids+=("$!")
  sim_wait_for dbus-daemon "$!" test -s "$state/bus-address.new" || return 1
  sim_bus=$(head -n1 "$state/bus-address.new")
  mv "$state/bus-address.new" "$state/bus-address"
}

# The auto-rotation simulator on $sim_bus, no channel rotated; its pid is
# left in sim_rotation.
sim_start_rotation() {
  local state=$1
  : >"$state/autorotation.log"
  DBUS_SYSTEM_BUS_ADDRESS=$sim_bus "${sim_build:-$root/build/dev}/platform/autorotation/zu-autorotation-sim" 0 0 0 0 \
    >"$state/autorotation.log" 2>&1 &
  sim_rotation=$!
  sim_pids+=("$!")
  sim_wait_for zu-autorotation-sim "$!" grep -qw ready "$state/autorotation.log"
}

# The camera's user database, through nss_wrapper: the current user is
# "camop", listed in the group given ("operator", or "viewer" alone).
sim_write_users() {
  local state=$1 group_of_user=$2 uid gid
  # The machine's own build: with arm64 packages beside it, a search by name
  # may find one this process cannot load.
  sim_nss_wrapper=$(dpkg -L "libnss-wrapper:$(dpkg --print-architecture)" 2>/dev/null |
    grep -m1 '/libnss_wrapper\.so$' || true)
  [[ -n $sim_nss_wrapper ]] || { sim_say "libnss_wrapper.so not found"; return 1; }
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
}

# Starts the service on the state folder (its working directory) in the
# background, its stderr to the file given (default: ours). Sets
# $sim_service; sim_service_ready then waits for $sim_url.
sim_start_service() {
  local state=$1 port=$2 log=${3:-/dev/stderr}
  rm -f "$state/endpoint"
  (
    cd "$state"
    exec env ZU_PLATFORM_STATE_DIR="$state" DBUS_SYSTEM_BUS_ADDRESS="$sim_bus" \
      ZU_HTTP_LISTEN="127.0.0.1:$port" ZU_HTTP_READY_FILE="$state/endpoint" ZU_LOG_STDERR=1 \
      ZU_HTTP_WEB_ROOT="$root/web" \
      LD_PRELOAD="$sim_nss_wrapper" NSS_WRAPPER_PASSWD="$state/passwd" NSS_WRAPPER_GROUP="$state/group" \
      "${sim_build:-$root/build/dev}/code/panetessel" 2>>"$log"
  ) &
  sim_service=$!
}

sim_service_ready() {
  local state=$1
  sim_wait_for panetessel "$sim_service" test -s "$state/endpoint" || return 1
  sim_url=$(cat "$state/endpoint")
}

# Ends every process started here, in reverse order.
sim_stop() {
  local i
  for ((i = ${#sim_pids[@]} - 1; i >= 0; i--)); do kill "${sim_pids[i]}" 2>/dev/null || true; done
  for ((i = ${#sim_pids[@]} - 1; i >= 0; i--)); do wait "${sim_pids[i]}" 2>/dev/null || true; done
  sim_pids=()
}
