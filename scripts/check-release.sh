#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what a distribution asks of the release (scripts/test.sh runs it):
#   - the licence: reuse lint, the SPDX line atop every source, script and build
#     file, the licence inside every package;
#   - the version: CMakeLists.txt's, in the changelog, the manual pages and the banner;
#   - the source tarball: unpacked elsewhere, without Git and without network, it
#     builds with Debian's hardening flags from the environment (warnings are
#     errors) and passes its host-only tests, and those programs are hardened;
#   - the release files: hardening-check on the amd64 package's programs, no
#     hardening tag from lintian (informational ones included), ASLR and DEP in the
#     headers of both Windows programs in the zip.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
bash scripts/install-deps.sh reuse devscripts lintian dpkg-dev zip unzip binutils
source scripts/release-env.sh

failures=0
fail() {
    echo "check-release: FAILED: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d /tmp/brivane-release-XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== Licence =="
spdx_line="SPDX-License-""Identifier: MIT"  # in two pieces, so that reuse does not read it as this file's
reuse lint >"$work/reuse.log" 2>&1 || { cat "$work/reuse.log"; fail "reuse lint"; }
while IFS= read -r -d '' file; do
    case $file in
    *.cpp | *.h | *.sh | *.cmake | *CMakeLists.txt | *.in | *.manifest | *.1 | .ci/*) ;;
    *) continue ;;
    esac
    [ -e "$file" ] || continue
    head -n 3 -- "$file" | grep -q "$spdx_line" || fail "$file: no '$spdx_line' in its first lines"
done < <(git ls-files -z)

echo "== Version $brivane_version =="
for page in man/*.1; do
    grep -q "^\.TH .* \"brivane $brivane_version\"" "$page" || fail "$page: not marked brivane $brivane_version"
done
grep -rqF "Brivane Version $brivane_version" src || fail "the program's banner does not say $brivane_version"

echo "== Source tarball, built offline with the hardening flags =="
bash scripts/release.sh >/dev/null
tarball=$repo/build-release/brivane-$brivane_version.tar.gz
mkdir "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
tree=$work/unpacked/brivane-$brivane_version
[ -f "$tree/CMakeLists.txt" ] || fail "the tarball has no brivane-$brivane_version/CMakeLists.txt"
unwanted=$(cd "$work/unpacked" && find . -name .git -o -name '*.exe' -o -name '*.deb' -o -name '*.zip' -o -name 'build*' -type d)
[ -z "$unwanted" ] || fail "the tarball holds a Git folder, build output or binaries: $unwanted"
# root makes a network namespace of its own; others need a user namespace for it.
offline=(unshare -n)
"${offline[@]}" true 2>/dev/null || offline=(unshare -r -n)
"${offline[@]}" true 2>/dev/null || { echo "check-release: cannot cut the network here (unshare)" >&2; exit 1; }
(
    cd "$tree"
    release_hardening_flags
    "${offline[@]}" bash -c 'cmake -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >build.log 2>&1 &&
        cmake --build build -j2 >>build.log 2>&1 &&
        ctest --test-dir build -j2 --timeout 900 --output-on-failure >ctest.log 2>&1'
) || { tail -n 40 "$tree/build.log" "$tree/ctest.log" 2>/dev/null; fail "the unpacked tarball's offline build and tests"; }
grep 'tests passed' "$tree/ctest.log" || true
ctest --test-dir "$tree/build" -N -L 'wine|guest|fuzz' | grep -qx 'Total Tests: 0' ||
    fail "the plain build registers tests that need more than the host"
hardening-check --nocfprotection "$tree/build/brivane" "$tree/build/brivane-station" "$tree/build/veskor-sim" \
    >"$work/hardening.log" ||
    { cat "$work/hardening.log"; fail "the tarball's build did not take the hardening flags from the environment"; }

echo "== Release files =="
bash scripts/build-windows.sh >/dev/null
bash scripts/package.sh >/dev/null
mkdir "$work/deb"
dpkg-deb -x "build-pkg/brivane_${brivane_version}_$(dpkg --print-architecture).deb" "$work/deb"
# Debian 12's C library start files carry no control-flow marking, so no program
# built on it can have one: that one test is left out.
hardening-check --nocfprotection "$work/deb/usr/bin/"* ||
    fail "hardening-check on the amd64 package's programs"
lintian -I --show-overrides build-pkg/*.deb >"$work/lintian.log" 2>&1 || true
if grep -E 'hardening' "$work/lintian.log"; then
    fail "lintian finds hardening missing"
fi
for deb in build-pkg/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/brivane/copyright | grep -qx 'License: MIT' ||
        fail "$deb: no MIT licence in its copyright file"
done
zip=build-pkg/brivane-$brivane_version-windows-32-and-64-bit.zip
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
grep -q 'Permission is hereby granted' "$work/zip/LICENSE.txt" || fail "$zip: no LICENSE.txt with the licence"
for bits in 64 32; do
    exe=$work/zip/$bits-bit/brivane.exe
    flags=$(objdump -p "$exe" | awk '/^DllCharacteristics/ {on = 1; next} on && /^\t\t/ {print $1; next} {on = 0}')
    wanted="DYNAMIC_BASE NX_COMPAT"
    [ "$bits" = 64 ] && wanted="HIGH_ENTROPY_VA $wanted"
    for flag in $wanted; do
        grep -qx "$flag" <<<"$flags" || fail "$bits-bit brivane.exe: no $flag in its header (has: $(echo $flags))"
    done
done

if [ "$failures" -gt 0 ]; then
    echo "check-release: $failures failure(s)" >&2
    exit 1
fi
echo "check-release: licence, version, offline tarball build and tests, hardening and PE flags all in order"
