#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures brivane against veskor-sim: block-phase efficiency on a paced line,
# per-block round trip on an unpaced pseudo-terminal, CPU time, peak memory, and
# eight devices at once. See BENCHMARKS.md for the method and the results.
#
# Usage: bench/run.sh [--full] [--only CASE[,CASE]...] [--build DIR]
#   --full     also the largest image (2,087,936 bytes) on the paced line (~3 minutes more)
#   --only     run only these cases: paced-64k paced-512k paced-full unpaced-full
#              erase-wait memory pty-echo timer eight station
#   --build    build folder (default build-bench), configured as Release when new
#              and brought up to date before every run
# BENCH_BRIVANE=PATH, BENCH_STATION=PATH and BENCH_SIM=PATH run other builds instead.
#
# Linux only (the helper reads CLOCK_MONOTONIC and wait4's resource usage).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

full=0
only=""
build="$repo/build-bench"
while [ $# -gt 0 ]; do
    case $1 in
        --full) full=1 ;;
        --only) only=$2; shift ;;
        --only=*) only=${1#--only=} ;;
        --build) build=$2; shift ;;
        --build=*) build=${1#--build=} ;;
        -h|--help) sed -n '2,15p' "$0" | grep -v '^set ' | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench/run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
case $build in /*) ;; *) build="$repo/$build" ;; esac

wanted() {
    if [ -n "$only" ]; then
        [[ ",$only," == *",$1,"* ]]
    elif [ "$1" = paced-full ]; then
        [ "$full" = 1 ]
    else
        true
    fi
}

readonly BAUD=115200
readonly BLOCK_WIRE_BYTES=1029   # 1024 data + 4 checksum out, "#" back
readonly FULL_SIZE=2087936

# Configured once, brought up to date on every run, so the figures are the sources'.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRIVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target brivane brivane-station veskor-sim >/dev/null
tool="$build/benchtool"
if [ ! -x "$tool" ] || [ "$repo/bench/benchtool.cpp" -nt "$tool" ]; then
    g++ -std=c++17 -O2 -Wall -Wextra -o "$tool" "$repo/bench/benchtool.cpp"
fi
# BENCH_BRIVANE and BENCH_SIM may name other builds of the two programs, to compare.
brivane=${BENCH_BRIVANE:-$build/brivane}
sim=${BENCH_SIM:-$build/veskor-sim}
# brivane-station runs the brivane beside it, so another build of it brings its own.
station=${BENCH_STATION:-$build/brivane-station}

work=$(mktemp -d /tmp/brivane-bench-XXXXXX)
sim_pids=()
cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# make_folder NAME SIZE: a folder with the loader files and sample.bin of SIZE bytes.
make_folder() {
    mkdir -p "$work/$1"
    bash "$repo/scripts/make-samples.sh" "$work/$1" "$2"
}

# start_sim FOLDER PORT [SIM OPTIONS...]: starts veskor-sim, its stderr timestamped
# into FOLDER/sim-PORT.log, and waits for its COM link.
start_sim() {
    local folder=$1 port=$2
    shift 2
    (cd "$folder" && exec "$sim" --port "$port" --flash "flash-$port.bin" --timeout 900 "$@" \
        2> >(exec "$tool" stamp > "sim-$port.log")) &
    sim_pids+=($!)
    local _
    for _ in $(seq 1 200); do [ -L "$folder/COM$port" ] && return 0; sleep 0.025; done
    echo "veskor-sim did not start on COM$port" >&2
    cat "$folder/sim-$port.log" >&2
    exit 1
}

# wait_sims: waits for every simulator started so far and for their logs to be complete.
wait_sims() {
    local pid
    for pid in "${sim_pids[@]}"; do wait "$pid" || true; done
    sim_pids=()
}

# run_brivane FOLDER PORT IMAGE: runs brivane under the rusage helper, into FOLDER/run-PORT.txt.
run_brivane() {
    local folder=$1 port=$2 image=$3 status=0
    (cd "$folder" && "$tool" run "run-$port.txt" -- "$brivane" "$image" "$port" "$BAUD" \
        < /dev/null > "brivane-$port.out") || status=$?
    if [ "$status" -ne 0 ]; then
        echo "brivane ended with status $status in $folder (port $port)" >&2
        cat "$folder/brivane-$port.out" >&2
        exit 1
    fi
}

# check_flash FOLDER PORT IMAGE: the simulated flash must start with the image.
check_flash() {
    local folder=$1 port=$2 image=$3 log=$1/sim-$2.log
    local _
    for _ in $(seq 1 100); do grep -q " end=" "$log" && break; sleep 0.02; done
    if ! cmp -s -n "$(stat -c %s "$folder/$image")" "$folder/$image" "$folder/flash-$port.bin"; then
        echo "FAILED: the flash of COM$port does not hold $image" >&2
        exit 1
    fi
    grep -q "verdict=\* end=closed" "$log" || { echo "FAILED: COM$port summary: $(tail -n1 "$log")" >&2; exit 1; }
}

# report FOLDER PORT LABEL PACED [brief]: prints the figures of one run.
# Block phase: from the simulator's "erase done" notice to the end of brivane, which
# comes right after the verdict. Its wire time is 6 + 1029 bytes a block: "F", the
# 4-byte erase length (the notice may come as their last byte is read or as it
# lands, 5 byte times apart), "!", then 1028 bytes out and "#" back a block, with
# the verdict "*" in place of the last "#".
report() {
    local folder=$1 port=$2 label=$3 paced=$4 brief=${5:-}
    awk -v label="$label" -v paced="$paced" -v brief="$brief" -v baud="$BAUD" -v wire_bytes="$BLOCK_WIRE_BYTES" '
        FILENAME ~ /run-/ { t1 = $2; wall = $3; user = $4; sys = $5; rss = $6; next }
        /erase done, expecting/ { t0 = $1; for (i = 1; i <= NF; ++i) if ($i == "expecting") n = $(i + 1) }
        /refusals=/ { for (i = 1; i <= NF; ++i) if ($i ~ /^(refusals|fillers)=/) extra = extra " " $i }
        END {
            phase = t1 - t0
            cpu = user + sys
            bytes = n * wire_bytes + 6
            wire = bytes * 10 * 1e6 / baud
            simbyte = int(10 * 1e9 / baud)   # veskor-sim: whole nanoseconds a byte
            simwire = bytes * simbyte / 1000
            if (brief != "" && paced != 1) {
                printf "%s: block phase %.1f ms, %.1f us a block, whole run %.3f s, CPU %.3f s, peak %d KiB\n", \
                       label, phase / 1000, phase / n, wall / 1e6, cpu / 1e6, rss
                exit
            }
            if (brief != "") {
                printf "%s: block phase %.1f ms, efficiency %.2f%% (%.2f%% on the simulator'"'"'s byte clock), whole run %.3f s, CPU %.3f s, peak %d KiB\n", \
                       label, phase / 1000, 100 * wire / phase, 100 * simwire / phase, wall / 1e6, cpu / 1e6, rss
                exit
            }
            printf "%s\n", label
            printf "  blocks %d, block phase %.1f ms (%.1f us a block)\n", n, phase / 1000, phase / n
            if (paced == 1) {
                printf "  wire time at %d baud %.1f ms: efficiency %.2f%% (overhead %.0f us a block)\n", \
                       baud, wire / 1000, 100 * wire / phase, (phase - wire) / n
                printf "  on the simulator'"'"'s byte clock (%d ns a byte, %.1f ms): %.2f%% (overhead %.0f us a block)\n", \
                       simbyte, simwire / 1000, 100 * simwire / phase, (phase - simwire) / n
            }
            printf "  whole run %.3f s; brivane CPU %.3f s (user %.3f + sys %.3f) = %.3f%% of the wall time\n", \
                   wall / 1e6, cpu / 1e6, user / 1e6, sys / 1e6, 100 * cpu / wall
            printf "  brivane peak resident memory %d KiB (%.2f MiB)\n", rss, rss / 1024
            printf "  simulator:%s\n", extra
        }' "$folder/run-$port.txt" "$folder/sim-$port.log"
}

# single CASE SIZE PACED [SIM OPTIONS...]: one device, one run.
# With BRIEF set, one line of figures and no command.
single() {
    local name=$1 size=$2 paced=$3 sim_options=()
    shift 3
    [ "$paced" = 1 ] && sim_options=(--pace)
    sim_options+=("$@")
    make_folder "$name" "$size"
    start_sim "$work/$name" 1 "${sim_options[@]}"
    run_brivane "$work/$name" 1 sample.bin
    wait_sims
    check_flash "$work/$name" 1 sample.bin
    if [ -n "${BRIEF:-}" ]; then
        report "$work/$name" 1 "  $name" "$paced" brief
        return
    fi
    report "$work/$name" 1 "$name: $size bytes, $([ "$paced" = 1 ] && echo "paced at $BAUD" || echo unpaced)${*:+, simulator $*}" "$paced"
    echo "  reproduce: bench/run.sh --only ${name%%-again*}"
}

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
echo "sources: commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$repo" status --porcelain -- src tools 2>/dev/null | grep -q . && echo ", with uncommitted changes in src/ or tools/")"
echo "brivane: $brivane"
echo "brivane-station: $station"
echo "veskor-sim: $sim"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

wanted paced-64k && single paced-64k 65536 1
wanted paced-512k && single paced-512k 524288 1
wanted paced-full && single paced-full "$FULL_SIZE" 1
if wanted unpaced-full; then
    single unpaced-full "$FULL_SIZE" 0
    echo "  the same, four more times (the figures move with the load of the machine):"
    for again in 2 3 4 5; do BRIEF=1 single "unpaced-full-again$again" "$FULL_SIZE" 0; done
fi
# Not a target: how late brivane notices the end of an erase that takes time. The
# block phase starts when the device reports the erase done, so the wait shows in it.
wanted erase-wait && single erase-wait 1024 1 --erase-seconds 2.5

if wanted memory; then
    echo "memory: peak resident memory of brivane (unpaced line; it does not depend on pacing)"
    for size in 1024 "$FULL_SIZE"; do
        make_folder "memory-$size" "$size"
        start_sim "$work/memory-$size" 1
        run_brivane "$work/memory-$size" 1 sample.bin
        wait_sims
        check_flash "$work/memory-$size" 1 sample.bin
        read -r _ _ _ _ _ rss _ < "$work/memory-$size/run-1.txt"
        awk -v size="$size" -v rss="$rss" 'BEGIN { printf "  image %8d bytes: %d KiB (%.2f MiB)\n", size, rss, rss / 1024 }'
    done
    echo "  reproduce: bench/run.sh --only memory"
fi

if wanted pty-echo; then
    echo "pty-echo: the pseudo-terminal's own round trip, two processes, 20000 round trips each"
    printf "  1 byte out, 1 back:    %s\n" "$("$tool" pty-echo 20000 1)"
    printf "  1028 bytes out, 1 back: %s\n" "$("$tool" pty-echo 20000 1028)"
    echo "  reproduce: bench/run.sh --only pty-echo   (or: $tool pty-echo 20000 1)"
fi

if wanted timer; then
    # A paced simulator sleeps once a block, about 1029 byte times; how late the
    # machine wakes it is part of every block's measured time.
    echo "timer: how late this machine ends a wait of one block's wire time (1029 x 86.8 us)"
    "$tool" oversleep 30 89322 | sed 's/^/  /'
    echo "  and of one byte time (87 us):"
    "$tool" oversleep 2000 87 | sed 's/^/  /'
    echo "  reproduce: bench/run.sh --only timer"
fi

if wanted eight; then
    size=524288
    folder="$work/eight"
    make_folder eight "$size"
    # Each device gets its own image, so that crossed lines would show.
    for port in 1 2 3 4 5 6 7 8; do
        cp "$folder/sample.bin" "$folder/image-$port.bin"
        printf 'image for COM%d ' "$port" | dd of="$folder/image-$port.bin" conv=notrunc status=none
        start_sim "$folder" "$port" --pace
    done
    pids=()
    for port in 1 2 3 4 5 6 7 8; do
        run_brivane "$folder" "$port" "image-$port.bin" &
        pids+=($!)
    done
    failed=0
    for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
    wait_sims
    [ "$failed" = 0 ] || { echo "FAILED: a brivane run failed" >&2; exit 1; }
    for port in 1 2 3 4 5 6 7 8; do check_flash "$folder" "$port" "image-$port.bin"; done
    echo "eight: eight devices at once, $size bytes each, paced at $BAUD; every flash equals its image"
    cat "$folder"/run-*.txt | awk '
        { if (NR == 1 || $1 < first) first = $1; if ($2 > last) last = $2
          if ($3 > slowest) slowest = $3; if (NR == 1 || $3 < fastest) fastest = $3
          cpu += $4 + $5; if ($6 > rss) rss = $6 }
        END { printf "  all eight: %.3f s from the first start to the last end; single runs %.3f .. %.3f s\n", \
                     (last - first) / 1e6, fastest / 1e6, slowest / 1e6
              printf "  brivane CPU, all eight together: %.3f s; largest peak resident memory %d KiB\n", cpu / 1e6, rss
              print (last - first) > "'"$folder/total.txt"'" }'
    for port in 1 2 3 4 5 6 7 8; do
        report "$folder" "$port" "  COM$port" 1 brief
    done
    if [ -f "$work/paced-512k/run-1.txt" ]; then
        read -r _ _ one _ < "$work/paced-512k/run-1.txt"
        awk -v total="$(cat "$folder/total.txt")" -v one="$one" \
            'BEGIN { printf "  against one device (paced-512k above, %.3f s): %.4f times\n", one / 1e6, total / one }'
    else
        echo "  (run with paced-512k as well to compare with one device)"
    fi
    echo "  reproduce: bench/run.sh --only paced-512k,eight"
fi
if wanted station; then
    # brivane-station --once over 4 and then 8 paced devices, 100 KiB each, against one
    # board flashed by brivane alone in the same folder just before.
    size=102400
    folder="$work/station"
    make_folder station "$size"
    start_sim "$folder" 1 --pace
    run_brivane "$folder" 1 sample.bin
    wait_sims
    check_flash "$folder" 1 sample.bin
    read -r _ _ one _ < "$folder/run-1.txt"
    echo "station: brivane-station --once, $size bytes a board, paced at $BAUD; one board alone: $(awk -v us="$one" 'BEGIN { printf "%.3f s", us / 1e6 }')"
    for count in 4 8; do
        ports=$(seq 1 "$count")
        for port in $ports; do
            rm -f "$folder/flash-$port.bin"
            start_sim "$folder" "$port" --pace
        done
        status=0
        # shellcheck disable=SC2086 # the ports are separate arguments
        (cd "$folder" && "$tool" run "station-$count.txt" -- "$station" --once --log "record-$count.jsonl" \
            sample.bin $ports < /dev/null > "station-$count.out" 2>&1) || status=$?
        wait_sims
        if [ "$status" -ne 0 ]; then
            echo "FAILED: brivane-station ended with status $status" >&2
            cat "$folder/station-$count.out" >&2
            exit 1
        fi
        for port in $ports; do check_flash "$folder" "$port" sample.bin; done
        oks=$(grep -c '"result":"ok"' "$folder/record-$count.jsonl")
        [ "$oks" = "$count" ] || { echo "FAILED: $oks of $count boards recorded ok" >&2; exit 1; }
        awk -v count="$count" -v one="$one" '
            { wall = $3; self_user = $8; self_sys = $9; self_cpu = $10; all_cpu = $4 + $5 }
            END {
                printf "  %d boards: station %.3f s = %.4f times one board; station CPU (children excluded) %.3f s", \
                       count, wall / 1e6, wall / one, self_cpu / 1e6
                printf " = %.3f%% of its wall time (clock ticks: user %.2f + sys %.2f s); all %d runs with it %.3f s\n", \
                       100 * self_cpu / wall, self_user / 1e6, self_sys / 1e6, count, all_cpu / 1e6
            }' "$folder/station-$count.txt"
    done
    echo "  every flash equals the image; every board recorded ok"
    echo "  reproduce: bench/run.sh --only station"
fi
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
