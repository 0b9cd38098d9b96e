#!/usr/bin/env bash
# The one test command: installs what is missing, then builds and tests the
# native preset (with sanitizers) and the Windows preset (under Wine), and
# runs each fuzz target for a while (one test per target).
# Usage: scripts/test.sh [native] [windows] [fuzz]      (default: all three)
# Ends with the time of each phase and one line: "N passed, N failed".
#
# The phases overlap where one waits on the network or sleeps while another
# needs the processors: the Windows and fuzz packages install while the
# native preset builds; the native tests run while the Windows preset builds
# (at a lower priority, so that the tests' timings are not squeezed); the
# fuzz targets build and run, at a lower priority, while the Windows tests
# run (a fuzz run lasts a fixed time, whatever share of the processors it
# gets). Each overlapped phase's output is printed whole once it has ended.
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native windows fuzz)
wants() { [[ " ${presets[*]} " == *" $1 "* ]]; }

started=$SECONDS
phases=()
# phase NAME START: records NAME as having taken from START until now.
phase() { phases+=("$(printf '%-30s %4d s' "$1" $((SECONDS - $2)))"); }
report_times() {
  printf '=== time (phases marked "beside" overlapped the one before)\n'
  printf '  %s\n' "${phases[@]}"
  printf '  %-30s %4d s\n' total $((SECONDS - started))
}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

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

passed=0
failed=0
# count SUMMARY: adds a ctest summary line ("... N tests failed out of M")
# to the totals; no summary counts as one failure.
count() {
  if [ -z "$1" ]; then
    failed=$((failed + 1))
    return
  fi
  local bad total
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$1")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$1")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# build PRESET [nice]: configures and builds; false (and one failure) when
# either fails, with the log's end shown.
build() {
  local preset=$1 log="build-$1.log" run=()
  [ "${2:-}" = nice ] && run=(nice -n 10)
  if ! "${run[@]}" cmake --preset "$preset" >"$log" 2>&1 ||
     ! "${run[@]}" cmake --build --preset "$preset" >>"$log" 2>&1; then
    tail -n 40 "$log"
    echo "=== $preset: build FAILED (log: $log)"
    failed=$((failed + 1))
    return 1
  fi
  rm -f "$log"
}

# ctest_summary OUTPUT: the last summary line ctest printed, or nothing.
ctest_summary() { grep -E '[0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1; }

# The native build's own packages first; the Windows and fuzz packages
# install beside it (dpkg takes one install at a time, so these two do not
# overlap each other).
start=$SECONDS
groups=()
wants native && groups+=(native)
wants windows && groups+=(windows)
wants fuzz && groups+=(fuzz)
later_pid=
if wants native; then
  scripts/install-deps.sh native || { echo "0 passed, 1 failed"; exit 1; }
  phase "installs (native)" "$start"
  rest=("${groups[@]:1}")
  if [ ${#rest[@]} -gt 0 ]; then
    later_start=$SECONDS
    (scripts/install-deps.sh "${rest[@]}" >"$logs/installs" 2>&1
     status=$?
     echo $SECONDS >"$logs/installs.end"
     exit $status) &
    later_pid=$!
  fi
else
  scripts/install-deps.sh "${groups[@]}" || { echo "0 passed, 1 failed"; exit 1; }
  phase "installs" "$start"
fi
# later_installs: waits for the packages installing beside the native build.
later_installs() {
  [ -z "$later_pid" ] && return 0
  local ok=0
  wait "$later_pid" || ok=1
  cat "$logs/installs"
  phases+=("$(printf '%-30s %4d s' "installs (others) beside" $(($(cat "$logs/installs.end") - later_start)))")
  later_pid=
  [ $ok -eq 0 ] || { echo "=== installs FAILED"; report_times; echo "$passed passed, $((failed + 1)) failed"; exit 1; }
}

native_pid=
if wants native; then
  echo "=== native: configure and build"
  start=$SECONDS
  if build native; then
    phase "native build" "$start"
    echo "=== native: test$(wants windows && echo ', beside the Windows build')"
    native_start=$SECONDS
    (ctest --preset native >"$logs/native" 2>&1; echo $SECONDS >"$logs/native.end") &
    native_pid=$!
  else
    phase "native build" "$start"
  fi
fi
# native_tests: waits for the native tests and counts them.
native_tests() {
  [ -z "$native_pid" ] && return 0
  wait "$native_pid"
  cat "$logs/native"
  count "$(ctest_summary "$logs/native")"
  phases+=("$(printf '%-30s %4d s' "native test" $(($(cat "$logs/native.end") - native_start)))")
  native_pid=
}

windows_built=
if wants windows; then
  later_installs
  echo "=== windows: configure and build"
  start=$SECONDS
  if build windows nice; then windows_built=1; fi
  phase "windows build$( [ -n "$native_pid" ] && echo ' beside')" "$start"
fi
later_installs
native_tests

# Each fuzz target runs this long; beside the Windows tests it costs no time
# of its own.
fuzz_seconds=10
fuzz_pid=
if wants fuzz; then
  fuzz_start=$SECONDS
  if [ -n "$windows_built" ]; then
    echo "=== fuzz: build and run, beside the Windows tests"
    (nice -n 19 scripts/fuzz.sh "$fuzz_seconds" >"$logs/fuzz" 2>&1; echo $SECONDS >"$logs/fuzz.end") &
    fuzz_pid=$!
  else
    echo "=== fuzz: build and run"
    scripts/fuzz.sh "$fuzz_seconds" >"$logs/fuzz" 2>&1
    echo $SECONDS >"$logs/fuzz.end"
  fi
fi

if [ -n "$windows_built" ]; then
  echo "=== windows: test"
  start=$SECONDS
  out="$logs/windows"
  ctest --preset windows 2>&1 | tee "$out"
  summary=$(ctest_summary "$out")
  if [ -n "$summary" ] && ! grep -q ' 0 tests failed' <<<"$summary" && only_wine_failed "$out"; then
    echo "=== windows: Wine itself failed in every failed test above; running those once more"
    ctest --preset windows --rerun-failed 2>&1 | tee "$out"
    rerun=$(ctest_summary "$out")
    if [ -n "$rerun" ]; then
      # The rerun's failures out of the whole run's tests.
      total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
      summary=$(sed -E "s/out of [0-9]+/out of $total/" <<<"$rerun")
    fi
  fi
  [ -z "$summary" ] && echo "=== windows: ctest gave no summary"
  count "$summary"
  phase "windows test" "$start"
fi

if wants fuzz; then
  [ -n "$fuzz_pid" ] && wait "$fuzz_pid"
  echo "=== fuzz: build and run ($fuzz_seconds s per target)"
  cat "$logs/fuzz"
  ok=$(grep -cE '^fuzz [^ ]+: ok' "$logs/fuzz")
  bad=$(grep -cE '^fuzz [^ ]+: FAILED' "$logs/fuzz")
  [ $((ok + bad)) -eq 0 ] && bad=1
  passed=$((passed + ok))
  failed=$((failed + bad))
  phases+=("$(printf '%-30s %4d s' "fuzz build and run$( [ -n "$fuzz_pid" ] && echo ' beside')" $(($(cat "$logs/fuzz.end") - fuzz_start)))")
fi

report_times
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
