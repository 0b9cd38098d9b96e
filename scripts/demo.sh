#!/usr/bin/env bash
# Shows one whole update: builds the updater and the stand-in application
# VEXO.exe, installs version 1.0.0 into a fresh folder, stages 2.0.0 (with a
# new updater among its files), lets VEXO.exe start the updater through the
# host library as a real host would (a copy of the updater, run from the data
# folder), and prints what the run left behind: the log, the applied marker,
# the report of the restarted VEXO.exe, the data folder and the updated
# installation.
#
# Usage: scripts/demo.sh [--windows]
#   default     native build in build/native
#   --windows   Windows build in build/windows, run under Wine
# VEXO_DEMO_BUILD_DIR=DIR uses DIR as the build folder instead.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=native
if [ "${1:-}" = "--windows" ]; then
  preset=windows
elif [ $# -gt 0 ]; then
  echo "usage: scripts/demo.sh [--windows]" >&2
  exit 2
fi
build=${VEXO_DEMO_BUILD_DIR:-build/$preset}

scripts/install-deps.sh
echo "== building the updater and VEXO.exe ($preset, in $build)"
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j2 --target vexo-updater vexo-standin >/dev/null
bin=$(cd "$build/bin" && pwd)

if [ "$preset" = windows ]; then
  updater=vexo-updater.exe
  # Wine maps drive Z: to /, so a Unix path becomes a Windows one by prefix.
  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  run() { "$build/wine-run.sh" "$@"; }
else
  updater=vexo-updater
  winpath() { printf '%s' "$1"; }
  run() { "$@"; }
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/vexo-demo.XXXXXX")
install=$root/VEXO
staging=$root/staging
data=$root/VEXO-data  # the stand-in's data folder: "<installation>-data"

# Version 1.0.0 as installed, with the updater shipped beside VEXO.exe.
mkdir -p "$install/resources/strings" "$install/plugins/core"
cp "$bin/VEXO.exe" "$bin/$updater" "$install/"
echo 1.0.0 >"$install/version.txt"
echo "Hello" >"$install/resources/strings/en.txt"
echo "Hallo" >"$install/resources/strings/de.txt"
echo "core 1.0" >"$install/plugins/core/plugin.cfg"
echo "VEXO 1.0.0 notes" >"$install/readme.txt"

# Version 2.0.0, staged by the application: changed and added files only,
# the updater among them. It can be replaced because the one that runs is a
# copy in the data folder.
mkdir -p "$staging/resources/strings" "$staging/plugins/core" "$staging/plugins/extra"
cp "$bin/VEXO.exe" "$bin/$updater" "$staging/"
echo 2.0.0 >"$staging/version.txt"
echo "Hello, world" >"$staging/resources/strings/en.txt"
echo "Bonjour" >"$staging/resources/strings/fr.txt"
echo "core 2.0" >"$staging/plugins/core/plugin.cfg"
echo "extra 2.0" >"$staging/plugins/extra/plugin.cfg"

echo "== demo folder: $root"
echo "== VEXO.exe before the update:"
run "$install/VEXO.exe"
echo "== VEXO.exe --update-from $(winpath "$staging")"
run "$install/VEXO.exe" --update-from "$(winpath "$staging")"

# The updater works on after VEXO.exe has gone: it waits for it to exit, backs
# up, swaps, and on success starts VEXO.exe --post-update-check, which writes
# its report last. A failed run ends with its marker and no report.
marker=$data/applied-marker.json
report=$data/post-update-check.txt
echo "== waiting for the updater (at most 60 s)"
for _ in $(seq 600); do
  if [ -f "$report" ]; then break; fi
  if [ -f "$marker" ] && ! grep -q '"result":"success"' "$marker"; then break; fi
  sleep 0.1
done

show() {
  echo "== $1 ($2)"
  if [ -f "$2" ]; then tr -d '\r' <"$2" | sed -e '$a\'; else echo "(missing)"; fi
}
show "updater log" "$data/updater.log"
show "applied marker" "$marker"
show "report of the restarted VEXO.exe" "$report"
show "how the restarted VEXO.exe was started" "$data/launch.txt"
# Each file with its first line, binaries by name only.
listTree() {
  (cd "$1" && find . -type f | sort | while read -r f; do
    case "$f" in
      *.txt | *.cfg) printf '  %s: %s\n' "${f#./}" "$(head -n 1 "$f" | tr -d '\r')" ;;
      *) printf '  %s\n' "${f#./}" ;;
    esac
  done)
}
echo "== data folder ($data), with the copy of the updater that ran:"
listTree "$data" | grep -v '^  backup/'
echo "== installation now ($install):"
listTree "$install"
echo "== VEXO.exe after the update:"
run "$install/VEXO.exe"
if [ -e "$staging" ]; then
  echo "== staging folder still there: $staging"
else
  echo "== staging folder removed: $staging"
fi
echo "== backup of 1.0.0, left in place ($data/backup):"
listTree "$data/backup"
echo "== everything is under $root (remove it with: rm -rf $root)"
[ -f "$report" ]
