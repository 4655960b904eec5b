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
printf 'root:x:0:\nwww-data:x:33:\noperator:x:37:\n' >"$board/etc/group"
echo board.example.org >"$board/etc/hostname"
dpkg-deb -x "$sim_deb" "$board"
dpkg-deb -e "$sim_deb" "$scratch/sim-control"
sim() { # script argument...
  DPKG_ROOT=$board sh "$scratch/sim-control/$1" "${@:2}" 2>"$scratch/sim.err" ||
    fail "the simulated platform's $1 $2 failed: $(cat "$scratch/sim.err")"
}
sim postinst configure
etc=etc/panetessel-sim
names=DNS:localhost,IP:127.0.0.1,IP:::1,DNS:board,DNS:board.local,DNS:board.example.org
said=$(grep '^panetessel-sim:' "$scratch/sim.err" || true)
[[ $said == "panetessel-sim: web user camop (operator): its password is in /$etc/camop.password, readable by root
panetessel-sim: https certificate made for $names: /$etc/tls/cert.pem" ]] || fail "the install said: $said"
user=$(grep '^camop:' "$board/etc/passwd") || fail "no user camop"
IFS=: read -r _ _ uid _ _ _ shell <<<"$user"
[[ $shell == */nologin && $uid -lt 1000 ]] || fail "user entry: $user"
grep -Eq '^operator:[^:]*:[^:]*:(.*,)?camop(,|$)' "$board/etc/group" ||
  fail "camop is not listed in operator: $(grep '^operator:' "$board/etc/group")"
at() { [[ $(stat -c '%u:%g %a' "$board/$1") == "$2 $3" ]] || fail "$1: $(stat -c '%u:%g %a' "$board/$1"), not $2 $3"; }
# lighttpd reads the users file as www-data, the key as root.
files=("$etc 0:0 755" "$etc/camop.password 0:0 600" "$etc/http-users 0:33 640" "$etc/hosts.conf 0:0 644"
       "$etc/tls 0:0 755" "$etc/tls/key.pem 0:0 600" "$etc/tls/cert.pem 0:0 644")
for row in "${files[@]}"; do at $row; done
# The front's layout: name:realm:SHA-256 of "name:realm:password".
users_hold_password() {
  password=$(cat "$board/$etc/camop.password")
  [[ ${#password} -ge 20 ]] || fail "a short password: ${#password} characters"
  ha1=$(printf 'camop:camera:%s' "$password" | sha256sum | cut -d' ' -f1)
  [[ $(grep '^camop:' "$board/$etc/http-users") == "camop:camera:$ha1" ]] ||
    fail "the users file does not hold camop with its password: $(cat "$board/$etc/http-users")"
}
users_hold_password
grep -qx 'var.pts_hosts = "board,board.local,board.example.org"' "$board/$etc/hosts.conf" ||
  fail "host names: $(cat "$board/$etc/hosts.conf")"
cert=$board/$etc/tls/cert.pem
sans=$(openssl x509 -noout -ext subjectAltName -in "$cert" | tail -n +2 | tr -d ' ')
[[ $sans == "$(sed 's/IP:::1/IP:0:0:0:0:0:0:0:1/; s/IP:/IPAddress:/g' <<<"$names")" ]] ||
  fail "the certificate's names: $sans"
openssl x509 -noout -text -in "$cert" | grep -q 'ASN1 OID: prime256v1' || fail "the certificate's key is not P-256"
[[ $(openssl x509 -noout -pubkey -in "$cert") == $(openssl pkey -pubout -in "$board/$etc/tls/key.pem") ]] ||
  fail "key.pem is not the certificate's key"
# The site: linked into conf-available, enabled as lighty-enable-mod does;
# the rules and the script it names in its own folder come with it.
available=etc/lighttpd/conf-available/50-panetessel-sim.conf
enabled=etc/lighttpd/conf-enabled/50-panetessel-sim.conf
site=$(readlink "$board/$available") || fail "no $available"
[[ -f $board$site && $(readlink "$board/$enabled") == ../conf-available/50-panetessel-sim.conf ]] ||
  fail "the site: $available -> $site, $enabled -> $(readlink "$board/$enabled")"
! grep -n @ "$board$site" || fail "$site is not configured"
share=${site%/*}
named=$(grep -oE "\"$share/[^\"]*\"" "$board$site" | tr -d '"')
[[ $(wc -l <<<"$named") == 2 ]] || fail "$site names $named in $share, not front.lua and panetessel.conf"
for path in $named; do
  [[ -f $board$path ]] || fail "$site names $path, which the package lacks"
done
grep -qxF "var.pts_web_root = \"/$app/html\"" "$board$site" && [[ -f $root/$app/html/index.html ]] ||
  fail "the site does not serve the camera package's settings page"
# Debian's lighttpd.conf takes the site and the shared rules, with the
# package's files where the scratch root has them.
sed -e "s#\"/$etc/#\"$board/$etc/#" -e "s#\"$share/#\"$board$share/#" "$board$site" >"$scratch/site.conf"
sed "s#^include \"/etc/lighttpd/conf-enabled/\*.conf\"#include \"$scratch/site.conf\"#" /etc/lighttpd/lighttpd.conf \
  >"$scratch/lighttpd.conf"
grep -qF "$scratch/site.conf" "$scratch/lighttpd.conf" || fail "/etc/lighttpd/lighttpd.conf includes no conf-enabled"
lighttpd -tt -f "$scratch/lighttpd.conf" >"$scratch/lighttpd.out" 2>&1 ||
  fail "lighttpd refuses the site: $(cat "$scratch/lighttpd.out")"
drop_in=$board/usr/local/lib/systemd/system/panetessel.service.d/simulated-camera.conf
for line in Environment=ZU_HTTP_LISTEN=/run/panetessel-sim/api.sock RuntimeDirectory=panetessel-sim \
            RuntimeDirectoryMode=0750 "ExecStartPost=+/bin/chgrp www-data /run/panetessel-sim"; do
  grep -qxF "$line" "$drop_in" || fail "the drop-in lacks $line"
done
! grep -E 'ZU_HTTP_(USERS|WEB_ROOT)|LoadCredential|EnvironmentFile' "$drop_in" || fail "the drop-in's old front"
# An upgrade keeps all of it, and an administrator's lighty-disable-mod.
rm "$board/$enabled"
cp -a "$board/$etc" "$scratch/etc-before"
sim postinst configure 0.1.0
! grep '^panetessel-sim:' "$scratch/sim.err" || fail "the upgrade said that"
diff -r "$scratch/etc-before" "$board/$etc" || fail "an upgrade changed the users file, password, host names or certificate"
[[ ! -L $board/$enabled ]] || fail "an upgrade enabled the site an administrator disabled"
[[ $(grep -c '^operator:.*camop' "$board/etc/group") == 1 ]] || fail "an upgrade listed camop twice"
# A removal disables the site only if it was enabled, and a reinstall
# enables it again only then.
for was in disabled enabled; do
  sim prerm remove
  sim postrm remove
  [[ ! -L $board/$enabled && ! -L $board/$available ]] || fail "a removal left the site linked"
  sim postinst configure 0.1.0
  [[ -L $board/$available && $([[ -L $board/$enabled ]] && echo enabled || echo disabled) == "$was" ]] ||
    fail "the site $was before a removal: after a reinstall $(ls -l "$board"/etc/lighttpd/conf-*/50-*)"
  ln -sfn ../conf-available/50-panetessel-sim.conf "$board/$enabled"
done
# A lost password file: a new password, and the users file follows, keeping
# an administrator's other users.
echo "viewer:camera:$(printf 'viewer:camera:x' | sha256sum | cut -d' ' -f1)" >>"$board/$etc/http-users"
rm "$board/$etc/camop.password"
kept=$password
sim postinst configure 0.1.0
grep -q '^panetessel-sim: web user camop' "$scratch/sim.err" || fail "a new password was not announced"
users_hold_password
[[ $password != "$kept" ]] || fail "a lost password came back the same"
grep -q '^viewer:camera:' "$board/$etc/http-users" || fail "a new password took another user out of the users file"
at $etc/http-users 0:33 640
cmp "$scratch/etc-before/tls/cert.pem" "$cert" || fail "a new password made a new certificate"
sim postrm purge
[[ ! -e $board/$etc && ! -L $board/$available && ! -L $board/$enabled ]] ||
  fail "a purge left $(ls -d "$board/$etc" "$board/$available" "$board/$enabled" 2>/dev/null)"
! grep -qs camop "$board"/etc/{passwd,group,shadow,gshadow} || fail "a purge left camop: $(grep -s camop "$board"/etc/*)"
grep -qx 'operator:x:37:' "$board/etc/group" || fail "a purge changed operator: $(grep '^operator:' "$board/etc/group")"
sim postinst configure
[[ $(cat "$board/$etc/camop.password") != "$password" && -L $board/$enabled ]] ||
  fail "a reinstall after a purge kept the password or left the site disabled"
! cmp -s "$scratch/etc-before/tls/cert.pem" "$cert" || fail "a reinstall after a purge kept the certificate"

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
# What the working tree holds: not a file deleted there and not yet in a commit.
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [[ ! -e $f ]] || printf '%s\0' "$f"
done | xargs -0 cp --parents -t "$other"
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
