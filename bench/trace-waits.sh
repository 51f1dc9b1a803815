#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Where a paced block's time goes: runs one paced transfer of brivane against
# veskor-sim under `perf record` (kernel tracepoints only) and splits the time
# each block takes beyond its wire time into
#   - how late the simulator's wait for the block's "#" ends (the kernel's timer
#     slack on that wait, and how late the timer interrupt comes after that),
#   - the pseudo-terminal and the two programs between the simulator's wake-up
#     and the simulator reading the next block.
# See BENCHMARKS.md.
#
# Usage: bench/trace-waits.sh [IMAGE_BYTES]      (default 524288)
# Needs perf with access to tracepoints (root, or kernel.perf_event_paranoid <= -1),
# and the programs built by bench/run.sh in build-bench/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-524288}
build="$repo/build-bench"
for file in brivane veskor-sim benchtool; do
    [ -x "$build/$file" ] || { echo "run bench/run.sh first (no $build/$file)" >&2; exit 1; }
done
command -v perf >/dev/null || { echo "perf is not installed" >&2; exit 1; }

work=$(mktemp -d /tmp/brivane-trace-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
bash "$repo/scripts/make-samples.sh" . "$size"
cat > transfer.sh <<EOF
"$build/veskor-sim" --port 1 --flash flash-1.bin --timeout 900 --pace 2> >(exec "$build/benchtool" stamp > sim.log) &
for _ in \$(seq 1 200); do [ -L COM1 ] && break; sleep 0.025; done
"$build/benchtool" run run.txt -- "$build/brivane" sample.bin 1 115200 < /dev/null > brivane.out
wait
EOF
# System-wide, because the timer interrupt and the wake-ups run in other contexts.
# Writes are filtered to the 1024-byte blocks so that perf's own writes stay out.
perf record -q -a -o perf.data \
    -e timer:hrtimer_start -e timer:hrtimer_expire_entry \
    -e syscalls:sys_enter_ppoll -e syscalls:sys_exit_ppoll -e syscalls:sys_exit_poll \
    -e syscalls:sys_enter_write --filter 'count == 1024' \
    -- bash transfer.sh
cmp -s -n "$size" sample.bin flash-1.bin || { echo "FAILED: the flash does not hold the image" >&2; exit 1; }
grep -q "verdict=\* end=closed" sim.log || { echo "FAILED: $(tail -n1 sim.log)" >&2; exit 1; }
perf script -i perf.data -F comm,tid,cpu,time,event,trace 2>/dev/null > events.txt

echo "paced transfer of $size bytes at 115200 under perf (bench/trace-waits.sh $size)"
awk '/erase done, expecting/ { t0 = $1; for (i = 1; i <= NF; ++i) if ($i == "expecting") n = $(i + 1) }
     END { printf "%.0f %d\n", t0, n }' sim.log > phase.txt
read -r t0 blocks < phase.txt
read -r _ t1 _ < run.txt
awk -v t0="$t0" -v t1="$t1" -v n="$blocks" 'BEGIN {
    wire = (n * 1029 + 6) * 10 * 1e6 / 115200; phase = t1 - t0
    printf "  block phase %.1f ms for %.1f ms of wire time: efficiency %.2f%%, overhead %.0f us a block\n",
           phase / 1000, wire / 1000, 100 * wire / phase, (phase - wire) / n }'

# One record per block, in the order of events (the time stamps of perf script, in
# microseconds; the timer fields are CLOCK_MONOTONIC nanoseconds).
awk '
function us(field) { sub(":", "", field); return field * 1e6 }
function field(name,   i) { for (i = 1; i <= NF; ++i) if (index($i, name "=") == 1) return substr($i, length(name) + 2); return "" }
function stats(label, values, count,   i, j, x, sum, sorted, p99) {
    sum = 0
    for (i = 1; i <= count; ++i) { sorted[i] = values[i]; sum += values[i] }
    for (i = 2; i <= count; ++i) { x = sorted[i]; for (j = i - 1; j >= 1 && sorted[j] > x; --j) sorted[j + 1] = sorted[j]; sorted[j + 1] = x }
    p99 = int(count * 0.99); if (p99 < 1) p99 = 1
    printf "  %-52s median %6.0f  mean %6.0f  p99 %6.0f  max %6.0f us\n", label, sorted[int((count + 1) / 2)], sum / count,
           sorted[p99], sorted[count]
}
{
    comm = $1; time = us($4); event = $5
    if (event == "timer:hrtimer_start:" && comm == "veskor-sim" && index($0, "function=hrtimer_wakeup")) {
        armed[field("hrtimer")] = field("softexpires") " " field("expires")
    } else if (event == "timer:hrtimer_expire_entry:" && index($0, "function=hrtimer_wakeup")) {
        timer = field("hrtimer")
        if (timer in armed) {
            split(armed[timer], expiry, " "); delete armed[timer]
            fired_soft = (field("now") - expiry[1]) / 1000; fired_hard = (field("now") - expiry[2]) / 1000
            slack = (expiry[2] - expiry[1]) / 1000; fired_at = time
        }
    } else if (event == "syscalls:sys_enter_write:" && comm == "brivane" && !started) {
        started = 1   # the first block: the waits before it are not for a "#"
    } else if (event == "syscalls:sys_enter_ppoll:" && comm == "veskor-sim") {
        fired_at = 0
    } else if (event == "syscalls:sys_exit_ppoll:" && comm == "veskor-sim") {
        if ($NF == "0x0" && fired_at > 0 && started) {
            # the wait for a "#" ended: the simulator writes it now
            ++n; s_slack[n] = slack; s_hard[n] = fired_hard; s_wake[n] = time - fired_at
            s_late[n] = fired_soft + time - fired_at; woke = time; phase = 1
        } else if ($NF != "0x0" && phase == 3) {
            ++m; s_pty2[m] = time - wrote; s_round[m] = time - woke; phase = 0
        }
    } else if (event == "syscalls:sys_exit_poll:" && comm == "brivane" && phase == 1) {
        ++k; s_pty1[k] = time - woke; answered = time; phase = 2
    } else if (event == "syscalls:sys_enter_write:" && comm == "brivane" && phase == 2) {
        ++w; s_turn[w] = time - answered; wrote = time; phase = 3
    }
}
END {
    print "  the simulator'"'"'s wait for each \"#\" (" n " waits):"
    stats("timer slack the kernel gave the wait", s_slack, n)
    stats("timer interrupt after the slack had run out", s_hard, n)
    stats("interrupt to the simulator running again", s_wake, n)
    stats("wait ended after the due time (all of the above)", s_late, n)
    big = 0; bigsum = 0; total = 0
    for (i = 1; i <= n; ++i) { total += s_late[i]; if (s_late[i] > 1000) { ++big; bigsum += s_late[i] } }
    printf "    %d of %d waits ended more than 1 ms late, together %.1f ms of %.1f ms\n", big, n, bigsum / 1000, total / 1000
    print "  from the simulator'"'"'s wake-up to it reading the next block (" m " blocks):"
    stats("simulator writes \"#\", brivane'"'"'s poll returns", s_pty1, k)
    stats("brivane reads \"#\" and writes the next block", s_turn, w)
    stats("block written, the simulator'"'"'s poll returns", s_pty2, m)
    stats("all three", s_round, m)
}' events.txt
