#!/usr/bin/env bash
# The Windows platform layer and the Windows probe chain run for real: the
# tests in tests/cpp/windows and the helper programs they start, built with
# MinGW-w64 and linked statically, run under Wine in a prefix of their own.
# Wine is installed by .ci/run like every other package: when it cannot start
# programs here, the step says so and fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
WINE=${ZEQ_WINE:-/usr/lib/wine/wine64}
out=build/windows-wine
# No Mono or Gecko: creating the prefix must not ask to download them.
export WINEPREFIX="$PWD/$out/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cannot_start() {
  echo "windows under wine: FAILED: Wine cannot start programs here ($WINE): $1" >&2
  exit 1
}
[ -x "$WINE" ] || cannot_start "not installed (Debian package wine64)"

# Expat for MinGW: Debian has no build of it, so it is built from Debian's
# source package, fetched by apt with a source list and state of the step's
# own (the machine's apt configuration stays as it is).
expat_source() {
  local apt="$PWD/$out/apt" suite
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$out/expat-source"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$apt/sources.list"
  local options=(-qq -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
                 -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o Dir::State::status=/dev/null
                 -o APT::Sandbox::User=root)
  if ! apt-get "${options[@]}" update ||
     ! (cd "$out/expat-source" && apt-get "${options[@]}" source expat >/dev/null); then
    echo "windows under wine: FAILED: cannot fetch Expat's source package from Debian" >&2
    exit 1
  fi
}
expat_tree() { ls -d "$out"/expat-source/expat-*/expat/lib/xmlparse.c 2>/dev/null | head -n 1 | sed 's|/lib/xmlparse.c$||'; }
[ -n "$(expat_tree)" ] || expat_source
expat=$(expat_tree)

# The core's libcrypto users compile against OpenSSL's headers; the test
# binary serves the functions they call (tests/cpp/windows/libcrypto_cng.cpp).
. .ci/mingw-headers.sh
copy_openssl_headers "$out/include"

cmake -S tests/cpp/windows -B "$out" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
  -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
  -DZEQ_EXPAT_SOURCE="$PWD/$expat" -DZEQ_OPENSSL_INCLUDE="$PWD/$out/include" >/dev/null
cmake --build "$out"

# Nothing of Wine outlives the step.
trap '"${WINE%/*}/wineserver" -k >/dev/null 2>&1 || true' EXIT

# Wine runs under the Chinese locale (code page 936, a multi-byte code page),
# whether or not the Unix locale is installed; the runner's decoding is tested
# against it.
in_wine() { env LC_ALL=zh_CN.UTF-8 timeout "$1" "$WINE" "${@:2}" </dev/null; }

# The first start creates the prefix (some seconds).
answer=$(in_wine 180 "$out/zeq_speaker.exe" --out started 2>"$out/wine-start.log") || true
[ "$answer" = started ] || cannot_start "$(tail -n 5 "$out/wine-start.log" | tr '\n' ' ')"

in_wine 600 "$out/windows_tests.exe"
echo "windows under wine: ok"
