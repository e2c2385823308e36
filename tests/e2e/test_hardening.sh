#!/usr/bin/env bash
# What nobody who can write beside the tool or inside its folders may choose: the DLLs it loads,
# and what it deletes.
. "$(dirname "$0")/lib.sh"
: "${PLANTED_DLL:?}"

# The DLLs a program importing shell32 and ole32 could pull in, by the system search order.
PLANTED_NAMES=(shcore propsys version uxtheme cryptbase profapi userenv dwmapi windows.storage)

case_dlls_planted_beside_the_tool_are_never_loaded() {
  local dir=$CASE_DIR/downloads name
  mkdir -p "$dir"
  cp "$TOOL" "$dir/velmirant-cleanup.exe"
  for name in "${PLANTED_NAMES[@]}"; do cp "$PLANTED_DLL" "$dir/$name.dll"; done
  # The planted DLL does mark a load when something loads it.
  cp "$PLANTED_DLL" "$CASE_DIR/control.dll"
  "$WINE" rundll32.exe "Z:$CASE_DIR/control.dll,Touch" >/dev/null 2>&1
  [ -e "$CASE_DIR/control.dll.loaded" ] || fail "the planted DLL leaves no marker when loaded"
  mkdir -p "$ROAMING/Velmirant"
  TOOL_EXE=$dir/velmirant-cleanup.exe run_tool
  expect_rc 0
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
  local loaded
  loaded=$(cd "$dir" && ls -- *.loaded 2>/dev/null)
  [ -z "$loaded" ] || fail "planted DLLs were loaded: $loaded"
}

# Another (Unix) process keeps swapping the subfolders for links to a folder outside while the
# tool removes the per-user folder. Whatever the tool meets, nothing outside may go.
case_subfolders_swapped_for_links_during_the_run_cost_nothing_outside() {
  local outside=$CASE_DIR/outside top=$ROAMING/Velmirant run disturbed=0 i f
  for run in $(seq 10); do
    rm -rf "$outside" "$top"
    for i in 0 1 2 3; do
      mkdir -p "$outside/sub$i" "$top/sub$i"
      for f in 0 1 2 3 4 5; do
        echo keep >"$outside/file$f.dat"
        echo keep >"$outside/sub$i/file$f.dat"
        echo data >"$top/sub$i/file$f.dat"
      done
    done
    local expected
    expected=$(find "$outside" -type f | wc -l)
    python3 - "$top" "$outside" "$CASE_DIR/stop" "$CASE_DIR/swapping" <<'PY' &
import os, sys, time
top, outside, stop, ready = sys.argv[1:]
deadline = time.monotonic() + 5
while time.monotonic() < deadline and not os.path.exists(stop):
    for i in range(4):
        sub, held = os.path.join(top, "sub%d" % i), os.path.join(top, ".held%d" % i)
        try:
            os.rename(sub, held)
            os.symlink(outside, sub)
            time.sleep(0.005)
            os.unlink(sub)
            os.rename(held, sub)
        except OSError:
            pass
    open(ready, "w").close()
PY
    local swapper=$!
    wait_for 20 test -e "$CASE_DIR/swapping" || fail "the swapper did not start"
    run_tool
    touch "$CASE_DIR/stop"
    wait "$swapper"
    rm -f "$CASE_DIR/stop" "$CASE_DIR/swapping"
    [ "$RC" -eq 0 ] || { cat "$REPORT" "$CASE_DIR/stderr" >&2; fail "run $run: exit code $RC"; }
    if [ "$(find "$outside" -type f | wc -l)" -ne "$expected" ]; then
      cat "$REPORT" >&2
      fail "run $run: files outside the folder were deleted; left: $(cd "$outside" && find . -type f | sort | tr '\n' ' ')"
    fi
    grep -q "^!.*$ROAMING_WIN/Velmirant -> " "$REPORT" && disturbed=$((disturbed + 1))
  done
  # The case proves something only if the swaps did reach the tool (a failed attempt, one "!").
  [ "$disturbed" -gt 0 ] || fail "in no run did the swaps disturb the tool"
  echo "    the swaps made attempts fail in $disturbed of 10 runs"
}

run_cases
