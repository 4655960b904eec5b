#!/usr/bin/env bash
# The packages on a booted camera: an arm64 Debian system with systemd under
# qemu-system-aarch64, the simulated platform package and the camera package
# installed in it as an integrator would (dpkg -i, nothing else), driven from
# this machine through a forwarded port (HTTP) and the qemu guest agent.
# Scenarios: first boot, journal, crash, reboot, power cuts during switches,
# upgrade, purge and reinstall; each prints its figures.
set -eEuo pipefail

usage() {
  cat <<'EOF'
Usage: tools/boot-test.sh [--cuts N] [--seed S] [--unit shipped|strict|both] [--keep]

  --cuts N     power cuts during switches (default 3)
  --seed S     seed of the cuts' moments and the modes switched to (default: random)
  --unit U     run the scenarios under the shipped unit, with the strict drop-in
               turned on, or both in turn (default both; the strict run has one cut)
  --keep       keep the disk image and the serial log (always kept after a failure)

The system image is built once from Debian's packages (about 2 minutes) and
kept in build/boot/, keyed by its recipe and the machine's apt sources.
EOF
}

cuts=3
seed=$((RANDOM * 32768 + RANDOM))
units=(shipped strict)
keep=0
while (($#)); do
  case $1 in
    --cuts) cuts=${2:?--cuts needs a number}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --unit)
      case ${2:-} in
        shipped | strict) units=("$2") ;;
        both) units=(shipped strict) ;;
        *) echo "boot-test.sh: --unit takes shipped, strict or both" >&2; exit 2 ;;
      esac
      shift 2
      ;;
    --keep) keep=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "boot-test.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for number in "$cuts" "$seed"; do
  [[ $number =~ ^[0-9]+$ ]] || { echo "boot-test.sh: not a number: $number" >&2; exit 2; }
done
RANDOM=$seed

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=/usr/bin/python3
app=/usr/local/packages/panetessel
key_file=$app/localdata/panetessel.conf
sim_state=/var/lib/panetessel-sim
run=""
qemu_pid=""
switcher_pid=""
failed=1

say() { echo "boot-test: $*" >&2; }
fail() {
  say "FAILED: $*"
  exit 1
}

# shellcheck disable=SC2317  # runs from the trap
finish() {
  trap - EXIT INT TERM
  [[ -z $switcher_pid ]] || kill "$switcher_pid" 2>/dev/null || true
  if [[ -n $qemu_pid ]]; then
    if ((failed)) && kill -0 "$qemu_pid" 2>/dev/null; then
      say "the journal's last lines of the two services:"
      agent run -t 20 \
        journalctl -b -u panetessel -u zu-autorotation-sim -n 25 --no-pager >&2 2>/dev/null || true
    fi
    kill -9 "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  if [[ -z $run ]]; then
    return
  elif ((failed || keep)); then
    rm -f "$run/cut.img" "$run/qga.sock"
    say "kept: the disk image $run/disk.img, the serial log $run/serial.log"
  else
    rm -rf "$run"
  fi
}
trap finish EXIT
trap 'say "FAILED: line $LINENO: $BASH_COMMAND"' ERR
trap 'say interrupted; exit 130' INT TERM

# --- what it needs -------------------------------------------------------------
bash tools/setup.sh boot
# mmdebstrap runs the arm64 packages' scripts through binfmt_misc.
[[ -e /proc/sys/fs/binfmt_misc/status ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
update-binfmts --enable qemu-aarch64 2>/dev/null || true
bash tools/build-camera.sh >/dev/null 2>&1 || fail "tools/build-camera.sh failed"
camera_deb=$(echo build/camera/panetessel_*_arm64.deb)
sim_deb=$(echo build/camera/panetessel-sim_*_arm64.deb)
# Where they go in the guest.
camera_pkg=/root/packages/$(basename "$camera_deb")
sim_pkg=/root/packages/$(basename "$sim_deb")

# --- the system image, cached ----------------------------------------------------
mkdir -p build/boot
$python tools/boot/apt_sources.py >build/boot/sources.list
image_key=$(cat tools/boot/image.sh build/boot/sources.list | sha256sum | cut -c1-16)
image=build/boot/image-$image_key
started=$SECONDS
if [[ ! -e $image/root.img ]]; then
  rm -rf build/boot/image-* && mkdir -p "$image.new"
  bash tools/boot/image.sh "$image.new" build/boot/sources.list || fail "the system image could not be built"
  mv "$image.new" "$image"
  say "image: built in $((SECONDS - started)) s ($image)"
else
  say "image: cached ($image)"
fi

# A folder of this run's own: runs may overlap.
run=$(mktemp -d "$root/build/boot/run.XXXXXX")
cp --sparse=always "$image/root.img" "$run/disk.img"
port=$($python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
api_url=http://127.0.0.1:$port/panetessel/api

# --- driving the guest -----------------------------------------------------------
agent() { $python tools/boot/guest.py "$run/qga.sock" "$@"; }
guest() { agent run -t 120 "$*"; }
# dpkg in the guest; its output goes to the failure message of what.
guest_dpkg() {
  local what=$1
  shift
  guest dpkg "$@" >"$run/dpkg.log" 2>&1 || fail "$what: $(cat "$run/dpkg.log")"
}
api() { curl -s --max-time 60 "$api_url" -d "$1"; }
mode_info() { api '{"method": "getViewModeInfo", "apiVersion": "1.0"}'; }
set_mode() { api "{\"method\": \"setViewMode\", \"apiVersion\": \"1.0\", \"params\": {\"value\": \"$1\"}}"; }
now() { date +%s.%N; }
since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.1f", to - from }'; }

# Boots the disk; returns once systemd reports the system up. Sets boot_time.
boot() {
  local t0
  t0=$(now)
  rm -f "$run/qga.sock"
  qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on -smp 2 -m 1024 -no-reboot \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda ro console=ttyAMA0" \
    -drive "file=$run/disk.img,if=virtio,format=raw" \
    -netdev "user,id=net0,hostfwd=tcp:127.0.0.1:$port-:8642" -device virtio-net-pci,netdev=net0,romfile= \
    -chardev "socket,path=$run/qga.sock,server=on,wait=off,id=qga0" \
    -device virtio-serial -device virtserialport,chardev=qga0,name=org.qemu.guest_agent.0 \
    -chardev "file,id=console,path=$run/serial.log,append=on" -serial chardev:console \
    -display none -monitor none >>"$run/qemu.log" 2>&1 &
  qemu_pid=$!
  agent wait 180 || fail "the guest agent did not come up"
  local state
  state=$(guest systemctl is-system-running --wait) || true
  [[ $state == running ]] ||
    fail "the system is $state: $(guest systemctl --failed --no-legend --plain | tr '\n' ' ')"
  boot_time=$(since "$t0")
}

# A clean shutdown from inside (qemu ends with the guest); sets down_time.
shutdown_guest() {
  local t0
  t0=$(now)
  agent reboot
  wait "$qemu_pid" || true
  qemu_pid=""
  down_time=$(since "$t0")
}

# The power goes: qemu dies with whatever the guest had not written out.
cut_power() {
  kill -9 "$qemu_pid"
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=""
}

sim_get() { guest "ZU_PLATFORM_STATE_DIR=$sim_state zu-sim-state get $1 $2 $3"; }
# As the service's user, whose files the stand-ins' are.
sim_set() { guest "runuser -u panetessel -- env ZU_PLATFORM_STATE_DIR=$sim_state zu-sim-state set $*"; }
video_mode() { sim_get ocul.conf mode view_mode.name; }
i4_enabled() { sim_get parameters.conf parameters root.Image.I4.Enabled; }
current_mode() { mode_info | sed -n 's/.*"current": "\([a-z]*\)".*/\1/p'; }
main_pid() { guest systemctl show -P MainPID panetessel.service; }

# Video system, parameter and API agree on mode.
expect_mode() {
  local mode=$1 where=$2 video i4 current want_i4=no
  [[ $mode == quad ]] && want_i4=yes
  video=$(video_mode) i4=$(i4_enabled) current=$(current_mode)
  [[ $video == "$mode" && $i4 == "$want_i4" && $current == "$mode" ]] ||
    fail "$where: video system $video, root.Image.I4.Enabled $i4, getViewModeInfo $current; expected $mode"
}

# Waits up to 30 s for the API to answer through the forwarded port.
wait_for_api() {
  local i
  for ((i = 0; i < 300; i++)); do
    [[ $(api '{"method": "getSupportedVersions"}') == *'"apiVersions"'* ]] && return 0
    sleep 0.1
  done
  return 1
}

# --- scenarios -------------------------------------------------------------------
install_packages() {
  local t0 sim_time
  guest mkdir -p /root/packages
  agent put "$sim_deb" "$sim_pkg"
  agent put "$camera_deb" "$camera_pkg"
  t0=$(now)
  guest_dpkg "dpkg -i $sim_pkg" -i "$sim_pkg"
  sim_time=$(since "$t0") t0=$(now)
  guest_dpkg "dpkg -i $camera_pkg" -i "$camera_pkg"
  say "install: dpkg -i $(basename "$sim_pkg") in $sim_time s, $(basename "$camera_pkg") in $(since "$t0") s"
}

first_boot() {
  local user folder page enabled logged
  wait_for_api || fail "first boot: the API does not answer from the host"
  [[ $(guest systemctl is-active panetessel.service) == active ]] || fail "first boot: the unit is not active"
  enabled=$(guest systemctl is-enabled panetessel.service) || true
  [[ $enabled == enabled ]] || fail "first boot: the unit is $enabled, not enabled"
  user=$(guest "ps -o user= -p $(main_pid)")
  [[ $user == panetessel ]] || fail "first boot: the service runs as $user"
  folder=$(guest stat -c "'%a %U:%G'" $app/localdata)
  [[ $folder == "750 panetessel:panetessel" ]] || fail "first boot: localdata/ is $folder"
  [[ $(current_mode) == single ]] || fail "first boot: getViewModeInfo answers $(mode_info)"
  [[ $(guest cat $key_file) == $'[general]\nview_mode=single' ]] ||
    fail "first boot: the key file holds: $(guest cat $key_file 2>&1)"
  logged=$(guest journalctl -b _PID="$(main_pid)" -p warning -o cat --no-pager)
  [[ -z $logged ]] || fail "first boot: the service logged: $logged"
  page=$(curl -s --max-time 30 -o /dev/null -w '%{http_code} %{size_download}' "http://127.0.0.1:$port/panetessel/")
  [[ $page == "200 "* ]] || fail "first boot: the settings page answers $page"
  say "first boot: unit active and enabled, runs as $user, localdata/ $folder, getViewModeInfo single from the host, settings page $page bytes"
}

journal() {
  local warning error
  api '{"method": "getViewModeInfo", "apiVersion": "1.0"' >/dev/null
  sim_set ocul.conf faults apply true
  [[ $(set_mode quad) == *'"code": 8000'* ]] || fail "journal: a switch against a failing video system did not answer 8000"
  sim_set ocul.conf faults apply false
  warning=$(guest journalctl -b -t panetessel -p warning..warning -o cat --no-pager | grep 'Failed to parse json string' | tail -n1)
  error=$(guest journalctl -b -t panetessel -p err..err -o cat --no-pager | grep 'Failed pts_ocul_set_view_mode' | tail -n1)
  [[ -n $warning ]] || fail "journal: no warning for an invalid payload under panetessel"
  [[ -n $error ]] || fail "journal: no error line for a failed switch under panetessel"
  say "journal, under panetessel: at priority warning \"$warning\"; at priority err \"$error\""
}

crash() {
  local old new t0 i
  old=$(main_pid)
  t0=$(now)
  guest kill -9 "$old"
  for ((i = 0; i < 300; i++)); do
    new=$(main_pid)
    [[ $new != 0 && $new != "$old" ]] && wait_for_api && break
    sleep 0.1
  done
  [[ $new != 0 && $new != "$old" ]] || fail "crash: systemd did not start the service again"
  say "crash: SIGKILL to $old; systemd started $new and it answers after $(since "$t0") s"
}

reboot_keeps_quad() {
  local answer
  answer=$(set_mode quad)
  [[ $answer == *'"data": {}'* ]] || fail "reboot: setViewMode quad answered $answer"
  shutdown_guest
  boot
  wait_for_api || fail "reboot: the API does not answer after the reboot"
  expect_mode quad "reboot"
  say "reboot: quad kept on the video system, root.Image.I4.Enabled and getViewModeInfo; down in $down_time s, up in $boot_time s"
}

# Reads a file of the cut disk, with its journal replayed on a copy.
cut_file() { debugfs -R "cat $1" "$run/cut.img" 2>/dev/null; }
cut_value() { cut_file "$1" | sed -n "s/^$2=//p"; }

# Where a cut landed: what of the switch in flight reached the disk.
landing() {
  local inflight=$1 last=$2 video=$3 i4=$4 stored=$5 want_i4=no
  [[ $inflight == quad ]] && want_i4=yes
  if [[ -z $inflight ]]; then echo "between two switches"
  elif [[ $inflight == "$last" ]]; then echo "during a switch to $inflight, the mode already in place"
  elif [[ $video != "$inflight" ]]; then echo "before the video system moved to $inflight"
  elif [[ $i4 != "$want_i4" ]]; then echo "after the video system, before the parameter ($inflight)"
  elif [[ $stored != "$inflight" ]]; then echo "after the parameter, before the key file ($inflight)"
  else echo "after the key file was saved ($inflight)"
  fi
}

power_cut() {
  local n=$1 delay last inflight stored video i4 leftovers kernel_log recovered fsck answer
  delay=$(printf '%d.%02d' $((RANDOM % 4)) $((RANDOM % 100)))
  $python tools/boot/switch.py "$api_url" "$run/switches.log" "$RANDOM" &
  switcher_pid=$!
  sleep "$delay"
  cut_power
  wait "$switcher_pid" || fail "power cut $n: a switch was refused: $(tail -n1 "$run/switches.log")"
  switcher_pid=""
  last=$(sed -n 's/^acked //p' "$run/switches.log" | tail -n1)
  last=${last:-$previous_mode}
  # Empty when the cut came between an answer and the next request.
  inflight=$(tail -n1 "$run/switches.log" | sed -n 's/^sent //p')

  # What the disk holds, as the guest's own journal replay will find it.
  cp --sparse=always "$run/disk.img" "$run/cut.img"
  e2fsck -E journal_only -y "$run/cut.img" >/dev/null 2>&1 || true
  stored=$(cut_value $key_file view_mode)
  video=$(cut_value $sim_state/ocul.conf view_mode.name)
  i4=$(cut_value $sim_state/parameters.conf root.Image.I4.Enabled)
  leftovers=$(debugfs -R "ls $app/localdata" "$run/cut.img" 2>/dev/null | grep -co 'panetessel\.conf\.[A-Za-z0-9]\{6\}' || true)
  [[ -n $stored ]] && ! cut_file $key_file | grep -Evxq '\[general\]|view_mode=(single|quad)' ||
    fail "power cut $n: the key file does not parse: $(cut_file $key_file | head -c 200)"
  [[ $stored == "$last" || $stored == "$inflight" ]] ||
    fail "power cut $n: the key file holds $stored; last acknowledged $last, in flight ${inflight:-none}"

  boot
  kernel_log=$(guest journalctl -k -b -o cat --no-pager)
  recovered=$(grep -c 'EXT4-fs (vda): recovery complete' <<<"$kernel_log" || true)
  ! grep -q 'EXT4-fs error' <<<"$kernel_log" || fail "power cut $n: ext4 errors after the replay"
  fsck=$(guest systemctl show -P Result systemd-fsck-root.service)
  [[ $fsck == success ]] || fail "power cut $n: the root file system check ended with $fsck"
  wait_for_api || fail "power cut $n: the API does not answer after the boot"
  expect_mode "$stored" "power cut $n"
  [[ -z $(guest "ls $app/localdata | grep -v '^panetessel.conf\$'") ]] ||
    fail "power cut $n: temporary files left: $(guest ls $app/localdata)"
  answer=$(grep -c '^acked' "$run/switches.log" || true)
  say "power cut $n after $delay s of switching ($answer acknowledged): $(landing "$inflight" "$last" "$video" "$i4" "$stored"); key file $stored (last acknowledged $last), $leftovers temporary file(s) on the disk; journal replayed: $recovered, fsck $fsck, up in $boot_time s, then video system, parameter and getViewModeInfo $stored, no temporary file"
  previous_mode=$stored
}

upgrade_purge_reinstall() {
  local old new exe t0 left
  old=$(main_pid)
  t0=$(now)
  guest_dpkg upgrade -i "$camera_pkg"
  # Once it answers, the new main process has left systemd's set-up for the binary.
  wait_for_api || fail "upgrade: the API does not answer"
  new=$(main_pid)
  exe=$(guest readlink /proc/"$new"/exe)
  [[ $new != "$old" && $new != 0 && $exe == "$app/panetessel" ]] ||
    fail "upgrade: main process $old before, $new ($exe) after"
  say "upgrade: dpkg -i again in $(since "$t0") s; the service restarted on the new binary ($old -> $new, $exe)"

  t0=$(now)
  guest_dpkg remove -r panetessel
  left=$(guest "pgrep -u panetessel -l; systemctl is-active panetessel.service" || true)
  [[ $left == inactive ]] || fail "remove: left running: $left"
  guest test -s $key_file || fail "remove: the stored mode went with the package"
  say "remove in $(since "$t0") s: stopped, the stored mode kept for a reinstall"

  t0=$(now)
  guest_dpkg purge --purge panetessel
  left=$(guest "pgrep -u panetessel -l; ls /usr/local/lib/systemd/system/panetessel.service /etc/systemd/system/*.wants/panetessel.service $key_file 2>/dev/null; systemctl is-active panetessel.service" || true)
  [[ $left == inactive ]] || fail "purge: left behind: $left"
  ! api '{"method": "getSupportedVersions"}' | grep -q . || fail "purge: something still answers on the port"
  say "purge in $(since "$t0") s: no process, unit, enable link or stored mode left, nothing answers"

  t0=$(now)
  guest_dpkg reinstall -i "$camera_pkg"
  wait_for_api || fail "reinstall: the API does not answer"
  [[ $(guest systemctl is-enabled panetessel.service) == enabled ]] || fail "reinstall: not enabled"
  [[ $(current_mode) == single ]] || fail "reinstall: getViewModeInfo answers $(mode_info)"
  say "reinstall in $(since "$t0") s: enabled, active, getViewModeInfo single"
}

strict_on() {
  guest "mkdir -p /etc/systemd/system/panetessel.service.d && ln -sf $app/strict.conf /etc/systemd/system/panetessel.service.d/strict.conf && systemctl daemon-reload && systemctl restart panetessel.service"
  wait_for_api || fail "strict: the API does not answer"
}

exposure() {
  guest "systemd-analyze security --no-pager panetessel.service" | sed -n 's/.*Overall exposure level for panetessel.service: //p'
}

verify_units() {
  local out
  out=$(guest "systemd-analyze verify panetessel.service zu-autorotation-sim.service 2>&1") || true
  [[ -z $out ]] || fail "systemd-analyze verify: $out"
}

# --- the run ---------------------------------------------------------------------
# systemd-analyze security's exposure, 0 to 10, that each unit must keep to.
declare -A goal=([shipped]=4.5 [strict]=2.0)
say "seed $seed; cuts $cuts; units ${units[*]}; port $port; run folder $run"
boot
say "boot: up in $boot_time s"
install_packages
for unit in "${units[@]}"; do
  say "== unit: $unit"
  if [[ $unit == strict ]]; then strict_on; fi
  verify_units
  score=$(exposure)
  awk -v score="${score%% *}" -v goal="${goal[$unit]}" 'BEGIN { exit !(score <= goal) }' ||
    fail "exposure ($unit): $score, over the goal of ${goal[$unit]}"
  say "exposure ($unit): $score (goal ${goal[$unit]} or below)"
  first_boot
  journal
  crash
  reboot_keeps_quad
  previous_mode=quad
  n=$cuts
  [[ $unit == strict && ${#units[@]} -gt 1 ]] && n=$((cuts < 1 ? cuts : 1))
  for ((i = 1; i <= n; i++)); do power_cut "$i"; done
  upgrade_purge_reinstall
done
shutdown_guest
fsck_out=$(e2fsck -fn "$run/disk.img" 2>&1) || fail "the file system is not clean after the last shutdown: $fsck_out"
say "file system clean after the last shutdown (e2fsck -fn)"
failed=0
say "passed in $SECONDS s"
