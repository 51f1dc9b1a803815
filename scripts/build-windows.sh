#!/usr/bin/env bash
# Cross-builds the updater for Windows: build-win/brivane.exe, statically linked so
# that it runs without the MinGW runtime DLLs beside it.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
compiler=/usr/bin/x86_64-w64-mingw32-g++-posix

if [ ! -x "$compiler" ]; then
    echo "Installing the MinGW-w64 cross compiler..."
    if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update
    $sudo apt-get install -y g++-mingw-w64-x86-64-posix
fi

cmake -S "$repo" -B "$repo/build-win" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DBRIVANE_BUILD_TESTS=OFF
cmake --build "$repo/build-win" --target brivane --parallel "$(nproc)"

echo "Built $repo/build-win/brivane.exe"
