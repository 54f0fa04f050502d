#!/usr/bin/env bash
# Upgrade benchmark: korvex_tool.exe, run unattended under Wine, upgrades a simulated printer that
# takes data as fast as it can, from a single-image package and from a raw image of the same
# firmware; beside each, a bare loop of 4096-byte writes of as many bytes to the same printer.
# Prints both throughputs (timed at the printer, first to last byte; medians of ROUNDS runs),
# their ratio, and the program's peak working set; smaller files are run too, to show that the
# peak stays flat. A third loop reopens the printer every 4 MiB, as the program must for each
# block it sends, to show what the reopening itself costs on the simulated printer.
#
#   tools/bench/upgrade_bench.sh HOST_TREE WIN32_TREE WORK_DIR [MIB [ROUNDS]]
#
# HOST_TREE provides korvex-fwpack, WIN32_TREE korvex_tool.exe, the simulator libraries and the
# Wine prefix (its test fixtures are started and stopped here: do not run its tests meanwhile).
# WORK_DIR receives the bench program and the firmware files (about 3 x MIB).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
host=$(cd "${1:?host tree}" && pwd)
win32=$(cd "${2:?win32 tree}" && pwd)
work=${3:?work directory}
mib=${4:-256}
rounds=${5:-5}
small=32
mkdir -p "$work"
work=$(cd "$work" && pwd)

fwpack="$host/tools/fwpack/korvex-fwpack"
[ -x "$fwpack" ] || { echo "upgrade_bench: no $fwpack (build the host tree)" >&2; exit 1; }
[ -f "$win32/korvex_tool.exe" ] || { echo "upgrade_bench: no korvex_tool.exe in $win32" >&2; exit 1; }

cmake -S "$here/upgrade" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-i686.cmake" -DKORVEX_WIN32_TREE="$win32" >/dev/null
cmake --build "$work/build" >/dev/null

"$repo/scripts/test-env" xvfb-start "$win32" >/dev/null
"$repo/scripts/test-env" wine-start "$win32"
trap '"$repo/scripts/test-env" wine-stop "$win32"; "$repo/scripts/test-env" xvfb-stop "$win32"' EXIT

windows() { echo "Z:${1//\//\\}"; }
bench() { "$win32/wine-run" "$work/build/korvex-upgrade-bench.exe" "$@"; }

files=()
for size in "$mib" "$small"; do
  image="$work/raw-$size-mib.bin"
  package="$work/package-$size-mib.kfw"
  [ -f "$image" ] || bench make-image "$(windows "$image")" "$size"
  [ -f "$package" ] || "$fwpack" build-single --product-code KV30100A01 --block-size 4194304 \
    "$image" "$package" >/dev/null
  files+=("$(windows "$package")" "$(windows "$image")")
done
# A raw image of 1 MiB: what the program holds besides the pages its buffers have touched.
tiny="$work/raw-1-mib.bin"
[ -f "$tiny" ] || bench make-image "$(windows "$tiny")" 1
files+=("$(windows "$tiny")")

echo "korvex_tool.exe of $win32, $(nproc) CPU(s); goal: ratio >= 0.9, peak flat in the size"
bench run "$rounds" "$(windows "$win32/korvex_tool.exe")" "${files[@]}"
