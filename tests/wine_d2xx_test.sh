#!/usr/bin/env bash
# The 32- and 64-bit Windows programs under Wine, in one fresh 64-bit prefix
# (the 32-bit program runs on Wine's 32-bit side): over the stand-in
# ftd2xx.dll, --port=ftdi reads the card's registers, dumps the whole card
# and loads a whole image, and --port=ftdi-bitbang does so on an FT232R and
# an FT-X, printing what the Linux program prints over the FTDI stand-in; without the DLL, without a device, with a wrong serial or
# interface, each refuses in one line with a non-zero status; a second run
# on a bridge in use is refused by its lock; and the 64-bit program, where
# the port-access driver cannot load, ends at port-access level 0 and
# leaves no service behind.
#
# Usage: wine_d2xx_test.sh LINUX_PROGRAM WIN32_BUILD WIN64_BUILD WORK_DIR
set -euo pipefail

linux_program=$(realpath "$1")
builds=([32]=$(realpath "$2") [64]=$(realpath "$3"))
work=$4

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
service_key='HKLM\System\CurrentControlSet\Services\giveio'

failures=0
pass() { echo "ok: $1"; }
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect_eq() {
    if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi
}
expect_same_file() {
    if cmp -s "$2" "$3"; then pass "$1"; else fail "$1: $2 and $3 differ"; fi
}

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all DISPLAY= WAYLAND_DISPLAY=
export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d'

# Bounded in time (a hang guard far above what a command takes on a busy
# machine), input from a file, output to files.
hang_guard=600
: >"$work/empty"
wine_call() {
    local name=$1 status=0
    shift
    timeout "$hang_guard" "$wine" "$@" <"$work/empty" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    echo "$status" >"$work/$name.status"
}
stop_wine() { timeout 30 "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; }
trap stop_wine EXIT
trap 'exit 1' TERM INT

# --- The images --------------------------------------------------------------

objdump_of() { [[ $1 == 32 ]] && echo i686-w64-mingw32-objdump || echo x86_64-w64-mingw32-objdump; }
imports() { "$(objdump_of "$1")" -p "$2" | awk '/DLL Name:/ {print tolower($3)}' | sort | tr '\n' ' '; }
exports() { "$(objdump_of "$1")" -p "$2" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' | sort | tr '\n' ' '; }
declare -A format=([32]="pei-i386" [64]="pei-x86-64")
d2xx_calls="FT_Close FT_CreateDeviceInfoList FT_GetDeviceInfoDetail FT_GetQueueStatus FT_OpenEx FT_Purge FT_Read FT_ResetDevice FT_SetBaudRate FT_SetBitMode FT_SetLatencyTimer FT_SetTimeouts FT_SetUSBParameters FT_Write "
for bits in 32 64; do
    exe=${builds[$bits]}/vantacle.exe
    dll=${builds[$bits]}/tests/standin_d2xx/ftd2xx.dll
    expect_eq "$bits-bit program's format" "$("$(objdump_of $bits)" -f "$exe" | awk '/file format/ {print $NF}')" "${format[$bits]}"
    expect_eq "$bits-bit program imports only system DLLs (ftd2xx.dll is loaded when wanted)" "$(imports $bits "$exe")" \
        "advapi32.dll kernel32.dll msvcrt.dll "
    expect_eq "$bits-bit stand-in DLL exports the D2XX calls by their plain names" "$(exports $bits "$dll")" "$d2xx_calls"
    mkdir -p "$work/$bits/dll" "$work/$bits/no-dll"
    cp "$exe" "$dll" "$work/$bits/dll/"
    cp "$exe" "$work/$bits/no-dll/"
done

wine_call prefix wineboot -i
expect_eq "64-bit prefix created" "$(cat "$work/prefix.status")" 0
# A driver host gets a minute to start on a busy machine; the services
# started while the prefix was made cannot load drivers: start them again
# under a server that stays.
wine_call pipe-timeout reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_DWORD /d 60000 /f
timeout "$hang_guard" "$wineserver" -w
"$wineserver" -p >"$work/server.log" 2>&1
wine_call boot wineboot

# --- Sessions over the stand-in DLL -------------------------------------------

head -c $((128 * 512)) /dev/urandom >"$work/card.img"
head -c $((128 * 512)) /dev/urandom >"$work/load.img"
# Runs one program in its directory with the bridge's settings (empty: no
# device); name.out, name.err and name.status hold what it did.
run_windows() {
    local name=$1 bits=$2 dir=$3 bridge=$4 status=0
    shift 4
    (cd "$work" && VANTACLE_STANDIN_D2XX=$bridge timeout "$hang_guard" "$wine" "$work/$bits/$dir/vantacle.exe" "$@" \
        <"$work/empty" >"$work/$name.out" 2>"$work/$name.err") || status=$?
    echo "$status" >"$work/$name.status"
}
# The same on Linux over the FTDI stand-in (MPSSE unless the settings say).
run_linux() {
    local name=$1 settings=$2 status=0
    shift 2
    [[ $settings == *via=* ]] || settings+=",via=ftdi"
    (cd "$work" && "$linux_program" "--port=sim$settings" "$@" <"$work/empty" >"$work/$name.linux.out" \
        2>"$work/$name.linux.err") || status=$?
    echo "$status" >"$work/$name.linux.status"
}
# What a run printed, less its rate (wall time).
printed() { tr -d '\r' <"$1" | sed -E 's/, [0-9]+ bytes\/s$//'; }
expect_as_linux() {
    local name=$1
    expect_eq "$name: output as on Linux" "$(printed "$work/$name.out")" "$(printed "$work/$name.linux.out")"
    expect_eq "$name: standard error as on Linux" "$(printed "$work/$name.err")" "$(printed "$work/$name.linux.err")"
    expect_eq "$name: exit status as on Linux" "$(cat "$work/$name.status")" "$(cat "$work/$name.linux.status")"
}

# Each scenario: name, the bridge's settings, the Windows program's
# arguments, the Linux program's simulated card and arguments (@: 32 or 64).
scenarios=(
    "info-ft232h|:card.img,card=sd2|--port=ftdi --info|:card.img,card=sd2|--info"
    "info-ft2232d|:card.img,chip=ft2232d|--port=ftdi:VT000001 --info|:card.img,chip=ft2232d|--info"
    "dump-ft2232h-b|:card.img,card=sd2,chip=ft2232h,interface=B|--port=ftdi,interface=B --dump=dump-@.img|:card.img,card=sd2,chip=ft2232h,interface=B|--dump=dump-@.linux.img"
    "load-ft4232h|:load-@.img,write=on,chip=ft4232h|--port=ftdi --load=load.img --yes|:load-@.img,write=on,chip=ft4232h|--load=load.img --yes"
    "dump-ft232r-bitbang|:card.img,card=sd2,chip=ft232r|--port=ftdi-bitbang --dump=dump-@.img|:card.img,card=sd2,chip=ft232r,via=ftdi-bitbang|--dump=dump-@.linux.img"
    "load-ft230x-bitbang|:load-@.img,write=on,chip=ft230x|--port=ftdi-bitbang:VT000001,sck=TXD --load=load.img --yes|:load-@.img,write=on,chip=ft230x,via=ftdi-bitbang|--load=load.img --yes"
    "refused-mpsse-on-ft232r|:card.img,chip=ft232r|--port=ftdi --info|:card.img,chip=ft232r|--info"
)
for bits in 32 64; do
    for scenario in "${scenarios[@]}"; do
        IFS='|' read -r base settings windows_args linux_settings linux_args <<<"${scenario//@/$bits}"
        name=$bits-$base
        rm -f "$work"/dump-*.img
        cp "$work/card.img" "$work/load-$bits.img"
        # shellcheck disable=SC2086
        run_windows "$name" $bits dll "$settings" $windows_args
        case $base in
            dump-*) expect_same_file "$name: whole card dumped" "$work/dump-$bits.img" "$work/card.img" ;;
            load-*) expect_same_file "$name: whole image loaded" "$work/load-$bits.img" "$work/load.img" ;;
        esac
        cp "$work/card.img" "$work/load-$bits.img"
        # shellcheck disable=SC2086
        run_linux "$name" "$linux_settings" $linux_args
        expect_as_linux "$name"
    done
done

# --- Refusals: one line on standard error, a non-zero status ------------------

expect_refusal() {
    local name=$1 line=$2
    expect_eq "$name: one line" "$(tr -d '\r' <"$work/$name.err")" "$line"
    if [[ $(cat "$work/$name.status") != 0 ]]; then pass "$name: non-zero status"; else fail "$name: status 0"; fi
}
looked_for="no FTDI MPSSE bridge found (looked for 0403:6014 0403:6010 0403:6011"
for bits in 32 64; do
    run_windows "$bits-no-dll" $bits no-dll ":card.img" --port=ftdi --info
    expect_refusal "$bits-no-dll" "vantacle: no FTDI support: cannot load ftd2xx.dll with the D2XX calls: install FTDI's D2XX driver for the bridge"
    run_windows "$bits-no-device" $bits dll "" --port=ftdi --info
    expect_refusal "$bits-no-device" "vantacle: $looked_for)"
    run_windows "$bits-wrong-serial" $bits dll ":card.img" --port=ftdi:VT999999 --info
    expect_refusal "$bits-wrong-serial" "vantacle: $looked_for with serial VT999999)"
    run_windows "$bits-no-interface-b" $bits dll ":card.img" --port=ftdi,interface=B --info
    expect_refusal "$bits-no-interface-b" "vantacle: the FTDI bridge is an FT232H: it has no interface B (give interface=A)"
done

# One run at a time per bridge: while the 32-bit program browses the bridge
# at location 1011, the 64-bit program (its own stand-in, its own image) is
# refused by the bridge's lock.
mkfifo "$work/keys"
(cd "$work" && VANTACLE_STANDIN_D2XX=:card.img timeout "$hang_guard" "$wine" "$work/32/dll/vantacle.exe" --port=ftdi \
    <"$work/keys" >"$work/holder.out" 2>"$work/holder.err") &
holder=$!
exec 3>"$work/keys"
for ((waited = 0; waited < hang_guard; waited++)); do
    grep -q 'Read Sector?' "$work/holder.out" && break
    sleep 1
done
run_windows 64-locked 64 dll ":load.img" --port=ftdi --info
expect_refusal 64-locked "vantacle: the port ftdi-usb-loc1011-A is in use: another program holds it; wait for it to end"
printf 'E' >&3
exec 3>&-
wait "$holder" && pass "lock holder ends cleanly" || fail "lock holder ended with status $?"

# --- The parallel port of the 64-bit program ---------------------------------

# Runs the 64-bit program on the direct port in a directory of its own with
# the given giveio.sys.
run_direct() {
    local name=$1 driver=$2 status=0
    mkdir -p "$work/$name"
    cp "$work/64/dll/vantacle.exe" "$work/$name/"
    cp "$driver" "$work/$name/giveio.sys"
    (cd "$work/$name" && timeout "$hang_guard" "$wine" ./vantacle.exe <"$work/empty" >"$work/$name.out" \
        2>"$work/$name.err") || status=$?
    echo "$status" >"$work/$name.status"
}
banner=$'Vantacle\n\nOpen GIVEIO for WinNT/2K/XP : '
# The 32-bit driver, as giveio.sys is: a 64-bit Windows does not load it,
# so the service is installed, fails to start and is taken back; port-access
# level 0.
run_direct 64-direct-no-load "${builds[32]}/tests/standin_driver/giveio.sys"
expect_eq "64-bit direct port, 32-bit driver: level 0" "$(tr -d '\r' <"$work/64-direct-no-load.out")" \
    "$banner"$'Can\'t Access Direct I/O'
expect_eq "64-bit direct port, 32-bit driver: one line" "$(tr -d '\r' <"$work/64-direct-no-load.err")" \
    "vantacle: cannot get port access through the giveio driver: 64-bit Windows cannot load it; reach the card through an FTDI bridge (--port=ftdi)"
wine_call query reg query "$service_key"
expect_eq "64-bit direct port, 32-bit driver: no service left registered" "$(cat "$work/query.status")" 1
# A 64-bit stand-in driver does load, and grants nothing: the program
# survives its refused port instructions and gives the driver back.
run_direct 64-direct-refused "${builds[64]}/tests/standin_driver/giveio.sys"
expect_eq "64-bit direct port, port instructions refused" "$(tr -d '\r' <"$work/64-direct-refused.out")" \
    "$banner"$'Installed: Started: Opened\nInitialize MMC Card for SPI mode:MMC hardware error\n\nGIVEIO close: Remove :Stop :'
wine_call query reg query "$service_key"
expect_eq "64-bit direct port, port instructions refused: no service left registered" "$(cat "$work/query.status")" 1

echo "$failures failed"
[[ $failures == 0 ]]
