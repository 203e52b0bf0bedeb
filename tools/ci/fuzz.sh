#!/usr/bin/env bash
# CI stage: builds every fuzz/*_fuzz.cpp target with clang and libFuzzer in
# build-fuzz, then runs each one for a bounded time, starting from its
# committed corpus (fuzz/corpus/<name>/). Any crash, sanitizer report, leak
# or time-out fails the stage; the reproducer is left in build-fuzz/findings/.
#
# FUZZ_SECONDS sets the time of the receiver target (default 60),
# FUZZ_SECONDS_OTHER that of each other target (default 30): the stage
# stays under four minutes.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds_for() {
  case "$1" in
    receiver_fuzz) echo "${FUZZ_SECONDS:-60}" ;;
    *) echo "${FUZZ_SECONDS_OTHER:-30}" ;;
  esac
}
build=build-fuzz

targets=()
for source in fuzz/*_fuzz.cpp; do
  [ -e "$source" ] || continue
  targets+=("$(basename "$source" .cpp)")
done
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVA_FUZZ=ON -DKORVA_TESTS=OFF
cmake --build "$build" --target "${targets[@]}"

mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  work="$build/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  seconds="$(seconds_for "$target")"
  echo "== fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "$work" "${seeds[@]}"; then
    echo "!! $target found a fault; reproducers in $build/findings/"
    status=1
  fi
done
exit "$status"
