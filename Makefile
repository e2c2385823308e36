# Everything starts here; each target installs what it needs first.
.PHONY: all setup build test unit e2e release demo dist bench clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake --preset win32 && cmake --build --preset win32
	cmake --preset win64 && cmake --build --preset win64

# Unit tests (native, sanitized); release checks and end-to-end tests of the 32-bit release
# (WoW64 Wine) under Wine 8 and under Wine 10 in the Debian 13 root; a build of the x86_64 sources.
# Ends with a line per Wine.
test: setup
	@scripts/test.sh

unit: setup
	cmake --workflow --preset native

release: setup
	cmake --workflow --preset win32

e2e: setup
	cmake --workflow --preset win32
	cmake --workflow --preset win64

# The demo runs the 32-bit release (where this machine runs no 32-bit programs, under qemu-i386).
demo: setup
	cmake --preset win32 && cmake --build --preset win32
	scripts/demo.sh

# The release zip: 32-bit executable, self-check kit, README.md, docs/removal.md, docs/fleet.md and
# SHA256SUMS, and beside it the zip's own SHA-256 with the signer; both executables are signed when
# SIGN_PFX and SIGN_PASSWORD are set (scripts/dist.sh).
dist: setup
	cmake --preset win32 && cmake --build --preset win32
	scripts/dist.sh

# Under Wine 8 and Wine 10, the release (where this machine runs 32-bit programs) and the x86_64
# build: wineserver requests and peak memory against their bounds, and hyperfine's times beside
# other removals and a floor program (scripts/bench.py; not part of make test).
BENCH_TARGETS = velmirant-cleanup bench-floor bench-minimal-removal bench-remove-all
bench: setup
	if scripts/runs32.sh; then cmake --preset win32 && cmake --build --preset win32 --target $(BENCH_TARGETS); fi
	cmake --preset win64 && cmake --build --preset win64 --target $(BENCH_TARGETS)
	scripts/bench.py

clean:
	rm -rf build
