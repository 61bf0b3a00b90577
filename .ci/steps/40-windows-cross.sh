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
# libbase64 as CMakeLists.txt builds it for x86: each codec with its own
# instruction set, the configuration that says which are there.
CC=${CXX/%g++-posix/gcc-posix}
CC=${CC/%g++/gcc}
base64=third_party/libbase64
mkdir -p "$out/libbase64"
sed -E 's/#cmakedefine01 (BASE64_WITH_(SSSE3|SSE41|SSE42|AVX|AVX2|AVX512))$/#define \1 1/;
        s/#cmakedefine01 (BASE64_WITH_[A-Z0-9]+)$/#define \1 0/' "$base64/cmake/config.h.in" >"$out/libbase64/config.h"
declare -A codec_flags=([ssse3]=-mssse3 [sse41]=-msse4.1 [sse42]=-msse4.2 [avx]=-mavx [avx2]=-mavx2
                        [avx512]="-mavx512vl -mavx512vbmi")
c_sources=("$base64"/lib/lib.c "$base64"/lib/codec_choose.c "$base64"/lib/tables/tables.c "$base64"/lib/arch/*/codec.c)
for src in "${c_sources[@]}"; do
  codec=$(basename "$(dirname "$src")")
  # shellcheck disable=SC2086
  "$CC" -std=c99 -O1 -Wall -Wextra -Werror -DBASE64_STATIC_DEFINE ${codec_flags[$codec]:-} \
    -I"$base64/include" -I"$out/libbase64" -c "$src" -o "$out/$(echo "$src" | tr / _).o"
done
echo "windows cross-compile: ok (${#sources[@]} C++ files, ${#c_sources[@]} C files)"
