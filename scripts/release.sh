#!/usr/bin/env bash
# Builds the release from clean build folders and packs it into dist/:
#   vexo-updater-VERSION-windows-x64.zip     vexo-updater.exe, vexo_host.dll,
#                                            vexo_host.def, vexo_host.h,
#                                            vexo-release.exe, README.md
#   vexo-updater-VERSION-linux-x64.tar.gz    vexo-updater, libvexo_host.so,
#                                            vexo_host.h, vexo-release, README.md
#   SHA256SUMS                               of both archives
#   vexo-release.pub                         the key they are signed with
#   vexo-release.manifest(.minisig)          the signed list of the files above
# The signing key is the minisign secret key VEXO_RELEASE_KEY names, with its
# public key beside it as <name>.pub; without it, a key of this machine's is
# made once in build/release-key, for trying the script out.
# VERSION is project(... VERSION ...) in CMakeLists.txt. The programs and
# libraries are stripped. Each archive holds one folder named like it, with
# its entries sorted, owned by 0:0, with fixed modes and the time of the last
# commit (or SOURCE_DATE_EPOCH), so the same source packs to the same bytes.
#
# Then it builds the programs and libraries a second time, in other clean
# folders, prints both hashes of each and exits non-zero if any differ: the
# same source must give the same binaries, wherever it is built.
#
# Usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
rm -rf build/release build/release-windows build/release-again build/release-windows-again dist
log=build-release.log
echo "== building the release presets (native, then Windows)"
if ! cmake --workflow --preset release >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "== build FAILED (log: $log)"
  exit 1
fi
rm -f "$log"

version=$(sed -n 's/^#define VEXO_VERSION_TEXT "\(.*\)"$/\1/p' build/release/generated/vexo_version.h)
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
mkdir -p dist
dist=$(cd dist && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# stage NAME FILE...: copies the files into $stage/NAME with fixed modes.
stage() {
  local name=$1 file
  shift
  mkdir -m 755 "$stage/$name"
  for file in "$@"; do
    cp "$file" "$stage/$name/"
    case "$file" in
      *.exe | *.dll | *.so | */vexo-updater | */vexo-release) chmod 755 "$stage/$name/$(basename "$file")" ;;
      *) chmod 644 "$stage/$name/$(basename "$file")" ;;
    esac
  done
  find "$stage/$name" -exec touch -h -d "@$epoch" {} +
}

windows=vexo-updater-$version-windows-x64
stage "$windows" build/release-windows/bin/vexo-updater.exe build/release-windows/bin/vexo_host.dll \
  src/host/vexo_host.def src/host/vexo_host.h build/release-windows/bin/vexo-release.exe README.md
# -X leaves out owners and extended times; the DOS times are local, hence UTC.
(cd "$stage" && find "$windows" -type f | LC_ALL=C sort |
  TZ=UTC zip -X -D -q -@ "$dist/$windows.zip")

native=vexo-updater-$version-linux-x64
stage "$native" build/release/bin/vexo-updater build/release/bin/libvexo_host.so \
  src/host/vexo_host.h build/release/bin/vexo-release README.md
(cd "$stage" && tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
  -cf - "$native" | gzip -9 -n >"$dist/$native.tar.gz")

(cd dist && sha256sum "$windows.zip" "$native.tar.gz" >SHA256SUMS)

# dist/ is itself a signed release folder: anyone with the public key checks
# it with "vexo-release verify dist vexo-release.pub", or with minisign -V on
# the manifest and sha256sum -c.
signer=build/release/bin/vexo-release
key=${VEXO_RELEASE_KEY:-build/release-key/vexo-release.key}
public=${key%.key}.pub
if [ -z "${VEXO_RELEASE_KEY:-}" ] && [ ! -f "$key" ]; then
  mkdir -p build/release-key
  "$signer" keygen "$key" "$public"
  echo "== made a release key of this machine's: $key (set VEXO_RELEASE_KEY to sign with yours)"
fi
cp "$public" dist/vexo-release.pub
SOURCE_DATE_EPOCH=$epoch "$signer" sign dist "$key"
"$signer" verify dist dist/vexo-release.pub
echo "== dist/ (version $version)"
(cd dist && ls -l && cat SHA256SUMS)

# The shipped native library loads and answers from C, with the project's version.
probe=$stage/probe
printf '#include <stdio.h>\n#include "vexo_host.h"\nint main(void) { puts(vexo_host_version()); return 0; }\n' |
  gcc -x c - -I src/host -L build/release/bin -lvexo_host -Wl,-rpath,"$PWD/build/release/bin" -o "$probe"
if [ "$("$probe")" != "$version" ]; then
  echo "== libvexo_host.so does not report version $version"
  exit 1
fi

echo "== building again, in other folders"
cmake --preset release -B build/release-again -DVEXO_RELEASE_WINDOWS=OFF >/dev/null
cmake --build build/release-again -j2 --target vexo-updater vexo_host vexo-release >/dev/null
cmake --preset release-windows -B build/release-windows-again >/dev/null
cmake --build build/release-windows-again -j2 --target vexo-updater vexo_host vexo-release >/dev/null
same=yes
for file in release-windows/bin/vexo-updater.exe release-windows/bin/vexo_host.dll \
            release-windows/bin/vexo-release.exe release/bin/vexo-updater \
            release/bin/libvexo_host.so release/bin/vexo-release; do
  again=${file/\/bin/-again\/bin}
  first=$(sha256sum <"build/$file" | cut -d' ' -f1)
  second=$(sha256sum <"build/$again" | cut -d' ' -f1)
  echo "$first  build/$file"
  echo "$second  build/$again"
  [ "$first" = "$second" ] || same=no
done
if [ "$same" = yes ]; then
  echo "== reproducible: both builds gave the same bytes"
else
  echo "== NOT reproducible: the builds differ"
  exit 1
fi
