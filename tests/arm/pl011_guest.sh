#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The ARM builds on the PL011 driver: an aarch64 guest (QEMU virt, TCG, Debian's arm64
# cloud kernel and busybox) whose PL011 UART is the device line, on a host pty where
# veskor-sim --line plays the device; its console is a PCI 16550. In the guest the
# static arm64 and armhf builds (the latter on the 64-bit kernel) each program an
# image, compared on the host, and run testcomm at 28800. Installs what is missing;
# exits 1 on any failure, and says so when the cause is outside the project.
# Usage: tests/arm/pl011_guest.sh [path of the host's veskor-sim]
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
sim=$(realpath "${1:-build/veskor-sim}")
work=$repo/build-guest
image_size=20480
started=$(date +%s)

fail() {
    echo "pl011_guest: FAILED: $*" >&2
    exit 1
}
[ -x "$sim" ] || fail "no host simulator at $sim (build it first: scripts/build.sh)"

echo "== Tools, and Debian's arm64 kernel and busybox =="
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
    $sudo apt-get update -qq || fail "apt-get update failed (outside the project: the package mirror)"
fi
bash scripts/install-deps.sh qemu-system-arm cpio ||
    fail "cannot install qemu-system-arm or cpio (outside the project: the package mirror)"
bash scripts/build-arm.sh arm64 >/dev/null
bash scripts/build-arm.sh armhf >/dev/null

rm -rf "$work"
mkdir -p "$work/debs" "$work/root"/{bin,dev,proc,sys,work}
cd "$work/debs"
# The cloud kernel's current name; on stale lists, update once.
fetch() {
    kernel=$(apt-cache depends linux-image-cloud-arm64:arm64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    [ -n "$kernel" ] && apt-get download -qq "$kernel" busybox-static:arm64 2>download.log
}
if ! fetch; then
    $sudo apt-get update -qq || fail "apt-get update failed (outside the project: the package mirror)"
    fetch || fail "apt-get download of ${kernel:-the arm64 cloud kernel} and busybox-static:arm64" \
        "failed (outside the project: the package mirror): $(cat download.log 2>/dev/null)"
fi
dpkg-deb -x linux-image-*.deb kernel
dpkg-deb -x busybox-static_*.deb busybox
vmlinuz=$(ls kernel/boot/vmlinuz-*)
# What the guest needs built in: the two UART drivers, devtmpfs and 32-bit programs.
for option in SERIAL_AMBA_PL011 SERIAL_8250_PCI DEVTMPFS COMPAT BLK_DEV_INITRD; do
    grep -qx "CONFIG_$option=y" kernel/boot/config-* || fail "$kernel lacks CONFIG_$option=y (outside the project)"
done

echo "== Initramfs =="
cd "$work/root"
cp ../debs/busybox/bin/busybox bin/
cp "$repo/build-arm64/brivane" work/brivane-arm64
cp "$repo/build-armhf/brivane" work/brivane-armhf
bash "$repo/scripts/make-samples.sh" work "$image_size"
cat >init <<'EOF'
#!/bin/busybox sh
# The guest's whole life: each build programs the image and tests the line.
B=/bin/busybox
$B mount -t devtmpfs devtmpfs /dev
$B mount -t proc proc /proc
exec </dev/console >/dev/console 2>&1
cd /work
$B ln -s /dev/ttyAMA0 COM1
echo "guest: up, $($B uname -m)"
for run in "arm64 sample.bin 28800" "arm64 testcomm 28800" "armhf sample.bin 115200" "armhf testcomm 28800"; do
    set -- $run
    echo "guest: brivane-$1 $2 1 $3"
    ./brivane-$1 "$2" 1 "$3" </dev/null
    echo "guest: exit $?"
done
# The host ends the guest once its simulator has seen the quiet line.
echo "guest: done"
exec $B sleep 3600
EOF
chmod +x init
find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz"

echo "== Guest =="
cd "$work"
console=$work/console.log
: >"$console"
qemu-system-aarch64 -M virt -cpu cortex-a57 -m 256 -smp 1 -nodefaults -display none -no-reboot \
    -serial pty -chardev file,id=console,path="$console" -device pci-serial,chardev=console \
    -kernel "debs/$vmlinuz" -initrd initramfs.gz -append "console=ttyS0 rdinit=/init panic=-1 quiet" \
    >qemu.log 2>&1 &
qemu_pid=$!
qemu_started=$(date +%s)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    kill "$qemu_pid" 2>/dev/null
    wait 2>/dev/null
    true
}
trap cleanup EXIT

# Waits up to $1 seconds for $2 occurrences of the text $3 in the file $4, while the
# guest runs.
wait_for() {
    local deadline=$((SECONDS + $1))
    while [ "$(grep -a -o -F -- "$3" "$4" | wc -l)" -lt "$2" ]; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$qemu_pid" 2>/dev/null; then
            return 1
        fi
        sleep 0.1
    done
}
guest_failed() {
    tr -d '\r' <"$console" | tail -n 30 >&2
    fail "$@ ($(cat qemu.log))"
}

wait_for 10 1 "(label serial0)" qemu.log || guest_failed "QEMU did not start (outside the project)"
line=$(grep -o '/dev/pts/[0-9]*' qemu.log | head -n 1)
wait_for 120 1 "guest: up, aarch64" "$console" ||
    guest_failed "the guest did not boot (outside the project: kernel or QEMU)"
echo "guest booted in $(($(date +%s) - qemu_started)) s; device line $line"

run=0
for expected in "arm64 program" "arm64 testcomm" "armhf program" "armhf testcomm"; do
    run=$((run + 1))
    "$sim" --line "$line" --flash "flash-$run.bin" --timeout 120 2>"sim-$run.log" &
    sim_pid=$!
    wait_for 10 1 "ready at 9600 baud" "sim-$run.log" || guest_failed "veskor-sim did not start: $(cat "sim-$run.log")"
    wait_for 60 "$run" "Hold in the small recessed button" "$console" ||
        guest_failed "$expected: brivane never waited for the device"
    kill -USR1 "$sim_pid"
    sim_status=0
    wait "$sim_pid" || sim_status=$?
    sim_pid=""
    wait_for 30 "$run" "guest: exit" "$console" || guest_failed "$expected: brivane did not end"
    status=$(grep -a -o 'guest: exit [0-9]*' "$console" | sed -n "${run}p")
    summary=$(tail -n 1 "sim-$run.log")
    echo "$expected: brivane ${status#guest: }; $summary"
    [ "$status" = "guest: exit 0" ] && [ "$sim_status" -eq 0 ] || guest_failed "$expected failed"
    if [[ $expected == *program ]]; then
        cmp -n "$image_size" root/work/sample.bin "flash-$run.bin" || fail "$expected: the flash does not hold the image"
    else
        [[ $summary == *" speed_code=2 line_baud=28800 "* ]] || fail "$expected: the line did not go to 28800"
    fi
done
wait_for 30 1 "guest: done" "$console" || guest_failed "the guest did not finish"
echo "pl011_guest: both ARM builds programmed and tested the line through the PL011 driver" \
    "(guest $(($(date +%s) - qemu_started)) s, all $(($(date +%s) - started)) s)"
