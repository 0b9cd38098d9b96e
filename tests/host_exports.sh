#!/bin/sh
# The host library as a host sees it: vexo_host.h compiles as C99 on its own,
# and the library exports exactly the functions the header declares (one
# missing from vexo_host.def or vexo_host.map fails only when a host calls
# it). The DLL must also need nothing beyond the system's DLLs.
# Usage: host_exports.sh COMPILER HEADER LIBRARY
set -eu
compiler=$1 header=$2 library=$3

printf '#include "%s"\nint main(void) { return vexo_host_version() == 0; }\n' "$header" |
  "$compiler" -x c -std=c99 -Wall -Wextra -pedantic -Werror -fsyntax-only -

declared=$(sed -n 's/^[a-z].*[ *]\(vexo_[a-z_]*\)(.*/\1/p' "$header" | sort)
case "$library" in
  *.dll)
    dump=$(x86_64-w64-mingw32-objdump -p "$library")
    exported=$(echo "$dump" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort)
    imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if echo "$imports" | grep -v -i -x -E 'kernel32[.]dll|msvcrt[.]dll'; then
      echo "imports beyond the system's DLLs" >&2
      exit 1
    fi
    ;;
  *)
    exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
    ;;
esac
echo "declared: " $declared
echo "exported: " $exported
[ -n "$declared" ] && [ "$declared" = "$exported" ]
