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

run_cases
