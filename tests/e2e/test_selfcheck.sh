#!/usr/bin/env bash
# The self-check kit as an administrator runs it: its command script under Wine's cmd, with the
# real tool (it must pass, elevated and with /user-only) and with a program that cleans nothing
# (it must fail, and still clean up what it seeded).
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/registry.sh"
: "${SELFCHECK_HELPER:?}"
SCRIPT=$(dirname "$0")/../../selfcheck/velmirant-selfcheck.cmd

# run_kit TOOL [ARGS...]: the kit in C:\kit with TOOL as its velmirant-cleanup.exe; sets RC and OUT.
run_kit() {
  local kit=$WINEPREFIX/drive_c/kit
  mkdir -p "$kit"
  cp "$SCRIPT" "$SELFCHECK_HELPER" "$kit/"
  cp "$1" "$kit/velmirant-cleanup.exe"
  shift
  OUT=$CASE_DIR/selfcheck.out
  RC=0
  "$WINE" cmd /c 'C:\kit\velmirant-selfcheck.cmd' "$@" </dev/null >"$OUT" 2>&1 || RC=$?
  sed -i 's/\r$//' "$OUT"
  sed 's/^/      /' "$OUT" >&2
  REPORT=$kit/results/report.txt
}

# Nothing the kit seeded or started is left, whatever the run's outcome.
expect_nothing_left() {
  local name listed=$CASE_DIR/listed
  for name in Velmirant velmirant-selfcheck-neighbour; do
    [ ! -e "$ROAMING/$name" ] && [ ! -e "$PROGRAMS/$name" ] || fail "$name is left"
  done
  "$WINE" "$SLEEPER" list >"$listed" 2>/dev/null </dev/null
  ! grep -qiE 'vexdesktop|vexpp|panelino' "$listed" || fail "a stand-in still runs: $(tr '\r\n' '  ' <"$listed")"
  for entry in "${REGISTRY_ENTRIES[@]}" "$RUN_KEY|velmirant-selfcheck-neighbour" \
    'HKEY_CURRENT_USER\Software\velmirant-selfcheck-neighbour' "$MACHINE_RUN_KEY|velmirant-selfcheck-neighbour"; do
    ! registry_has "$entry" || fail "$entry is left"
  done
}

case_passes_with_the_tool() {
  run_kit "$TOOL"
  [ "$RC" -eq 0 ] && grep -qx 'SELF-CHECK PASSED' "$OUT" || fail "the self-check did not pass (exit code $RC)"
  tr -d '\r' <"$REPORT" | grep -qx 'vexdesktop.exe: TerminateProcess() OK' || fail "the report was not kept"
  expect_nothing_left
  if [ "$WINE_MAJOR" -ge 10 ]; then
    # Wine 10 gives programs a standard user's token: the kit's own run is a standard user's. It
    # still grants the write into the machine-wide entry's key, so that line is 2.
    grep -qx 'Not elevated: seeding the per-user leftovers only.' "$OUT" || fail "not seeded as a standard user"
    tr -d '\r' <"$REPORT" | grep -qx 'HKEY_LOCAL_MACHINE.*|velmirant-panelino-distribuce -> 2' ||
      fail "the machine-wide entry's line is not as due"
    return
  fi
  # Wine 8 runs every program with an elevated token, so the kit seeds the machine-wide entry too.
  grep -qx 'Elevated: seeding the per-user and the machine-wide leftovers.' "$OUT" || fail "not seeded as elevated"
  # What a standard user can seed; the machine-wide entry's key is writable under Wine, so 2. The
  # result folder is given, with a name like a second download's.
  run_kit "$TOOL" /user-only 'C:\kit\results (1)'
  REPORT="$WINEPREFIX/drive_c/kit/results (1)/report.txt"
  [ "$RC" -eq 0 ] && grep -qx 'SELF-CHECK PASSED' "$OUT" || fail "the /user-only self-check did not pass (exit code $RC)"
  grep -qx 'Not elevated: seeding the per-user leftovers only.' "$OUT" || fail "not seeded as a standard user"
  tr -d '\r' <"$REPORT" | grep -qx 'HKEY_LOCAL_MACHINE.*|velmirant-panelino-distribuce -> 2' ||
    fail "the machine-wide entry's line is not as due"
  expect_nothing_left
}

case_fails_with_a_program_that_cleans_nothing() {
  run_kit "$WINEPREFIX/drive_c/windows/system32/hostname.exe"
  [ "$RC" -eq 1 ] || fail "exit code $RC, expected 1"
  grep -qE '^SELF-CHECK FAILED: [0-9]+ problems$' "$OUT" || fail "no failure verdict"
  grep -qx 'PROBLEM: the report has no empty line after the process lines' "$OUT" || fail "the report's shape was not checked"
  grep -qx 'PROBLEM: the stand-in vexpp.exe is still running' "$OUT" || fail "the stand-ins were not checked"
  grep -q 'PROBLEM: the key HKCU\\Software\\Velmirant: still there' "$OUT" || fail "the registry was not checked"
  expect_nothing_left
}

run_cases
