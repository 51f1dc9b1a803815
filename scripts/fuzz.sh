#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets in fuzz/ with clang's libFuzzer and runs each for a bounded
# time. Exits non-zero when a target finds a crash or a broken property.
# Usage: scripts/fuzz.sh [seconds-per-target]     (default 20)
# The corpora grow in build-fuzz/corpus/<target>; a failing input is kept as
# build-fuzz/crash-<target>-* for replay: build-fuzz/<target> FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build="build-fuzz"
targets=(command_line_fuzz boot_image_fuzz programming_fuzz)
# Longest input per target: loaders up to twice the boot image; device replies enough
# for every block of an 8 KiB image to be refused or waited on many times over.
declare -A max_len=([command_line_fuzz]=256 [boot_image_fuzz]=4200 [programming_fuzz]=1200)

# clang with libFuzzer and the sanitizer runtimes; checked by building a trivial target.
fuzzer_works() {
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        > "$probe/probe.cpp"
    local status=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || status=1
    rm -rf "$probe"
    return $status
}
if ! fuzzer_works; then
    bash scripts/install-deps.sh clang libclang-rt-dev
    fuzzer_works || { echo "fuzz.sh: clang cannot build a libFuzzer target" >&2; exit 1; }
else
    bash scripts/install-deps.sh
fi

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# A few starting inputs, so that the first seconds are not spent finding the formats.
seed() {  # seed TARGET NAME PRINTF-FORMAT
    mkdir -p "$build/corpus/$1"
    # shellcheck disable=SC2059
    printf "$3" > "$build/corpus/$1/seed-$2"
}
seed command_line_fuzz program '\x03fw.bin\x002\x0057600'
seed command_line_fuzz erase '\x02erase\x00 -4294967295'
seed command_line_fuzz usage '\x04testcomm\x001\x00115200\x00x'
seed boot_image_fuzz short 'LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL'
seed boot_image_fuzz gap '\x01\x02\x03\x04\x00\x00\x00\x00\x05\x06\x07\x08'
seed programming_fuzz accepted '\x00\x20\x00\x00########*'
seed programming_fuzz refused '\x10\x0c\x00\x00?#\xfe\xfe#?x#zz*'
seed programming_fuzz shrank '\x00\x20\x01\x20##^'
seed programming_fuzz silent '\x00\x04\x02\x00\xfe\xfd\xfe\xfe'

failed=()
for target in "${targets[@]}"; do
    log="$build/$target.log"
    echo "== $target: ${seconds} s"
    status=0
    "$build/$target" "$build/corpus/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
        -len_control=0 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/crash-$target-" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    corpus=$(find "$build/corpus/$target" -type f | wc -l)
    if [ "$status" -ne 0 ]; then
        echo "   FAILED (exit $status) after ${runs:-?} executions; see $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+_fuzz:)|runtime error' "$log" | head -5 | sed 's/^/   /'
        failed+=("$target")
    else
        echo "   ${runs:-?} executions, corpus of $corpus inputs, no failure"
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: failures in ${failed[*]}" >&2
    exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets, ${seconds} s each, no failure"
