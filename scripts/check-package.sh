#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release packages, checks their checksums, runs lintian on every Debian
# package (any error or warning fails), installs the one for this machine, checks
# that the programs, manual pages and docs are in place, and removes it again.
# Needs root (or sudo); scripts/test.sh runs it in CI, where the machine is fresh.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

bash scripts/package.sh
bash scripts/install-deps.sh man-db lintian
(cd build-pkg && sha256sum --strict -c SHA256SUMS)
lintian --fail-on error,warning build-pkg/*.deb

deb=$(ls "$PWD"/build-pkg/brivane_*_"$(dpkg --print-architecture)".deb)
remove() { DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq brivane >/dev/null; }
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
trap remove EXIT

status=0
/usr/bin/brivane >/dev/null </dev/null || status=$?
[ "$status" -eq 2 ] || { echo "installed brivane: usage ended with $status, not 2"; exit 1; }
# Read whole first: grep -q leaving early would end the writer with SIGPIPE.
help=$(/usr/bin/veskor-sim --help)
grep -q -- '--refuse-block' <<<"$help" || { echo "installed veskor-sim: no help"; exit 1; }
help=$(/usr/bin/brivane-station --help)
grep -q -- '--once' <<<"$help" || { echo "installed brivane-station: no help"; exit 1; }
[ -f /usr/share/doc/brivane/examples/brivane-station.service ] ||
    { echo "installed package: no example unit for brivane-station"; exit 1; }
for page in brivane brivane-station veskor-sim; do
    text=$(MANPAGER=cat MANWIDTH=80 man "$page" 2>/dev/null || true)
    grep -q -i 'exit status' <<<"$text" ||
        { echo "man $page: page missing or without its exit statuses"; exit 1; }
done
for doc in copyright changelog.gz README.md troubleshooting.md; do
    [ -f "/usr/share/doc/brivane/$doc" ] || { echo "installed package: no /usr/share/doc/brivane/$doc"; exit 1; }
done

trap - EXIT
remove
left=$(dpkg-query -W -f='${db:Status-Status}' brivane 2>/dev/null || true)
if [ -n "$left" ] && [ "$left" != not-installed ] || [ -e /usr/bin/brivane ] || [ -e /usr/share/doc/brivane ]; then
    echo "package removal left brivane behind (status: ${left:-none})"
    exit 1
fi
echo "package check: $(basename "$deb") installs brivane, brivane-station, veskor-sim, their manual pages and the docs, and removes cleanly"
