# Everything starts here; each target installs what it needs first.
.PHONY: all setup build test unit e2e release demo dist bench clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake --preset win32 && cmake --build --preset win32
	cmake --preset win64 && cmake --build --preset win64

# Unit tests (native, sanitized); release checks and end-to-end tests of the 32-bit release
# (WoW64 Wine); the same end-to-end tests of the x86_64 build (64-bit Wine); every end-to-end suite
# under the host's Wine 8 and under Wine 10 in the Debian 13 root. Ends with a line per Wine.
test: setup
	@scripts/test.sh

unit: setup
	cmake --workflow --preset native

release: setup
	cmake --workflow --preset win32

e2e: setup
	cmake --workflow --preset win32
	cmake --workflow --preset win64

# The demo runs the 32-bit release; where this machine runs no 32-bit programs, the x86_64 build.
demo: setup
	cmake --preset win32 && cmake --build --preset win32
	scripts/runs32.sh || { cmake --preset win64 && cmake --build --preset win64; }
	scripts/demo.sh

# The release zip: 32-bit executable, self-check kit, README and SHA256SUMS; both executables are signed when
# SIGN_PFX and SIGN_PASSWORD are set (scripts/dist.sh).
dist: setup
	cmake --preset win32 && cmake --build --preset win32
	scripts/dist.sh

# Timings and memory of the release and the x86_64 build against other removals and a floor
# program, under Wine 8 and Wine 10 (not part of make test).
bench: setup
	cmake --preset win32 && cmake --build --preset win32
	cmake --preset win64 && cmake --build --preset win64
	scripts/bench.py

clean:
	rm -rf build
