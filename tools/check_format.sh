#!/usr/bin/env bash
# Fails when a tracked .cpp or .h file differs from what clang-format makes
# of it with the repository's .clang-format, and names those files.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || {
  echo "format: clang-format is missing (apt-get install -y clang-format)"
  exit 1
}
# One clang-format for all files: each place it would change is a line
# "FILE:LINE:COLUMN: error: code should be clang-formatted".
status=0
report=$(git ls-files -z -- '*.cpp' '*.h' |
  xargs -0 clang-format --style=file --dry-run --Werror 2>&1) || status=$?
mapfile -t offending < <(
  sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' <<<"$report" |
    sort -u)
if [ ${#offending[@]} -gt 0 ]; then
  echo "format: ${#offending[@]} file(s) differ from .clang-format (clang-format -i FILE):"
  printf '  %s\n' "${offending[@]}"
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "format: clang-format failed:"
  echo "$report"
  exit 1
fi
echo "format: every .cpp and .h file is formatted"
