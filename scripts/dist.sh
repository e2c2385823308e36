#!/usr/bin/env bash
# Packs the 32-bit release, README and SHA256SUMS into build/velmirant-cleanup-VERSION.zip.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(velmirant-cleanup VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=velmirant-cleanup-$version
stage=$root/build/dist/$name
rm -rf "$root/build/dist" "$root/build/$name.zip"
mkdir -p "$stage"
cp "$root/build/win32/velmirant-cleanup.exe" "$root/README.md" "$stage/"
(cd "$stage" && sha256sum velmirant-cleanup.exe README.md >SHA256SUMS)
# Fixed times and no extra attributes, so the same sources give the same archive.
touch -d '2000-01-01 00:00:00 UTC' "$stage" "$stage"/*
(cd "$root/build/dist" && zip -q -X -r "$root/build/$name.zip" "$name")
echo "build/$name.zip:"
(cd "$stage" && cat SHA256SUMS)
