#!/usr/bin/env bash
# The framework's stand-ins for USER32 must leave room for the real ones:
#  1. the console and the framework's face compile with _WIN32 defined, where
#     platform/win32.h takes <windows.h> and its USER32 declarations (here a
#     stand-in for it: our own declarations plus USER32's, as the system
#     declares them, with C linkage);
#  2. the framework library defines no function under a USER32 name outside
#     its namespace, which would clash with the system's at link time.
# Usage: windows_headers_test.sh <c++ compiler> <source root> <framework library> <nm>
set -euo pipefail
cxx=$1 root=$2 library=$3 nm=$4
user32='LoadIconA|GetSystemMenu|AppendMenuA|IsIconic|GetSystemMetrics|GetClientRect|DrawIcon|LoadStringA'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The stand-in <windows.h>: our header's non-Windows side, and USER32.
sed '0,/^#ifdef _WIN32$/{s/^#ifdef _WIN32$/#if 0/}' "$root/platform/win32.h" > "$work/windows.h"
# USER32's declarations are those of the framework's stand-ins, with C linkage.
user32_decls=$(sed -n '/^namespace vx::fw {$/,/^}/p' "$root/framework/afxwin.h" | grep WINAPI || true)
if [ "$(echo "$user32_decls" | grep -cE "($user32)\(")" -lt 7 ]; then
  echo "FAIL: the stand-ins' declarations were not found in framework/afxwin.h"
  exit 1
fi
{
  echo 'extern "C" {'
  echo "$user32_decls"
  echo 'int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);'
  echo '}'
} >> "$work/windows.h"

status=0
for f in "$root"/console/*.cpp; do
  if ! "$cxx" -std=c++20 -fsyntax-only -D_WIN32 -I"$work" -I"$root" "$f"; then
    echo "FAIL: $f does not compile against <windows.h>"
    status=1
  fi
done

clashes=$("$nm" -C --defined-only "$library" | grep -E " T ($user32)\(" || true)
if [ -n "$clashes" ]; then
  echo "FAIL: the framework defines USER32's names at global scope:"
  echo "$clashes"
  status=1
fi
exit $status
