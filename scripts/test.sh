#!/usr/bin/env bash
# The one test command: installs what is missing, then builds and tests the
# native preset (with sanitizers) and the Windows preset (under Wine), then
# runs each fuzz target for 25 s (one test per target).
# Usage: scripts/test.sh [native] [windows] [fuzz]      (default: all three)
# Ends with the time of each phase and one line: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native windows fuzz)

# Each phase's wall time, printed at the end.
started=$SECONDS
phase_start=$SECONDS
phases=()
end_phase() {
  phases+=("$(printf '%-22s %4d s' "$1" $((SECONDS - phase_start)))")
  phase_start=$SECONDS
}
report_times() {
  printf '=== time\n'
  printf '  %s\n' "${phases[@]}"
  printf '  %-22s %4d s\n' total $((SECONDS - started))
}

scripts/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }
end_phase "installs"

passed=0
failed=0
for preset in "${presets[@]}"; do
  [ "$preset" = fuzz ] && continue
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build-$preset.log" 2>&1 ||
     ! cmake --build --preset "$preset" >>"build-$preset.log" 2>&1; then
    tail -n 40 "build-$preset.log"
    echo "=== $preset: build FAILED (log: build-$preset.log)"
    failed=$((failed + 1))
    end_phase "$preset build"
    continue
  fi
  rm -f "build-$preset.log"
  end_phase "$preset build"
  echo "=== $preset: test"
  out=$(mktemp)
  ctest --preset "$preset" 2>&1 | tee "$out"
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
  rm -f "$out"
  end_phase "$preset test"
  if [ -z "$summary" ]; then
    echo "=== $preset: ctest gave no summary"
    failed=$((failed + 1))
    continue
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done

if [[ " ${presets[*]} " == *" fuzz "* ]]; then
  echo "=== fuzz: build and run"
  out=$(mktemp)
  scripts/fuzz.sh 25 2>&1 | tee "$out"
  ok=$(grep -cE '^fuzz [^ ]+: ok' "$out")
  bad=$(grep -cE '^fuzz [^ ]+: FAILED' "$out")
  rm -f "$out"
  [ $((ok + bad)) -eq 0 ] && bad=1
  passed=$((passed + ok))
  failed=$((failed + bad))
  end_phase "fuzz build and run"
fi

report_times
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
