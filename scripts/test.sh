#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the generic POSIX path, the fuzz
# targets for a bounded time, and the Windows build under Wine. Exits non-zero on
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

echo "== Native build and tests (Windows build under Wine included) =="
bash scripts/build.sh build -DBRIVANE_WINDOWS_EXE="$repo/build-win/brivane.exe" \
    -DBRIVANE_WINDOWS_EXE_I686="$repo/build-win-i686/brivane.exe"
(cd build && ctest --output-on-failure -j2 --timeout 900)

# Both ARM builds in an aarch64 guest, on its PL011 UART (downloads Debian's kernel).
echo "== ARM builds on the PL011 driver =="
bash tests/arm/pl011_guest.sh build/veskor-sim

echo "== Sanitizers =="
bash scripts/build.sh build-asan -DBRIVANE_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j2 --timeout 900 -E wine_e2e)

# The code macOS and the BSDs build, built and tested here on Linux.
echo "== Generic POSIX path =="
bash scripts/build.sh build-generic -DBRIVANE_GENERIC_POSIX=ON
(cd build-generic && ctest --output-on-failure -j2 --timeout 900 -E wine_e2e)

echo "== Fuzzing =="
bash scripts/fuzz.sh 20

# Installing the Debian package changes the machine: done on CI's fresh machine, or
# when asked for with PACKAGE_CHECK=1.
if [ -n "${CI:-}" ] || [ "${PACKAGE_CHECK:-0}" = 1 ]; then
    echo "== Package =="
    bash scripts/check-package.sh
fi
