#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing. Runs apt-get as root, or through sudo.
# Usage: scripts/install-deps.sh [native] [windows] [fuzz] [release]
# (default: all of them). The test command installs the native build's
# packages first and the others beside that build.
set -euo pipefail

declare -A group=(
  [native]="cmake g++ make googletest libgtest-dev nlohmann-json3-dev e2fsprogs python3-fusepy
            libgcrypt20-dev minisign"
  [windows]="mingw-w64 wine64 libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev"
  [fuzz]="clang libclang-rt-dev"
  [release]="zip"
)
wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=(native windows fuzz release)
packages=()
for name in "${wanted[@]}"; do
  [ -n "${group[$name]+set}" ] || { echo "install-deps: no group $name" >&2; exit 1; }
  read -r -a more <<<"${group[$name]}"
  packages+=("${more[@]}")
done

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: missing packages (${missing[*]}) and no apt-get to install them" >&2
  exit 1
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo=(sudo); else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
