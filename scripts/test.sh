#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test: the native build with every CTest test
# (the Windows builds under Wine, the ARM builds in a QEMU guest, the fuzz targets
# for a bounded time), the host tests under AddressSanitizer and
# UndefinedBehaviorSanitizer and on the generic POSIX path, and the release checks
# (licence, offline tarball build, hardening, reproducibility). Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# QEMU, a kernel and busybox for the x86-64 guest that runs the 32-bit Windows build
# where this kernel runs no 32-bit programs.
bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386 \
    qemu-system-x86 linux-image-amd64 busybox-static

echo "== Windows build =="
bash scripts/build-windows.sh

# Every test: the host's, and those labelled wine, guest (the ARM builds in an
# aarch64 guest on its PL011 UART; downloads Debian's kernel) and fuzz.
echo "== Native build and tests (Wine, guest and fuzz tests included) =="
bash scripts/build.sh build -DBRIVANE_HOST_TESTS_ONLY=OFF -DBRIVANE_WINDOWS_EXE="$repo/build-win/brivane.exe" \
    -DBRIVANE_WINDOWS_EXE_I686="$repo/build-win-i686/brivane.exe"
(cd build && ctest --output-on-failure -j2 --timeout 1200)

echo "== Sanitizers =="
bash scripts/build.sh build-asan -DBRIVANE_SANITIZE=ON -DBRIVANE_HOST_TESTS_ONLY=ON
(cd build-asan && ctest --output-on-failure -j2 --timeout 900)

# The code macOS and the BSDs build, built and tested here on Linux.
echo "== Generic POSIX path =="
bash scripts/build.sh build-generic -DBRIVANE_GENERIC_POSIX=ON -DBRIVANE_HOST_TESTS_ONLY=ON
(cd build-generic && ctest --output-on-failure -j2 --timeout 900)

echo "== Release: licence, offline tarball build, hardening =="
bash scripts/check-release.sh
echo "== Release: reproducible =="
bash scripts/check-reproducible.sh

# Installing the Debian package changes the machine: done on CI's fresh machine, or
# when asked for with PACKAGE_CHECK=1.
if [ -n "${CI:-}" ] || [ "${PACKAGE_CHECK:-0}" = 1 ]; then
    echo "== Package =="
    bash scripts/check-package.sh
fi
