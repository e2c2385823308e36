#!/usr/bin/env bash
# A sandbox Wine prefix under build/ with the vendor's programs running, cleaned by the tool.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/win64
wine=/usr/lib/wine/wine64
export WINEPREFIX=$root/build/demo-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=C.UTF-8
wineserver=$(dirname "$wine")/wineserver

"$wineserver" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
echo "== Creating the sandbox prefix $WINEPREFIX"
bash "$root/tests/e2e/make_prefix.sh" "$WINEPREFIX" >/dev/null
bin=$WINEPREFIX/drive_c/demo-programs
mkdir -p "$bin"
trap '"$wineserver" -k 2>/dev/null || true' EXIT

for name in vexdesktop.exe vexinstall.exe vexpp.exe panelino-helper.exe notepad-neighbour.exe; do
  cp "$build/e2e-sleeper.exe" "$bin/$name"
  "$wine" "$bin/$name" "Z:$bin/$name.ready" </dev/null >/dev/null 2>&1 &
  until [ -e "$bin/$name.ready" ]; do sleep 0.1; done
done
echo "== Before: running programs"
ps -o comm= --ppid 1 -A | grep -E '\.exe$' | grep -vE '^(services|winedevice|plugplay|explorer|svchost|rpcss|conhost|start|tabtip|rundll32)\.exe' | sort

echo "== Report of velmirant-cleanup.exe"
"$wine" "$build/velmirant-cleanup.exe"
echo "== Exit code: $?"
sleep 0.5
echo "== After: running programs"
ps -o comm= -A | grep -E '\.exe$' | grep -vE '^(services|winedevice|plugplay|explorer|svchost|rpcss|conhost|start|tabtip|rundll32)\.exe' | sort
