#!/usr/bin/env bash
# The whole Python test suite once more against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report aborts the run).
set -euo pipefail
cd "$(dirname "$0")/../.."
venv=build/asan-venv
python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install -q --no-build-isolation \
  -C cmake.define.ZEQ_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan .
# The interpreter itself is not instrumented: preload the runtime, and leave leak
# checking to the memory-growth test (the interpreter keeps memory until exit).
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ZEQ_SANITIZED=1
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
