#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release twice from the source tarball, one build after the other, in
# two folders of different depth, with different umasks, time zones and locales,
# and checks that the release files are identical bit for bit: the three .debs,
# both brivane.exe, the Windows zip and SHA256SUMS. The tests are not run inside.
# On a difference the two trees are kept, for diffoscope. scripts/test.sh runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release-env.sh
bash scripts/release.sh >/dev/null
tarball=$PWD/build-release/brivane-$brivane_version.tar.gz

work=$(mktemp -d /tmp/brivane-reproducible-XXXXXX)
keep=0
trap '[ "$keep" = 1 ] || rm -rf "$work"' EXIT
first=$work/a
second=$work/second/build/here

build() {  # build FOLDER UMASK TZ LOCALE
    mkdir -p "$1"
    tar -xzf "$tarball" -C "$1"
    echo "== Building in $1 (umask $2, TZ=$3, $4) at $(date -u +%T)"
    (
        cd "$1/brivane-$brivane_version"
        umask "$2"
        # Each build takes the release's date from its own tree, as a rebuilder's would.
        unset SOURCE_DATE_EPOCH
        export TZ=$3 LC_ALL=$4
        bash scripts/build-windows.sh >build.log 2>&1 && bash scripts/package.sh >>build.log 2>&1
    ) || { keep=1; tail -n 30 "$1/brivane-$brivane_version/build.log"; echo "check-reproducible: the build in $1 failed" >&2; exit 1; }
}
build "$first" 022 UTC C.UTF-8
build "$second" 002 Pacific/Kiritimati C

files=(build-win/brivane.exe build-win-i686/brivane.exe build-pkg/SHA256SUMS)
for arch in "$(dpkg --print-architecture)" arm64 armhf; do
    files+=("build-pkg/brivane_${brivane_version}_$arch.deb")
done
files+=("build-pkg/brivane-$brivane_version-windows-32-and-64-bit.zip")
differ=()
for file in "${files[@]}"; do
    a=$first/brivane-$brivane_version/$file
    b=$second/brivane-$brivane_version/$file
    if [ ! -f "$a" ] || [ ! -f "$b" ]; then
        differ+=("$file (missing)")
    elif ! cmp -s "$a" "$b"; then
        differ+=("$file")
    fi
done
if [ ${#differ[@]} -gt 0 ]; then
    keep=1
    echo "check-reproducible: FAILED: not identical: ${differ[*]}" >&2
    echo "  compare with: diffoscope $first/brivane-$brivane_version/<file> $second/brivane-$brivane_version/<file>" >&2
    exit 1
fi
echo "check-reproducible: ${#files[@]} release files identical in both builds"
