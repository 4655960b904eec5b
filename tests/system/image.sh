#!/usr/bin/env bash
# The booted camera's arm64 Debian system, from Debian's packages: systemd,
# D-Bus, the kernel and a small initramfs, the guest agent the tests drive it
# through, and what the two packages depend on (the simulated platform's
# web server: lighttpd with TLS and Lua, openssl). Writes OUT/root.img
# (ext4), OUT/vmlinuz and OUT/initrd.img. Run as root (owners and modes).
#   image.sh OUT SOURCES_FILE
set -euo pipefail

out=$1 sources=$2
packages=systemd,systemd-sysv,dbus,udev,kmod,e2fsprogs,procps,linux-image-arm64,initramfs-tools,qemu-guest-agent
# What the camera package and the simulated platform package depend on.
packages+=,libglib2.0-0,libjansson4,libmicrohttpd12,libstdc++6,libgcc-s1
packages+=,lighttpd,lighttpd-mod-openssl,lighttpd-modules-lua,openssl
tree=$out/tree
rm -rf "$tree" && mkdir -p "$tree"

# update-initramfs is held off while the packages go in and runs once at the
# end, with only what a virt machine needs to mount its root: with every
# module it takes minutes under the emulator.
essential_hook='chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs
  printf "#!/bin/sh\nexit 0\n" >"$1/usr/sbin/update-initramfs" && chmod 755 "$1/usr/sbin/update-initramfs"'
customize_hook='set -e
printf "/dev/vda / ext4 errors=remount-ro 0 1\n" >"$1/etc/fstab"
echo camera >"$1/etc/hostname"
printf "127.0.0.1 localhost\n127.0.1.1 camera\n" >"$1/etc/hosts"
# qemu user networking: the guest is 10.0.2.15, its gateway 10.0.2.2.
mkdir -p "$1/etc/systemd/network" "$1/var/log/journal"
printf "[Match]\nName=en*\n\n[Network]\nAddress=10.0.2.15/24\nGateway=10.0.2.2\n" >"$1/etc/systemd/network/10-qemu.network"
chroot "$1" systemctl enable --quiet systemd-networkd
printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/camera.conf"
printf "%s\n" virtio_pci virtio_mmio virtio_blk ext4 crc32c_generic >>"$1/etc/initramfs-tools/modules"
rm "$1/usr/sbin/update-initramfs"
chroot "$1" dpkg-divert --quiet --local --rename --remove /usr/sbin/update-initramfs
chroot "$1" update-initramfs -c -k all >/dev/null
rm -rf "$1/var/cache/apt/archives/"*.deb "$1/var/lib/apt/lists/"*_Packages'

mmdebstrap --quiet --architectures=arm64 --variant=minbase --include="$packages" \
  --essential-hook="$essential_hook" --customize-hook="$customize_hook" bookworm "$tree" "$sources"
cp "$tree"/boot/vmlinuz-* "$out/vmlinuz"
cp "$tree"/boot/initrd.img-* "$out/initrd.img"
rm -f "$out/root.img"
mke2fs -q -t ext4 -L root -d "$tree" "$out/root.img" "$(($(du -sm "$tree" | cut -f1) + 768))M"
rm -rf "$tree"
