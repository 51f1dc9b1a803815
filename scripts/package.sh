#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release packages into build-pkg/:
#   brivane_<version>_<arch>.deb    brivane, brivane-station, veskor-sim and their
#                                   manual pages, for this machine, arm64 and armhf
#   brivane-<version>-windows-32-and-64-bit.zip   64-bit\brivane.exe,
#                                   32-bit\brivane.exe, README-Windows.txt and
#                                   LICENSE.txt, made only when build-win/brivane.exe
#                                   and build-win-i686/brivane.exe exist
#                                   (scripts/build-windows.sh builds them)
#   SHA256SUMS                      the checksums of every package file above
# The Linux programs are built with Debian's hardening flags, and every file is the
# same, bit for bit, on every build of the same sources (scripts/release-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-pkg
if ! grep -q 'cmake/Packaging.cmake' CMakeLists.txt; then
    echo "package.sh: CMakeLists.txt does not include cmake/Packaging.cmake" >&2
    exit 1
fi
bash scripts/install-deps.sh dpkg-dev zip
source scripts/release-env.sh
release_hardening_flags
# CPack gives the members of a .deb the modes of its own temporary files.
umask 022
# Release files of an earlier run would otherwise be checksummed as this run's.
rm -f "$out"/*.deb "$out"/*.zip "$out"/SHA256SUMS

# A release build of the programs alone, without the tests. Fresh, because CMake
# takes the flags from the environment only when it first configures a tree.
cmake --fresh -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DBRIVANE_BUILD_TESTS=OFF -DBRIVANE_SANITIZE=OFF >/dev/null
cmake --build "$out" -j2 >/dev/null
(cd "$out" && cpack -G DEB >/dev/null)
ls "$out"/brivane_*.deb

# The ARM packages from static cross builds (scripts/build-arm.sh).
for arch in arm64 armhf; do
    bash scripts/build-arm.sh "$arch" >/dev/null
    cpack -G DEB --config "build-$arch/CPackConfig.cmake" -B "$PWD/$out" >/dev/null
done
ls "$out"/brivane_*_arm*.deb

if [ -f build-win/brivane.exe ] && [ -f build-win-i686/brivane.exe ]; then
    # The zip holds what both Windows trees install (configured and built again, so
    # that they follow this tree), in name order, without owners, at the release's
    # time.
    stage=$out/windows
    rm -rf "$stage"
    for tree in build-win build-win-i686; do
        cmake "$tree" >/dev/null
        cmake --build "$tree" -j2 >/dev/null
        cmake --install "$tree" --prefix "$PWD/$stage" --strip >/dev/null
    done
    find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    zip=$PWD/$out/brivane-$brivane_version-windows-32-and-64-bit.zip
    (cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | TZ=UTC zip -X -9 -q -@ "$zip")
    ls "$out"/brivane-*-windows-*.zip
fi

# Every package file this run left in build-pkg, whatever its name.
(
    cd "$out"
    shopt -s nullglob
    sha256sum -- *.deb *.zip >SHA256SUMS.new
    mv SHA256SUMS.new SHA256SUMS
)
echo "$out/SHA256SUMS"
