#!/usr/bin/env bash
# The Windows platform and the probe chains, compiled with MinGW-w64 so that
# the Windows side cannot break unseen on a Linux CI. parsers.cpp is left out:
# it is portable C++ but needs Expat's headers, of which Debian ships no
# MinGW build (and it is compiled and tested natively anyway).
set -euo pipefail
cd "$(dirname "$0")/../.."
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
command -v "$CXX" >/dev/null || CXX=x86_64-w64-mingw32-g++
out=build/windows-cross
mkdir -p "$out"
sources=(src/core/platform/windows.cpp src/core/platform_text.cpp src/core/text.cpp)
for src in src/core/device/*.cpp; do
  [[ "$src" == src/core/device/parsers.cpp ]] || sources+=("$src")
done
for src in "${sources[@]}"; do
  "$CXX" -std=c++20 -O1 -Wall -Wextra -Werror -Isrc -c "$src" -o "$out/$(echo "$src" | tr / _).o"
done
echo "windows cross-compile: ok (${#sources[@]} files)"
