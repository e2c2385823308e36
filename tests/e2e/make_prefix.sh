#!/usr/bin/env bash
# Creates the Wine prefix that every end-to-end case copies (once; later runs reuse it). It is made
# by 64-bit Wine; with 32-bit Wine installed too it is a WoW64 prefix, which the 32-bit suite needs.
set -eu
prefix=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/e2e/prefix.sh"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
if [ "${E2E_BITS:-64}" = 32 ] && ! bash "$root/scripts/runs32.sh"; then
  echo "32-bit programs do not run here: start this through scripts/wine8.sh run or scripts/wine10.sh run" >&2
  exit 1
fi
if [ ! -f "$prefix/system.reg" ] || [ ! -f "$prefix/.complete" ]; then
  rm -rf "$prefix"
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  forget_server_dir "$prefix"
  touch "$prefix/.complete"
  echo "prefix ready: $prefix"
fi
if [ "${E2E_BITS:-64}" = 32 ] && [ ! -d "$prefix/drive_c/windows/syswow64" ]; then
  echo "$prefix is not a WoW64 prefix: is 32-bit Wine (wine32:i386) installed? scripts/setup.sh installs it" >&2
  exit 1
fi
