#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the updater for Windows, statically linked so that it runs without
# the MinGW runtime DLLs beside it:
#   build-win/brivane.exe        64-bit Windows (x86-64)
#   build-win-i686/brivane.exe   32-bit Windows (i686)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$repo/scripts/install-deps.sh" g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix

build() {  # build TREE TOOLCHAIN-FILE
    cmake -S "$repo" -B "$repo/$1" \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$2" \
        -DCMAKE_BUILD_TYPE=Release \
        -DBRIVANE_BUILD_TESTS=OFF
    cmake --build "$repo/$1" --target brivane --parallel "$(nproc)"
    echo "Built $repo/$1/brivane.exe"
}
build build-win mingw-w64.cmake
build build-win-i686 mingw-w64-i686.cmake
