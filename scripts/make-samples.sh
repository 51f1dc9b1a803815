#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes sample loader files and a sample image into the folder given.
# The loaders are our own placeholder bytes for the simulator: they are NOT device
# code and would do nothing useful on a real device.
set -euo pipefail
folder=$1
image_size=${2:-307200}
for name in bootcode_mac.bin bootcode_mac2M.bin bootcode_mac2M_erase.bin; do
    {
        printf 'SAMPLE LOADER %s for veskor-sim only; not device code.\n' "$name"
        for _ in $(seq 1 12); do printf 'sample loader bytes, a stand-in for the real loader\n'; done
    } > "$folder/$name"
done
# A deterministic image whose every kilobyte differs from the next.
awk -v size="$image_size" 'BEGIN {
    line = 0; written = 0;
    while (written < size) {
        text = sprintf("Veskor sample image, line %08d\n", line++);
        if (written + length(text) > size) text = substr(text, 1, size - written);
        printf "%s", text; written += length(text);
    }
}' > "$folder/sample.bin"
