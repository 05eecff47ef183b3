#!/usr/bin/env bash
# The Windows program under Wine, in a fresh prefix: on the simulated card it
# prints what the Linux program prints for the same keys, and on the direct
# port it obtains port access at every level through Wine's service control
# manager and the stand-in driver, survives the faulting port instructions
# and gives everything back.
#
# Usage: wine_test.sh LINUX_PROGRAM WIN32_BUILD WORK_DIR
# WIN32_BUILD is the cross-build of cmake/i686-w64-mingw32.cmake with the
# stand-in driver; it runs under Wine's 32-bit side in a 32-bit prefix.
set -euo pipefail

linux_program=$(realpath "$1")
build=$(realpath "$2")
work=$3

wine_dir=/usr/lib/wine
wine=$wine_dir/wine
wineserver=$wine_dir/wineserver
objdump=i686-w64-mingw32-objdump
service_key='HKLM\System\CurrentControlSet\Services\giveio'
version_key='HKCU\Software\Wine\AppDefaults\vantacle.exe'

failures=0
pass() { echo "ok: $1"; }
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect_eq() {
    if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi
}
# Compares a file with an expected file, line ends aside.
expect_file() {
    if tr -d '\r' <"$2" | diff - "$3" >"$2.diff"; then pass "$1"; else fail "$1 (differences in $2.diff)"; fi
}
expect_text() {
    printf '%s' "$3" >"$2.expected"
    expect_file "$1" "$2" "$2.expected"
}

rm -rf "$work"
mkdir -p "$work/driver" "$work/no-driver"
work=$(realpath "$work")
export WINEPREFIX=$work/prefix WINEARCH=win32 WINEDEBUG=-all DISPLAY= WAYLAND_DISPLAY=
# No prompts to install .NET or HTML support, no debugger on a crash, and no
# menu entries written to the home directory.
export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d'

# Every Wine command: bounded in time (a hang guard, far above what a command
# takes on a busy machine), input from a file, output to files (the server's
# helper processes inherit them and would hold pipes open).
hang_guard=600
wine_call() {
    local name=$1 status=0
    shift
    timeout "$hang_guard" "$wine" "$@" <"$work/empty" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    echo "$status" >"$work/$name.status"
    return 0
}
stop_wine() { timeout 30 "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; }
trap stop_wine EXIT
trap 'exit 1' TERM INT

# --- The images themselves -------------------------------------------------

imports() { "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}' | sort | tr '\n' ' '; }
header_field() { "$objdump" -p "$1" | awk -v field="$2" '$1 == field {$1 = ""; print substr($0, 2)}'; }

exe=$build/vantacle.exe
expect_eq "program is PE32 for Intel 80386" \
    "$("$objdump" -f "$exe" | awk '/file format/ {print $NF}') $(header_field "$exe" Magic)" "pei-i386 010b (PE32)"
expect_eq "program is a console program for Windows 4.0 and later" \
    "$(header_field "$exe" Subsystem) $(header_field "$exe" MajorSubsystemVersion)" "00000003 (Windows CUI) 4"
expect_eq "program imports only system DLLs" "$(imports "$exe")" "advapi32.dll kernel32.dll msvcrt.dll "
driver=$build/tests/standin_driver/giveio.sys
expect_eq "stand-in driver imports only ntoskrnl.exe" "$(imports "$driver")" "ntoskrnl.exe "
expect_eq "stand-in driver is a native image" "$(header_field "$driver" Subsystem)" "00000001 (NT native)"

# --- A fresh prefix with a server that outlives each program ----------------

cp "$driver" "$work/driver/"
: >"$work/empty"
wine_call prefix wineboot -i
expect_eq "prefix created" "$(cat "$work/prefix.status")" 0
# A driver host gets a minute to start, not ten seconds, on a busy machine.
wine_call pipe-timeout reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_DWORD /d 60000 /f
# The services started while the prefix was made cannot load drivers: start
# them again in the finished prefix, under a server that stays.
timeout "$hang_guard" "$wineserver" -w
"$wineserver" -p >"$work/server.log" 2>&1
wine_call boot wineboot

# Runs the program in directory dir with keys from a file; name.out,
# name.err and name.status hold what it did.
run_windows() {
    local name=$1 dir=$2 keys=$3 status=0
    shift 3
    (cd "$dir" && timeout "$hang_guard" "$wine" "$exe" "$@" <"$keys" >"$work/$name.out" 2>"$work/$name.err") || status=$?
    echo "$status" >"$work/$name.status"
}
registered() {
    wine_call query reg query "$service_key"
    [[ $(cat "$work/query.status") == 0 ]]
}
expect_unregistered() {
    if registered; then fail "$1: service left registered"; else pass "$1: no service registered"; fi
}
service_state() {
    wine_call state sc query giveio
    tr -d '\r' <"$work/state.out" | awk '/STATE/ {print $4}'
}
# Each port-access run: what it printed, its status, and nothing on standard error.
expect_run() {
    local name=$1 text=$2
    expect_text "$name: output" "$work/$name.out" "$text"
    expect_eq "$name: exit status" "$(cat "$work/$name.status")" 0
    expect_eq "$name: standard error" "$(tr -d '\r' <"$work/$name.err")" "${3:-}"
}

# --- The simulated card: the same session as on Linux ------------------------

head -c $((64 * 512)) /dev/urandom >"$work/card.img"
printf '\n\n\033[A 1F\n 3F\n\n -3\n\nE' >"$work/browse.keys"
printf '\n 14\n 1F0\n\033' >"$work/demo.keys"
printf '\n' >"$work/enter.keys"
sim_session() {
    local name=$1 keys=$2 status=0
    shift 2
    (cd "$work" && "$linux_program" "$@" <"$keys" >"$name.linux.out" 2>"$name.linux.err") || status=$?
    run_windows "$name" "$work" "$keys" "$@"
    expect_file "$name: output as on Linux" "$work/$name.out" "$work/$name.linux.out"
    expect_eq "$name: standard error as on Linux" "$(tr -d '\r' <"$work/$name.err")" "$(cat "$work/$name.linux.err")"
    expect_eq "$name: exit status as on Linux" "$(cat "$work/$name.status")" "$status"
}
sim_session browse "$work/browse.keys" --port=sim:card.img
sim_session demo "$work/demo.keys" --port=sim
sim_session no-link "$work/enter.keys" --port=sim:card.img,link=down
sim_session idle "$work/enter.keys" --port=sim:card.img,idle=never

# --- The direct port: port access at every level -----------------------------

banner=$'Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : '
# The stand-in driver grants no port access: the first port instruction faults.
no_hardware=$'Initialize MMC Card for SPI mode:MMC hardware error\n\nGIVEIO close: '

run_windows level4 "$work/driver" "$work/empty"
expect_run level4 "$banner"$'Installed: Started: Opened\n'"$no_hardware"$'Remove :Stop :\n'
expect_unregistered level4

for attempt in first second; do
    run_windows "no-driver-$attempt" "$work/no-driver" "$work/empty"
    expect_run "no-driver-$attempt" "$banner"$'Can\'t Access Direct I/O\n' \
        "vantacle: cannot get port access through the giveio driver: is giveio.sys in this directory?"
    expect_unregistered "no-driver-$attempt"
done

wine_call create sc create giveio binpath= "Z:${work//\//\\}\\driver\\giveio.sys" type= kernel start= demand
expect_eq "service registered, stopped" "$(service_state)" STOPPED
run_windows level3 "$work/driver" "$work/empty"
expect_run level3 "$banner"$'Started: Opened\n'"$no_hardware"$'Stop :\n'
expect_eq "level3: service still registered and stopped" "$(service_state)" STOPPED

wine_call start sc start giveio
expect_eq "driver running" "$(service_state)" RUNNING
run_windows level2 "$work/driver" "$work/empty"
expect_run level2 "$banner"$'Opened\n'"$no_hardware"$'\n'
expect_eq "level2: driver still running" "$(service_state)" RUNNING
wine_call stop sc stop giveio
wine_call delete sc delete giveio

# A system of the 95/98/Me family needs no driver, and its port
# instructions reach the port: with no card there, CMD0 goes unanswered.
wine_call version reg add "$version_key" /v Version /d win98 /f
run_windows level1 "$work/driver" "$work/empty"
expect_run level1 "$banner"$'Win95/98/Me\nInitialize MMC Card for SPI mode:CMD0 response error\n\nGIVEIO close: \n' \
    "vantacle: the card did not come up: CMD0 answered 00"
expect_unregistered level1

echo "$failures failed"
[[ $failures == 0 ]]
