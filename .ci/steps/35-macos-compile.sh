#!/usr/bin/env bash
# All of the core, the macOS platform (POSIX spawn, the ioreg and sysctl
# probes) included, compiled for x86_64-macos and aarch64-macos with zig, whose
# targets carry the macOS system headers, warnings as errors. Compile-only:
# running it is out of reach on Linux, but what only macOS headers declare (or
# lack) shows here. The OpenSSL and Expat headers are Debian's (.ci/mingw-headers.sh):
# their API is the same on every system.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/wheels/common.sh
zeq_tools_venv
out=build/macos-compile
include="$out/include"
. .ci/mingw-headers.sh
rm -rf "$out"
copy_openssl_headers "$include"
copy_expat_headers "$include"
# The deployment target of the macOS wheels ([tool.cibuildwheel.macos]).
targets=(x86_64-macos.11.0 aarch64-macos.11.0)
sources=(src/core/*.cpp src/core/device/*.cpp src/core/platform/platform_text.cpp src/core/platform/posix.cpp)
# libbase64 as CMakeLists.txt builds it for each processor: on x86_64 each
# codec with its own instruction set, on aarch64 NEON, the others empty.
base64=third_party/libbase64
c_sources=("$base64"/lib/lib.c "$base64"/lib/codec_choose.c "$base64"/lib/tables/tables.c "$base64"/lib/arch/*/codec.c)
declare -A codec_flags=([ssse3]=-mssse3 [sse41]=-msse4.1 [sse42]=-msse4.2 [avx]=-mavx [avx2]=-mavx2
                        [avx512]="-mavx512vl -mavx512vbmi")
for target in "${targets[@]}"; do
  mkdir -p "$out/$target"
  for src in "${sources[@]}"; do
    "${zig[@]}" c++ -target "$target" -std=c++20 -O1 -Wall -Wextra -Werror -Isrc -I"$base64/include" -I"$include" \
      -c "$src" -o "$out/$target/$(echo "$src" | tr / _).o"
  done
  case "$target" in
    x86_64-*) codecs='SSSE3|SSE41|SSE42|AVX|AVX2|AVX512' ;;
    *) codecs='NEON64' ;;
  esac
  sed -E "s/#cmakedefine01 (BASE64_WITH_($codecs))\$/#define \1 1/;
          s/#cmakedefine01 (BASE64_WITH_[A-Z0-9]+)\$/#define \1 0/" "$base64/cmake/config.h.in" >"$out/$target/config.h"
  for src in "${c_sources[@]}"; do
    codec=$(basename "$(dirname "$src")")
    flags=""
    [ "${target%%-*}" = x86_64 ] && flags=${codec_flags[$codec]:-}
    # shellcheck disable=SC2086
    "${zig[@]}" cc -target "$target" -std=c99 -O1 -Wall -Wextra -Werror -DBASE64_STATIC_DEFINE $flags \
      -I"$base64/include" -I"$out/$target" -c "$src" -o "$out/$target/$(echo "$src" | tr / _).o"
  done
  echo "macos compile ($target): ok (${#sources[@]} C++ files, ${#c_sources[@]} C files)"
done
