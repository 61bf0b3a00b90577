# Sourced by the compile-only steps: the vendored libbase64 compiled as
# CMakeLists.txt builds it, each processor's codecs with their own instruction
# set and the configuration that says which are there, the others empty.
#   compile_libbase64 OUT x86_64|aarch64 C-COMPILER...
# prints the number of C files compiled.
compile_libbase64() {
  local out=$1 arch=$2
  shift 2
  local base64=third_party/libbase64 codecs src codec
  case "$arch" in
    x86_64) codecs='SSSE3|SSE41|SSE42|AVX|AVX2|AVX512' ;;
    aarch64) codecs='NEON64' ;;
    *) echo "compile_libbase64: no codecs for $arch" >&2; return 1 ;;
  esac
  mkdir -p "$out"
  sed -E "s/#cmakedefine01 (BASE64_WITH_($codecs))\$/#define \\1 1/;
          s/#cmakedefine01 (BASE64_WITH_[A-Z0-9]+)\$/#define \\1 0/" "$base64/cmake/config.h.in" >"$out/config.h" || return 1
  local -A codec_flags=([ssse3]=-mssse3 [sse41]=-msse4.1 [sse42]=-msse4.2 [avx]=-mavx [avx2]=-mavx2
                        [avx512]="-mavx512vl -mavx512vbmi")
  local c_sources=("$base64"/lib/lib.c "$base64"/lib/codec_choose.c "$base64"/lib/tables/tables.c "$base64"/lib/arch/*/codec.c)
  for src in "${c_sources[@]}"; do
    codec=$(basename "$(dirname "$src")")
    local flags=""
    [ "$arch" = x86_64 ] && flags=${codec_flags[$codec]:-}
    # shellcheck disable=SC2086
    "$@" -std=c99 -O1 -Wall -Wextra -Werror -DBASE64_STATIC_DEFINE $flags \
      -I"$base64/include" -I"$out" -c "$src" -o "$out/$(echo "$src" | tr / _).o" || return 1
  done
  echo "${#c_sources[@]}"
}
