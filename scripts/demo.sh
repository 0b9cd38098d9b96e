#!/usr/bin/env bash
# Shows one whole signed update: builds the updater, the stand-in application
# VEXO.exe and the signing command vexo-release, makes a release key, installs
# version 1.0.0 (which holds the key) into a fresh folder, stages 2.0.0 (with
# a new updater among its files) and signs it. A tampered copy of the staged
# release is refused first, with nothing changed; then VEXO.exe starts the
# updater on the signed one through the host library as a real host would (a
# copy of the updater, run from the data folder), and the demo prints what
# the run left behind: the log, the applied marker, the report of the
# restarted VEXO.exe (which proves its installation against the manifest),
# the data folder and the updated installation.
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
cmake --build "$build" -j2 --target vexo-updater vexo-standin vexo-release >/dev/null
bin=$(cd "$build/bin" && pwd)

if [ "$preset" = windows ]; then
  updater=vexo-updater.exe
  release=vexo-release.exe
  # Wine maps drive Z: to /, so a Unix path becomes a Windows one by prefix.
  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  run() { "$build/wine-run.sh" "$@"; }
else
  updater=vexo-updater
  release=vexo-release
  winpath() { printf '%s' "$1"; }
  run() { "$@"; }
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/vexo-demo.XXXXXX")
install=$root/VEXO
staging=$root/staging
data=$root/VEXO-data  # the stand-in's data folder: "<installation>-data"
keys=$root/publisher  # the publisher's keys, which never ship

echo "== making the publisher's release key: vexo-release keygen"
mkdir -p "$keys"
run "$bin/$release" keygen "$(winpath "$keys/vexo-release.key")" "$(winpath "$keys/vexo-release.pub")"

# Version 1.0.0 as installed, with the updater shipped beside VEXO.exe.
mkdir -p "$install/resources/strings" "$install/plugins/core"
cp "$bin/VEXO.exe" "$bin/$updater" "$install/"
echo 1.0.0 >"$install/version.txt"
echo "Hello" >"$install/resources/strings/en.txt"
echo "Hallo" >"$install/resources/strings/de.txt"
echo "core 1.0" >"$install/plugins/core/plugin.cfg"
echo "VEXO 1.0.0 notes" >"$install/readme.txt"
# The installed version names the key its successor must be signed with.
cp "$keys/vexo-release.pub" "$install/"

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
echo "== signing the staged 2.0.0: vexo-release sign"
run "$bin/$release" sign "$(winpath "$staging")" "$(winpath "$keys/vexo-release.key")"
show() {
  echo "== $1 ($2)"
  if [ -f "$2" ]; then tr -d '\r' <"$2" | sed -e '$a\'; else echo "(missing)"; fi
}
show "its manifest" "$staging/vexo-release.manifest"

echo "== demo folder: $root"
echo "== VEXO.exe before the update:"
run "$install/VEXO.exe"

# A copy of the release with one file changed after signing, as a download
# cut short, a disk fault or another program would leave it: refused before
# anything starts.
tampered=$root/staging-tampered
cp -r "$staging" "$tampered"
echo "Hello, tampered world" >"$tampered/resources/strings/en.txt"
echo "== a tampered copy: VEXO.exe --update-from $(winpath "$tampered")"
run "$install/VEXO.exe" --update-from "$(winpath "$tampered")" 2>&1 | tr -d '\r'
if [ -e "$data/applied-marker.json" ]; then
  echo "the tampered update was started" >&2
  exit 1
fi
echo "== nothing was started or changed; the installation still says:"
run "$install/VEXO.exe"

echo "== the signed release:"
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
