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

# Wine fails now and then on a loaded machine, whatever the test: a process
# that cannot be started (CreateProcess error 1359, ERROR_INTERNAL_ERROR), or
# Linux's loader aborting a Wine process as it exits. True when every failed
# test in the ctest output $1 shows one of these; those tests, and only
# those, are then run once more. Any other failure counts as it stands.
only_wine_failed() {
  awk '
    function close_test() { if (name != "" && !wine) bad = 1; name = "" }
    /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
      close_test()
      if (/\*\*\*/ && !/\*\*\*Skipped/) { name = $0; wine = 0; failures++ }
      next
    }
    /^ +Start +[0-9]+: / || /tests passed, [0-9]+ tests failed/ { close_test(); next }
    name != "" && (/Inconsistency detected by ld\.so/ || /cannot start [^"]*: error 1359([^0-9]|$)/) { wine = 1 }
    END { close_test(); exit !(failures > 0 && !bad) }
  ' "$1"
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
  if [ "$preset" = windows ] && [ -n "$summary" ] && ! grep -q ' 0 tests failed' <<<"$summary" &&
     only_wine_failed "$out"; then
    echo "=== $preset: Wine itself failed in every failed test above; running those once more"
    ctest --preset "$preset" --rerun-failed 2>&1 | tee "$out"
    rerun=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1)
    if [ -n "$rerun" ]; then
      # The rerun's failures out of the whole run's tests.
      total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
      summary=$(sed -E "s/out of [0-9]+/out of $total/" <<<"$rerun")
    fi
  fi
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
