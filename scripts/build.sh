#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or the folder given): build/brivane, build/veskor-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
