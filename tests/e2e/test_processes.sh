#!/usr/bin/env bash
# Process termination against real programs under Wine.
. "$(dirname "$0")/lib.sh"

case_targets_end_and_neighbours_keep_running() {
  local targets=() neighbours=() name
  for name in vexdesktop.exe vexdesktop.exe vexinstall.exe vexpp.exe panelino.exe mypanelinotool.exe \
    $'\xc4\x81\xd0\xb6panelino.exe'; do  # U+0101 (best fit "a") and U+0436: outside code page 1252
    start_program "$name"
    targets+=("$PID")
  done
  for name in VexDesktop.exe xvexpp.exe Panelino.exe vexpp.exe.old; do
    start_program "$name"
    neighbours+=("$PID")
  done
  run_tool
  expect_rc 0
  expect_section 1 \
    "vexdesktop.exe: TerminateProcess() OK" \
    "vexdesktop.exe: TerminateProcess() OK" \
    "vexinstall.exe: TerminateProcess() OK" \
    "vexpp.exe: TerminateProcess() OK" \
    "panelino.exe: TerminateProcess() OK" \
    "mypanelinotool.exe: TerminateProcess() OK" \
    "??panelino.exe: TerminateProcess() OK" \
    ""
  local pid
  for pid in "${targets[@]}"; do expect_ended "$pid"; done
  for pid in "${neighbours[@]}"; do expect_alive "$pid"; done
  [ ! -s "$CASE_DIR/stderr" ] || fail "the tool wrote to standard error"
}

case_arguments_are_ignored() {
  start_program vexpp.exe
  local first=$PID
  run_tool /? --all "*" 'C:\Windows'
  expect_rc 0
  expect_section 1 "vexpp.exe: TerminateProcess() OK" ""
  expect_ended "$first"
  cp "$REPORT" "$CASE_DIR/with-arguments"
  start_program vexpp.exe
  run_tool
  expect_rc 0
  expect_same_bytes "$CASE_DIR/with-arguments" "$REPORT"
  expect_ended "$PID"
}

case_nothing_running_gives_one_empty_line() {
  start_program notepad-like.exe
  run_tool
  expect_rc 0
  expect_section 1 ""
  expect_alive "$PID"
}

case_tool_named_as_a_target_ends_itself_first() {
  start_program vexpp.exe
  local target=$PID
  cp "$TOOL" "$BIN/mypanelino-cleanup.exe"
  TOOL_EXE=$BIN/mypanelino-cleanup.exe run_tool
  expect_rc 1
  expect_ended "$target"
  printf 'vexpp.exe: TerminateProcess() OK\r\nmypanelino-cleanup.exe:' >"$CASE_DIR/expected"
  expect_same_bytes "$CASE_DIR/expected" "$REPORT"
}

case_closed_output_changes_nothing() {
  start_program vexinstall.exe
  local code=0
  "$WINE" "$TOOL" >&- 2>&- </dev/null || code=$?
  [ "$code" -eq 0 ] || fail "exit code $code with standard output closed"
  expect_ended "$PID"
  start_program vexpp.exe
  code=0
  "$WINE" "$TOOL" >/dev/full 2>&- </dev/null || code=$?
  [ "$code" -eq 0 ] || fail "exit code $code with a full disk"
  expect_ended "$PID"
}

run_cases
