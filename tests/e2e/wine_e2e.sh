#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end runs of the Windows build (brivane.exe) under Wine, talking through
# Wine's COM1 to veskor-sim on a pseudo-terminal. The expected console bytes come
# from expected-output, built from the same code as the native tests' expectations.
#
#   tests/e2e/wine_e2e.sh [brivane.exe] [veskor-sim] [expected-output]
#
# A 32-bit build on a kernel that runs no 32-bit programs runs the same cases in an
# x86-64 guest that QEMU emulates (tests/support/x86_guest.sh).
#
# Exits 0 when every case passes, 1 when one fails, 77 when Wine or a program is
# missing, or a guest is needed and QEMU or a kernel is (the test is then skipped,
# not failed).
set -u

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$(realpath -m "${1:-$repo/build-win/brivane.exe}")"
sim="$(realpath -m "${2:-$repo/build/veskor-sim}")"
expected_tool="$(realpath -m "${3:-$repo/build/expected-output}")"

skip() {
    echo "skipped: $*"
    exit 77
}

command -v wine >/dev/null 2>&1 || skip "wine is not installed"
command -v wineserver >/dev/null 2>&1 || skip "wineserver is not installed"
command -v objdump >/dev/null 2>&1 || skip "objdump is not installed"
[ -f "$exe" ] || skip "$exe is missing (build it with scripts/build-windows.sh)"
[ -x "$sim" ] || skip "$sim is missing (build the native tree first)"
[ -x "$expected_tool" ] || skip "$expected_tool is missing (build the native tree first)"

# In the x86-64 guest (see below) the runs go to the folder that the host shares, and
# the prefix stays in the guest's own /tmp: its thousands of files are slow to make in
# a shared folder. (TMPDIR would move Wine's server socket there too, which fails.)
guest_share=${WINE_E2E_GUEST_SHARE:-}
work="$(mktemp -d -p "${guest_share:-${TMPDIR:-/tmp}}")"
export WINEPREFIX="$work/prefix"
[ -z "$guest_share" ] || WINEPREFIX=/tmp/wine-e2e-prefix
export WINEDEBUG=-all
# No Mono or Gecko install prompts while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="

sim_pid=""
keep_work=0
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    wineserver -k >/dev/null 2>&1
    if [ "$keep_work" -eq 1 ]; then
        rm -rf "$WINEPREFIX"
        echo "runs kept in $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# The wine command starts Wine's 32-bit loader whenever wine32 is installed, which
# fails where the kernel runs no 32-bit programs; the 64-bit loader then runs
# 64-bit programs, and a 32-bit build cannot run here.
wine_loader=wine
if ! wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
    wine_loader=/usr/lib/wine/wine64
    export WINELOADER="$wine_loader"
fi

passed=0
failed=0
case_name=""
case_ok=1
case_started=0
run_dir=""

begin_case() {
    case_name="$1"
    case_ok=1
    case_started=$SECONDS
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
        echo "ok   $case_name ($((SECONDS - case_started)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL $case_name (files in $run_dir)"
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

# Makes Wine's COM<n> the given Unix path from the server's next start on.
map_port() {
    "$wine_loader" reg add 'HKLM\Software\Wine\Ports' /v "COM$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
}

# run_brivane ARGS...: runs in $run_dir with no console and no keyboard, so the
# closing key wait ends at once. Sets $status and $output (line ends made Unix).
run_brivane() {
    (cd "$run_dir" && timeout 300 "$wine_loader" "$exe" "$@" </dev/null >"$run_dir/stdout" 2>"$run_dir/stderr")
    status=$?
    output="$(sed 's/\r$//' "$run_dir/stdout")"
}

# start_sim OPTIONS...: starts the simulator on COM1 in $run_dir, its flash kept in
# flash.bin there, and points Wine's COM1 (the link $work/COM1) at its pseudo-terminal.
start_sim() {
    (cd "$run_dir" && exec "$sim" --port 1 --flash flash.bin --timeout 120 "$@" \
        >"$run_dir/sim.stdout" 2>"$run_dir/sim.stderr") &
    sim_pid=$!
    local tries=0
    while [ ! -L "$run_dir/COM1" ] && kill -0 "$sim_pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    if [ ! -L "$run_dir/COM1" ]; then
        echo "  simulator made no $run_dir/COM1"
        return 1
    fi
    ln -sfn "$(readlink "$run_dir/COM1")" "$work/COM1"
}

# line_baud_is RATE: the simulator found the line at RATE. Wine sets a rate without
# a termios constant (28800) as 38400 plus a custom divisor for the UART, which a
# pseudo-terminal ignores, so the simulator sees 38400 there.
line_baud_is() {
    summary_is line_baud "$1" && return 0
    if [ "$1" -eq 28800 ] && summary_is line_baud 38400; then
        echo "  note [$case_name] Wine set 28800 as 38400 with a custom divisor"
        return 0
    fi
    return 1
}

# Waits for the simulator to end; $summary is the last line it wrote on stderr.
finish_sim() {
    wait "$sim_pid"
    sim_pid=""
    summary="$(tail -n 1 "$run_dir/sim.stderr")"
}

has_line() { [ -n "$1" ] && grep -qxF -- "$1" <<<"$output"; }
has_text() { grep -qF -- "$1" <<<"$output"; }
lacks_text() { ! grep -qF -- "$1" <<<"$output"; }
status_is() { [ "$status" -eq "$1" ]; }

# summary_is KEY VALUE: the simulator's closing line holds the field KEY=VALUE.
summary_is() { tr ' ' '\n' <<<"$summary" | grep -qxF -- "$1=$2"; }

# The console output must equal $run_dir/expected byte for byte, with the "\r" that
# text mode puts before each "\n".
output_is_expected() {
    sed -z 's/\n/\r\n/g' "$run_dir/expected" >"$run_dir/expected.crlf"
    cmp -s "$run_dir/stdout" "$run_dir/expected.crlf"
}

# output_ends_with FILE: the console output (Unix line ends) ends with FILE's bytes.
output_ends_with() {
    sed 's/\r$//' "$run_dir/stdout" >"$run_dir/stdout.unix"
    cmp -s <(tail -c "$(stat -c %s "$1")" "$run_dir/stdout.unix") "$1"
}

# expected NAME [ARGUMENT...]: the console bytes brivane prints for NAME (see
# tests/support/expected_output_tool.cpp), e.g. "expected programming 6144".
expected() { "$expected_tool" "$@"; }

# flash_matches IMAGE FLASH: the 2 MiB flash starts with the image, zero-filled to
# whole 1 KiB blocks, and is erased (0xFF) after that.
flash_matches() {
    local image="$1" flash="$2"
    local length rounded flash_length
    length=$(stat -c %s "$image")
    rounded=$(((length + 1023) / 1024 * 1024))
    flash_length=$(stat -c %s "$flash")
    [ "$flash_length" -eq 2097152 ] || return 1
    cmp -s -n "$length" "$image" "$flash" || return 1
    cmp -s <(head -c "$rounded" "$flash" | tail -c +"$((length + 1))") \
        <(head -c "$((rounded - length))" /dev/zero) || return 1
    cmp -s <(tail -c +"$((rounded + 1))" "$flash") \
        <(head -c "$((flash_length - rounded))" /dev/zero | tr '\0' '\377')
}

# A random image; a length that is not a multiple of 1024 gets a padded last block.
make_image() {
    head -c "$2" /dev/urandom >"$1"
}

# --- The binary itself: no DLLs beyond the system's, manifest, version ------------
# (Checked on the host before the cases go to a guest.)
if [ -z "$guest_share" ]; then
    run_dir="$work/binary"
    mkdir -p "$run_dir"
    objdump -p "$exe" >"$run_dir/headers"
    tr -d '\0' <"$exe" >"$run_dir/text"  # the version strings are UTF-16
    begin_case "imports, manifest and version resource"
    check "imports KERNEL32 and msvcrt only" \
        cmp -s <(sed -n 's/^\s*DLL Name: //p' "$run_dir/headers" | sort -f) <(printf 'KERNEL32.dll\nmsvcrt.dll\n')
    # Resource types 16 (version) and 24 (manifest).
    check "version and manifest resources" grep -qzE 'Entry: ID: 0x000010.*Entry: ID: 0x000018' "$run_dir/headers"
    for setting in '>UTF-8</activeCodePage>' 'level="asInvoker"' '>true</longPathAware>' \
        'FileVersion2\.0.*ProductName.*ProductVersion2\.0'; do
        check "holds $setting" grep -qaE -- "$setting" "$run_dir/text"
    done
    end_case
fi

# A PE file's machine field (at the offset the header gives at byte 60): 014c is i386.
pe_offset=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
if [ "$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$exe" | tr -d ' ')" = 014c ] &&
    [ "$wine_loader" != wine ]; then
    [ "$failed" -eq 0 ] || exit 1
    [ -z "$guest_share" ] || skip "the guest's kernel runs no 32-bit programs either"
    # The guest sees this machine's files, but its /tmp is its own: the programs and
    # this script go to the shared work folder, where the guest's runs are kept too.
    # A 32-bit prefix there, as on 32-bit Windows: it is made in less time than a
    # 64-bit one.
    echo "this kernel runs no 32-bit programs: the cases run in an x86-64 guest"
    mkdir "$work/programs"
    cp "$exe" "$sim" "$expected_tool" "${BASH_SOURCE[0]}" "$work/programs/"
    guest_started=$SECONDS
    # Started in the shared folder: the guest runs the command in the caller's folder,
    # and a checkout under /tmp (CI's, say) is not there in the guest.
    (cd "$work" && X86_GUEST_TIMEOUT=1080 X86_GUEST_MEMORY=3072 bash "$repo/tests/support/x86_guest.sh" --share "$work" \
        env WINE_E2E_GUEST_SHARE="$work" WINEARCH=win32 \
        bash "$work/programs/${BASH_SOURCE[0]##*/}" "$work/programs/${exe##*/}" \
        "$work/programs/${sim##*/}" "$work/programs/${expected_tool##*/}")
    status=$?
    echo "the guest ran for $((SECONDS - guest_started)) s"
    [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || keep_work=1
    exit "$status"
fi

"$wine_loader" wineboot -i >/dev/null 2>&1 || skip "wine cannot create a prefix"

# Wine's ports, mapped once, before the server that reads them starts: COM1 is a link
# that each case points at its simulator's pseudo-terminal, COM7 is no terminal. The
# server then stays up between runs (for a minute after the last), which spares each
# run Wine's start, a long one under emulation.
map_port 1 "$work/COM1"
map_port 7 /dev/null
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wineserver -p60 >/dev/null 2>&1

# --- Can Wine run the program at all? ---------------------------------------------
run_dir="$work/probe"
mkdir -p "$run_dir"
run_brivane
grep -qF "$(expected banner)" "$run_dir/stdout" || skip "wine could not run $exe (status $status)"

# Wine gives the machine's serial devices the lowest numbers that are not mapped (a
# guest has four), and a port it gave one opens even where the device does not: the
# highest number without a link in the prefix is a port that is truly absent.
absent_port=""
for number in 8 7 6 5 4 3 2; do
    link="$WINEPREFIX/dosdevices/com$number"
    [ -e "$link" ] || [ -L "$link" ] || { absent_port=$number; break; }
done

# --- Command line refused: status 2 -----------------------------------------------
new_run_dir usage
begin_case "no arguments: usage, status 2, one write per message"
WINEDEBUG=+relay run_brivane
check "status 2 (got $status)" status_is 2
writes=$(grep -c "Call KERNEL32.WriteFile(" "$run_dir/stderr")
check "3 WriteFile calls: banner, usage, prompt (got $writes)" test "$writes" -eq 3
{ expected banner; expected usage; expected prompt; } >"$run_dir/expected"
check "console output, every line end CR LF" output_is_expected
end_case

new_run_dir bad-port
begin_case "port 9: port message, status 2"
run_brivane testcomm 9
check "status 2 (got $status)" status_is 2
check "port message" has_line "$(expected invalid-port)"
end_case

new_run_dir bad-baud
begin_case "baud 14400: baud message, status 2"
run_brivane testcomm 1 14400
check "status 2 (got $status)" status_is 2
check "baud message" has_line "$(expected invalid-baud)"
end_case

# --- File problems: status 3 -------------------------------------------------------
new_run_dir missing-image
begin_case "missing image: status 3"
run_brivane absent.bin 1
check "status 3 (got $status)" status_is 3
check "file message" has_line "$(expected could-not-open-file absent.bin)"
end_case

new_run_dir missing-loader
rm "$run_dir/bootcode_mac2M_erase.bin"
begin_case "missing erase loader: status 3"
run_brivane erase 1
check "status 3 (got $status)" status_is 3
check "file message" has_line "$(expected could-not-open-file bootcode_mac2M_erase.bin)"
end_case

new_run_dir too-large
truncate -s 2097152 "$run_dir/big.bin"
begin_case "2 MiB image rejected: status 3, no prompt"
run_brivane big.bin 1
check "status 3 (got $status)" status_is 3
check "size message" has_line "$(expected too-large)"
check "no prompt" lacks_text "Press any key"
end_case

# --- Port problems: status 4 -------------------------------------------------------
new_run_dir no-port
begin_case "absent COM${absent_port:-?}: silent open failure, status 4"
if [ -n "$absent_port" ]; then
    run_brivane testcomm "$absent_port"
    check "status 4 (got $status)" status_is 4
    check "port message" has_line "$(expected could-not-open-port "$absent_port")"
    check "no error report" lacks_text "Error detected"
else
    check "Wine left one of COM2 to COM8 without a device" false
fi
end_case

new_run_dir not-a-port
begin_case "COM7 on a non-terminal: error report, status 4"
run_brivane testcomm 7
check "status 4 (got $status)" status_is 4
check "error report names this source file" \
    grep -qE '^       Error detected in file src/serial/serial_win32\.cpp, line [0-9]+ $' <<<"$output"
check "port message" has_line "$(expected could-not-open-port 7)"
end_case

# --- Test mode ---------------------------------------------------------------------
rates=(9600 19200 28800 38400 57600 115200)
for code in 5 2; do
    baud=${rates[$code]}
    new_run_dir "test-$baud"
    begin_case "testcomm at $baud: status 0"
    if start_sim; then
        run_brivane testcomm 1 "$baud"
        finish_sim
        check "status 0 (got $status)" status_is 0
        {
            expected banner
            expected announcement 1
            expected stage-one
            expected communicating
            expected prompt
        } >"$run_dir/expected"
        check "console output" output_is_expected
        check "simulator booted ($summary)" summary_is boot ok
        check "speed code $code ($summary)" summary_is speed_code "$code"
        check "line at $baud ($summary)" line_baud_is "$baud"
        check "line raw 8N1 without flow control ($summary)" summary_is line_format 8N1
        check "nothing after the speed command ($summary)" summary_is syncs 0
        check "port closed ($summary)" summary_is end closed
    else
        check "simulator started" false
    fi
    end_case
done

# --- Erase mode --------------------------------------------------------------------
new_run_dir erase
head -c 2097152 /dev/zero >"$run_dir/before.bin"
begin_case "erase: whole flash, status 0, no prompt"
if start_sim --initial before.bin; then
    run_brivane erase 1 57600
    finish_sim
    check "status 0 (got $status)" status_is 0
    {
        expected banner
        expected stage-one
        expected erasing
        expected erased
    } >"$run_dir/expected"
    check "console output" output_is_expected
    check "erase length 2 MiB ($summary)" summary_is erase_bytes 00,00,20,00
    check "no blocks ($summary)" summary_is blocks 0
    check "flash all erased" cmp -s "$run_dir/flash.bin" <(head -c 2097152 /dev/zero | tr '\0' '\377')
else
    check "simulator started" false
fi
end_case

# --- Program mode ------------------------------------------------------------------
new_run_dir program
make_image "$run_dir/image.bin" 5500
begin_case "program 6 blocks: flash equals image, status 0"
if start_sim; then
    run_brivane image.bin 1 115200
    finish_sim
    check "status 0 (got $status)" status_is 0
    {
        expected banner
        expected announcement 1
        expected stage-one
        expected programming 6144
        expected programmed image.bin
        expected prompt
    } >"$run_dir/expected"
    check "console output" output_is_expected
    check "erase length 6144 ($summary)" summary_is erase_bytes 00,18,00,00
    check "six blocks ($summary)" summary_is blocks 6
    check "no refusals ($summary)" summary_is refusals 0
    check "verdict * ($summary)" summary_is verdict '*'
    check "port closed ($summary)" summary_is end closed
    check "flash holds the image" flash_matches "$run_dir/image.bin" "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

# Wine takes the system's ANSI code page from the locale's name (C gives 1252) and the
# encoding of Unix file names from the locale itself (here UTF-8). The manifest makes
# the program's code page UTF-8, so it gets each name as typed, whether code page
# 1252 has its characters or not, opens the file and prints the name back as is.
if locale -a | grep -qixE 'c\.utf-?8'; then
    names=("€.bin" "Жук.bin" "日本.bin")
    for index in "${!names[@]}"; do
        name=${names[$index]}
        new_run_dir "name-$index"
        make_image "$run_dir/$name" 3000
        begin_case "program '$name' under code page 1252: status 0"
        if start_sim; then
            LC_ALL=C.UTF-8 run_brivane "$name" 1 115200
            finish_sim
            check "status 0 (got $status)" status_is 0
            { expected programmed "$name"; expected prompt; } >"$run_dir/expected-end"
            check "success line with the name as typed, in UTF-8" output_ends_with "$run_dir/expected-end"
            check "flash holds the image" flash_matches "$run_dir/$name" "$run_dir/flash.bin"
        else
            check "simulator started" false
        fi
        end_case
    done
else
    echo "skip programming non-ASCII names: no C.UTF-8 locale here"
fi

# Started without standard output or error: the messages go nowhere, and none of them
# reaches the device. (Wine itself cannot start without standard input.)
new_run_dir closed-output
make_image "$run_dir/image.bin" 5000
begin_case "output and error closed: flash equals image, nothing stray on the line"
if start_sim; then
    (cd "$run_dir" && timeout 300 "$wine_loader" "$exe" image.bin 1 </dev/null >&- 2>&-)
    status=$?
    finish_sim
    check "status 0 (got $status)" status_is 0
    check "no block refused, a damaged one included ($summary)" summary_is refusals 0
    check "flash holds the image" flash_matches "$run_dir/image.bin" "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

new_run_dir refused
make_image "$run_dir/image.bin" 4000
begin_case "block 2 refused once and resent: status 0"
if start_sim --refuse-block 2; then
    run_brivane image.bin 1 38400
    finish_sim
    check "status 0 (got $status)" status_is 0
    {
        expected banner
        expected announcement 1
        expected stage-one
        expected programming 4096
        expected programmed image.bin
        expected prompt
    } >"$run_dir/expected"
    check "console output (the counter moves once per block)" output_is_expected
    check "four blocks ($summary)" summary_is blocks 4
    check "one refusal ($summary)" summary_is refusals 1
    check "verdict * ($summary)" summary_is verdict '*'
    check "flash holds the image" flash_matches "$run_dir/image.bin" "$run_dir/flash.bin"
else
    check "simulator started" false
fi
end_case

new_run_dir silent
make_image "$run_dir/image.bin" 3000
begin_case "device silent from block 2: failure lines, status 1"
if start_sim --silent-after-block 2; then
    run_brivane image.bin 1 19200
    finish_sim
    check "status 1 (got $status)" status_is 1
    {
        expected banner
        expected announcement 1
        expected stage-one
        expected programming-until 33
        expected failure image.bin
        expected prompt
    } >"$run_dir/expected"
    check "console output" output_is_expected
    check "one block taken ($summary)" summary_is blocks 1
    check "no verdict ($summary)" summary_is verdict none
else
    check "simulator started" false
fi
end_case

new_run_dir verdict-fail
make_image "$run_dir/image.bin" 2048
begin_case "device verdict ^: failure lines, status 1"
if start_sim --verdict-fail; then
    run_brivane image.bin 1
    finish_sim
    check "status 1 (got $status)" status_is 1
    {
        expected banner
        expected announcement 1
        expected stage-one
        expected programming 2048
        expected failure image.bin
        expected prompt
    } >"$run_dir/expected"
    check "console output" output_is_expected
    check "verdict ^ ($summary)" summary_is verdict '^'
else
    check "simulator started" false
fi
end_case

new_run_dir hangup
make_image "$run_dir/image.bin" 10240
begin_case "line dropped after block 3: error report, failure lines, status 1"
if start_sim --hangup-after-block 3; then
    run_brivane image.bin 1
    finish_sim
    check "status 1 (got $status)" status_is 1
    { expected failure image.bin; expected prompt; } >"$run_dir/expected-end"
    check "failure lines and prompt at the end" output_ends_with "$run_dir/expected-end"
    check "no success line" lacks_text "Successfully"
    check "serial error report" has_text "Error detected in file src/serial/serial_win32.cpp"
    check "simulator saw the hang-up ($summary)" summary_is end hangup
else
    check "simulator started" false
fi
end_case

# A line hung up at each wait without end. Wine's reads on a hung-up pseudo-terminal
# bring nothing, as some drivers' do after a pulled adapter; the probe between reads
# finds the port gone. (Ending within about 2 s of the hang-up is checked by hand.)
for moment in power-up sync erase; do
    new_run_dir "lost-$moment"
    make_image "$run_dir/image.bin" 3000
    begin_case "line dropped at $moment: lost port, status 4"
    if start_sim --hangup-at "$moment"; then
        if [ "$moment" = erase ]; then run_brivane erase 1; else run_brivane image.bin 1; fi
        finish_sim
        check "status 4 (got $status)" status_is 4
        { expected lost-port 1; expected prompt; } >"$run_dir/expected-end"
        check "lost line and prompt at the end" output_ends_with "$run_dir/expected-end"
        reports=$(grep -c "Error detected" <<<"$output")
        check "1 to 3 error reports (got $reports)" test "$reports" -ge 1 -a "$reports" -le 3
        check "simulator hung up ($summary)" summary_is end hangup
    else
        check "simulator started" false
    fi
    end_case
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
