#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer, UBSan) and runs
# every fuzz target for a while, all of them at once, each on a scratch copy
# of its seed corpus, so the committed corpus under fuzz/corpus/ never grows
# by itself.
# Usage: scripts/fuzz.sh [seconds-per-target]        (default: 60)
# Prints one line per target, "fuzz NAME: ok, N executions in Ss" or
# "fuzz NAME: FAILED ...", and exits non-zero when any target failed.
# The build directory is build/fuzz unless VEXO_FUZZ_BUILD_DIR names another;
# a crashing input is kept under its artifacts/ folder.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${VEXO_FUZZ_BUILD_DIR:-build/fuzz}
targets=()
for source in fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done

mkdir -p "$build/artifacts"
log="$build/fuzz-build.log"
if ! cmake --preset fuzz -B "$build" >"$log" 2>&1 ||
   ! cmake --build "$build" -j2 --target "${targets[@]}" >>"$log" 2>&1; then
  tail -n 40 "$log"
  for target in "${targets[@]}"; do echo "fuzz $target: FAILED (build, log: $log)"; done
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The targets run side by side, one per core.
pids=()
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  mkdir -p "$scratch/$name"
  cp fuzz/corpus/"$name"/* "$scratch/$name"/ 2>/dev/null
  extra=()
  [ -f "fuzz/$name.dict" ] && extra+=("-dict=fuzz/$name.dict")
  "$build/bin/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" "${extra[@]}" "$scratch/$name" \
    >"$build/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  out="$build/$target.log"
  wait "${pids[$i]}"
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $target: ok, ${runs:-?} executions in ${seconds}s"
  else
    tail -n 30 "$out"
    echo "fuzz $target: FAILED (exit $rc, log: $out, input kept in $build/artifacts)"
    status=1
  fi
done
exit "$status"
