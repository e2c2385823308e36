#!/usr/bin/env bash
# The self-check kit as an administrator runs it: its command script under Wine's cmd, with the
# real tool (it must pass, and leave the registry and the files as they were), with a program that
# cleans nothing and with one that also deletes a neighbour's file (both must fail, and still
# remove what the kit made), and with /keep (the failed state stays until /cleanup).
. "$(dirname "$0")/lib.sh"
: "${SELFCHECK_HELPER:?}" "${CLEANUP_DOUBLE:?}"
SCRIPT=$(dirname "$0")/../../selfcheck/velmirant-selfcheck.cmd

# run_kit TOOL [ARGS...]: the kit in C:\kit with TOOL as its velmirant-cleanup.exe; sets RC and OUT.
run_kit() {
  KIT=$WINEPREFIX/drive_c/kit
  mkdir -p "$KIT"
  cp "$SCRIPT" "$SELFCHECK_HELPER" "$KIT/"
  cp "$1" "$KIT/velmirant-cleanup.exe"
  shift
  OUT=$CASE_DIR/selfcheck.out
  RC=0
  "$WINE" cmd /c 'C:\kit\velmirant-selfcheck.cmd' "$@" </dev/null >"$OUT" 2>&1 || RC=$?
  sed -i 's/\r$//' "$OUT"
  sed 's/^/      /' "$OUT" >&2
}

# snapshot NAME: the registry (both hives the kit writes to) and the file tree outside the kit's
# own folder, as they are now.
snapshot() {
  local name=$1
  "$WINE64" reg export HKCU "C:\\$name-hkcu.reg" /y >/dev/null 2>&1 || fail "reg export failed"
  "$WINE64" reg export 'HKLM\Software' "C:\\$name-hklm.reg" /y >/dev/null 2>&1 || fail "reg export failed"
  mv "$WINEPREFIX/drive_c/$name-hkcu.reg" "$WINEPREFIX/drive_c/$name-hklm.reg" "$CASE_DIR/"
  (cd "$WINEPREFIX/drive_c" && find . -path ./kit -prune -o -path ./windows -prune -o -print | sort) >"$CASE_DIR/$name-tree"
}

# The kit left the registry's keys and values and the file tree as they were before it ran.
expect_as_before() {
  snapshot after
  local part
  for part in hkcu.reg hklm.reg tree; do
    cmp -s "$CASE_DIR/before-$part" "$CASE_DIR/after-$part" ||
      fail "the kit left $part changed: $(diff <(iconv -f UTF-16LE -t UTF-8 "$CASE_DIR/before-$part" 2>/dev/null || cat "$CASE_DIR/before-$part") \
        <(iconv -f UTF-16LE -t UTF-8 "$CASE_DIR/after-$part" 2>/dev/null || cat "$CASE_DIR/after-$part") | head -n 20 | tr '\r\n' '  ')"
  done
  local listed=$CASE_DIR/listed
  "$WINE" "$SLEEPER" list >"$listed" 2>/dev/null </dev/null
  ! grep -qiE 'vexdesktop|vexpp|panelino|scanner' "$listed" || fail "a stand-in still runs: $(tr '\r\n' '  ' <"$listed")"
}

case_passes_with_the_tool_and_leaves_everything_as_it_was() {
  snapshot before
  run_kit "$TOOL" /yes
  [ "$RC" -eq 0 ] && grep -qx 'SELF-CHECK PASSED' "$OUT" || fail "the self-check did not pass (exit code $RC)"
  grep -qx '\[elevated\] Note: no junction could be made inside the vendor folder here (mklink /J failed); that point is not checked.' "$OUT" ||
    grep -qx '\[standard user\] Note: no junction could be made inside the vendor folder here (mklink /J failed); that point is not checked.' "$OUT" ||
    fail "Wine makes no junction, and the kit did not say so"
  if [ "$WINE_MAJOR" -ge 10 ]; then
    # Wine 10 gives programs a standard user's token: one run, as that user. It still grants the
    # write into the machine-wide entry's key, so that line is 2; its POSIX deletion takes the
    # scanned file at once.
    grep -qx '\[standard user\] passed' "$OUT" || fail "no standard user's run"
    ! grep -q '^\[elevated\]' "$OUT" || fail "an elevated run under a standard user's token"
    grep -qx '\[standard user\] The scanned file went at once (deletion with POSIX semantics).' "$OUT" ||
      fail "the POSIX deletion of the scanned file was not reported"
    tr -d '\r' <"$KIT/results/report-standard-user.txt" |
      grep -qx 'HKEY_LOCAL_MACHINE.*|velmirant-panelino-distribuce -> 2' || fail "the machine-wide entry's line is not as due"
  else
    # Wine 8 runs every program elevated, and gives no token that runs otherwise: the elevated run
    # only, and a line that says why there is no second one.
    grep -qx '\[elevated\] passed' "$OUT" || fail "no elevated run"
    grep -qx 'standard-user run: not possible here: the token made from this one still runs elevated' "$OUT" ||
      fail "the missing standard-user run was not reported"
    grep -qE '^\[elevated\] The scanned file went after [0-9]+ failed attempt\(s\)' "$OUT" ||
      fail "the classic deletion of the scanned file was not reported"
    tr -d '\r' <"$KIT/results/report-elevated.txt" | grep -qx 'vexdesktop.exe: TerminateProcess() OK' ||
      fail "the report was not kept"
  fi
  expect_as_before
  # Options in any order, and a relative result folder, taken from the kit's folder.
  run_kit "$TOOL" 'results (1)' /yes
  [ -f "$KIT/results (1)/result.txt" ] || fail "the relative result folder is not beside the kit"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    # Elevated, /user-only asks for the run Wine 8 cannot give: nothing is checked, and it fails.
    run_kit "$TOOL" /user-only /yes
    [ "$RC" -eq 1 ] && grep -qx 'Nothing was checked.' "$OUT" || fail "/user-only passed without a run (exit code $RC)"
  fi
  expect_as_before
}

case_fails_with_a_program_that_cleans_nothing_and_still_leaves_nothing() {
  snapshot before
  run_kit "$WINEPREFIX/drive_c/windows/system32/hostname.exe" /yes
  [ "$RC" -eq 1 ] || fail "exit code $RC, expected 1"
  grep -qE '^SELF-CHECK FAILED: [0-9]+ problems$' "$OUT" || fail "no failure verdict"
  grep -qE '^\[[a-z ]+\] PROBLEM: the report has no empty line after the process lines$' "$OUT" ||
    fail "the report's shape was not checked"
  grep -qE '^\[[a-z ]+\] PROBLEM: the stand-in vexpp.exe is still running$' "$OUT" || fail "the stand-ins were not checked"
  grep -qE '^\[[a-z ]+\] PROBLEM: the key HKCU\\Software\\Velmirant\\vexpp: still there' "$OUT" ||
    fail "the registry was not checked"
  expect_as_before
}

# A regression that deletes one file deep in the neighbour's tree (as following a junction would).
case_fails_when_a_file_deep_in_a_neighbour_tree_goes() {
  snapshot before
  mkdir -p "$WINEPREFIX/drive_c/kit"
  cp "$TOOL" "$WINEPREFIX/drive_c/kit/real-cleanup.exe"
  run_kit "$CLEANUP_DOUBLE" /yes
  [ "$RC" -eq 1 ] || fail "exit code $RC, expected 1"
  grep -qE '^\[[a-z ]+\] PROBLEM: C:\\users\\[^\\]+\\AppData\\Roaming\\velmirant-selfcheck-neighbour\\cache\\deep\\deeper\\more.bin is gone, but must stay$' "$OUT" ||
    fail "the lost neighbour file was not named"
  rm -f "$KIT/real-cleanup.exe"
  expect_as_before
}

case_keep_keeps_a_failed_state_until_cleanup() {
  snapshot before
  run_kit "$WINEPREFIX/drive_c/windows/system32/hostname.exe" /keep /yes
  [ "$RC" -eq 1 ] || fail "exit code $RC, expected 1"
  grep -qE '^\[[a-z ]+\] Kept as it is for a look \(/keep\)\. To remove it later, run: velmirant-selfcheck.cmd /cleanup "C:\\kit\\results"$' "$OUT" ||
    fail "no word on how to clean up later"
  [ -f "$ROAMING/Velmirant/settings.json" ] || fail "the failed state was not kept"
  "$WINE" "$SELFCHECK_HELPER" regstate 'HKCU\Software\Velmirant\vexpp' || fail "the seeded registry was not kept"
  run_kit "$TOOL" /cleanup /yes
  [ "$RC" -eq 0 ] || fail "/cleanup ended with $RC"
  expect_as_before
}

run_cases
