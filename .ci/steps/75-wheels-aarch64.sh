#!/usr/bin/env bash
# The aarch64 wheels run for real: Debian's arm64 Python 3.11 (bookworm) and
# 3.13 (trixie), unpacked from their packages into sysroots in the cache, run
# under qemu-user-static; each installs its wheel with pip alone into a fresh
# venv, checks it (tools/check_installed_wheel.py) and runs the whole suite
# against it. Test dependencies come from the package index as arm64 wheels or
# pure Python; one that cannot be installed is named here, and the test files
# that import it are left out (everything else still runs).
# The wheels are those 70-wheels.sh built, or built here when absent.
# ZEQ_AARCH64_PAIRS (e.g. "bookworm:3.11") narrows the run to the releases named.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
. tools/wheels/common.sh
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
command -v qemu-aarch64-static >/dev/null || die "qemu-aarch64-static is missing (Debian package qemu-user-static)"
zeq_tools_venv
dist=build/wheels/dist
if ! ls "$dist"/*-cp311-*aarch64.whl "$dist"/*-cp313-*aarch64.whl >/dev/null 2>&1 && [ -z "${ZEQ_AARCH64_PAIRS:-}" ]; then
  bash tools/build_wheels.sh --arch aarch64 --python 3.11 --python 3.13 "$dist"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mapfile -t requirements < <(python3 -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
for pair in ${ZEQ_AARCH64_PAIRS:-bookworm:3.11 trixie:3.13}; do
  suite=${pair%%:*}
  version=${pair#*:}
  sysroot=$(zeq_arm64_python_sysroot "$suite" "$version")
  echo "-- aarch64 wheel on Debian $suite's Python $version (qemu)"
  venv=$work/venv-$version
  "$sysroot/usr/bin/python$version-qemu" -m venv --without-pip "$venv"
  pip=("$tools/bin/python" -m pip --python "$venv/bin/python")
  ignored=()
  # pip under qemu starts slowly: all at once, one by one only when that fails.
  "${pip[@]}" install -q --only-binary=:all: "${requirements[@]}" >"$work/pip.log" 2>&1 || for requirement in "${requirements[@]}"; do
    if ! "${pip[@]}" install -q --only-binary=:all: "$requirement" >"$work/pip.log" 2>&1; then
      module=$(echo "$requirement" | sed -E 's/[<>=!~ ].*//')
      echo "NOTE: no arm64 wheel of $requirement for Python $version: the tests that import $module are left out"
      tail -n 2 "$work/pip.log"
      while IFS= read -r file; do ignored+=("--ignore=$file"); done < <(grep -lE "^(import|from) $module\b" "$root"/tests/python/*.py)
    fi
  done
  # Under qemu the guest's vector registers live in the emulator's memory, which
  # the freed-memory test reads as the child's: the AES rounds leave the key of
  # their last block there (on a real processor it stays in a register).
  # (--deselect takes node ids, which pytest counts from the repository's root.)
  ignored+=("--deselect=tests/python/test_freed_memory.py::test_no_key_material_is_left_in_memory[encrypt_root_key_data]")
  echo "NOTE: left out under qemu: test_no_key_material_is_left_in_memory[encrypt_root_key_data] (the emulator keeps the guest's vector registers in its memory)"
  if [ "$suite" = trixie ]; then
    # Debian 13's Python 3.13.5 decodes some malformed Base64 otherwise than the
    # 3.13.0 the x86_64 suite runs on; the layer follows the latter for now.
    ignored+=("--deselect=tests/python/test_per_info_key.py::test_lenient_base64_agrees_with_the_host_decoder")
    echo "NOTE: left out on Debian's Python 3.13.5: test_lenient_base64_agrees_with_the_host_decoder (that release's binascii differs on malformed input)"
  fi
  "${pip[@]}" install -q --no-index --only-binary=:all: --find-links "$dist" zeq-crypto-layer
  (cd "$work" && "$venv/bin/python" -I "$root/tools/check_installed_wheel.py" "$root/tests/support")
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${ignored[@]}" "$root/tests/python")
done
