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
. .ci/libbase64-objects.sh
for target in "${targets[@]}"; do
  mkdir -p "$out/$target"
  for src in "${sources[@]}"; do
    "${zig[@]}" c++ -target "$target" -std=c++20 -O1 -Wall -Wextra -Werror -Isrc -Ithird_party/libbase64/include -I"$include" \
      -c "$src" -o "$out/$target/$(echo "$src" | tr / _).o"
  done
  c_files=$(compile_libbase64 "$out/$target/libbase64" "${target%%-*}" "${zig[@]}" cc -target "$target")
  echo "macos compile ($target): ok (${#sources[@]} C++ files, $c_files C files)"
done
