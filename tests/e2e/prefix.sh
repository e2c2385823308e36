#!/usr/bin/env bash
# Copying the prefix template, and the wineserver folder Debian's Wine keeps for a prefix.
#
# Where /run/user/UID is missing, Debian's Wine puts a prefix's wineserver socket in a randomly
# named folder under TMPDIR and records that name in PREFIX/wineserver, a file that must have mode
# 0400: any other mode makes the next Wine program of the prefix pick a new folder, and so start a
# second wineserver that does not see the programs already running. A hard link to that file shared
# by the template and several copies changes mode under all of them at once (one copy's
# `chmod -R u+w` does it), so each copy makes its own file.

# copy_prefix TEMPLATE DEST: DEST becomes a copy of the template, hard-linked where Wine only reads.
copy_prefix() {
  cp -al "$1" "$2"
  # Wine rewrites the registry files, so they are copies, not links.
  local reg
  for reg in "$1"/*.reg; do cp --remove-destination "$reg" "$2/"; done
  rm -f "$2/wineserver"
}

# end_server PREFIX: ends the prefix's wineserver and its programs, then forgets its folder.
end_server() {
  WINEPREFIX=$1 /usr/lib/wine/wineserver -k 2>/dev/null || true
  WINEPREFIX=$1 /usr/lib/wine/wineserver -w 2>/dev/null || true
  forget_server_dir "$1"
}

# forget_server_dir PREFIX: once the prefix's wineserver has ended, removes the folder it used
# under TMPDIR and the file naming it.
forget_server_dir() {
  local file=$1/wineserver name
  [ -f "$file" ] || return 0
  name=$(cat "$file")
  [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]] && rm -rf "${TMPDIR:-/tmp}/$name"
  rm -f "$file"
}
