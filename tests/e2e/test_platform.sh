#!/usr/bin/env bash
# The platform layer's file calls that the tool reaches only on Windows file systems, run for real.
. "$(dirname "$0")/lib.sh"

case_listings_tags_and_nt_status_read_as_documented() {
  local folder=$CASE_DIR/listed
  mkdir -p "$folder/sub" "$CASE_DIR/elsewhere"
  echo x >"$folder/file.txt"
  ln -s "$CASE_DIR/elsewhere" "$folder/link"
  "$WINE" "$PLATFORM_CHECK" "Z:$folder" "Z:$folder/link" </dev/null >"$CASE_DIR/out" 2>&1 || RC=$?
  sed 's/^/    /' "$CASE_DIR/out" >&2
  [ "${RC:-0}" -eq 0 ] || fail "the platform check found differences"
}

# Where SetDefaultDllDirectories is missing, the DLLs shell32 and ole32 load by name later come
# from the system folder, whatever is planted beside the program. Wine has the function, so the
# preloading runs here on its own.
case_preloaded_system_dlls_win_over_planted_ones() {
  : "${PLANTED_DLL:?}"
  local names=(userenv.dll setupapi.dll apphelp.dll propsys.dll dwmapi.dll cryptbase.dll oleacc.dll clbcatq.dll version.dll)
  local name check=$BIN/platform-check.exe
  cp "$PLATFORM_CHECK" "$check"
  for name in "${names[@]}"; do cp "$PLANTED_DLL" "$BIN/$name"; done
  # Wine prefers its own build of these DLLs to one found by name; Windows takes the first found.
  local overrides
  overrides=$(printf '%s,' "${names[@]%.dll}")
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${overrides%,}=n,b"
  # Without the preloading, a load by name takes the planted DLL: the case can tell.
  "$WINE" "$check" dlls control version.dll </dev/null >"$CASE_DIR/control" 2>&1
  [ -e "$BIN/version.dll.loaded" ] || fail "the planted version.dll was not loaded without the preloading: $(cat "$CASE_DIR/control")"
  rm -f "$BIN/version.dll.loaded"
  # The tool's own restriction (SetDefaultDllDirectories, which Wine has) keeps its folder out too.
  "$WINE" "$check" dlls restrict version.dll </dev/null >"$CASE_DIR/restricted" 2>&1 ||
    fail "after RestrictDllSearch, a load by name came from beside the program: $(cat "$CASE_DIR/restricted")"
  "$WINE" "$check" dlls "${names[@]}" </dev/null >"$CASE_DIR/out" 2>&1 || RC=$?
  sed 's/^/    /' "$CASE_DIR/out" >&2
  [ "${RC:-0}" -eq 0 ] || fail "a DLL the system folder holds was not preloaded from there"
  # Every name the prefix's system folder holds came from there; only the others are absent
  # (under Wine 8: cryptbase.dll and clbcatq.dll).
  local system=$WINEPREFIX/drive_c/windows/system32 where
  [ "${E2E_BITS:-64}" = 64 ] || system=$WINEPREFIX/drive_c/windows/syswow64
  for name in "${names[@]}"; do
    where=absent
    [ ! -e "$system/$name" ] || where=system
    tr -d '\r' <"$CASE_DIR/out" | grep -qxF "$name $where" || fail "not \"$name $where\""
    [ ! -e "$BIN/$name.loaded" ] || fail "the planted $name was loaded"
  done
}

run_cases
