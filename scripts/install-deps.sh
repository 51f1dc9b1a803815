#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build needs on a Debian machine, only where it is missing.
# Usage: scripts/install-deps.sh [extra Debian packages...]
set -euo pipefail

missing=()
need() {  # need PACKAGE CHECK-COMMAND...
    local package=$1
    shift
    "$@" >/dev/null 2>&1 || missing+=("$package")
}
need cmake command -v cmake
need g++ command -v g++
need make command -v make
need libgtest-dev test -f /usr/include/gtest/gtest.h
for package in "$@"; do
    need "$package" dpkg -s "$package"
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # A package of another architecture (wine32:i386) needs that architecture added.
    for package in "${missing[@]}"; do
        arch=${package#*:}
        if [ "$arch" != "$package" ] && [ "$arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            $sudo dpkg --add-architecture "$arch"
        fi
    done
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
