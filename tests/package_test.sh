#!/usr/bin/env bash
# The packages as a user gets them: the Debian package passes lintian, holds
# a stripped program, its compressed manual page, copyright and changelog;
# unpacked into a scratch folder it runs on the simulated card and says its
# version, and its manual page renders. The Windows zip holds the stripped
# programs (32-bit, and 64-bit when built), their licence and a text file
# with CRLF line ends.
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
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')
check "package contents" "$contents" "./usr/bin/vantacle ./usr/share/doc/vantacle/changelog.gz ./usr/share/doc/vantacle/copyright ./usr/share/man/man1/vantacle.1.gz "
if command -v lintian >/dev/null; then
    lintian_report=$(lintian --fail-on error,warning "$deb" 2>&1) && lintian_status=0 || lintian_status=$?
    [[ -z $lintian_report ]] || echo "$lintian_report"
    check "lintian finds no error or warning" "$lintian_status" 0
else
    echo "skipped: lintian is not installed"
fi
check "package declares the C library" "$(dpkg-deb -f "$deb" Depends | grep -c libc6)" 1
dpkg -x "$deb" "$scratch/root"
program=$scratch/root/usr/bin/vantacle
check "packaged program has no debug sections" "$(readelf -S "$program" | grep -c '\.debug_' || true)" 0
version=$("$program" --version)
echo "$version"
check "version line" "${version%% *}" vantacle
session=$(printf '\nE' | "$program" --port=sim)
check "session on the simulated card" "$(grep -c '^1F0=00 00 00 00 00 00 00 00 00 00 00 00 00 00 55 AA $' <<<"$session")" 1
page=$(MANWIDTH=80 man -l "$scratch/root/usr/share/man/man1/vantacle.1.gz" 2>&1 | col -b)
head -n 12 <<<"$page"
for section in NAME SYNOPSIS OPTIONS KEYS "SIMULATED CARD" "EXIT STATUS" FILES EXAMPLES; do
    check "manual page section $section" "$(grep -c "^$section\$" <<<"$page")" 1
done

if [[ -n $windows_build && -f $windows_build/vantacle.exe ]]; then
    (cd "$windows_build" && cpack -G ZIP -B "$scratch/zip" >/dev/null)
    zip=$(ls "$scratch"/zip/*.zip)
    listing=$(cd "$scratch" && cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
    # The 64-bit program rides along when the build was given one.
    programs="vantacle.exe "
    grep -q '^VANTACLE_WIN64_PROGRAM:FILEPATH=.' "$windows_build/CMakeCache.txt" && programs+="vantacle64.exe "
    check "Windows zip contents" "$listing" "LICENSE README.txt $programs"
    cmake -E chdir "$scratch/zip" cmake -E tar xf "$zip"
    unpacked=$(dirname "$(ls "$scratch"/zip/*/vantacle.exe)")
    for program in $programs; do
        check "Windows program $program has no debug sections" "$(grep -ac '\.debug_' "$unpacked/$program" || true)" 0
    done
    check "Windows README lines end in CRLF" "$(grep -vc $'\r$' "$unpacked/README.txt" || true)" 0
fi

echo "packages: $passes passed, $failures failed"
[[ $failures == 0 ]]
