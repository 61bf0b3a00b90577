#!/usr/bin/env bash
# The binary wheels (x86_64 and aarch64, CPython 3.11 to 3.13), built, repaired
# and checked by tools/build_wheels.sh; then for each Python the x86_64 wheel is
# installed with pip alone into a fresh venv and the whole test suite runs
# against it from a directory where the source tree is not importable, after a
# check that the modules load the wheel's one library and no libcrypto file.
# The aarch64 wheels are tested by 75-wheels-aarch64.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
dist=build/wheels/dist
rm -rf "$dist"
bash tools/build_wheels.sh "$dist"

pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
pythons=(python3 "$pyenv_root/versions/3.12.1/bin/python3" "$pyenv_root/versions/3.13.0/bin/python3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The test dependencies: the "test" extra of pyproject.toml.
python3 -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))' \
  >"$work/test-requirements.txt"
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  echo "-- x86_64 wheel on Python $version"
  venv=$work/venv-$version
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q -r "$work/test-requirements.txt"
  "$venv/bin/python" -m pip install -q --no-index --only-binary=:all: --find-links "$dist" zeq-crypto-layer
  (cd "$work" && "$venv/bin/python" -I "$root/tools/check_installed_wheel.py" "$root/tests/support")
  (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
done
