#!/usr/bin/env bash
# End-to-end runs of the Windows build (brivane.exe) under Wine, talking through
# Wine's COM1 to veskor-sim on a pseudo-terminal.
#
#   tests/e2e/wine_e2e.sh [brivane.exe] [veskor-sim]
#
# Exits 0 when every case passes, 1 when one fails, 77 when Wine or a program is
# missing (the test is then skipped, not failed).
set -u

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$(realpath -m "${1:-$repo/build-win/brivane.exe}")"
sim="$(realpath -m "${2:-$repo/build/veskor-sim}")"

skip() {
    echo "skipped: $*"
    exit 77
}

command -v wine >/dev/null 2>&1 || skip "wine is not installed"
command -v wineserver >/dev/null 2>&1 || skip "wineserver is not installed"
[ -f "$exe" ] || skip "$exe is missing (build it with scripts/build-windows.sh)"
[ -x "$sim" ] || skip "$sim is missing (build the native tree first)"

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko install prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="

sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

wineboot -i >/dev/null 2>&1 || skip "wine cannot create a prefix"

passed=0
failed=0
case_name=""
case_ok=1

begin_case() {
    case_name="$1"
    case_ok=1
}

# check DESCRIPTION COMMAND...: the command's success is the check's success.
check() {
    local description="$1"
    shift
    if ! "$@"; then
        echo "  FAIL [$case_name] $description"
        case_ok=0
    fi
}

end_case() {
    if [ "$case_ok" -eq 1 ]; then
        echo "ok   $case_name"
        passed=$((passed + 1))
    else
        echo "FAIL $case_name (output in $run_dir)"
        keep_work=1
        failed=$((failed + 1))
    fi
}

# Every run gets its own working folder with the loader files beside it, as a
# user would have them.
new_run_dir() {
    run_dir="$work/run-$1"
    mkdir -p "$run_dir"
    local loader
    for loader in bootcode_mac.bin bootcode_mac2M.bin bootcode_mac2M_erase.bin; do
        head -c 1000 /dev/zero | tr '\0' '\125' >"$run_dir/$loader"
    done
}

# Makes Wine's COM<n> the given Unix path. Wine reads the mapping when its server
# starts, so the server is restarted.
map_port() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
}

# run_brivane ARGS...: runs in $run_dir with no console and no keyboard, so the
# closing key wait ends at once. Sets $status and $output (line ends made Unix).
run_brivane() {
    (cd "$run_dir" && timeout 300 wine "$exe" "$@" </dev/null >"$run_dir/stdout" 2>"$run_dir/stderr")
    status=$?
    output="$(sed 's/\r$//' "$run_dir/stdout")"
}

# start_sim ARGS...: starts the simulator on COM1 in $run_dir and points Wine's
# COM1 at its pseudo-terminal.
start_sim() {
    (cd "$run_dir" && exec "$sim" --port 1 --timeout 120 "$@" 2>"$run_dir/sim.stderr" >"$run_dir/sim.stdout") &
    sim_pid=$!
    local tries=0
    while [ ! -L "$run_dir/COM1" ] && kill -0 "$sim_pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if [ ! -L "$run_dir/COM1" ]; then
        echo "  simulator did not create $run_dir/COM1"
        return 1
    fi
    map_port 1 "$(readlink "$run_dir/COM1")"
}

# Waits for the simulator to end; sets $summary to the last line it wrote on stderr.
finish_sim() {
    wait "$sim_pid"
    sim_status=$?
    sim_pid=""
    summary="$(tail -n 1 "$run_dir/sim.stderr")"
}

has_line() { grep -qxF -- "$1" <<<"$output"; }
has_text() { grep -qF -- "$1" <<<"$output"; }
lacks_text() { ! grep -qF -- "$1" <<<"$output"; }
status_is() { [ "$status" -eq "$1" ]; }
summary_has() { grep -qF -- "$1" <<<"$summary"; }
same_bytes() { cmp -s "$1" "$2"; }

# The counter's last update before the line is cleared.
counter_reached_100() { grep -qF -- $'\b\b\b\b\b100%)' "$run_dir/stdout"; }

# flash_matches IMAGE FLASH: the flash starts with the image, zero-filled to whole
# 1 KiB blocks, and is erased (0xFF) after that.
flash_matches() {
    local image="$1" flash="$2"
    local length rounded flash_length
    length=$(stat -c %s "$image")
    rounded=$(( (length + 1023) / 1024 * 1024 ))
    flash_length=$(stat -c %s "$flash")
    cmp -s -n "$length" "$image" "$flash" || return 1
    cmp -s <(head -c "$rounded" "$flash" | tail -c +"$((length + 1))") \
        <(head -c "$((rounded - length))" /dev/zero) || return 1
    cmp -s <(tail -c +"$((rounded + 1))" "$flash") \
        <(head -c "$((flash_length - rounded))" /dev/zero | tr '\0' '\377')
}

# A random image whose length is not a multiple of 1024, so the last block is padded.
make_image() {
    head -c "$2" /dev/urandom >"$1"
}

keep_work=0

# --- Can Wine run the program at all? ---------------------------------------------
run_dir="$work/probe"
mkdir -p "$run_dir"
run_brivane
if ! grep -qF "Brivane Version 2.0" "$run_dir/stdout"; then
    skip "wine could not run $exe (status $status)"
fi

# --- Command line refused: status 2 -----------------------------------------------
new_run_dir usage
begin_case "no arguments: usage, status 2"
run_brivane
check "status 2 (got $status)" status_is 2
check "banner" has_line "Brivane Version 2.0"
check "usage line" has_line "Usage: Brivane <filename or 'testcomm' or 'erase'> {<comm port> {<baud rate> }}"
check "prompt" has_line "Press any key to continue"
end_case

new_run_dir bad-port
begin_case "port 9: port message, status 2"
run_brivane testcomm 9
check "status 2 (got $status)" status_is 2
check "port message" has_line "Invalid comm port. valid range 1 - 8"
end_case

new_run_dir bad-baud
begin_case "baud 14400: baud message, status 2"
run_brivane testcomm 1 14400
check "status 2 (got $status)" status_is 2
check "baud message" has_line "Invalid baud rate."
end_case

# --- File problems: status 3 -------------------------------------------------------
new_run_dir missing-image
begin_case "missing image: status 3"
run_brivane absent.bin 1
check "status 3 (got $status)" status_is 3
check "file message" has_line "Could not open file 'absent.bin'."
end_case

new_run_dir missing-loader
rm "$run_dir/bootcode_mac2M_erase.bin"
begin_case "missing erase loader: status 3"
run_brivane erase 1
check "status 3 (got $status)" status_is 3
check "file message" has_line "Could not open file 'bootcode_mac2M_erase.bin'."
end_case

new_run_dir too-large
truncate -s 2097152 "$run_dir/big.bin"
begin_case "2 MiB image rejected: status 3, no prompt"
run_brivane big.bin 1
check "status 3 (got $status)" status_is 3
check "size message" has_line " Error: Image is greater than 2 MBytes."
check "no prompt" lacks_text "Press any key"
end_case

# --- Port problems: status 4 -------------------------------------------------------
new_run_dir no-port
begin_case "unmapped COM3: silent open failure, status 4"
run_brivane testcomm 3
check "status 4 (got $status)" status_is 4
check "port message" has_line "Could not open serial port COM3"
check "no error report" lacks_text "Error detected"
end_case

new_run_dir not-a-port
map_port 7 /dev/null
begin_case "COM7 on a non-terminal: error report, status 4"
run_brivane testcomm 7
check "status 4 (got $status)" status_is 4
check "error report names the source" \
    grep -qE '^       Error detected in file src/serial/serial_win32\.cpp, line [0-9]+ $' <<<"$output"
check "port message" has_line "Could not open serial port COM7"
end_case

# --- Test mode ---------------------------------------------------------------------
for baud in 115200 28800; do
    new_run_dir "test-$baud"
    begin_case "testcomm at $baud: status 0"
    if start_sim; then
        run_brivane testcomm 1 "$baud"
        finish_sim
        check "status 0 (got $status)" status_is 0
        check "success line" has_line " Successfully communicating with Veskor "
        check "download counter reached 100" counter_reached_100
        check "no error report" lacks_text "Error detected"
        check "simulator booted ($summary)" summary_has "boot=ok"
        check "simulator saw the port closed ($summary)" summary_has "end=closed"
        check "simulator took speed $baud ($summary)" summary_has "$baud"
    else
        check "simulator started" false
    fi
    end_case
done

# --- Erase mode --------------------------------------------------------------------
new_run_dir erase
begin_case "erase: whole flash, status 0, no prompt"
if start_sim --flash "$run_dir/flash.bin"; then
    run_brivane erase 1 57600
    finish_sim
    check "status 0 (got $status)" status_is 0
    check "erased line" has_line "Entire Flash has been erased"
    check "no prompt" lacks_text "Press any key"
    check "no error report" lacks_text "Error detected"
    check "simulator booted ($summary)" summary_has "boot=ok"
    check "simulator saw the port closed ($summary)" summary_has "end=closed"
    check "flash written" test -s "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

# --- Program mode ------------------------------------------------------------------
new_run_dir program
make_image "$run_dir/image.bin" 5500
begin_case "program 6 blocks: flash equals image, status 0"
if start_sim --flash "$run_dir/flash.bin"; then
    run_brivane image.bin 1 115200
    finish_sim
    check "status 0 (got $status)" status_is 0
    check "class line" has_line "Programming 1 MB Flash code"
    check "success line" has_line "Successfully programmed 'image.bin'"
    check "programming counter reached 100" counter_reached_100
    check "no error report" lacks_text "Error detected"
    check "simulator verdict * ($summary)" summary_has "verdict=*"
    check "simulator saw the port closed ($summary)" summary_has "end=closed"
    check "flash holds the image" flash_matches "$run_dir/image.bin" "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

new_run_dir refused
make_image "$run_dir/image.bin" 4000
begin_case "block 2 refused once and resent: status 0"
if start_sim --flash "$run_dir/flash.bin" --refuse-block 2; then
    run_brivane image.bin 1 38400
    finish_sim
    check "status 0 (got $status)" status_is 0
    check "success line" has_line "Successfully programmed 'image.bin'"
    check "simulator verdict * ($summary)" summary_has "verdict=*"
    check "flash holds the image" flash_matches "$run_dir/image.bin" "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

new_run_dir silent
make_image "$run_dir/image.bin" 6000
begin_case "device silent after block 2: failure lines, status 1"
if start_sim --flash "$run_dir/flash.bin" --silent-after-block 2; then
    run_brivane image.bin 1 19200
    finish_sim
    check "status 1 (got $status)" status_is 1
    check "four failure lines in order" \
        diff <(grep -A3 -xF "Failed to program 'image.bin'" <<<"$output") - <<'EOF'
Failed to program 'image.bin'
You might want to completely erase the Flash
 and then try programming again.
 To do this, enter "brivane erase"
EOF
    check "no success line" lacks_text "Successfully programmed"
    check "prompt after the failure" has_line "Press any key to continue"
    check "simulator saw the port closed ($summary)" summary_has "end=closed"
else
    check "simulator started" false
fi
end_case

echo "$passed passed, $failed failed"
if [ "$keep_work" -eq 1 ]; then
    # Keep the failing runs' files for a look; the prefix is not needed.
    trap - EXIT
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    echo "runs kept in $work"
fi
[ "$failed" -eq 0 ]
