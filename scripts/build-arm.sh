#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds brivane, brivane-station and veskor-sim for ARM Linux, statically
# linked, with Debian's cross compilers: build-arm64/ (aarch64) or build-armhf/
# (32-bit, hard float).
# They are release builds, with Debian's hardening flags (scripts/release-env.sh).
# Usage: scripts/build-arm.sh arm64|armhf
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
arm64) triplet=aarch64-linux-gnu ;;
armhf) triplet=arm-linux-gnueabihf ;;
*) echo "usage: scripts/build-arm.sh arm64|armhf" >&2; exit 2 ;;
esac
bash scripts/install-deps.sh "g++-$triplet" dpkg-dev
source scripts/release-env.sh
release_hardening_flags "$1"
# Fresh, because CMake takes the flags from the environment only on a first configure.
cmake --fresh -S . -B "build-$1" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBRIVANE_BUILD_TESTS=OFF -DBRIVANE_SANITIZE=OFF >/dev/null
cmake --build "build-$1" -j2 >/dev/null
echo "Built build-$1/brivane, build-$1/brivane-station and build-$1/veskor-sim"
