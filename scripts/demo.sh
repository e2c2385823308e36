#!/usr/bin/env bash
# The demo: a sandbox Wine prefix seeded with everything the tool removes and with neighbours
# that must survive, a before view, the tool's report, and an after view that is checked.
# Exits non-zero when the after view is not what it should be.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
# The release itself: 32-bit, in a WoW64 prefix; where this machine's kernel runs no 32-bit programs,
# in the Debian 12 root whose 32-bit Wine runs under qemu-i386 (scripts/wine8.sh).
if [ -z "${TOOL:-}" ]; then
  export WINE=/usr/lib/wine/wine E2E_BITS=32 TOOL=$root/build/win32/velmirant-cleanup.exe \
    SLEEPER=$root/build/win32/e2e-sleeper.exe
  bash "$root/scripts/runs32.sh" || exec bash "$root/scripts/wine8.sh" run bash "$root/scripts/demo.sh"
fi
export PREFIX_TEMPLATE=${PREFIX_TEMPLATE:-$root/build/demo-template}
export E2E_TMP=${E2E_TMP:-$root/build/demo-tmp}
sandbox=${DEMO_DIR:-$root/build/demo}
. "$root/tests/e2e/lib.sh"
. "$root/tests/e2e/registry.sh"

bash "$root/tests/e2e/make_prefix.sh" "$PREFIX_TEMPLATE" >/dev/null || fail "could not create the Wine prefix"
new_prefix "$sandbox"
# The sandbox stays for a look around after the demo; the test runs of the demo remove it.
if [ "${DEMO_KEEP:-1}" = 1 ]; then trap '"$WINESERVER" -k 2>/dev/null' EXIT; else trap end_prefix EXIT; fi

# ---- Seed the sandbox --------------------------------------------------------------------
declare -A program_pid program_role
for name in vexdesktop.exe vexinstall.exe vexpp.exe panelino-toolbar.exe otherapp.exe Panelino.exe; do
  start_program "$name"
  program_pid[$name]=$PID
  if [[ $name == vex* || $name == *panelino* ]]; then program_role[$name]=target; else program_role[$name]=neighbour; fi
done
programs=(vexdesktop.exe vexinstall.exe vexpp.exe panelino-toolbar.exe otherapp.exe Panelino.exe)

mkdir -p "$ROAMING/Velmirant/vexpp/cache" "$ROAMING/Velmirant/logs" "$PROGRAMS/Velmirant/resources/locales"
for i in $(seq 40); do echo "cache entry $i" >"$ROAMING/Velmirant/vexpp/cache/$i.bin"; done
echo '{"autoupdate": true}' >"$ROAMING/Velmirant/settings.json"
echo 'started' >"$ROAMING/Velmirant/logs/vexdesktop.log"
for name in vexdesktop.exe vexinstall.exe vexpp.exe; do cp "$SLEEPER" "$PROGRAMS/Velmirant/$name"; done
for locale in en cs de fr; do echo "$locale" >"$PROGRAMS/Velmirant/resources/locales/$locale.pak"; done
echo 'not the vendor' >"$ROAMING/Velmirant.txt"
mkdir -p "$PROGRAMS/VelmirantX" && echo 'another program' >"$PROGRAMS/VelmirantX/readme.txt"
seed_registry

folders=("$ROAMING/Velmirant" "$PROGRAMS/Velmirant")
folder_neighbours=("$ROAMING/Velmirant.txt" "$PROGRAMS/VelmirantX/readme.txt")

# ---- Views ---------------------------------------------------------------------------------
windows_path() { local p=${1#"$WINEPREFIX"/drive_c/}; echo "C:/$p"; }

show() {  # show WHEN: prints the view; in the after view, counts what is not as it should be
  local when=$1 name state entry path
  wrong=0
  echo "Programs:"
  for name in "${programs[@]}"; do
    if kill -0 "${program_pid[$name]}" 2>/dev/null; then state=running; else state=gone; fi
    printf '  %-10s %-22s %s\n' "${program_role[$name]}" "$name" "$state"
    expect_state "$when" "${program_role[$name]}" "$([ "$state" = running ] && echo present || echo gone)"
  done
  echo "Folders and files:"
  for path in "${folders[@]}"; do
    if [ -e "$path" ]; then state="present ($(find "$path" -type f | wc -l) files)"; else state=gone; fi
    printf '  %-10s %-48s %s\n' target "$(windows_path "$path")" "$state"
    expect_state "$when" target "${state%% *}"
  done
  for path in "${folder_neighbours[@]}"; do
    if [ -e "$path" ]; then state=present; else state=gone; fi
    printf '  %-10s %-48s %s\n' neighbour "$(windows_path "$path")" "$state"
    expect_state "$when" neighbour "$state"
  done
  echo "Registry:"
  for entry in "${REGISTRY_ENTRIES[@]}"; do
    if registry_has "$entry"; then state=present; else state=gone; fi
    printf '  %-10s %s  %s\n' target "$entry" "$state"
    expect_state "$when" target "$state"
  done
  for entry in "${REGISTRY_NEIGHBOURS[@]}"; do
    if registry_has "$entry"; then state=present; else state=gone; fi
    printf '  %-10s %s  %s\n' neighbour "$entry" "$state"
    expect_state "$when" neighbour "$state"
  done
}

expect_state() {  # expect_state WHEN ROLE STATE
  local should=present
  [ "$1" = after ] && [ "$2" = target ] && should=gone
  if [ "$3" != "$should" ]; then
    wrong=$((wrong + 1))
    echo "    ^ should be $should" >&2
  fi
}

echo "== Sandbox: $WINEPREFIX"
echo
echo "== Before"
show before
[ "$wrong" -eq 0 ] || fail "the sandbox was not seeded as planned"

echo
echo "== Running $TOOL"
echo
run_tool
cat "$REPORT"
echo
echo "== Exit code: $RC"
targets_running() {
  local name
  for name in "${programs[@]}"; do
    [ "${program_role[$name]}" = target ] && kill -0 "${program_pid[$name]}" 2>/dev/null && return 0
  done
  return 1
}
wait_for 10 eval '! targets_running'  # terminated programs take a moment to disappear

echo
echo "== After"
show after
echo
if [ "$RC" -eq 0 ] && [ "$wrong" -eq 0 ]; then
  echo "== Every target is gone and every neighbour is still there."
else
  echo "== NOT AS EXPECTED: $wrong item(s) in the wrong state, exit code $RC." >&2
  exit 1
fi
