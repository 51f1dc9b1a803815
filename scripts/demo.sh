#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job, without hardware: builds brivane and veskor-sim, flashes a sample
# image into the simulated device and checks that the device's flash holds it.
# Usage: scripts/demo.sh [image-size-in-bytes] [baud-rate]
# With PACE=1 the simulated line runs at the speed of a real wire, so the counters
# move as they would with hardware (about 30 s for the default image).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
size=${1:-307200}
baud=${2:-115200}

bash scripts/install-deps.sh
bash scripts/build.sh build

work=$(mktemp -d /tmp/brivane-demo-XXXXXX)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
bash scripts/make-samples.sh "$work" "$size"
cd "$work"

echo "== Starting the simulated device on COM1 (a pseudo-terminal) =="
pace=()
[ "${PACE:-0}" = 1 ] && pace=(--pace)
"$repo/build/veskor-sim" --port 1 --flash flash.bin --timeout 600 "${pace[@]}" 2> sim.log &
sim_pid=$!
for _ in $(seq 1 100); do [ -L COM1 ] && break; sleep 0.05; done
[ -L COM1 ] || { echo "veskor-sim did not start"; cat sim.log; exit 1; }

echo "== brivane sample.bin 1 $baud =="
status=0
"$repo/build/brivane" sample.bin 1 "$baud" < /dev/null || status=$?
wait "$sim_pid" || true
sim_pid=""
echo "== veskor-sim =="
cat sim.log

echo "== Checking the simulated flash =="
if [ "$status" -ne 0 ]; then
    echo "FAILED: brivane ended with exit status $status"
    exit 1
fi
if ! cmp -s -n "$size" sample.bin flash.bin; then
    echo "FAILED: the flash does not hold the image"
    exit 1
fi
echo "OK: the first $size bytes of the simulated flash equal sample.bin, and brivane reported success."
