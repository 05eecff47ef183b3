#!/usr/bin/env bash
# Installs what the build needs (Debian, as root), builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer, cross-builds the Windows
# program, and runs every test, the Windows program's under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libbenchmark-dev sigrok-cli wine wine64 g++-mingw-w64-i686 g++-mingw-w64-x86-64)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if ((${#missing[@]})); then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DVANTACLE_SANITIZE=ON
cmake --build build-test -j2
ctest --test-dir build-test --output-on-failure -j2
