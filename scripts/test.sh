#!/usr/bin/env bash
# make test: the unit tests, then the release's and the x86_64 build's checks and end-to-end suites,
# each suite under both Wines. Every layer runs even when an earlier one failed; the end says, one
# line per Wine, what ran there, and the exit code is non-zero if anything failed.
set -u
cd "$(dirname "$0")/.."
failed=()
cmake --workflow --preset native || failed+=(native)
for preset in win32 win64; do
  rm -f "build/$preset/ctest-results.xml"  # a result from an earlier run must not be counted
  cmake --workflow --preset "$preset" || failed+=("$preset")
done
bash scripts/runs32.sh ||
  echo "NOTE: this machine's kernel does not run 32-bit programs: the end-to-end tests of the 32-bit release were skipped"
/usr/bin/python3 scripts/suites.py "Wine $(/usr/lib/wine/wine64 --version 2>/dev/null) on the host (Debian 12)=e2e" \
  "Wine $(bash scripts/wine10.sh version) in the Debian 13 root=e2e-wine10" build/win32 build/win64
if [ ${#failed[@]} -gt 0 ]; then
  echo "make test: FAILED in: ${failed[*]}"
  exit 1
fi
