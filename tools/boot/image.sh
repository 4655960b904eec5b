#!/usr/bin/env bash
# Builds the booted-system test's arm64 Debian system from Debian's packages:
# systemd, D-Bus, the kernel and a small initramfs, the guest agent that the
# test drives it through, and the libraries the two packages depend on.
# Writes OUT/root.img (ext4), OUT/vmlinuz and OUT/initrd.img.
#   tools/boot/image.sh OUT SOURCES_FILE
# Run as root: the tree is made in a folder with its owners and modes.
set -euo pipefail

out=$1 sources=$2
packages=(
  systemd systemd-sysv dbus udev kmod e2fsprogs procps
  linux-image-arm64 initramfs-tools qemu-guest-agent
  # What the camera package and the simulated platform package depend on.
  libglib2.0-0 libjansson4 libmicrohttpd12 libstdc++6 libgcc-s1
)
# Only what a virt machine needs to mount its root: building the initramfs
# under the emulator with every module takes minutes.
initramfs_modules=(virtio_pci virtio_mmio virtio_blk ext4 crc32c_generic)

tree=$out/tree
rm -rf "$tree" && mkdir -p "$tree"

# update-initramfs is held off while the packages go in and run once at the end.
essential_hook='chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs
  printf "#!/bin/sh\nexit 0\n" >"$1/usr/sbin/update-initramfs" && chmod 755 "$1/usr/sbin/update-initramfs"'

customize_hook=$(
  cat <<EOF
set -e
root=\$1
printf '/dev/vda / ext4 errors=remount-ro 0 1\n' >"\$root/etc/fstab"
echo camera >"\$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 camera\n' >"\$root/etc/hosts"
# qemu's user network: the guest is 10.0.2.15, its gateway 10.0.2.2.
mkdir -p "\$root/etc/systemd/network"
printf '[Match]\nName=en*\n\n[Network]\nAddress=10.0.2.15/24\nGateway=10.0.2.2\n' \
  >"\$root/etc/systemd/network/10-qemu.network"
chroot "\$root" systemctl enable --quiet systemd-networkd
mkdir -p "\$root/var/log/journal"
printf 'MODULES=list\nCOMPRESS=gzip\n' >"\$root/etc/initramfs-tools/conf.d/boot-test.conf"
printf '%s\n' ${initramfs_modules[*]} >>"\$root/etc/initramfs-tools/modules"
rm "\$root/usr/sbin/update-initramfs"
chroot "\$root" dpkg-divert --quiet --local --rename --remove /usr/sbin/update-initramfs
chroot "\$root" update-initramfs -c -k all >/dev/null
rm -rf "\$root/var/cache/apt/archives/"*.deb "\$root/var/lib/apt/lists/"*_Packages
EOF
)

include=$(IFS=,; echo "${packages[*]}")
mmdebstrap --quiet --architectures=arm64 --variant=minbase --include="$include" \
  --essential-hook="$essential_hook" --customize-hook="$customize_hook" \
  bookworm "$tree" "$sources"

cp "$tree"/boot/vmlinuz-* "$out/vmlinuz"
cp "$tree"/boot/initrd.img-* "$out/initrd.img"
size=$(($(du -sm "$tree" | cut -f1) + 768))
rm -f "$out/root.img"
mke2fs -q -t ext4 -L root -d "$tree" "$out/root.img" "${size}M"
rm -rf "$tree"
