# Everything starts here; each target installs what it needs first.
.PHONY: all setup build test unit e2e release demo dist bench clean

all: build

setup:
	@scripts/setup.sh

build: setup
	cmake --preset win32 && cmake --build --preset win32
	cmake --preset win64 && cmake --build --preset win64

# Unit tests (native, sanitized), release checks of the 32-bit build, end-to-end tests under Wine.
test: setup
	cmake --workflow --preset native
	cmake --workflow --preset win32
	cmake --workflow --preset win64

unit: setup
	cmake --workflow --preset native

release: setup
	cmake --workflow --preset win32

e2e: setup
	cmake --workflow --preset win64

demo: setup
	cmake --preset win64 && cmake --build --preset win64
	scripts/demo.sh

# The release zip: 32-bit executable, README and SHA256SUMS.
dist: setup
	cmake --preset win32 && cmake --build --preset win32
	scripts/dist.sh

# Timings and memory against cmd's rmdir, rm -rf and a floor program (not part of make test).
bench: setup
	cmake --preset win64 && cmake --build --preset win64
	scripts/bench.py

clean:
	rm -rf build
