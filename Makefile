# The two commands: `make run` (the program on simulated printers) and `make test` (every test).
# Both install what is missing first (scripts/bootstrap), then configure and build both trees.
SHELL := /bin/bash

.PHONY: all bootstrap configure build test run bench clean

all: build

bootstrap:
	@scripts/bootstrap

build/host/CMakeCache.txt:
	cmake --preset host >/dev/null
build/win32/CMakeCache.txt:
	cmake --preset win32 >/dev/null

configure: bootstrap build/host/CMakeCache.txt build/win32/CMakeCache.txt

# The host tree first: it builds the table generator that the Windows build uses.
build: configure
	cmake --build --preset host
	cmake --build --preset win32

test: build
	@status=0; \
	for tree in host win32; do \
	  ctest --preset $$tree 2>&1 | tee build/$$tree/ctest.log; \
	  [ $${PIPESTATUS[0]} -eq 0 ] || status=1; \
	done; \
	scripts/test-summary build/host/ctest.log build/win32/ctest.log; \
	exit $$status

run: build
	@scripts/run build/win32 build/host

# Decode throughput and memory of firmware packages, optimised and without sanitizers.
bench: bootstrap
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKORVEX_SANITIZE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/bench --target korvex-package-bench -j2
	build/bench/tools/bench/korvex-package-bench

clean:
	rm -rf build
