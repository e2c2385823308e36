#!/usr/bin/env bash
# One complete run on a prefix holding everything the tool removes, compared byte for byte; and
# the fleet guide's command line as docs/fleet.md writes it.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/registry.sh"

case_complete_report_is_exact() {
  local name pids=()
  for name in vexdesktop.exe vexinstall.exe vexpp.exe panelino.exe; do
    start_program "$name"
    pids+=("$PID")
  done
  mkdir -p "$ROAMING/Velmirant/vexpp/cache" "$PROGRAMS/Velmirant/bin"
  echo '{}' >"$ROAMING/Velmirant/vexpp/settings.json"
  echo x >"$ROAMING/Velmirant/vexpp/cache/0001.bin"
  cp "$SLEEPER" "$PROGRAMS/Velmirant/bin/vexdesktop.exe"
  seed_registry
  registry_has "${REGISTRY_ENTRIES[0]}" || setup_disturbed "the seeded registry is gone"
  run_tool
  expect_rc 0
  printf '%s\r\n' \
    'vexdesktop.exe: TerminateProcess() OK' \
    'vexinstall.exe: TerminateProcess() OK' \
    'vexpp.exe: TerminateProcess() OK' \
    'panelino.exe: TerminateProcess() OK' \
    '' \
    "$ROAMING_WIN/Velmirant -> 0" \
    'C:/Program Files (x86)/Velmirant -> 0' \
    '' \
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run|velmirant.software.autoupdate -> 0' \
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run|velmirant.software.vexdesktop -> 0' \
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run|velmirant.software.autoupdate -> 0' \
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run|velmirant.software.vexdesktop -> 0' \
    'HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall -> 0' \
    'HKEY_CURRENT_USER\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm -> 0' \
    'HKEY_CURRENT_USER\Software\Mozilla\NativeMessagingHosts\vexpp_nm -> 0' \
    'HKEY_CURRENT_USER\Software\Velmirant\distribution -> 0' \
    'HKEY_CURRENT_USER\Software\Velmirant\vexpp -> 0' \
    'HKEY_CURRENT_USER\Software\Velmirant -> 0' \
    'HKEY_CURRENT_USER\AppEvents\Schemes\Apps\vexdesktop -> 0' \
    'HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run|velmirant-panelino-distribuce -> 0' \
    >"$CASE_DIR/expected"
  expect_same_bytes "$CASE_DIR/expected" "$REPORT"
  for PID in "${pids[@]}"; do expect_ended "$PID"; done
  [ ! -e "$ROAMING/Velmirant" ] && [ ! -e "$PROGRAMS/Velmirant" ] || fail "a vendor folder is still there"
}

# The guide's line, taken from docs/fleet.md (only its share replaced by a local folder), run by
# cmd as a logon script would: one report named computer_user_date_time, holding the tool's bytes.
case_fleet_guide_line_stores_the_report_unchanged() {
  local line reports=$WINEPREFIX/drive_c/reports who stored
  line=$(grep '^cmd /d /c "velmirant-cleanup.exe > ' "$(dirname "$0")/../../docs/fleet.md")
  [ "$(printf '%s\n' "$line" | grep -c .)" = 1 ] || fail "docs/fleet.md has not exactly one such line: $line"
  [[ $line == *'"\\server\reports$\'* ]] || fail "the guide's line writes to no \\server\reports\$ share: $line"
  mkdir -p "$reports"
  cp "${TOOL_EXE:-$TOOL}" "$BIN/velmirant-cleanup.exe"
  printf '%s\r\n' "${line//\\\\server\\reports\$/C:\\reports}" >"$BIN/fleet.cmd"
  (cd "$BIN" && "$WINE" cmd /d /c fleet.cmd </dev/null >"$CASE_DIR/cmd.out" 2>&1) || fail "cmd failed: $(cat "$CASE_DIR/cmd.out")"
  who=$("$WINE" cmd /d /c 'echo %COMPUTERNAME%_%USERNAME%_' </dev/null 2>/dev/null | tr -d '\r\n')
  stored=$(cd "$reports" && ls)
  # Only what any file name may hold: Wine's %TIME% has a ":" too, which Wine would store.
  [[ $stored == "$who"*.txt && ${stored#"$who"} =~ ^[[:alnum:]\ ._,-]+\.txt$ ]] ||
    fail "reports stored: $stored (expected one named ${who}DATE_TIME.txt)"
  run_tool
  expect_same_bytes "$REPORT" "$reports/$stored"
}

run_cases
