#!/usr/bin/env bash
# Sets up, checks the sources' format, builds with -Werror and runs the
# whole test suite (the default preset), then again under AddressSanitizer
# and UndefinedBehaviorSanitizer (the asan preset), then the extra stages of
# tools/ci/ (fuzzing, the Windows build under Wine, the QEMU guest on the
# kernel's serial drivers). The last lines are the main suite's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests
tools/check_format.sh

cmake --build --preset default
ctest --preset default -j2

cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2

for stage in tools/ci/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $stage"
  bash "$stage"
done

echo "== main suite"
ctest --preset default -j2 2>&1 | tail -n 3
