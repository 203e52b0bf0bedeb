#!/usr/bin/env bash
# Sets up, builds with -Werror and runs the whole test suite, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the extra
# stages of tools/ci/ (fuzzing, the Windows build under Wine, the QEMU guest
# on the kernel's serial drivers). The last lines are the main suite's
# summary.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh --tests

cmake --build build
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-asan -G Ninja -DKORVA_WERROR=ON -DKORVA_SANITIZE=ON >/dev/null
cmake --build build-asan
ctest --test-dir build-asan --output-on-failure -j2

for stage in tools/ci/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $stage"
  bash "$stage"
done

echo "== main suite"
ctest --test-dir build -j2 2>&1 | tail -n 3
