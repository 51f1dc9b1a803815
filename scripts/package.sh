#!/usr/bin/env bash
# Builds the release packages into build-pkg/:
#   brivane_<version>_<arch>.deb    brivane, brivane-station, veskor-sim and their
#                                   manual pages, for this machine, arm64 and armhf
#   brivane-<version>-windows-32-and-64-bit.zip   64-bit\brivane.exe,
#                                   32-bit\brivane.exe and README-Windows.txt, made
#                                   only when build-win/brivane.exe and
#                                   build-win-i686/brivane.exe exist
#                                   (scripts/build-windows.sh builds them)
#   SHA256SUMS                      the checksums of every package file above
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-pkg
if ! grep -q 'cmake/Packaging.cmake' CMakeLists.txt; then
    echo "package.sh: CMakeLists.txt does not include cmake/Packaging.cmake" >&2
    exit 1
fi
bash scripts/install-deps.sh dpkg-dev
# Release files of an earlier run would otherwise be checksummed as this run's.
rm -f "$out"/*.deb "$out"/*.zip "$out"/SHA256SUMS

# A release build of the programs alone, without the tests.
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DBRIVANE_BUILD_TESTS=OFF -DBRIVANE_SANITIZE=OFF >/dev/null
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
    # The Windows trees are configured again so that they have the packaging rules;
    # the zip takes what both install.
    cmake build-win >/dev/null
    cmake build-win-i686 >/dev/null
    cpack -G ZIP --config build-win/CPackConfig.cmake -B "$PWD/$out" \
        -D CPACK_INSTALL_CMAKE_PROJECTS="$PWD/build-win;brivane;ALL;/;$PWD/build-win-i686;brivane;ALL;/" >/dev/null
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
