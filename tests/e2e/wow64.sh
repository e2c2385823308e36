#!/usr/bin/env bash
# What only the 32-bit release in a WoW64 prefix can show: it works in the 32-bit views of the
# registry and of the program files, and still ends 64-bit programs.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/registry.sh"

NATIVE_RUN_KEY='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
ENTRY_12_VALUE=velmirant-panelino-distribuce

# value_data LOADER KEY VALUE: sets DATA to the value's data as that loader's reg.exe sees it, or
# to nothing where reg.exe cannot find it; a query that gives no answer fails the case (registry_has).
value_data() {
  DATA=
  WINE=$1 registry_has "$2|$3" || return 0
  DATA=$(tr -d '\r' <"$CASE_DIR/reg-query.out" | awk -v v="$3" '$1 == v { print $NF }')
}

case_a_32_bit_run_stays_in_the_32_bit_views() {
  seed_registry
  "$WINE64" reg add "$NATIVE_RUN_KEY" /v "$ENTRY_12_VALUE" /d native-view /f >/dev/null 2>&1 || fail "reg add failed"
  value_data "$WINE64" "$NATIVE_RUN_KEY" "$ENTRY_12_VALUE"
  [ "$DATA" = native-view ] || fail "64-bit view not seeded"
  value_data "$WINE64" "$MACHINE_RUN_KEY" "$ENTRY_12_VALUE"
  [ -n "$DATA" ] || fail "32-bit view not seeded"
  mkdir -p "$PROGRAMS/Velmirant/bin" "$WINEPREFIX/drive_c/Program Files/Velmirant"
  echo x >"$PROGRAMS/Velmirant/bin/data.bin"
  echo keep >"$WINEPREFIX/drive_c/Program Files/Velmirant/keep.txt"
  run_tool
  expect_rc 0
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "C:/Program Files (x86)/Velmirant -> 0" ""
  [ ! -e "$PROGRAMS/Velmirant" ] || fail "the 32-bit program folder is still there"
  [ -f "$WINEPREFIX/drive_c/Program Files/Velmirant/keep.txt" ] || fail "the 64-bit program folder was touched"
  tail -c 200 "$REPORT" | grep -qF "|$ENTRY_12_VALUE -> 0" || fail "entry 12 did not report 0"
  value_data "$WINE64" "$MACHINE_RUN_KEY" "$ENTRY_12_VALUE"
  [ -z "$DATA" ] || fail "the 32-bit view's value is still there"
  value_data "$WINE64" "$NATIVE_RUN_KEY" "$ENTRY_12_VALUE"
  [ "$DATA" = native-view ] || fail "the 64-bit view's value is gone"
}

case_a_32_bit_run_ends_32_and_64_bit_targets() {
  start_program vexpp.exe
  local target32=$PID
  WINE=$WINE64 SLEEPER=$SLEEPER64 start_program vexdesktop.exe
  local target64=$PID
  run_tool
  expect_rc 0
  expect_section 1 "vexpp.exe: TerminateProcess() OK" "vexdesktop.exe: TerminateProcess() OK" ""
  expect_ended "$target32"
  expect_ended "$target64"
}

run_cases
