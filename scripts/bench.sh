#!/usr/bin/env bash
# Measures the backup and the swap of the native build against the plain
# tools, in one run, and prints one Markdown table:
#   backupInstallation vs cp -r   10,000 x 4 KiB, 100 x 8 MiB, 100,000 x 1 KiB
#                                 (cp -r followed by syncfs, as the backup
#                                 syncs its copy before the swap)
#   swapTree vs a rename loop     10,000 and 100,000 x 1 KiB
#   cp -r with and without syncfs what making the copy durable costs natively
# then a second table: whole runs of the updater (Release, a child process),
# a success and a rollback that undoes every file, at 1,000, 10,000 and
# 100,000 files, with their peak RSS; a third: whole runs of a signed update
# (the updater verifies the staged release against its signed manifest
# before the backup) against the same unsigned update, at 10,000 x 4 KiB,
# 100 x 8 MiB, 1 GiB (128 x 8 MiB) and 100,000 x 1 KiB; and, where mingw-w64
# and Wine are installed, a fourth: what flushing each copy of the backup costs on Windows
# (10,000 x 4 KiB, copied file by file as the backup does, under Wine).
# Each side runs RUNS times (default 3), taking turns, each time in a fresh
# process; the best time and the largest peak RSS are shown. Caches are warm,
# and dirty data is synced before every timed run. Needs about 4 GB free
# below WORKDIR.
# Usage: scripts/bench.sh [WORKDIR]
#        scripts/bench.sh --flushes BASE_UPDATER
# --flushes prints one other table instead: what the power-cut flushes cost,
# whole successful runs of BASE_UPDATER (a Release vexo-updater built from an
# earlier commit) and of this tree's, taking turns, RUNS times (default 5):
# 1,000 x 1 KiB in /dev/shm, the same on /var/tmp, and 1,000 and 10,000 with
# the staged files in /dev/shm and the rest on /var/tmp (every move crosses
# file systems). Each side shows its best run, then its median and slowest;
# differences and ratios compare the best runs, then the medians; the last
# column leaves out the 500 ms pause. Every run's time goes to stderr.
# WORKDIR defaults to /dev/shm where it exists: in memory the numbers show
# the program's own cost and repeat within a few percent. Give a folder on a
# disk (e.g. /var/tmp) to include the device, which on a virtual machine with
# a rate-limited disk can vary tenfold from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."

base_updater=
if [ "${1:-}" = --flushes ]; then
  base_updater=$(realpath "${2:?usage: scripts/bench.sh --flushes BASE_UPDATER}")
  set --
fi
runs=${RUNS:-3}
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXO_TESTS=OFF -DVEXO_BENCH=ON >/dev/null
cmake --build "$build" --target vexo-bench vexo-updater -j2 >/dev/null
bench=$PWD/$build/bin/vexo-bench

# The power-cut flushes: slot 0 runs BASE_UPDATER, slot 1 this tree's updater.
flush_case() {  # flush_case LABEL COUNT ROOT STAGING-PARENT
  local updaters=("$base_updater" "$PWD/$build/bin/vexo-updater") times=("" "") result
  for run in $(seq "$runs"); do
    for slot in $((run % 2)) $(((run + 1) % 2)); do
      rm -rf "$3" "$4/staging"
      mkdir "$3"
      sync
      result=$("$bench" update "$3" "$2" success "${updaters[$slot]}" "$4/staging")
      times[$slot]+=" ${result%% *}"
    done
  done
  rm -rf "$3" "$4/staging"
  echo "$1: base${times[0]}; new${times[1]}" >&2
  awk -v label="$1" -v base="${times[0]}" -v new="${times[1]}" '
    function sorted(list, out,   n, i, j, t) {
      n = split(list, out)
      for (i = 2; i <= n; i++)
        for (j = i; j > 1 && out[j - 1] > out[j]; j--) {
          t = out[j]; out[j] = out[j - 1]; out[j - 1] = t
        }
      return n
    }
    function median(v, n) { return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
    BEGIN {
      n = sorted(base, b); sorted(new, a)
      bm = median(b, n); am = median(a, n)
      printf "| %s | %.3f s (%.3f, %.3f) | %.3f s (%.3f, %.3f) | %+.3f s (%+.3f) | %.2fx (%.2fx) | %.2fx |\n",
             label, b[1], bm, b[n], a[1], am, a[n], a[1] - b[1], am - bm, a[1] / b[1], am / bm,
             (a[1] - 0.5) / (b[1] - 0.5) }'
}

if [ -n "$base_updater" ]; then
  runs=${RUNS:-5}
  memory=$(mktemp -d /dev/shm/vexo-flush.XXXXXX)
  disk=$(mktemp -d /var/tmp/vexo-flush.XXXXXX)
  trap 'rm -rf "$memory" "$disk"' EXIT
  echo "| success, 1 KiB files | base: best (median, slowest) | new: best (median, slowest) | new - base: best (medians) | new/base: best (medians) | new/base less the 500 ms pause, best |"
  echo "|---|---|---|---|---|---|"
  flush_case "1,000, all in /dev/shm" 1000 "$memory/run" "$memory"
  flush_case "1,000, all on /var/tmp" 1000 "$disk/run" "$disk"
  flush_case "1,000, staged in /dev/shm, the rest on /var/tmp" 1000 "$disk/run" "$memory"
  flush_case "10,000, staged in /dev/shm, the rest on /var/tmp" 10000 "$disk/run" "$memory"
  exit 0
fi

default_work=/var/tmp
[ -d /dev/shm ] && default_work=/dev/shm
work=$(mktemp -d "${1:-$default_work}/vexo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

best_time=() peak_rss=()
# measure SLOT COMMAND...: runs once, keeps the best time and the largest peak.
measure() {
  local slot=$1
  shift
  sync
  local result seconds rss
  result=$("$bench" "$@")
  read -r seconds rss <<<"$result"
  if [ -z "${best_time[$slot]:-}" ] || awk "BEGIN{exit !($seconds < ${best_time[$slot]})}"; then
    best_time[$slot]=$seconds
  fi
  if [ -z "${peak_rss[$slot]:-}" ] || [ "$rss" -gt "${peak_rss[$slot]}" ]; then
    peak_rss[$slot]=$rss
  fi
}

row() {  # row LABEL: prints the row for slots 0 (ours) and 1 (baseline)
  awk -v label="$1" -v a="${best_time[0]}" -v b="${best_time[1]}" \
      -v ra="${peak_rss[0]}" -v rb="${peak_rss[1]}" 'BEGIN {
    printf "| %s | %.3f s | %.3f s | %.2fx | %.1f MiB | %.1f MiB |\n",
           label, a, b, a / b, ra / 1024, rb / 1024 }'
  best_time=() peak_rss=()
}

backup_case() {  # backup_case LABEL COUNT BYTES RUNS
  # Creating files right after a large removal is slower on ext4, so an
  # untimed copy and removal come first and every timed run follows one; the
  # two sides take turns at going first.
  "$bench" make "$work/app" "$2" "$3"
  "$bench" backup "$work/app" "$work/bk" >/dev/null
  for run in $(seq "$4"); do
    for slot in $((run % 2)) $(((run + 1) % 2)); do
      rm -rf "$work/bk"
      if [ "$slot" = 0 ]; then
        measure 0 backup "$work/app" "$work/bk"
      else
        measure 1 cp "$work/app" "$work/bk"
      fi
    done
  done
  rm -rf "$work/app" "$work/bk"
  row "$1"
}

swap_case() {  # swap_case LABEL COUNT
  # Every run moves the whole tree to a destination that does not exist yet,
  # back and forth between a and b; the emptied directories are removed.
  "$bench" make "$work/a" "$2" 1024
  local from=$work/a to=$work/b
  for run in $(seq "$runs"); do
    for slot in $((run % 2)) $(((run + 1) % 2)); do
      if [ "$slot" = 0 ]; then
        measure 0 swap "$from" "$to"
      else
        measure 1 rename "$from" "$to"
      fi
      rm -rf "$from"
      local other=$from
      from=$to
      to=$other
    done
  done
  rm -rf "$work/a" "$work/b"
  row "$1"
}

echo "| case | vexo | baseline | vexo/baseline | vexo peak RSS | baseline peak RSS |"
echo "|---|---|---|---|---|---|"
backup_case "backupInstallation vs cp -r, 10,000 x 4 KiB" 10000 4096 "$runs"
backup_case "backupInstallation vs cp -r, 100 x 8 MiB" 100 8388608 "$runs"
backup_case "backupInstallation vs cp -r, 100,000 x 1 KiB" 100000 1024 "$runs"
swap_case "swapTree vs rename loop, 10,000 x 1 KiB" 10000
swap_case "swapTree vs rename loop, 100,000 x 1 KiB" 100000

# The durability of the backup natively: one syncfs after the copy.
"$bench" make "$work/app" 10000 4096
for run in $(seq "$runs"); do
  for slot in $((run % 2)) $(((run + 1) % 2)); do
    rm -rf "$work/bk"
    if [ "$slot" = 0 ]; then
      measure 0 cp "$work/app" "$work/bk"
    else
      measure 1 cp-nosync "$work/app" "$work/bk"
    fi
  done
done
rm -rf "$work/app" "$work/bk"
row "cp -r + syncfs vs cp -r alone, 10,000 x 4 KiB"

echo
echo "| whole run | files | time | peak RSS |"
echo "|---|---|---|---|"
for count in 1000 10000 100000; do
  for end in success rollback; do
    best_time=() peak_rss=()
    for run in $(seq "$runs"); do
      rm -rf "${work:?}"/*
      measure 0 update "$work" "$count" "$end"
    done
    awk -v end="$end" -v n="$count" -v t="${best_time[0]}" -v r="${peak_rss[0]}" \
      'BEGIN { printf "| %s | %d | %.3f s | %.1f MiB |\n", end, n, t, r / 1024 }'
  done
done
rm -rf "${work:?}"/*

# Signed against unsigned: the same update, taking turns; signing is done
# before the clock starts.
echo
echo "| whole run, signed vs unsigned | unsigned | signed | signed/unsigned | unsigned peak RSS | signed peak RSS |"
echo "|---|---|---|---|---|---|"
signed_case() {  # signed_case LABEL COUNTxBYTES
  best_time=() peak_rss=()
  for run in $(seq "$runs"); do
    for slot in $((run % 2)) $(((run + 1) % 2)); do
      rm -rf "${work:?}"/*
      if [ "$slot" = 0 ]; then
        measure 1 update "$work" "$2" success
      else
        measure 0 update "$work" "$2" signed
      fi
    done
  done
  rm -rf "${work:?}"/*
  awk -v label="$1" -v s="${best_time[0]}" -v u="${best_time[1]}" \
      -v rs="${peak_rss[0]}" -v ru="${peak_rss[1]}" 'BEGIN {
    printf "| %s | %.3f s | %.3f s | %.2fx | %.1f MiB | %.1f MiB |\n",
           label, u, s, s / u, ru / 1024, rs / 1024 }'
}
signed_case "10,000 x 4 KiB" 10000x4096
signed_case "100 x 8 MiB" 100x8388608
signed_case "1 GiB: 128 x 8 MiB" 128x8388608
signed_case "100,000 x 1 KiB" 100000x1024

# Windows: each copy of the backup is flushed as it is made.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  wbuild=build/bench-windows
  cmake --preset windows -B "$wbuild" -DVEXO_TESTS=OFF -DVEXO_BENCH=ON >/dev/null
  cmake --build "$wbuild" --target vexo-bench-flush -j2 >/dev/null
  wine() { "$wbuild/wine-run.sh" "$wbuild/bin/vexo-bench-flush.exe" "$@" 2>/dev/null; }
  winwork="Z:${work//\//\\}"
  wine make "$winwork\\app" 10000 4096 >/dev/null
  declare -A best=()
  for run in $(seq "$runs"); do
    for mode in cached flush; do
      rm -rf "$work/bk"
      sync
      seconds=$(wine copy "$winwork\\app" "$winwork\\bk" "$mode")
      if [ -z "${best[$mode]:-}" ] || awk "BEGIN{exit !($seconds < ${best[$mode]})}"; then
        best[$mode]=$seconds
      fi
    done
  done
  echo
  echo "| Windows backup copy under Wine, 10,000 x 4 KiB | flushed | cached | flushed/cached |"
  echo "|---|---|---|---|"
  awk -v a="${best[flush]}" -v b="${best[cached]}" \
    'BEGIN { printf "| CopyFileW per file | %.3f s | %.3f s | %.2fx |\n", a, b, a / b }'
fi
