#!/usr/bin/env bash
# The repository's formatting and lint: clang-format (.clang-format) over every
# tracked C++ file of src/, tests/cpp and fuzz/, ruff (pyproject.toml) over the Python.
#
#   tools/format.sh            rewrites the files in place (ruff's safe fixes included)
#   tools/format.sh --check    changes nothing; fails, naming the files, when any is off
#
# clang-format must be version 14 (Debian's clang-format package, as in CI): other
# versions lay out some constructs differently. CLANG_FORMAT and RUFF name other binaries.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=write
case "${1-}" in
  --check) mode=check ;;
  "") ;;
  *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac

clang_format=${CLANG_FORMAT:-clang-format}
if [ -n "${RUFF-}" ]; then
  ruff=("$RUFF")
elif command -v ruff >/dev/null 2>&1; then
  ruff=(ruff)
else
  ruff=(python3 -m ruff)
fi

version=$("$clang_format" --version 2>/dev/null | head -n 1 || true)
if [[ ! "$version" =~ version\ 14\. ]]; then
  echo "tools/format.sh: needs clang-format 14 (apt-get install clang-format on Debian 12); found: ${version:-none}" >&2
  exit 2
fi

mapfile -t cpp_files < <(git ls-files -- \
  'src/*.cpp' 'src/*.hpp' 'src/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'tests/cpp/*.h' \
  'fuzz/*.cpp' 'fuzz/*.hpp' 'fuzz/*.h')

if [ "$mode" = write ]; then
  "$clang_format" -i "${cpp_files[@]}"
  "${ruff[@]}" check --fix --quiet . || true  # what it leaves is listed below
  "${ruff[@]}" format --quiet .
  # What ruff cannot fix by itself is left for a person: show it.
  "${ruff[@]}" check --output-format concise .
  exit
fi

failed=()

echo "-- clang-format (${#cpp_files[@]} files)"
if ! report=$("$clang_format" --dry-run --Werror "${cpp_files[@]}" 2>&1); then
  # One line per file rather than every place: clang-format --dry-run FILE shows them.
  places=$(grep -o '^[^:]*:[0-9]*:[0-9]*: error: code should be clang-formatted' <<<"$report" || true)
  if [ -n "$places" ]; then
    cut -d: -f1 <<<"$places" | uniq -c | awk '{ printf "  %s: %d places to reformat\n", $2, $1 }'
  else
    echo "$report"  # clang-format itself failed
  fi
  failed+=(clang-format)
fi

echo "-- ruff check"
"${ruff[@]}" check . || failed+=("ruff check")

echo "-- ruff format --check"
"${ruff[@]}" format --check . || failed+=("ruff format")

if [ ${#failed[@]} -gt 0 ]; then
  echo "format check failed (${failed[*]}): run tools/format.sh, review and commit what it changes" >&2
  exit 1
fi
echo "format check passed"
