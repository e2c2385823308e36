#!/usr/bin/env bash
# make test: the unit tests, then the release's checks and end-to-end suites under both Wines, and
# a build of the x86_64 sources (its own suites are `cmake --workflow --preset win64`'s; the release
# is what ships). Every layer runs even when an earlier one failed; the end says, one line per Wine,
# what ran there, and the exit code is non-zero if anything failed.
set -u
cd "$(dirname "$0")/.."
failed=()
cmake --workflow --preset native || failed+=(native)
rm -f build/win32/ctest-results.xml  # a result from an earlier run must not be counted
cmake --workflow --preset win32 || failed+=(win32)
{ cmake --preset win64 && cmake --build --preset win64; } || failed+=(win64-build)
/usr/bin/python3 scripts/suites.py "Wine $(bash scripts/wine8.sh version)=e2e" \
  "Wine $(bash scripts/wine10.sh version)=e2e-wine10" build/win32
if [ ${#failed[@]} -gt 0 ]; then
  echo "make test: FAILED in: ${failed[*]}"
  exit 1
fi
