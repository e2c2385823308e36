#!/usr/bin/env bash
# Two clean builds of the release, in folders with different paths, must be byte-identical:
# no time stamps and no build paths in the image.
set -eu
source_dir=$1
preset_build=$2  # the executable of the win32 preset, built in yet another folder
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in first second-with-a-longer-path; do
  cmake -S "$source_dir" -B "$work/$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "$work/$build" --target velmirant-cleanup >/dev/null
done
if cmp "$work/first/velmirant-cleanup.exe" "$work/second-with-a-longer-path/velmirant-cleanup.exe" &&
  cmp "$work/first/velmirant-cleanup.exe" "$preset_build"; then
  echo "identical: $(sha256sum <"$work/first/velmirant-cleanup.exe" | cut -d' ' -f1)"
else
  exit 1
fi
