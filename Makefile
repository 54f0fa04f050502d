# The two commands: `make run` (the program on simulated printers) and `make test` (every test).
# Both install what is missing first (scripts/bootstrap), then configure and build both trees.
SHELL := /bin/bash

.PHONY: all bootstrap configure build test run bench bench-upgrade clean

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

# Upgrade throughput of korvex_tool.exe beside bare 4096-byte writes to the same simulated
# printer, and its peak working set, from 256 MiB of firmware (several minutes; needs about 500 MiB
# of disk under build/bench-upgrade). Uses the win32 tree's Wine prefix: not while its tests run.
bench-upgrade: build
	tools/bench/upgrade_bench.sh build/host build/win32 build/bench-upgrade

clean:
	rm -rf build
