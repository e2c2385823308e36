#!/usr/bin/env bash
# Creates the Wine prefix that every end-to-end case copies (once; later runs reuse it).
set -eu
prefix=$1
wine=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
if [ -f "$prefix/system.reg" ] && [ -f "$prefix/.complete" ]; then exit 0; fi
rm -rf "$prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$(dirname "$wine")/wineserver" -w
touch "$prefix/.complete"
echo "prefix ready: $prefix"
