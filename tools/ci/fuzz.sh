#!/usr/bin/env bash
# CI stage: builds every fuzz/*_fuzz.cpp target with clang and libFuzzer in
# build-fuzz (the fuzz preset), then runs each one for a bounded time,
# starting from its committed corpus (fuzz/corpus/<name>/). Any crash,
# sanitizer report, leak or time-out fails the stage; the reproducer is left
# in build-fuzz/findings/.
#
# FUZZ_SECONDS sets the time of the receiver target (default 60),
# FUZZ_SECONDS_OTHER that of each other target (default 30). The targets run
# one per core at a time, each for its whole time; each one's output goes to
# build-fuzz/logs/, shown when it finds a fault.
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

cmake --preset fuzz
cmake --build --preset fuzz --target "${targets[@]}"

mkdir -p "$build/findings" "$build/logs"
# One target per core at a time: each still gets its whole time.
jobs_at_once="$(nproc 2>/dev/null || echo 2)"
fuzz_one() {
  local target="$1" name="${1%_fuzz}"
  local work="$build/corpus/$name" seeds=()
  mkdir -p "$work"
  [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
  "$build/fuzz/$target" -max_total_time="$(seconds_for "$target")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    "$work" "${seeds[@]}" >"$build/logs/$target.log" 2>&1
}
pids=()
for target in "${targets[@]}"; do
  echo "== fuzzing $target for $(seconds_for "$target")s"
  fuzz_one "$target" &
  pids+=("$!:$target")
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do wait -n || true; done
done
status=0
for entry in "${pids[@]}"; do
  target="${entry#*:}"
  if ! wait "${entry%%:*}"; then
    tail -n 40 "$build/logs/$target.log"
    echo "!! $target found a fault; reproducers in $build/findings/"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/logs/$target.log" | sed "s/^/$target: /"
  fi
done
exit "$status"
