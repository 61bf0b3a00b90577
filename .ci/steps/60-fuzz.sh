#!/usr/bin/env bash
# Every fuzz target for a bounded time, starting from its seed corpus in
# fuzz/corpus/<target> (and its dictionary fuzz/dict/<target>.dict, if any). A
# crash fails the run; its input is printed so that it can become a regular test,
# and kept under build/fuzz/artifacts.
#
# ZEQ_FUZZ_SECONDS: seconds per target (default 15, which keeps the whole step,
# build included, near three minutes on two cores).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${ZEQ_FUZZ_SECONDS:-15}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DZEQ_BUILD_FUZZERS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] && [ -f "$target" ] || continue
  name=$(basename "$target")
  mkdir -p "$work/$name"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/$name-")
  [ -f "fuzz/dict/$name.dict" ] && options+=(-dict="fuzz/dict/$name.dict")
  echo "-- $name (${seconds}s)"
  if ! "$target" "${options[@]}" "$work/$name" >"$work/$name.log" 2>&1; then
    tail -n 40 "$work/$name.log"
    for crash in "$artifacts/$name"-*; do
      [ -e "$crash" ] && { echo "input ($crash):"; od -c "$crash" | head -n 20; }
    done
    exit 1
  fi
  grep -E "^Done [0-9]+ runs|stat::(number_of_executed_units|new_units_added)" "$work/$name.log" || true
done
