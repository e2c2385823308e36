#!/usr/bin/env bash
# Shared by the end-to-end tests. Each case runs in a Wine prefix of its own (a hard-linked copy
# of a template made once), starts real programs, makes real files and registry entries, runs the
# real tool and removes everything it made. Assertions end the case at the first failure.
set -u
: "${WINE:?}" "${TOOL:?}" "${SLEEPER:?}" "${PREFIX_TEMPLATE:?}" "${E2E_TMP:?}"
# The 32-bit suite (E2E_BITS=32) runs the release under 32-bit Wine: where the kernel runs no 32-bit
# programs, only inside scripts/wine8.sh's or wine10.sh's root, which CTest starts the cases through.
if [ "${E2E_BITS:-64}" = 32 ] && ! bash "$(dirname "${BASH_SOURCE[0]}")/../../scripts/runs32.sh"; then
  echo "32-bit programs do not run here: start the case through scripts/wine8.sh run or scripts/wine10.sh run" >&2
  exit 1
fi
# 64-bit Wine, for what a 32-bit loader cannot do: start 64-bit programs, reach the 64-bit registry view.
WINE64=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
# Wine reads Unix file names as UTF-8 under this locale and keeps code page 1252 as the ANSI one.
export LC_ALL=C.UTF-8
WINESERVER=$(dirname "$WINE")/wineserver
# Cases that only one Wine can show ask which one runs them: 8 (classic deletion, elevated token)
# or 10 (POSIX deletion, a standard user's token).
WINE_MAJOR=$("$WINE" --version 2>/dev/null | sed -nE 's/^wine-([0-9]+).*/\1/p')
[ -n "$WINE_MAJOR" ] || { echo "cannot tell the version of $WINE" >&2; exit 1; }
. "$(dirname "${BASH_SOURCE[0]}")/prefix.sh"
mkdir -p "$E2E_TMP"

fail() {
  echo "    $*" >&2
  exit 1
}

# new_prefix [DIR]: a fresh prefix in DIR (default: a new folder under $E2E_TMP).
new_prefix() {
  if [ $# -gt 0 ]; then
    CASE_DIR=$1
    # A sandbox an earlier demo left for a look around.
    if [ -d "$CASE_DIR/prefix" ]; then export WINEPREFIX=$CASE_DIR/prefix; end_prefix; fi
    rm -rf "$CASE_DIR"
    mkdir -p "$CASE_DIR"
  else
    CASE_DIR=$(mktemp -d "$E2E_TMP/case.XXXXXX")
  fi
  export WINEPREFIX=$CASE_DIR/prefix
  copy_prefix "$PREFIX_TEMPLATE" "$WINEPREFIX"
  BIN=$CASE_DIR/bin
  mkdir -p "$BIN"
  local user
  user=$(ls "$WINEPREFIX/drive_c/users" | grep -vx Public | head -n 1)
  ROAMING=$WINEPREFIX/drive_c/users/$user/AppData/Roaming
  ROAMING_WIN="C:/users/$user/AppData/Roaming"
  PROGRAMS=$WINEPREFIX/drive_c/"Program Files (x86)"
  PROGRAMS_WIN="C:/Program Files (x86)"
  READY_COUNT=0
  STARTED=()
}

end_prefix() {
  end_server "$WINEPREFIX"
  chmod -R u+w "$CASE_DIR" 2>/dev/null
  rm -rf "$CASE_DIR"
}

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# start_program NAME [ARGS...]: copies the sleeper to NAME, starts it and waits until it runs.
# Sets PID to the program's process (the Wine loader runs it in place).
start_program() {
  local name=$1
  shift
  cp "$SLEEPER" "$BIN/$name"
  READY_COUNT=$((READY_COUNT + 1))
  local ready=$BIN/ready.$READY_COUNT
  "$WINE" "$BIN/$name" "Z:$ready" "$@" </dev/null >/dev/null 2>&1 &
  PID=$!
  wait_for 60 test -e "$ready" || fail "$name did not start"
  STARTED+=("$PID:$name")
}

# A case whose set-up is undone before the tool runs proves nothing about the tool; it fails
# with this message rather than with a report that differs.
setup_disturbed() {
  fail "set-up disturbed before the tool ran: $*"
}

# expect_ended PID: the program no longer runs. (Wine does not pass the exit code given to
# TerminateProcess on to the Unix process; the unit tests check that it is 1.)
expect_ended() {
  wait_for 20 eval "! kill -0 $1 2>/dev/null" || fail "process $1 still runs"
}

expect_exists() {  # the set-up made what the case relies on (an absent folder would also report 0)
  local path
  for path in "$@"; do [ -e "$path" ] || fail "set-up did not create $path"; done
}

expect_alive() {
  kill -0 "$1" 2>/dev/null || fail "process $1 no longer runs"
}

# run_tool [ARGS...]: runs the tool (or $TOOL_EXE) with the report in $REPORT and exit code in $RC.
run_tool() {
  REPORT=$CASE_DIR/report
  RC=0
  local started listed=$CASE_DIR/listed
  if [ ${#STARTED[@]} -gt 0 ]; then
    "$WINE" "$SLEEPER" list >"$listed" 2>/dev/null </dev/null || setup_disturbed "the process list failed"
    sed -i 's/\r$//' "$listed"
    for started in "${STARTED[@]}"; do
      kill -0 "${started%%:*}" 2>/dev/null || setup_disturbed "${started#*:} no longer runs"
      grep -qixF "${started#*:}" "$listed" || setup_disturbed "Wine does not list ${started#*:}"
    done
  fi
  STARTED=()
  "$WINE" "${TOOL_EXE:-$TOOL}" "$@" >"$REPORT" 2>"$CASE_DIR/stderr" </dev/null || RC=$?
}

# expect_report LINE...: the report is exactly these lines, each ended by CR LF.
expect_report() {
  local expected=$CASE_DIR/expected
  if [ $# -gt 0 ]; then printf '%s\r\n' "$@" >"$expected"; else : >"$expected"; fi
  expect_same_bytes "$expected" "$REPORT"
}

# expect_section N LINE...: section N of the report is exactly these lines. The process and the
# folder sections each end with their empty line; the registry section is the rest.
expect_section() {
  local n=$1 expected=$CASE_DIR/expected section=$CASE_DIR/section
  shift
  # A complete report ends with a line end; awk would add the missing one to the last section.
  [ "$(tail -c 2 "$REPORT" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || fail "the report does not end with CR LF"
  awk -v n="$n" 'BEGIN { RS = "\r\n"; ORS = "\r\n"; s = 1 } s == n { print } $0 == "" { s++ }' "$REPORT" >"$section"
  if [ $# -gt 0 ]; then printf '%s\r\n' "$@" >"$expected"; else : >"$expected"; fi
  expect_same_bytes "$expected" "$section"
}

expect_same_bytes() {
  cmp -s "$1" "$2" && return 0
  echo "    expected:" >&2
  od -c "$1" | sed 's/^/      /' >&2
  echo "    got:" >&2
  od -c "$2" | sed 's/^/      /' >&2
  fail "report differs"
}

expect_rc() {
  [ "$RC" -eq "$1" ] || fail "exit code $RC, expected $1"
}

# Runs every case_* function of the calling script in a fresh prefix; only $E2E_CASE where it is set
# (a name that matches none fails, as no case passed).
run_cases() {
  local name passed=0 failed=0
  for name in $(declare -F | awk '$3 ~ /^case_/ {print $3}'); do
    [ -z "${E2E_CASE:-}" ] || [ "$name" = "$E2E_CASE" ] || continue
    new_prefix
    if ("$name"); then
      echo "PASS $name"
      passed=$((passed + 1))
    else
      echo "FAIL $name"
      failed=$((failed + 1))
    fi
    end_prefix
  done
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}
