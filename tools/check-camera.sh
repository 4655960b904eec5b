#!/usr/bin/env bash
# Checks what tools/build-camera.sh made in build/camera: the default install
# holds the camera's files only; the package, installed into a scratch root
# with its maintainer script, gives the right tree, owners and modes; the
# binary is hardened; and the same sources built in other folders give the
# same binary byte for byte. Prints the figures it checked.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/camera
bin=$build/code/panetessel
app=usr/local/packages/panetessel
deb=$(echo $build/panetessel_*_arm64.deb)
sim_deb=$(echo $build/panetessel-sim_*_arm64.deb)
tgz=$(echo $build/panetessel_*_arm64.tar.gz)
readelf=aarch64-linux-gnu-readelf
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check-camera: FAILED: $*" >&2; exit 1; }
tree() { (cd "$1" && find . -mindepth 1 | sort); }

echo "== install components" >&2
DESTDIR=$scratch/default cmake --install $build >/dev/null
dpkg-deb -x "$deb" "$scratch/root"
mkdir "$scratch/tgz" && tar -xzf "$tgz" -C "$scratch/tgz"
tree "$scratch/default" >"$scratch/default.list"
diff <(tree "$scratch/root") "$scratch/default.list" || fail "the .deb and the default install differ"
diff <(tree "$scratch/tgz") "$scratch/default.list" || fail "the .tar.gz and the default install differ"
diff -r "$scratch/root" "$scratch/tgz" || fail "the .deb and the .tar.gz hold different files"
! grep -E '\.so|zu-autorotation|dbus-1' "$scratch/default.list" || fail "stand-ins in the default install"
DESTDIR=$scratch/sim cmake --install $build --component simulator >/dev/null
[[ $(find "$scratch/sim" -name 'lib*.so*' -path '*/lib/panetessel-sim/*' | wc -l) -ge 4 &&
  -z $(find "$scratch/sim" -name 'lib*.so*' -not -path '*/lib/panetessel-sim/*') ]] ||
  fail "the simulator's stand-ins are not all in lib/panetessel-sim"
diff <(tree "$scratch/sim") <(dpkg-deb -c "$sim_deb" | awk '{ print $6 }' | sed 's#/$##; /^\.$/d' | sort) ||
  fail "the simulated platform package and the simulator component differ"

echo "== package installed into a scratch root" >&2
root=$scratch/root
mkdir -p "$root/etc"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\noperator:x:37:\n' >"$root/etc/group"
dpkg-deb -e "$deb" "$scratch/control"
DPKG_ROOT=$root sh "$scratch/control/postinst" configure >/dev/null 2>&1 || fail "postinst failed"
user=$(grep '^panetessel:' "$root/etc/passwd") || fail "no user panetessel"
IFS=: read -r _ _ uid gid _ home shell <<<"$user"
[[ $home == /$app && $shell == */nologin && $uid -lt 1000 ]] || fail "user entry: $user"
# Every method needs a listed member of operator; the unit starts at boot.
grep -Eq '^operator:[^:]*:[^:]*:(.*,)?panetessel(,|$)' "$root/etc/group" ||
  fail "panetessel is not listed in operator: $(grep '^operator:' "$root/etc/group")"
[[ $(readlink "$root/etc/systemd/system/multi-user.target.wants/panetessel.service") == \
  /usr/local/lib/systemd/system/panetessel.service ]] || fail "the service is not enabled"
DPKG_ROOT=$root sh "$scratch/control/postrm" purge || fail "postrm purge failed"
[[ ! -e $root/etc/systemd/system/multi-user.target.wants/panetessel.service ]] ||
  fail "a purge left the service enabled"
DPKG_ROOT=$root sh "$scratch/control/postinst" configure >/dev/null 2>&1 || fail "postinst failed again"
expect() { # path owner mode
  [[ $(stat -c '%u:%g %a' "$root/$1") == "$2 $3" ]] || fail "$1: $(stat -c '%u:%g %a' "$root/$1"), not $2 $3"
}
expect $app/panetessel 0:0 755
expect $app/localdata "$uid:$gid" 750
for f in lib/systemd/system/panetessel.service lib/sysusers.d/panetessel.conf lib/tmpfiles.d/panetessel.conf; do
  expect usr/local/$f 0:0 644
done
! $readelf -S "$root/$app/panetessel" | grep -q '\.symtab' || fail "the packaged binary is not stripped"

echo "== simulated platform package installed into a scratch root, before the camera's" >&2
board=$scratch/board
mkdir -p "$board/etc"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$board/etc/passwd"
printf 'root:x:0:\noperator:x:37:\n' >"$board/etc/group"
echo board.example.org >"$board/etc/hostname"
dpkg-deb -x "$sim_deb" "$board"
dpkg-deb -e "$sim_deb" "$scratch/sim-control"
tool=$board/usr/local/bin/zu-http-users
[[ -x $tool ]] || fail "no usr/local/bin/zu-http-users in the simulated platform package"
# The scripts run the package's AArch64 users tool; without a binfmt
# registration it goes through the emulator, as the tests' programs do.
if [[ $(dpkg --print-architecture) != arm64 ]] && $readelf -h "$tool" 2>/dev/null | grep -q AArch64; then
  command -v qemu-aarch64-static >/dev/null || fail "qemu-aarch64-static is missing (tools/setup.sh camera)"
  mv "$tool" "$tool.arm64"
  printf '#!/bin/sh\nexec qemu-aarch64-static -E LD_LIBRARY_PATH=%s "%s" "$@"\n' \
    "$board/usr/local/lib/panetessel-sim" "$tool.arm64" >"$tool"
  chmod 0755 "$tool"
fi
sim_postinst() { DPKG_ROOT=$board sh "$scratch/sim-control/postinst" configure "$@" 2>"$scratch/sim.err" ||
  fail "the simulated platform's postinst failed: $(cat "$scratch/sim.err")"; }
sim_postinst
etc=etc/panetessel-sim
said=$(grep '^panetessel-sim:' "$scratch/sim.err" || true)
[[ $said == "panetessel-sim: web user camop (operator): its password is in /$etc/camop.password, readable by root" ]] ||
  fail "the install said: $said"
user=$(grep '^camop:' "$board/etc/passwd") || fail "no user camop"
IFS=: read -r _ _ uid _ _ _ shell <<<"$user"
[[ $shell == */nologin && $uid -lt 1000 ]] || fail "user entry: $user"
grep -Eq '^operator:[^:]*:[^:]*:(.*,)?camop(,|$)' "$board/etc/group" ||
  fail "camop is not listed in operator: $(grep '^operator:' "$board/etc/group")"
at() { [[ $(stat -c '%u:%g %a' "$board/$1") == "$2 $3" ]] || fail "$1: $(stat -c '%u:%g %a' "$board/$1"), not $2 $3"; }
at $etc 0:0 755
at $etc/http-users 0:0 600
at $etc/camop.password 0:0 600
at $etc/http.env 0:0 644
# The front's layout: name:realm:SHA-256 of "name:realm:password".
users_hold_password() {
  password=$(cat "$board/$etc/camop.password")
  [[ ${#password} -ge 20 ]] || fail "a short password: ${#password} characters"
  ha1=$(printf 'camop:camera:%s' "$password" | sha256sum | cut -d' ' -f1)
  [[ $(grep -v '^#' "$board/$etc/http-users" | grep .) == "camop:camera:$ha1" ]] ||
    fail "the users file does not hold camop with its password: $(cat "$board/$etc/http-users")"
}
users_hold_password
grep -qx 'ZU_HTTP_HOSTS=board,board.local,board.example.org' "$board/$etc/http.env" ||
  fail "host names: $(cat "$board/$etc/http.env")"
drop_in=$board/usr/local/lib/systemd/system/panetessel.service.d/simulated-camera.conf
for line in LoadCredential=http-users:/$etc/http-users Environment=ZU_HTTP_USERS=%d/http-users \
            EnvironmentFile=-/$etc/http.env; do
  grep -qxF "$line" "$drop_in" || fail "the drop-in lacks $line"
done
cp -a "$board/$etc" "$scratch/etc-before"
sim_postinst 0.1.0
! grep '^panetessel-sim:' "$scratch/sim.err" || fail "the upgrade said that"
diff -r "$scratch/etc-before" "$board/$etc" || fail "an upgrade changed the users file, password or host names"
[[ $(grep -c '^operator:.*camop' "$board/etc/group") == 1 ]] || fail "an upgrade listed camop twice"
# A lost password file: a new password, and the users file follows.
rm "$board/$etc/camop.password"
kept=$password
sim_postinst 0.1.0
grep -q '^panetessel-sim: web user camop' "$scratch/sim.err" || fail "a new password was not announced"
users_hold_password
[[ $password != "$kept" ]] || fail "a lost password came back the same"
DPKG_ROOT=$board sh "$scratch/sim-control/postrm" purge || fail "the simulated platform's postrm purge failed"
[[ ! -e $board/$etc ]] || fail "a purge left $etc"
! grep -qs camop "$board"/etc/{passwd,group,shadow,gshadow} || fail "a purge left camop: $(grep -s camop "$board"/etc/*)"
grep -qx 'operator:x:37:' "$board/etc/group" || fail "a purge changed operator: $(grep '^operator:' "$board/etc/group")"
sim_postinst
[[ $(cat "$board/$etc/camop.password") != "$password" ]] || fail "a reinstall after a purge kept the password"

echo "== hardening" >&2
# Read whole first: grep -q ending a pipe early would fail it under pipefail.
header=$($readelf -hW $bin) segments=$($readelf -lW $bin) dynamic=$($readelf -dW $bin)
symbols=$($readelf --dyn-syms -W $bin) commands=$(grep '"command"' $build/compile_commands.json)
grep -q 'Type:.*DYN' <<<"$header" || fail "not PIE"
grep -q GNU_RELRO <<<"$segments" || fail "no RELRO"
grep -q BIND_NOW <<<"$dynamic" || fail "no BIND_NOW"
[[ $(awk '$1 == "GNU_STACK" { print $7 }' <<<"$segments") == RW ]] || fail "executable stack"
grep -q __stack_chk_fail <<<"$symbols" || fail "no stack protector"
! grep -qE 'RPATH|RUNPATH' <<<"$dynamic" || fail "a run path in the camera binary"
! grep -qF "$PWD" $bin || fail "the source folder is in the binary"
# FORTIFY shows in the binary only where a libc call's size is known at
# compile time, so its flags are checked on every compile command.
for flag in -D_FORTIFY_SOURCE=2 -fstack-protector-strong -O3 -ffile-prefix-map; do
  ! grep -v -e "$flag" <<<"$commands" | grep -q . || fail "a compile command without $flag"
done

echo "== reproducible: the same sources built in another folder" >&2
other=$scratch/elsewhere/panetessel-src
mkdir -p "$other"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$other"
(cd "$other" && cmake --preset camera >/dev/null && cmake --build --preset camera --target panetessel >/dev/null)
cmp $bin "$other/$bin" || fail "unstripped binaries differ"
aarch64-linux-gnu-strip -o "$scratch/a" $bin
aarch64-linux-gnu-strip -o "$scratch/b" "$other/$bin"
cmp "$scratch/a" "$scratch/b" || fail "stripped binaries differ"

cat >&2 <<EOF
== check-camera: passed
binary: $(stat -c %s $bin) bytes, stripped $(stat -c %s "$scratch/a") bytes, sha256 $(sha256sum "$scratch/a" | cut -c1-16)…
NEEDED: $(sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' <<<"$dynamic" | tr '\n' ' ')
symbol versions needed: $(grep -oE '@[A-Z]+_[0-9.]+' <<<"$symbols" | tr -d @ | sort -uV | tr '\n' ' ')
package: $(basename "$deb") $(stat -c %s "$deb") bytes, $(basename "$tgz") $(stat -c %s "$tgz") bytes; $(dpkg-deb -f "$deb" Depends)
simulated platform: $(basename "$sim_deb") $(stat -c %s "$sim_deb") bytes; $(dpkg-deb -f "$sim_deb" Depends)
$(dpkg-deb -c "$deb" | awk '{ print "  " $1, $2, $3, $6 }')
EOF
