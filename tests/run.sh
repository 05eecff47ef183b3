#!/usr/bin/env bash
# Installs what the build needs (Debian, as root; the first run fetches
# about 350 MB of packages and takes a few minutes), then:
# - builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
#   warnings as errors, cross-builds the 32-bit Windows program, and runs
#   every test (the Windows program's under 32-bit Wine);
# - builds Release with the tests, warnings as errors, and runs its tests;
# - packages the program for Debian, unpacks it into a scratch folder and
#   runs it on the simulated card, renders its manual page, and zips the
#   Windows program.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make python3-jsonschema libgtest-dev libbenchmark-dev sigrok-cli wine wine64 g++-mingw-w64-i686
          g++-mingw-w64-x86-64 dpkg-dev man-db groff-base
          lintian gddrescue libnbd-bin nbdfuse fuse3 dosfstools librsvg2-bin libftdi1-dev pkg-config
          libgnutls28-dev gnutls-bin)
missing=()
for p in "${packages[@]}" wine32:i386; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DVANTACLE_SANITIZE=ON -DVANTACLE_WERROR=ON -DVANTACLE_TESTS=ON
cmake --build build-test -j2
ctest --test-dir build-test --output-on-failure -j2

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVANTACLE_WERROR=ON -DVANTACLE_TESTS=ON -DVANTACLE_WINE_TEST=OFF
cmake --build build-release -j2
ctest --test-dir build-release --output-on-failure -j2

bash tests/package_test.sh build-release build-test/windows-i686
