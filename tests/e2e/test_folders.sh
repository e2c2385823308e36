#!/usr/bin/env bash
# Folder removal on real files under Wine.
. "$(dirname "$0")/lib.sh"

# make_tree DIR DEPTH WIDTH FILES: a tree with WIDTH folders per level and FILES files per folder.
make_tree() {
  local dir=$1 depth=$2 width=$3 files=$4 i
  mkdir -p "$dir"
  for ((i = 0; i < files; i++)); do echo "data $i" >"$dir/file$i.dat"; done
  [ "$depth" -gt 0 ] || return 0
  for ((i = 0; i < width; i++)); do make_tree "$dir/sub$i" $((depth - 1)) "$width" "$files"; done
}

add_neighbours() {  # siblings that share the name's beginning and must survive
  echo keep >"$1/Velmirant.txt"
  mkdir -p "$1/VelmirantX"
  echo keep >"$1/VelmirantX/keep.txt"
}

expect_neighbours() {
  [ -f "$1/Velmirant.txt" ] && [ -f "$1/VelmirantX/keep.txt" ] || fail "a neighbour of $1/Velmirant is gone"
}

marks() { printf '!%.0s' $(seq "$1"); }

case_both_trees_go_and_their_neighbours_stay() {
  make_tree "$ROAMING/Velmirant" 3 4 5
  make_tree "$PROGRAMS/VELMIRANT" 2 6 8  # names compare without regard to case, as on Windows
  add_neighbours "$ROAMING"
  add_neighbours "$PROGRAMS"
  expect_exists "$ROAMING/Velmirant/sub3/sub3/sub3/file4.dat" "$PROGRAMS/VELMIRANT/sub5/sub5/file7.dat"
  run_tool
  expect_rc 0
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
  [ ! -e "$ROAMING/Velmirant" ] && [ ! -e "$PROGRAMS/VELMIRANT" ] || fail "a vendor folder is still there"
  expect_neighbours "$ROAMING"
  expect_neighbours "$PROGRAMS"
}

case_absent_folders_report_zero_without_marks() {
  run_tool
  expect_rc 0
  expect_section 1 ""
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
}

case_file_held_open_resists_every_attempt() {
  make_tree "$ROAMING/Velmirant" 1 2 2
  echo busy >"$ROAMING/Velmirant/locked.dat"
  start_program holder.exe hold "Z:$ROAMING/Velmirant/locked.dat"
  local start end
  start=$(date +%s%N)
  run_tool
  end=$(date +%s%N)
  expect_rc 0
  expect_section 2 "$(marks 50)$ROAMING_WIN/Velmirant -> 32" "$PROGRAMS_WIN/Velmirant -> 0" ""
  [ $(((end - start) / 1000000)) -ge 500 ] || fail "50 attempts took less than 500 ms"
  [ -f "$ROAMING/Velmirant/locked.dat" ] || fail "the held file is gone"
  expect_alive "$PID"
}

# A scanner holds a file with delete sharing. With POSIX deletion (Wine 10, as Windows 10 1607 and
# later) the file's name leaves its folder at once and the folder goes at the first attempt; with
# the classic deletion (Wine 8) the name stays while the file is held, so the folder is not empty.
case_file_held_with_delete_sharing_goes_as_the_system_allows() {
  make_tree "$ROAMING/Velmirant" 1 2 2
  echo busy >"$ROAMING/Velmirant/sub1/scanned.dat"
  start_program scanner.exe hold-shared "Z:$ROAMING/Velmirant/sub1/scanned.dat"
  local scanner=$PID
  run_tool
  expect_rc 0
  if [ "$WINE_MAJOR" -ge 10 ]; then
    expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
    [ ! -e "$ROAMING/Velmirant" ] || fail "the folder is still there"
    expect_alive "$scanner"
  else
    expect_section 2 "$(marks 50)$ROAMING_WIN/Velmirant -> 145" "$PROGRAMS_WIN/Velmirant -> 0" ""
    expect_alive "$scanner"
    [ ! -e "$ROAMING/Velmirant/sub0" ] || fail "what was not held is still there"
    # Once the scanner lets go, the next run finds the file gone and removes the folder.
    kill "$scanner"
    expect_ended "$scanner"
    run_tool
    expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
    [ ! -e "$ROAMING/Velmirant" ] || fail "the folder is still there after the scanner let go"
  fi
}

# A read-only file is deleted only where POSIX deletion may ignore the attribute (Wine 10, as
# Windows 10 1809 and later); elsewhere it stops every attempt with 5. Its attributes are never
# changed either way.
case_read_only_file_goes_only_where_the_system_ignores_the_attribute() {
  make_tree "$ROAMING/Velmirant" 1 3 3
  echo keep >"$ROAMING/Velmirant/sub1/read-only.dat"
  chmod a-w "$ROAMING/Velmirant/sub1/read-only.dat"
  make_tree "$PROGRAMS/Velmirant" 1 1 1
  cp -p "$ROAMING/Velmirant/sub1/read-only.dat" "$PROGRAMS/Velmirant/read-only.dat"
  run_tool
  expect_rc 0
  if [ "$WINE_MAJOR" -ge 10 ]; then
    expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
    [ ! -e "$ROAMING/Velmirant" ] && [ ! -e "$PROGRAMS/Velmirant" ] || fail "a folder with a read-only file is still there"
    return
  fi
  expect_section 2 "$(marks 50)$ROAMING_WIN/Velmirant -> 5" "$PROGRAMS_WIN/Velmirant -> 5" ""
  local file
  for file in "$ROAMING/Velmirant/sub1/read-only.dat" "$PROGRAMS/Velmirant/read-only.dat"; do
    [ -f "$file" ] || fail "the read-only file is gone"
    [ "$(stat -c %a "$file")" = 444 ] || fail "the read-only file's attributes were changed: mode $(stat -c %a "$file")"
  done
}

case_tree_deeper_than_260_characters_goes() {
  local dir=$ROAMING/Velmirant level
  for level in $(seq 20); do dir=$dir/a-rather-long-folder-name-$level; done
  mkdir -p "$dir"
  echo deep >"$dir/bottom.dat"
  [ ${#dir} -gt 600 ] || fail "test tree not deep enough"
  expect_exists "$dir/bottom.dat"
  run_tool
  expect_rc 0
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
  [ ! -e "$ROAMING/Velmirant" ] || fail "the deep tree is still there"
}

case_file_in_place_of_the_folder_is_deleted() {
  echo "not a folder" >"$ROAMING/Velmirant"
  echo "not a folder" >"$PROGRAMS/Velmirant"
  add_neighbours "$ROAMING"
  [ -f "$ROAMING/Velmirant" ] && [ -f "$PROGRAMS/Velmirant" ] || fail "set-up did not create the files"
  run_tool
  expect_rc 0
  expect_section 2 "$ROAMING_WIN/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
  [ ! -e "$ROAMING/Velmirant" ] && [ ! -e "$PROGRAMS/Velmirant" ] || fail "a file in place of a folder is still there"
  expect_neighbours "$ROAMING"
}

# Wine shows a Unix directory link as a reparse point but follows it when it is opened, so the
# tool cannot delete the link itself there and refuses rather than act on the target.
case_directory_links_inside_never_reach_their_targets() {
  local outside=$CASE_DIR/outside
  mkdir -p "$outside/full" "$outside/empty"
  echo precious >"$outside/full/precious.dat"
  make_tree "$ROAMING/Velmirant" 1 2 2
  ln -s "$outside/full" "$ROAMING/Velmirant/link-to-full"
  ln -s "$outside/empty" "$ROAMING/Velmirant/sub0/link-to-empty"
  mkdir -p "$PROGRAMS/Velmirant"
  ln -s "$outside/empty" "$PROGRAMS/Velmirant/link-to-empty"
  run_tool
  expect_rc 0
  expect_section 2 "$(marks 50)$ROAMING_WIN/Velmirant -> 4390" "$PROGRAMS_WIN/Velmirant -> 4390" ""
  [ -f "$outside/full/precious.dat" ] || fail "a file behind a link was deleted"
  [ -d "$outside/empty" ] || fail "an empty folder behind a link was deleted"
}

# Under Wine a file link lists as a plain file and every open of it reaches its target; only the
# handle's final path tells. The tool must leave the target alone.
case_file_links_inside_never_cost_their_targets() {
  local outside=$CASE_DIR/outside deep=$PROGRAMS/Velmirant level
  # One link lies past MAX_PATH, where Wine gives a final path only from the object name.
  for level in $(seq 12); do deep=$deep/a-rather-long-folder-name-$level; done
  mkdir -p "$outside" "$ROAMING/Velmirant" "$deep"
  echo precious >"$outside/precious.dat"
  echo precious >"$outside/other.dat"
  ln -s "$outside/precious.dat" "$ROAMING/Velmirant/link.dat"
  ln -s "$outside/other.dat" "$deep/link.dat"
  run_tool
  expect_rc 0
  expect_section 2 "$(marks 50)$ROAMING_WIN/Velmirant -> 681" "$PROGRAMS_WIN/Velmirant -> 681" ""
  [ -f "$outside/precious.dat" ] && [ -f "$outside/other.dat" ] || fail "a file behind a link was deleted"
}

case_roaming_folder_outside_the_code_page() {
  local profile=$'C:\\Profiles\\\xd0\xb6-user\\Roaming'  # U+0436 is not in code page 1252
  "$WINE" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
    /v AppData /t REG_EXPAND_SZ /d "$profile" /f >/dev/null 2>&1 || fail "reg add failed"
  local roaming=$WINEPREFIX/drive_c/Profiles/$'\xd0\xb6'-user/Roaming
  make_tree "$roaming/Velmirant" 2 3 3
  add_neighbours "$roaming"
  expect_exists "$roaming/Velmirant/sub2/sub2/file2.dat"
  run_tool
  expect_rc 0
  expect_section 2 "C:/Profiles/?-user/Roaming/Velmirant -> 0" "$PROGRAMS_WIN/Velmirant -> 0" ""
  [ ! -e "$roaming/Velmirant" ] || fail "the redirected folder is still there"
  expect_neighbours "$roaming"
}

run_cases
