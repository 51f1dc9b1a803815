#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one command in an x86-64 guest that QEMU emulates (no KVM needed), for hosts
# whose kernel runs no 32-bit x86 programs: the guest's kernel, this machine's own
# Debian kernel, does. The guest's root is this machine's root, read-only, with a
# layer in memory for its writes; /tmp is the guest's own; each --share folder is
# this machine's folder, writable, at the same path. The command runs as the caller's
# user, in the caller's folder, without a terminal, with HOME=/tmp.
#
#   tests/support/x86_guest.sh [--share FOLDER]... COMMAND [ARGUMENT...]
#
# Exits with the command's status; 77, saying why, when QEMU, a kernel or a static
# busybox is missing; 3 when the guest gave no status (it did not boot, or
# X86_GUEST_TIMEOUT seconds, default 900, passed). X86_GUEST_MEMORY: MiB, default 2048.
set -u

skip() {
    echo "skipped: $*"
    exit 77
}

shares=()
while [ "${1:-}" = --share ]; do
    shares+=("$(realpath -e "$2")") || exit 2
    shift 2
done
[ $# -gt 0 ] || { echo "usage: $0 [--share FOLDER]... COMMAND [ARGUMENT...]" >&2; exit 2; }

command -v qemu-system-x86_64 >/dev/null || skip "no QEMU (Debian package qemu-system-x86)"
busybox=$(command -v busybox) || skip "no busybox (Debian package busybox-static)"
# The guest starts it before any library can be found.
! ldd "$busybox" >/dev/null 2>&1 || skip "$busybox is not static (Debian package busybox-static)"
kernel_version=""
for version in $(ls /lib/modules 2>/dev/null | sort -V); do
    [ -r "/boot/vmlinuz-$version" ] && kernel_version=$version
done
[ -n "$kernel_version" ] || skip "no kernel with its modules (Debian package linux-image-amd64)"
[ -x /sbin/modprobe ] || skip "no modprobe (Debian package kmod)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/initramfs/bin" "$work/initramfs/modules"
cp "$busybox" "$work/initramfs/bin/busybox"
# The modules for the shared folders and the writable layer, in loading order.
for module in virtio_pci 9pnet_virtio 9p overlay; do
    /sbin/modprobe -S "$kernel_version" --show-depends "$module" 2>/dev/null
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' >"$work/modules"
while read -r module; do
    cp "$module" "$work/initramfs/modules/"
    echo "/modules/${module##*/}" >>"$work/initramfs/modules/order"
done <"$work/modules"

# The command, as the caller's user, its words quoted for the shell.
{
    printf 'cd %q || exit 125\n' "$PWD"
    printf 'exec setpriv --reuid=%d --regid=%d --clear-groups env -i HOME=/tmp PATH=%q' \
        "$(id -u)" "$(id -g)" "$PATH"
    printf ' %q' "$@"
    printf '\n'
} >"$work/initramfs/command"
qemu_shares=()
index=0
for folder in "${shares[@]}"; do
    echo "$folder" >>"$work/initramfs/shares"
    qemu_shares+=(-virtfs "local,path=$folder,mount_tag=share$index,security_model=none,multidevs=remap")
    index=$((index + 1))
done
touch "$work/initramfs/shares"

cat >"$work/initramfs/init" <<'EOF'
#!/bin/busybox sh
B=/bin/busybox
$B mkdir -p /proc /dev /lower /layer /root
$B mount -t proc proc /proc
$B mount -t devtmpfs dev /dev
for module in $($B cat /modules/order); do
    $B insmod "$module" || echo "x86_guest: cannot load $module"
done
nine="-t 9p -o trans=virtio,version=9p2000.L,msize=262144"
$B mount $nine,ro,cache=loose root /lower || echo "x86_guest: the root is not shared"
$B mount -t tmpfs layer /layer
$B mkdir /layer/upper /layer/work
$B mount -t overlay -o lowerdir=/lower,upperdir=/layer/upper,workdir=/layer/work root /root
# What the root shares from the host under these is the host's, not the guest's.
$B mount -t proc proc /root/proc
$B mount -t sysfs sys /root/sys
$B mount -t devtmpfs dev /root/dev
$B mkdir -p /root/dev/pts /root/dev/shm
$B mount -t devpts -o newinstance,ptmxmode=666 devpts /root/dev/pts
$B mount -t tmpfs shm /root/dev/shm
$B ln -sfn /proc/self/fd /root/dev/fd
$B mount -t tmpfs -o mode=1777 tmp /root/tmp
$B mount -t tmpfs run /root/run
$B mkdir -p /root/run/lock
index=0
while read -r folder; do
    $B mkdir -p "/root$folder"
    $B mount $nine share$index "/root$folder" || echo "x86_guest: $folder is not shared"
    index=$((index + 1))
done </shares
$B cp /command /root/run/x86-guest-command
$B chroot /root /usr/bin/setsid --wait /bin/sh /run/x86-guest-command </dev/null
echo "x86_guest: status $?"
$B poweroff -f
EOF
chmod +x "$work/initramfs/init"
(cd "$work/initramfs" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initramfs.gz"

# qemu64 with the SSE levels that Wine's programs use; with -cpu max the guest's
# kernel has been seen to oops under Wine. No mitigations: they only slow emulation.
timeout "${X86_GUEST_TIMEOUT:-900}" qemu-system-x86_64 -accel tcg,thread=multi \
    -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt -smp 2 -m "${X86_GUEST_MEMORY:-2048}" \
    -nodefaults -display none -no-reboot -serial stdio \
    -kernel "/boot/vmlinuz-$kernel_version" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1 mitigations=off" \
    -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
    "${qemu_shares[@]}" </dev/null 2>&1 | tr -d '\r' | tee "$work/console"
status=$(sed -n 's/^x86_guest: status \([0-9]*\)$/\1/p' "$work/console" | tail -n 1)
[ -n "$status" ] || echo "x86_guest: the guest gave no status (no boot, or a time-out)"
exit "${status:-3}"
