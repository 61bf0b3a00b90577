#!/usr/bin/env bash
# Every fuzz target for a bounded time, starting from its seed corpus in
# fuzz/corpus/<target>. A crash fails the run; its input is printed so that it can
# become a regular test.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${ZEQ_FUZZ_SECONDS:-20}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DZEQ_BUILD_FUZZERS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "$work/$name"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  echo "-- $name (${seconds}s)"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$work/$name-" "$work/$name" >"$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    for crash in "$work/$name"-*; do
      [ -e "$crash" ] && { echo "input ($crash):"; od -c "$crash" | head -n 20; }
    done
    exit 1
  fi
  grep -E "^Done [0-9]+ runs" "$work/$name.log" || true
done
