#!/usr/bin/env bash
# Upgrade benchmark: korvex_tool.exe, run unattended under Wine, upgrades a simulated printer that
# takes data as fast as it can, from a single-image package and from a raw image of the same
# firmware; beside each, a bare loop of 4096-byte writes of as many bytes to the same printer.
# Prints both throughputs (timed at the printer, first to last byte; medians of ROUNDS runs),
# their ratio, and the program's peak working set; smaller files are run too, to show that the
# peak stays flat. A third loop reopens the printer every 4 MiB, as the program must for each
# block it sends, to show what the reopening itself costs on the simulated printer.
#
#   tools/bench/upgrade_bench.sh HOST_TREE WINDOWS_TREE WORK_DIR [MIB [ROUNDS]]
#
# HOST_TREE provides korvex-fwpack; WINDOWS_TREE (build/win32 or build/win64) korvex_tool.exe,
# the toolchain, the simulator libraries and the Wine prefix (its test fixtures are started and
# stopped here: do not run its tests meanwhile).
# WORK_DIR receives the bench program and the firmware files (about 3 x MIB).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
host=$(cd "${1:?host tree}" && pwd)
tree=$(cd "${2:?Windows tree}" && pwd)
work=${3:?work directory}
mib=${4:-256}
rounds=${5:-5}
small=32
mkdir -p "$work"
work=$(cd "$work" && pwd)

fwpack="$host/tools/fwpack/korvex-fwpack"
[ -x "$fwpack" ] || { echo "upgrade_bench: no $fwpack (build the host tree)" >&2; exit 1; }
[ -f "$tree/korvex_tool.exe" ] || { echo "upgrade_bench: no korvex_tool.exe in $tree" >&2; exit 1; }

toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$tree/CMakeCache.txt")
cmake -S "$here/upgrade" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKORVEX_WINDOWS_TREE="$tree" >/dev/null
cmake --build "$work/build" >/dev/null

"$repo/scripts/test-env" xvfb-start "$tree" >/dev/null
"$repo/scripts/test-env" wine-start "$tree"
trap '"$repo/scripts/test-env" wine-stop "$tree"; "$repo/scripts/test-env" xvfb-stop "$tree"' EXIT

windows() { echo "Z:${1//\//\\}"; }
bench() { "$tree/wine-run" "$work/build/korvex-upgrade-bench.exe" "$@"; }

files=()
for size in "$mib" "$small"; do
  image="$work/raw-$size-mib.bin"
  package="$work/package-$size-mib.kfw"
  [ -f "$image" ] || bench make-image "$(windows "$image")" "$size"
  [ -f "$package" ] || "$fwpack" build-single --product-code KV30100A01 --block-size 4194304 \
    "$image" "$package" >/dev/null
  files+=("$(windows "$package")" "$(windows "$image")")
done
# A multi-part package of nine parts of 8 MiB (the most a part holds) with the shortest pause.
multi="$work/package-72-mib.kmp"
if [ ! -f "$multi" ]; then
  parts=()
  for n in 1 2 3 4 5 6 7 8 9; do
    { printf '\x1b%%'; head -c $((8388608 - 2)) /dev/urandom; } >"$work/part-$n.bin"
    parts+=(--part "1:$work/part-$n.bin")
  done
  "$fwpack" build-multi --product-code KV30100A01 --any-version --device-id 4B56015C \
    "${parts[@]}" "$multi" >/dev/null
  rm -f "$work"/part-*.bin
fi
files+=("$(windows "$multi")")
# A raw image of 1 MiB: what the program holds besides the pages its buffers have touched.
tiny="$work/raw-1-mib.bin"
[ -f "$tiny" ] || bench make-image "$(windows "$tiny")" 1
files+=("$(windows "$tiny")")

echo "korvex_tool.exe of $tree, $(nproc) CPU(s); goal: ratio >= 0.9, peak flat in the size"
echo "1st byte: from the start to the first byte at the printer; a package's exceeds the raw"
echo "image's by the check of the whole file before anything is sent"
bench run "$rounds" "$(windows "$tree/korvex_tool.exe")" "${files[@]}"
