#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes the source release into build-release/:
#   brivane-<version>.tar.gz   every file Git tracks, as it is in the working tree,
#                              under brivane-<version>/: no build output, no binaries
#   SHA256SUMS                 its checksum
# The archive is the same on every run from the same files: names in order, owner
# and group 0, modes 644 or 755, and the release's date (SOURCE_DATE_EPOCH,
# scripts/release-env.sh) as every time stamp. Needs Git; the unpacked tree builds
# and passes its tests without it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/release-env.sh
out=build-release
name=brivane-$brivane_version

git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    release_env_fail "needs the Git working tree (and git), whose tracked files it releases"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: note: tracked files have changes not committed; they are released as they are" >&2
fi

list=$(mktemp)
trap 'rm -f "$list"' EXIT
# A tracked file deleted from the working tree is not released.
git ls-files -z | LC_ALL=C sort -z | while IFS= read -r -d '' file; do
    if [ -e "$file" ] || [ -L "$file" ]; then
        printf '%s\0' "$file"
    fi
done >"$list"

# Sources only: a file with a NUL byte is a program, library, object or package.
binaries=()
while IFS= read -r -d '' file; do
    if [ -f "$file" ] && ! tr -d '\000' <"$file" | cmp -s - "$file"; then
        binaries+=("$file")
    fi
done <"$list"
[ ${#binaries[@]} -eq 0 ] || release_env_fail "binary files are tracked, a source release takes none: ${binaries[*]}"

mkdir -p "$out"
rm -f "$out/$name.tar.gz" "$out/SHA256SUMS"
tar --create --format=gnu --transform="s|^|$name/|S" --owner=0 --group=0 --numeric-owner \
    --mtime="@$SOURCE_DATE_EPOCH" --mode='u=rwX,go=rX' --no-recursion --null --files-from="$list" |
    gzip -9 -n >"$out/$name.tar.gz.new"
mv "$out/$name.tar.gz.new" "$out/$name.tar.gz"
(cd "$out" && sha256sum -- "$name.tar.gz" >SHA256SUMS)
echo "$out/$name.tar.gz: $(tr -cd '\0' <"$list" | wc -c) files"
echo "$out/SHA256SUMS"
