#!/usr/bin/env bash
# The self-check kit as an administrator runs it: velmirant-selfcheck.exe beside the real tool (it
# must pass, load none of the DLLs planted beside it, make nothing where the user's AppData points
# without the user's token, and leave the registry and the files as they were), beside another
# program (refused before anything is made), with a program planted in its work folder meanwhile
# (never run), and with /plan (nothing changes), a result folder that is or lies below a link and
# a result file that is one (refused, nothing made or written there). A kit built for the tests
# runs the test double: one that cleans nothing (it must fail; kept with /keep, what the kept state
# is then given costs nothing, and the next run removes that state first), and one that moves the
# held file away and puts copies in place of neighbour files it deleted (it must fail naming each).
. "$(dirname "$0")/lib.sh"
: "${SELFCHECK:?}" "${SELFCHECK_DOUBLE:?}" "${CLEANUP_DOUBLE:?}"

KIT_NAMES=(shcore propsys version uxtheme cryptbase profapi userenv dwmapi windows.storage)

# run_kit TOOL [ARGS...]: the kit in C:\kit with TOOL as its velmirant-cleanup.exe (the test double
# with the kit that runs it); sets RC and OUT.
run_kit() {
  KIT=$WINEPREFIX/drive_c/kit
  mkdir -p "$KIT"
  if [ "$1" = "$CLEANUP_DOUBLE" ]; then cp "$SELFCHECK_DOUBLE" "$KIT/velmirant-selfcheck.exe"; else cp "$SELFCHECK" "$KIT/velmirant-selfcheck.exe"; fi
  cp "$1" "$KIT/velmirant-cleanup.exe"
  shift
  OUT=$CASE_DIR/selfcheck.out
  RC=0
  "$WINE" 'C:\kit\velmirant-selfcheck.exe' "$@" </dev/null >"$OUT" 2>&1 || RC=$?
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

# The verdict a passing run gives under this Wine: Wine 10 gives programs a standard user's token
# (one run, as that user: exit code 0); Wine 8 runs every program elevated and makes no token that
# runs otherwise (the elevated run of the machine-wide part only, and exit code 3 with a line
# saying why there is no second one).
expect_passed() {
  grep -qx 'SELF-CHECK PASSED' "$OUT" || fail "the self-check did not pass (exit code $RC)"
  if [ "$WINE_MAJOR" -ge 10 ]; then
    [ "$RC" -eq 0 ] || fail "exit code $RC, expected 0"
    grep -qx '\[standard user\] passed' "$OUT" || fail "no standard user's run"
    ! grep -q '^\[elevated\]' "$OUT" || fail "an elevated run under a standard user's token"
  else
    [ "$RC" -eq 3 ] || fail "exit code $RC, expected 3"
    grep -qx '\[elevated\] passed' "$OUT" || fail "no elevated run"
    grep -qE '^standard-user run: not possible here: .+' "$OUT" || fail "the missing standard-user run was not reported"
    grep -qx "\\[elevated\\] Seeding the machine-wide leftovers only: the per-user ones are made only with a proven standard user's token, and there is none here" "$OUT" ||
      fail "the per-user part left out was not reported"
  fi
  ! grep -q 'CLEAN-UP INCOMPLETE' "$OUT" || fail "the kit left something it made"
}

case_passes_with_the_tool_and_leaves_everything_as_it_was() {
  # The machine-wide entry's key, as every 64-bit Windows has it (a fresh prefix has not).
  "$WINE64" reg add 'HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run' /f >/dev/null 2>&1 || fail "reg add failed"
  # DLLs planted beside the kit (and so beside the tool it runs) under system DLL names; one that
  # is loaded leaves a marker, as the control shows.
  local name
  mkdir -p "$WINEPREFIX/drive_c/kit"
  for name in "${KIT_NAMES[@]}"; do cp "$PLANTED_DLL" "$WINEPREFIX/drive_c/kit/$name.dll"; done
  cp "$PLANTED_DLL" "$CASE_DIR/control.dll"
  "$WINE" rundll32.exe "Z:$CASE_DIR/control.dll,Touch" >/dev/null 2>&1
  [ -e "$CASE_DIR/control.dll.loaded" ] || fail "the planted DLL leaves no marker when loaded"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    # The user's AppData pointed at a folder only administrators may write to: without the user's
    # token the elevated kit makes nothing there.
    mkdir -p "$WINEPREFIX/drive_c/spool"
    local folders
    for folders in 'User Shell Folders' 'Shell Folders'; do
      "$WINE64" reg add "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\$folders" /v AppData \
        /d 'C:\spool' /f >/dev/null 2>&1 || fail "reg add failed"
    done
  fi
  snapshot before
  # Options in any order; a relative result folder is taken from the kit's folder.
  run_kit "$TOOL" 'results (1)' /yes
  expect_passed
  local loaded
  loaded=$(cd "$KIT" && ls -- *.loaded 2>/dev/null)
  [ -z "$loaded" ] || fail "DLLs planted beside the kit were loaded: $loaded"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    # Elevated, the work area is the program data folder's; Wine 8 keeps no DACL, and the kit says so.
    grep -qxF 'Note: this platform (Wine) keeps no security descriptor for a folder: the work folder C:\ProgramData\velmirant-selfcheck is not guarded from standard users here, as it is on Windows.' "$OUT" ||
      fail "the unguarded work folder was not reported"
  fi
  [ -f "$KIT/results (1)/result.txt" ] || fail "the relative result folder is not beside the kit"
  local digest
  /usr/bin/python3 "$(dirname "$0")/../../selfcheck/pin.py" "$TOOL" "$CASE_DIR/pin.h" || fail "no digest"
  digest=$(sed -n 's/.*"\([0-9a-f]*\)".*/\1/p' "$CASE_DIR/pin.h")
  tr -d '\r' <"$KIT/results (1)/result.txt" | grep -qxF "The tool: C:\kit\velmirant-cleanup.exe, its image's digest (Authenticode SHA-256) $digest, the one this self-check was released with." ||
    fail "the result does not name the tool's digest $digest"
  [ -z "$(ls -A "$WINEPREFIX/drive_c/spool" 2>/dev/null)" ] || fail "the kit made $(ls -A "$WINEPREFIX/drive_c/spool") where AppData points"
  if [ "$WINE_MAJOR" -ge 10 ]; then
    # Wine 10 still grants a standard user the write into the machine-wide entry's key, so that
    # line is 2, as a probe finds and the result says; its POSIX deletion takes the scanned file at once.
    grep -qx "\\[standard user\\] This platform (Wine) may let a standard user write where Windows refuses it: a probe with this run's token found entry 12's line -> 2 due (on Windows: -> 5)." "$OUT" ||
      fail "the probe's answer was not reported"
    grep -qx '\[standard user\] The held file went at once (deletion with POSIX semantics).' "$OUT" ||
      fail "the POSIX deletion of the held file was not reported"
    tr -d '\r' <"$KIT/results (1)/report-standard-user.txt" |
      grep -qx 'HKEY_LOCAL_MACHINE.*|velmirant-panelino-distribuce -> 2' || fail "the machine-wide entry's line is not as due"
  else
    tr -d '\r' <"$KIT/results (1)/report-elevated.txt" | grep -qx 'vexdesktop.exe: TerminateProcess() OK' ||
      fail "the report was not kept"
  fi
  expect_as_before
}

# What a run seeds under this Wine: the per-user part where there is a standard user's token (Wine
# 10), else the machine-wide part (Wine 8). NEIGHBOUR is a seeded neighbour tree (and _WIN as the
# kit names it, a pattern), VENDOR the vendor's folder.
seeded_places() {
  if [ "$WINE_MAJOR" -ge 10 ]; then
    NEIGHBOUR=$ROAMING/velmirant-selfcheck-neighbour VENDOR=$ROAMING/Velmirant
    NEIGHBOUR_WIN='C:\\users\\[^\\]+\\AppData\\Roaming\\velmirant-selfcheck-neighbour'
  else
    NEIGHBOUR=$PROGRAMS/velmirant-selfcheck-neighbour VENDOR=$PROGRAMS/Velmirant
    NEIGHBOUR_WIN='C:\\Program Files \(x86\)\\velmirant-selfcheck-neighbour'
  fi
}

case_a_kept_failing_run_is_removed_by_the_next_run() {
  snapshot before
  seeded_places
  VELMIRANT_DOUBLE=nothing run_kit "$CLEANUP_DOUBLE" /keep /yes
  [ "$RC" -eq 1 ] || fail "exit code $RC, expected 1"
  grep -qE '^SELF-CHECK FAILED: [0-9]+ problems$' "$OUT" || fail "no failure verdict"
  grep -qE '^\[[a-z ]+\] PROBLEM: the report has no empty line after the process lines$' "$OUT" ||
    fail "the report's shape was not checked"
  grep -qE '^\[[a-z ]+\] PROBLEM: the stand-in vexdesktop.exe is still running$' "$OUT" &&
    grep -qE '^\[[a-z ]+\] PROBLEM: the stand-in vexpp.exe ended, but not by the tool \(exit code 0\)$' "$OUT" ||
    fail "the stand-ins were not checked"
  grep -qE '^\[[a-z ]+\] PROBLEM: the (key HKCU\\Software\\Velmirant\\vexpp|value velmirant-panelino-distribuce under HKLM\\.*\\Run): still there, but due: gone$' "$OUT" ||
    fail "the registry was not checked"
  grep -qE '^\[[a-z ]+\] Kept as it is for a look \(/keep\)' "$OUT" || fail "no word on the kept state"
  grep -qF 'PROBLEM: the report names the neighbour program: [vexdesktop-neighbour.exe: TerminateProcess() OK\x1B[2K]' "$OUT" ||
    fail "a report line was not shown with its control characters escaped"
  [ -f "$KIT/double-ran.txt" ] && [ ! -e "$KIT/work-renamed.txt" ] || fail "the work folder was not held while the tool ran"
  [ -f "$VENDOR/settings.json" ] || fail "the failed state was not kept"
  # What the kept state is then given costs nothing: links in a seeded neighbour tree to what lies
  # outside, and record lines that name a folder, a file, a value and an empty key the kit never makes.
  local outside=$CASE_DIR/outside tree=$NEIGHBOUR/cache record
  mkdir -p "$outside/dir"
  echo keep >"$outside/file.dat"
  echo keep >"$outside/dir/inside.dat"
  ln -s "$outside/file.dat" "$tree/link.dat"
  ln -s "$outside/dir" "$tree/linkdir"
  record=$(find "$WINEPREFIX/drive_c" -path '*/velmirant-selfcheck/record.txt' | head -n 1)
  [ -n "$record" ] || fail "no record"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    [ "$record" = "$WINEPREFIX/drive_c/ProgramData/velmirant-selfcheck/record.txt" ] || fail "elevated, the record is $record"
  fi
  mkdir -p "$WINEPREFIX/drive_c/victim-folder"
  echo keep >"$WINEPREFIX/drive_c/victim-folder/keep.dat"
  echo keep >"$WINEPREFIX/drive_c/victim-file.txt"
  "$WINE64" reg add 'HKCU\Software\velmirant-victim' /v victim /d keep /f >/dev/null 2>&1 || fail "reg add failed"
  "$WINE64" reg add 'HKCU\Software\velmirant-victim-empty' /f >/dev/null 2>&1 || fail "reg add failed"
  printf 'D\tC:\\victim-folder\nP\tC:\\victim-file.txt\nV\tHKCU\\Software\\velmirant-victim\tvictim\nK\tHKCU\\Software\\velmirant-victim-empty\n' >>"$record"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    # A per-user value of the plan, holding what the kit writes: without the user's token it stays.
    "$WINE64" reg add 'HKCU\Software\Velmirant\vexpp' /v Enabled /t REG_DWORD /d 1 /f >/dev/null 2>&1 || fail "reg add failed"
    printf 'V\tHKCU\\Software\\Velmirant\\vexpp\tEnabled\n' >>"$record"
  fi
  run_kit "$TOOL" /cleanup
  [ "$RC" -eq 2 ] || fail "/cleanup ended with $RC, expected 2"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    grep -qxF "CLEAN-UP INCOMPLETE: the value Enabled under HKCU\Software\Velmirant\vexpp is per-user, and there is no proven standard user's token to remove it with: left" "$OUT" &&
      "$WINE64" reg query 'HKCU\Software\Velmirant\vexpp' /v Enabled >/dev/null 2>&1 || fail "a per-user value was removed without the user's token"
    "$WINE64" reg delete 'HKCU\Software\Velmirant' /f >/dev/null 2>&1
    grep -v 'Enabled' "$record" >"$record.new" && mv "$record.new" "$record"
  fi
  local what
  for what in 'the folder C:\victim-folder' 'the program C:\victim-file.txt' \
    'the value victim under HKCU\Software\velmirant-victim' 'the key HKCU\Software\velmirant-victim-empty'; do
    grep -qF "names $what, which the self-check never makes: left untouched" "$OUT" || fail "not named: $what"
  done
  [ -f "$WINEPREFIX/drive_c/victim-folder/keep.dat" ] && [ -f "$WINEPREFIX/drive_c/victim-file.txt" ] ||
    fail "a planted record line deleted a file"
  "$WINE64" reg query 'HKCU\Software\velmirant-victim' /v victim >/dev/null 2>&1 &&
    "$WINE64" reg query 'HKCU\Software\velmirant-victim-empty' >/dev/null 2>&1 || fail "a planted record line deleted a key or value"
  [ "$(cat "$outside/file.dat" "$outside/dir/inside.dat")" = "keep"$'\n'"keep" ] || fail "a link in a seeded tree cost what lies outside"
  grep -qE "^CLEAN-UP INCOMPLETE: $NEIGHBOUR_WIN could not be removed \\(681: " "$OUT" ||
    fail "the tree with links in it was not named"
  rm -rf "$WINEPREFIX/drive_c/victim-folder" "$WINEPREFIX/drive_c/victim-file.txt" "$tree/link.dat" "$tree/linkdir"
  "$WINE64" reg delete 'HKCU\Software\velmirant-victim' /f >/dev/null 2>&1
  "$WINE64" reg delete 'HKCU\Software\velmirant-victim-empty' /f >/dev/null 2>&1
  run_kit "$TOOL" /yes
  grep -qx 'An earlier run left what it made (kept, stopped or crashed): removing that first.' "$OUT" ||
    fail "the earlier run's state was not reported"
  expect_passed
  expect_as_before
}

# A regression that deletes one file deep in a neighbour's tree (as following a junction would)
# while a user's program puts an identical copy back, and a held file moved away, not deleted.
case_fails_when_a_neighbour_file_is_replaced_or_the_held_file_moved() {
  snapshot before
  seeded_places
  mkdir -p "$WINEPREFIX/drive_c/kit"
  cp "$TOOL" "$WINEPREFIX/drive_c/kit/real-cleanup.exe"
  run_kit "$CLEANUP_DOUBLE" /yes
  [ "$RC" -eq 1 ] && [ -f "$KIT/double-ran.txt" ] || fail "exit code $RC, expected 1, from a run of the double"
  grep -qE "^\\[[a-z ]+\\] PROBLEM: $NEIGHBOUR_WIN\\\\cache\\\\deep\\\\deeper\\\\more.bin is not the file the self-check made" "$OUT" ||
    fail "the replaced neighbour file was not named"
  local problems=1
  if [ "$WINE_MAJOR" -ge 10 ]; then
    problems=2
    grep -qE '^\[standard user\] PROBLEM: C:\\users\\.*\\Velmirant\\scanned\\held.dat: the self-check did not see its deletion' "$OUT" ||
      fail "the held file moved away passed"
    rm -f "$ROAMING/moved-held.dat"
  fi
  [ "$(grep -c 'PROBLEM' "$OUT")" -eq "$problems" ] || fail "other problems than the $problems due"
  rm -f "$KIT/real-cleanup.exe"
  expect_as_before
}

# A program put into the work folder under the tool copy's name while the kit runs (by a program
# of Wine's, which keeps to Windows' sharing rules) never runs; what runs is the copy the kit wrote.
case_a_program_planted_in_the_work_folder_never_runs() {
  local work='C:\ProgramData'  # elevated (Wine 8); a standard user's is in the user's temporary folder
  [ "$WINE_MAJOR" -lt 10 ] || work=$(printf '%s' "${ROAMING_WIN%/Roaming}/Local/Temp" | tr / '\\')
  cp "$CLEANUP_DOUBLE" "$WINEPREFIX/drive_c/planted.exe"
  # The planter and the kit start at once: without a server already there, each may make the
  # prefix's server folder of its own, and one of them dies (seen under qemu-i386).
  "$WINESERVER" -p
  "$WINE" cmd /c "for /L %i in (1,1,1000000) do @copy /y C:\\planted.exe $work\\velmirant-selfcheck\\velmirant-cleanup.exe >NUL 2>&1" \
    </dev/null >/dev/null 2>&1 &
  local planter=$!
  run_kit "$TOOL" /yes
  kill "$planter" 2>/dev/null
  wait "$planter" 2>/dev/null
  [ ! -e "$KIT/double-ran.txt" ] || fail "the program planted in the work folder ran"
  # The copy meeting the planted one fails the run, or the work folder is refused: either way it ends.
  grep -qE '^(SELF-CHECK (PASSED|FAILED)|Nothing was checked: )' "$OUT" || fail "no verdict (exit code $RC)"
}

case_plan_lists_the_seeds_and_changes_nothing() {
  snapshot before
  run_kit "$TOOL" /plan
  [ "$RC" -eq 0 ] || fail "/plan ended with $RC"
  grep -qE '^\[[a-z ]+\] file    C:\\users\\[^\\]+\\AppData\\Roaming\\velmirant-selfcheck-neighbour\\cache\\deep\\deeper\\more.bin$' "$OUT" ||
    fail "/plan does not list a neighbour file"
  grep -qE '^\[[a-z ]+\] value   HKCU\\Software\\Velmirant\\unlisted\|Kept = REG_SZ yes$' "$OUT" || fail "/plan does not list a value"
  grep -qE '^\[[a-z ]+\] program C:\\.*\\velmirant-selfcheck\\toolbar-panelino-host.exe \(a target' "$OUT" ||
    fail "/plan does not list a stand-in"
  grep -qE '^\[[a-z ]+\] report line: HKEY_CURRENT_USER\\Software\\Velmirant -> 5$' "$OUT" || fail "/plan does not list a report line"
  [ ! -e "$KIT/results" ] || fail "/plan made the result folder"
  # Another program in the tool's place: refused before anything is made or run.
  run_kit "$WINEPREFIX/drive_c/windows/system32/hostname.exe" /yes
  [ "$RC" -eq 1 ] && grep -qE '^Refused: C:\\kit\\velmirant-cleanup.exe is not the velmirant-cleanup.exe this self-check was released with \(its image.s digest is [0-9a-f]{64}, ' "$OUT" ||
    fail "another program in the tool's place was not refused (exit code $RC)"
  [ ! -e "$KIT/results" ] || fail "the refused run made its result folder"
  expect_as_before  # no work folder, no seed
  # A result folder below a link, and a result file that is one: refused before anything is made.
  local elsewhere=$CASE_DIR/elsewhere
  mkdir -p "$elsewhere" "$KIT/real"
  echo keep >"$elsewhere/result.txt"
  ln -s "$elsewhere" "$KIT/linked"
  ln -s "$elsewhere/result.txt" "$KIT/real/result.txt"
  run_kit "$TOOL" /yes 'linked\run1'
  [ "$RC" -eq 1 ] && grep -qE '^The result folder "C:\\kit\\linked\\run1" is refused: C:\\kit\\linked: it is a link' "$OUT" ||
    fail "a result folder below a link was not refused (exit code $RC)"
  run_kit "$TOOL" /yes real
  [ "$RC" -eq 1 ] && grep -qE '^The result folder "C:\\kit\\real" is refused: C:\\kit\\real\\result.txt: it is reached through a link' "$OUT" ||
    fail "a linked result file was not refused (exit code $RC)"
  [ "$(ls -A "$elsewhere")" = result.txt ] && [ "$(cat "$elsewhere/result.txt")" = keep ] ||
    fail "what a link leads to was touched: $(ls -A "$elsewhere")"
  rm -rf "$KIT/linked" "$KIT/real"
  if [ "$WINE_MAJOR" -lt 10 ]; then
    # Elevated, a work folder that is a link is refused, and nothing where it leads is read or touched.
    local work=$WINEPREFIX/drive_c/ProgramData/velmirant-selfcheck
    mkdir -p "$elsewhere/work"
    printf 'D\tC:\\victim-folder\n' >"$elsewhere/work/record.txt"
    ln -s "$elsewhere/work" "$work"
    run_kit "$TOOL" /cleanup
    [ "$RC" -eq 1 ] && grep -qxF 'Nothing was checked: C:\ProgramData\velmirant-selfcheck is not a plain folder (it is a link (a junction or a symbolic link)): remove it, then run again.' "$OUT" ||
      fail "a work folder that is a link was not refused (exit code $RC)"
    [ "$(ls -A "$elsewhere/work")" = record.txt ] || fail "the linked work folder was touched"
    rm "$work"
  fi
  run_kit "$TOOL" /yes /unknown
  [ "$RC" -eq 1 ] && grep -qx 'Unknown argument: "/unknown".' "$OUT" && grep -q '^Usage: ' "$OUT" ||
    fail "an unknown option did not give the usage and exit code 1 (exit code $RC)"
  # Without /yes it asks first; no answer is a no.
  run_kit "$TOOL"
  [ "$RC" -eq 1 ] && grep -qx 'Nothing was done.' "$OUT" || fail "no answer did not stop it (exit code $RC)"
  expect_as_before
}

run_cases
