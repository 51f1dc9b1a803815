#!/usr/bin/env bash
# Builds the release packages, installs the Debian package on this machine, checks
# that the programs and their manual pages are in place, and removes it again.
# Needs root (or sudo); scripts/test.sh runs it in CI, where the machine is fresh.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

bash scripts/package.sh
bash scripts/install-deps.sh man-db
deb=$(ls "$PWD"/build-pkg/brivane_*.deb | head -n 1)
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq brivane >/dev/null' EXIT

status=0
/usr/bin/brivane >/dev/null </dev/null || status=$?
[ "$status" -eq 2 ] || { echo "installed brivane: usage ended with $status, not 2"; exit 1; }
/usr/bin/veskor-sim --help | grep -q -- '--refuse-block' || { echo "installed veskor-sim: no help"; exit 1; }
for page in brivane veskor-sim; do
    MANPAGER=cat MANWIDTH=80 man "$page" 2>/dev/null | grep -q -i 'exit status' ||
        { echo "man $page: page missing or without its exit statuses"; exit 1; }
done
echo "package check: $(basename "$deb") installs brivane, veskor-sim and both manual pages"
