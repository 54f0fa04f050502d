# The two commands: `make run` (the program on simulated printers) and `make test` (every test);
# `make korvex` builds the command line alone.
# Both install what is missing first (scripts/bootstrap), then configure and build the three
# trees: host, win32 (the 32-bit program) and win64 (the same for x86_64). Windows programs run
# under Wine; where this machine cannot execute 32-bit code (scripts/runs-32bit-code), only the
# win64 tree runs them, and the 32-bit program gets only the checks that need no Wine.
SHELL := /bin/bash

.PHONY: all bootstrap configure build korvex dist reproducible-check test run bench bench-upgrade \
        bench-cli bench-fleet bench-kernel clean

all: build

bootstrap:
	@scripts/bootstrap

build/host/Makefile: CMakePresets.json | bootstrap
	cmake --preset host >/dev/null
build/win32/Makefile: CMakePresets.json | bootstrap
	cmake --preset win32 >/dev/null
build/win64/Makefile: CMakePresets.json | bootstrap
	cmake --preset win64 >/dev/null
build/linux/Makefile: CMakePresets.json | bootstrap
	cmake --preset linux >/dev/null

configure: bootstrap build/host/Makefile build/win32/Makefile build/win64/Makefile build/linux/Makefile

# The host tree first: it builds the table generator that the Windows builds use.
build: configure
	cmake --build --preset host
	cmake --build --preset win32
	cmake --build --preset win64
	cmake --build --preset linux

# The command line alone, as a Linux server needs it: build/linux/korvex, optimised, with only
# what it needs installed (no Wine, no cross compilers).
korvex:
	@scripts/bootstrap cli
	@[ -f build/linux/Makefile ] || cmake --preset linux >/dev/null
	cmake --build --preset linux

# The release files in dist/: the Windows zips, the Debian package of korvex, SHA256SUMS. Only
# what ships is built for it. Two builds of one commit give the same bytes; make
# reproducible-check builds dist/ twice in fresh directories and compares (not part of make test:
# it builds everything twice).
dist: configure
	cmake --build --preset host --target korvex-tablegen korvex-fwpack
	cmake --build --preset win32 --target korvex_tool korvex
	cmake --build --preset win64 --target korvex_tool korvex
	cmake --build --preset linux
	scripts/make-dist

reproducible-check:
	@scripts/bootstrap reproducible
	scripts/reproducible-check

# The kernel tests (one virtual machine, most of its time spent waiting on printers) run beside
# the other trees' tests, whose own waits leave the processor room for them; their log follows.
test: build dist
	@status=0; skipped=""; presets="host win64 win32"; \
	if ! why=$$(scripts/runs-32bit-code); then \
	  presets="host win64 win32-static"; \
	  skipped="32-bit Windows tests skipped: $$why; the 32-bit program was built and its file checked"; \
	fi; \
	kernel_log=build/ctest-kernel.log; \
	( ctest --preset host -L kernel > $$kernel_log 2>&1; echo $$? > $$kernel_log.status ) & \
	kernel=$$!; \
	logs=(); \
	for preset in $$presets; do \
	  log=build/ctest-$$preset.log; logs+=($$log); \
	  if [ $$preset = host ]; then \
	    ctest --preset host -LE kernel 2>&1 | tee $$log; \
	  else \
	    ctest --preset $$preset 2>&1 | tee $$log; \
	  fi; \
	  [ $${PIPESTATUS[0]} -eq 0 ] || status=1; \
	done; \
	wait $$kernel; \
	echo; cat $$kernel_log; logs+=($$kernel_log); \
	[ "$$(cat $$kernel_log.status)" = 0 ] || status=1; \
	[ -z "$$skipped" ] || { echo; echo "$$skipped"; }; \
	[ ! -f build/host/tests/kernel/skipped ] || \
	  { echo; echo "kernel tests skipped: $$(cat build/host/tests/kernel/skipped)"; }; \
	scripts/test-summary "$${logs[@]}"; \
	exit $$status

# The 32-bit program where this machine runs it, else the 64-bit one.
run: build
	@if why=$$(scripts/runs-32bit-code); then scripts/run build/win32 build/host; \
	else echo "run: $$why"; scripts/run build/win64 build/host; fi

# Decode throughput and memory of firmware packages, optimised and without sanitizers.
bench: bootstrap
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKORVEX_SANITIZE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/bench --target korvex-package-bench -j2
	build/bench/tools/bench/korvex-package-bench

# Upgrade throughput of korvex_tool.exe beside bare 4096-byte writes to the same simulated
# printer, and its peak working set, from 256 MiB of firmware (several minutes; needs about 500 MiB
# of disk under build/bench-upgrade). The 32-bit program where this machine runs it, else the
# 64-bit one; uses that tree's Wine prefix: not while its tests run.
bench-upgrade: build
	@if scripts/runs-32bit-code >/dev/null; then tree=win32; else tree=win64; fi; \
	tools/bench/upgrade_bench.sh build/host build/$$tree build/bench-upgrade-$$tree

# korvex's upgrade throughput on Linux beside bare 4096-byte writes to the same stand-in printer
# on a pty, the time to its first firmware byte and its peak memory at 8 and 64 MiB; optimised,
# without sanitizers (needs about 200 MiB of disk under build/bench-cli).
bench-cli: bootstrap
	cmake -S . -B build/bench-cli -DCMAKE_BUILD_TYPE=Release -DKORVEX_SANITIZE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/bench-cli --target korvex korvex-cli-bench -j2
	build/bench-cli/tools/bench/korvex-cli-bench build/bench-cli/korvex build/bench-cli/run

# korvex on 8 and 64 stand-in printers at once (each taking firmware at 1 MiB/s, 8 MiB each)
# against one alone, and its peak memory with 1, 8 and 64 printers and at two file sizes;
# optimised, without sanitizers, in the same tree as bench-cli.
bench-fleet: bootstrap
	cmake -S . -B build/bench-cli -DCMAKE_BUILD_TYPE=Release -DKORVEX_SANITIZE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/bench-cli --target korvex korvex-fleet-bench -j2
	build/bench-cli/tools/bench/korvex-fleet-bench build/bench-cli/korvex build/bench-cli/fleet

# korvex against the kernel's own drivers, in the kernel tests' virtual machine: a 16 MiB raw
# image through usblp and through libusb beside dd bs=4096 to the same /dev/usb/lpN, and four
# printers at 2 MiB/s with --all against one alone, with korvex's peak memory; optimised, without
# sanitizers (a few minutes; needs about 100 MiB under build/bench-kernel).
bench-kernel: bootstrap
	cmake -S . -B build/bench-kernel -DCMAKE_BUILD_TYPE=Release -DKORVEX_SANITIZE=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/bench-kernel --target korvex korvex-gadget-printer -j2
	tests/kernel/kernel_vm.sh bench build/bench-kernel/run build/bench-kernel/korvex \
	  build/bench-kernel/tools/printer-sim/korvex-gadget-printer

clean:
	rm -rf build
