#!/usr/bin/env bash
# All of the core (src/core, with the Windows platform in place of the POSIX
# one, and the vendored libbase64 with its x86 codecs) compiled with MinGW-w64,
# so that the Windows side cannot break unseen on a Linux CI. Compile-only,
# against a copy of Debian's libcrypto and Expat headers (.ci/mingw-headers.sh).
# 45-windows-wine.sh links and runs the Windows platform and probe chain.
set -euo pipefail
cd "$(dirname "$0")/../.."
CXX=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
command -v "$CXX" >/dev/null || CXX=x86_64-w64-mingw32-g++
out=build/windows-cross
include="$out/include"
. .ci/mingw-headers.sh
rm -rf "$include"
copy_openssl_headers "$include"
copy_expat_headers "$include"
sources=(src/core/*.cpp src/core/device/*.cpp src/core/platform/platform_text.cpp src/core/platform/windows.cpp)
for src in "${sources[@]}"; do
  "$CXX" -std=c++20 -O1 -Wall -Wextra -Werror -DXML_STATIC -Isrc -Ithird_party/libbase64/include -I"$include" \
    -c "$src" -o "$out/$(echo "$src" | tr / _).o"
done
CC=${CXX/%g++-posix/gcc-posix}
CC=${CC/%g++/gcc}
. .ci/libbase64-objects.sh
c_files=$(compile_libbase64 "$out/libbase64" x86_64 "$CC")
echo "windows cross-compile: ok (${#sources[@]} C++ files, $c_files C files)"
