#!/usr/bin/env bash
# The packages as a user gets them: the Debian package unpacked into a
# scratch folder runs on the simulated card and says its version, its manual
# page renders, and the Windows zip holds the program and its text file.
#
# Usage: package_test.sh LINUX_BUILD [WINDOWS_BUILD]
set -euo pipefail

linux_build=$(realpath "$1")
windows_build=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

passes=0 failures=0
check() {
    if [[ "$2" == "$3" ]]; then
        echo "ok: $1"
        passes=$((passes + 1))
    else
        echo "FAILED: $1: got '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}

(cd "$linux_build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | grep -E 'vantacle(\.1)?$'
check "package contents" "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -cE '^\./usr/(bin/vantacle|share/man/man1/vantacle\.1)$')" 2
check "package declares the C library" "$(dpkg-deb -f "$deb" Depends | grep -c libc6)" 1
dpkg -x "$deb" "$scratch/root"
program=$scratch/root/usr/bin/vantacle
version=$("$program" --version)
echo "$version"
check "version line" "${version%% *}" vantacle
session=$(printf '\nE' | "$program" --port=sim)
check "session on the simulated card" "$(grep -c '^1F0=00 00 00 00 00 00 00 00 00 00 00 00 00 00 55 AA $' <<<"$session")" 1
page=$(MANWIDTH=80 man -l "$scratch/root/usr/share/man/man1/vantacle.1" 2>&1 | col -b)
head -n 12 <<<"$page"
for section in NAME SYNOPSIS OPTIONS KEYS "SIMULATED CARD" "EXIT STATUS" FILES EXAMPLES; do
    check "manual page section $section" "$(grep -c "^$section\$" <<<"$page")" 1
done

if [[ -n $windows_build && -f $windows_build/vantacle.exe ]]; then
    (cd "$windows_build" && cpack -G ZIP -B "$scratch/zip" >/dev/null)
    zip=$(ls "$scratch"/zip/*.zip)
    listing=$(cd "$scratch" && cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
    check "Windows zip contents" "$listing" "README.txt vantacle.exe "
fi

echo "packages: $passes passed, $failures failed"
[[ $failures == 0 ]]
