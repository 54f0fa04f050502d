#!/usr/bin/env bash
# The kernel tests' virtual machine: Debian's own kernel under QEMU (TCG) with an initramfs made
# here (busybox, the USB modules, korvex, korvex-gadget-printer, test files, guest_init.sh as
# /init). One boot runs every case; each case's result is kept in a file of its own.
#   kernel_vm.sh boot WORK KORVEX GADGET_PRINTER FWPACK RULE [WIN64_BUILD SIGNAL_THREADS GUARD_DIR
#                CANCEL_ORDER]                              fetch, build, boot; results in WORK
#                                                          (RULE: the udev rule the package
#                                                          installs, for real udev to apply)
#   kernel_vm.sh result WORK CASE                          a case's log; exit 0 pass, 1 fail, 77 skip
#   kernel_vm.sh bench WORK KORVEX GADGET_PRINTER          the kernel benchmark in place of the
#                                                          cases (make bench-kernel), its numbers
#                                                          on standard output
# KORVEX_KERNEL_CASES="list upgrade_all" boots to run only those cases (while working on them);
# the others are then skipped. Unset, every case runs.
# The Wine cases (wine_*) run the Windows tree WIN64_BUILD's programs under the host's own Wine in
# the guest: the host's root is shared into it read-only over virtio-9p, with a Wine prefix made
# for them in WORK/wineprefix once (its changes in the guest stay in the guest's memory).
# Without a built win64 tree or Wine they are skipped with the reason.
# The kernel package is fetched with apt-get download into WORK/cache once and kept there.
set -euo pipefail

kSkip=77
# A boot runs the cases in about six minutes; far longer means the guest hung.
kBootSeconds=720
modules=(usb-common usbcore udc-core dummy_hcd configfs libcomposite usb_f_printer usb_f_fs usblp
         virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache
         9pnet 9pnet_virtio 9p overlay)

die() { echo "kernel_vm: $*" >&2; exit 1; }

# QEMU that cannot start at all (not installed, or refused here) is a skip, not a failure.
qemu_refusal() {
  command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 is not installed"; return; }
  local out
  if ! out=$(echo quit | timeout 30 qemu-system-x86_64 -accel tcg -machine none -nodefaults \
               -display none -monitor stdio 2>&1 >/dev/null); then
    echo "qemu-system-x86_64 does not start: $(head -n 1 <<<"$out")"
  fi
}

# The kernel package that linux-image-amd64 depends on, kept in the cache; its vmlinuz and the
# modules unpacked beside it (plain .ko, or .ko.xz/.ko.zst made plain for busybox's insmod).
# Debian replaces the package at each kernel update, and old package lists then name one the
# mirror no longer has: the lists are updated once and the download tried again.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}
download() {  # CACHE PACKAGE
  (cd "$1" && apt-get download -q "$2" 2>&1 |
     grep -v -e '^W: Download is performed unsandboxed' -e '^Get:' -e '^Fetched' >&2 || true)
  ls "$1/$2"_*.deb >/dev/null 2>&1
}
fetch_kernel() {
  local cache=$1 package deb
  mkdir -p "$cache"
  package=$(kernel_package)
  if [ -z "$package" ] || ! ls "$cache/$package"_*.deb >/dev/null 2>&1; then
    echo "kernel_vm: downloading ${package:-the kernel package}"
    if [ -z "$package" ] || ! download "$cache" "$package"; then
      apt-get update -q >/dev/null 2>&1 || die "apt-get update failed (needs root)"
      package=$(kernel_package)
      [ -n "$package" ] || die "apt-cache knows no linux-image-amd64"
      download "$cache" "$package" || die "apt-get download $package failed"
    fi
    # Only the kernel in use is kept.
    find "$cache" -mindepth 1 -maxdepth 1 ! -name "${package}*" -exec rm -rf {} +
  fi
  deb=$(ls "$cache/$package"_*.deb | tail -n 1)
  kernel=$cache/${package}
  # Unpacked again when a module was added to the list.
  local name file missing=""
  for name in "${modules[@]}"; do [ -f "$kernel/modules/$name.ko" ] || missing=$name; done
  if [ ! -f "$kernel/done" ] || [ -n "$missing" ]; then
    rm -rf "$kernel"; mkdir -p "$kernel/tree" "$kernel/modules"
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kernel/tree" --wildcards './boot/vmlinuz-*' \
      $(printf "*/%s.ko* " "${modules[@]}")
    cp "$kernel"/tree/boot/vmlinuz-* "$kernel/vmlinuz"
    for name in "${modules[@]}"; do
      file=$(find "$kernel/tree" -name "$name.ko*" | head -n 1)
      [ -n "$file" ] || die "$package has no module $name"
      case $file in
        *.ko) cp "$file" "$kernel/modules/$name.ko" ;;
        *.ko.xz) xz -dc "$file" > "$kernel/modules/$name.ko" ;;
        *.ko.zst) zstd -qdc "$file" > "$kernel/modules/$name.ko" ;;
        *) die "$file: unknown module format" ;;
      esac
    done
    rm -rf "$kernel/tree"
    touch "$kernel/done"
  fi
}

# Debian's own udevadm, fetched as the kernel is and never installed here: the udev package and
# the library it is built on, unpacked in the cache, for the guest to apply the package's rule.
udev_packages=(udev libsystemd-shared)
fetch_udev() {
  local cache=$1 package
  udev=$cache/udev
  [ ! -f "$udev/done" ] || return 0
  for package in "${udev_packages[@]}"; do
    ls "$cache/$package"_*.deb >/dev/null 2>&1 || download "$cache" "$package" ||
      die "apt-get download $package failed"
  done
  rm -rf "$udev"; mkdir -p "$udev/tree"
  for package in "${udev_packages[@]}"; do
    dpkg-deb -x "$(ls "$cache/$package"_*.deb | tail -n 1)" "$udev/tree"
  done
  [ -x "$udev/tree/bin/udevadm" ] || die "the udev package holds no bin/udevadm"
  touch "$udev/done"
}

# The firmware files of the cases, and what each must deliver: images as firmware is (an ESC %
# lead, bytes that compress about 2:1), packages built from them by korvex-fwpack.
make_files() {
  local files=$1 fwpack=$2
  mkdir -p "$files"
  (cd "$files" && python3 - <<'EOF'
import random
r = random.Random(11)
def image(length, lead):
    alphabet = [0, 1, 0x20, 0x4C, 0x8B] + list(range(256))
    weights = [12] * 5 + [1] * 256
    return lead + bytes(r.choices(alphabet, weights, k=length - len(lead)))
for name, length, lead in [("kl1020.bin", 300000, b"\x1b%-12345X"), ("orbis.bin", 100000, b"\x1b%"),
                           ("raw.bin", 200000, b"\x1b%-12345X"), ("large.bin", 1 << 20, b"\x1b%"),
                           ("part1.bin", 40000, b"\x1b%-1"), ("part2.bin", 30000, b"\x1b%-2"),
                           ("slow1.bin", 1 << 20, b"\x1b%-1"), ("slow2.bin", (1 << 20) - 4000, b"\x1b%-2"),
                           ("wine.bin", 1 << 19, b"\x1b%"), ("wine1.bin", 3 << 16, b"\x1b%-1"),
                           ("wine2.bin", (3 << 16) - 3000, b"\x1b%-2")]:
    open(name, "wb").write(image(length, lead))
EOF
  )
  local orbis=(--product-code KV30100A01)
  "$fwpack" build-single --product-code KL10220B01 --block-size 65536 "$files/kl1020.bin" "$files/kl1020.kfw"
  "$fwpack" build-single "${orbis[@]}" --block-size 65536 "$files/orbis.bin" "$files/orbis.kfw"
  "$fwpack" build-single "${orbis[@]}" --block-size 65536 "$files/large.bin" "$files/large.kfw"
  "$fwpack" build-multi "${orbis[@]}" --required-version 3.01.22 --device-id 4B56015C \
    --part "1:$files/part1.bin" --part "1:$files/part2.bin" "$files/orbis.kmp"
  "$fwpack" build-multi "${orbis[@]}" --any-version --device-id 4B56015C \
    --part "1:$files/slow1.bin" --part "1:$files/slow2.bin" "$files/slow.kmp"
  # The Wine cases': eight blocks of 64 KiB, and two parts that end off a 4096-byte boundary.
  "$fwpack" build-single "${orbis[@]}" --block-size 65536 "$files/wine.bin" "$files/wine.kfw"
  "$fwpack" build-multi "${orbis[@]}" --any-version --device-id 4B56015C \
    --part "1:$files/wine1.bin" --part "1:$files/wine2.bin" "$files/wine.kmp"
  cat "$files/wine1.bin" "$files/wine2.bin" > "$files/wine.kmp.bin"
  rm "$files"/wine?.bin
  cat "$files/part1.bin" "$files/part2.bin" > "$files/orbis.kmp.bin"
  cat "$files/slow1.bin" "$files/slow2.bin" > "$files/slow.kmp.bin"
  rm "$files"/part?.bin "$files"/slow?.bin
  # The last block's checksum is wrong: found before anything is sent.
  cp "$files/orbis.kfw" "$files/damaged.kfw"
  local size; size=$(stat -c %s "$files/damaged.kfw")
  printf '\x5a' | dd of="$files/damaged.kfw" bs=1 seek=$((size - 1)) conv=notrunc status=none
  # The recordings kept in the repository, for the gadget printer to replay.
  cp "$(dirname "$0")"/../recordings/*.jsonl "$files/"
} >/dev/null

# The guest's root: busybox, the modules, korvex with the shared libraries it was linked with
# and their loader, the gadget's printer side, the files, a user without rights, and /init; for
# the cases, udevadm with its libraries and the package's udev rule, and the library that watches
# the order of libusb's cancels.
make_initramfs() {  # ROOT KORVEX GADGET_PRINTER FILES OUT [BENCH_SCRIPT] [RULE] [CANCEL_ORDER]
  local root=$1 korvex=$2 gadget_printer=$3 files=$4 out=$5 bench=${6:-} rule=${7:-}
  local cancel_order=${8:-} lib
  rm -rf "$root"; mkdir -p "$root"/{bin,usr/bin,lib/modules,etc,proc,sys,dev,tmp}
  chmod 0755 "$root"; chmod 1777 "$root/tmp"
  cp /bin/busybox "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  cp "$kernel"/modules/*.ko "$root/lib/modules/"
  cp "$korvex" "$gadget_printer" "$root/usr/bin/"
  for lib in $(ldd "$korvex" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
  if [ -n "$rule" ]; then
    local shared
    shared=$(dirname "$(find "$udev/tree" -name 'libsystemd-shared-*.so' | head -n 1)")
    cp "$udev/tree/bin/udevadm" "$root/usr/bin/"
    mkdir -p "$root$shared" "$root/etc/udev/rules.d"
    cp "$shared"/libsystemd-shared-*.so "$root$shared/"
    for lib in $(LD_LIBRARY_PATH="$shared" ldd "$udev/tree/bin/udevadm" | grep -o '/[^ ]*'); do
      case $lib in "$udev"/*) continue ;; esac
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
    cp "$rule" "$root/etc/udev/rules.d/60-korvex.rules"
  fi
  if [ -n "$cancel_order" ]; then
    mkdir -p "$root/usr/lib"
    cp "$cancel_order" "$root/usr/lib/libkorvex-cancel-order.so"
  fi
  cp -r "$files" "$root/files"
  printf 'root:x:0:0:root:/root:/bin/sh\ntester:x:1000:1000:tester:/tmp:/bin/sh\n' > "$root/etc/passwd"
  printf 'root:x:0:\nlp:x:7:\ntester:x:1000:\n' > "$root/etc/group"
  cp "$(dirname "$0")/guest_init.sh" "$root/init"
  chmod 0755 "$root/init"
  [ -z "${KORVEX_KERNEL_CASES:-}" ] || echo "$KORVEX_KERNEL_CASES" > "$root/cases"
  [ ! -f "$(dirname "$root")/wine.conf" ] || cp "$(dirname "$root")/wine.conf" "$root/wine.conf"
  [ -z "$bench" ] || cp "$bench" "$root/bench.sh"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
}

# The cases' results from the console: the lines between "@@@ case NAME begin" and
# "@@@ case NAME end VERDICT" into results/NAME.log and results/NAME.verdict.
split_results() {
  local console=$1 results=$2
  rm -rf "$results"; mkdir -p "$results"
  tr -d '\r' < "$console" | awk -v out="$results" '
    /^@@@ case [^ ]+ begin$/ { name = $3; file = out "/" name ".log"; printf "" > file; next }
    /^@@@ case [^ ]+ end / { if (name == $3) print $5 > (out "/" name ".verdict"); name = ""; next }
    name != "" { print >> file }'
}

# What the Wine cases need, told to the guest in WORK/wine.conf (host paths, the same in the
# guest's view of the host's root): the source tree (the launcher), the win64 tree (its wine-run
# and korvex-wine-upgrade.exe), the usblp write guard, korvex-signal-threads, the firmware files
# and the prefix; or why they are skipped. The prefix is made on this machine once and kept.
prepare_wine() {  # WORK WIN64_BUILD SIGNAL_THREADS GUARD_DIR
  local work=$1 win64=${2:-} signal_threads=${3:-} guard=${4:-} source why=""
  source=$(cd "$(dirname "$0")/../.." && pwd)
  rm -f "$work/wine.conf"
  if [ -z "$win64" ] || [ ! -f "$win64/tests/kernel/korvex-wine-upgrade.exe" ]; then
    why="the win64 tree's korvex-wine-upgrade.exe is not built (cmake --build --preset win64)"
  elif [ ! -x /usr/lib/wine/wine64 ]; then
    why="Wine's 64-bit loader is not installed"
  elif [ ! -f "$guard/lib/x86_64-linux-gnu/libkorvex-usblp-guard.so" ]; then
    why="the usblp write guard is not built ($guard)"
  elif [ ! -f "$work/wineprefix/system.reg" ]; then
    echo "kernel_vm: making the Wine cases' prefix (once)"
    rm -rf "$work/wineprefix"
    if ! WINEPREFIX="$work/wineprefix" "$source/scripts/wine-prefix" "$win64" \
           > "$work/wine-prefix.log" 2>&1 < /dev/null; then
      why="no Wine prefix could be made (see $work/wine-prefix.log)"
      rm -rf "$work/wineprefix"
    fi
  fi
  # Nothing of this machine may write into the prefix while the guest reads it.
  WINEPREFIX="$work/wineprefix" wineserver -k > /dev/null 2>&1 || true
  WINEPREFIX="$work/wineprefix" wineserver -w > /dev/null 2>&1 || true
  {
    if [ -n "$why" ]; then
      printf "WINE_SKIP='%s'\n" "$why"
    else
      printf "WINE_SOURCE='%s'\nWINE_BUILD='%s'\nWINE_PREFIX='%s'\n" "$source" "$win64" \
        "$work/wineprefix"
      printf "WINE_GUARD='%s'\nWINE_SIGNALS='%s'\nWINE_FILES='%s'\n" "$guard" \
        "$signal_threads" "$work/files"
    fi
  } > "$work/wine.conf"
}

# Whether the chosen cases include a Wine case.
wine_cases_chosen() {
  [ -z "${KORVEX_KERNEL_CASES:-}" ] || [[ " $KORVEX_KERNEL_CASES " == *" wine_"* ]]
}

boot() {
  local work=$1 korvex=$2 gadget_printer=$3 fwpack=$4 rule=$5 win64=${6:-}
  local signal_threads=${7:-} guard=${8:-} cancel_order=${9:-} why
  mkdir -p "$work"
  rm -f "$work/skipped" "$work/console.log" "$work/selected"
  rm -rf "$work/results"
  [ -z "${KORVEX_KERNEL_CASES:-}" ] || echo "$KORVEX_KERNEL_CASES" > "$work/selected"
  why=$(qemu_refusal)
  if [ -n "$why" ]; then
    echo "$why" > "$work/skipped"
    echo "kernel tests skipped: $why"
    exit $kSkip
  fi
  local t0=$SECONDS
  fetch_kernel "$work/cache"
  fetch_udev "$work/cache"
  local t1=$SECONDS
  make_files "$work/files" "$fwpack"
  local share=()
  rm -f "$work/wine.conf"
  if wine_cases_chosen; then
    prepare_wine "$work" "$win64" "$signal_threads" "$guard"
    grep -q '^WINE_SKIP=' "$work/wine.conf" ||
      share=(-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on)
  fi
  make_initramfs "$work/root" "$korvex" "$gadget_printer" "$work/files" "$work/initrd.gz" "" \
    "$rule" "$cancel_order"
  local t2=$SECONDS
  local status=0
  # Without SMAP: under TCG a user-mode iretq, with which Wine returns from its system calls,
  # read the user stack as a supervisor access and the guest's kernel oopsed in every Wine
  # process. Memory for Wine's processes beside the cases'.
  timeout $kBootSeconds qemu-system-x86_64 -accel tcg -cpu max,-smap -m 1536 -nographic -no-reboot \
    -net none "${share[@]}" -kernel "$kernel/vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1" < /dev/null > "$work/console.log" 2>&1 || status=$?
  split_results "$work/console.log" "$work/results"
  echo "kernel_vm: kernel $((t1 - t0)) s, initramfs $((t2 - t1)) s, boot and cases $((SECONDS - t2)) s"
  echo "kernel_vm: $(ls "$work/results"/*.verdict 2>/dev/null | wc -l) cases ran; console in $work/console.log"
  [ $status -ne 124 ] || die "the guest did not power off within $kBootSeconds s"
  [ $status -eq 0 ] || die "qemu-system-x86_64 ended with $status"
  grep -q '^@@@ guest done' "$work/console.log" || die "the guest did not finish its cases"
}

result() {
  local work=$1 name=$2
  if [ -f "$work/skipped" ]; then
    echo "kernel tests skipped: $(cat "$work/skipped")"
    exit $kSkip
  fi
  if [ -f "$work/selected" ] && ! grep -qw -- "$name" "$work/selected"; then
    echo "not among the cases chosen by KORVEX_KERNEL_CASES: $(cat "$work/selected")"
    exit $kSkip
  fi
  if [ ! -f "$work/results/$name.verdict" ]; then
    echo "no result of $name: the guest did not run it to its end; see $work/console.log"
    [ ! -f "$work/results/$name.log" ] || cat "$work/results/$name.log"
    exit 1
  fi
  cat "$work/results/$name.log"
  [ "$(cat "$work/results/$name.verdict")" != SKIP ] || exit $kSkip
  [ "$(cat "$work/results/$name.verdict")" = PASS ]
}

# The benchmark's images: raw firmware as the tests' (an ESC % lead, bytes that compress about
# 2:1), 16 MiB for the throughput, 8 MiB for each printer of the fleet.
make_bench_files() {
  mkdir -p "$1"
  (cd "$1" && python3 - <<'EOF'
import random
r = random.Random(13)
alphabet = [0, 1, 0x20, 0x4C, 0x8B] + list(range(256))
weights = [12] * 5 + [1] * 256
for name, length in [("bench16.bin", 16 << 20), ("bench8.bin", 8 << 20)]:
    lead = b"\x1b%-12345X"
    open(name, "wb").write(lead + bytes(r.choices(alphabet, weights, k=length - len(lead))))
EOF
  )
}

bench() {
  local work=$1 korvex=$2 gadget_printer=$3 why
  mkdir -p "$work"
  why=$(qemu_refusal)
  [ -z "$why" ] || die "$why"
  fetch_kernel "$work/cache"
  [ -f "$work/files/bench8.bin" ] || make_bench_files "$work/files"
  make_initramfs "$work/root" "$korvex" "$gadget_printer" "$work/files" "$work/initrd.gz" \
    "$(dirname "$0")/../../tools/bench/kernel_bench.sh"
  # Two processors: the printers' side and korvex each have one, as a printer is a machine of
  # its own (on one, TCG's single processor is what every measurement would meet first).
  local status=0
  timeout $kBootSeconds qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 1024 -nographic \
    -no-reboot -net none -kernel "$kernel/vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1" < /dev/null > "$work/console.log" 2>&1 || status=$?
  [ $status -ne 124 ] || die "the guest did not power off within $kBootSeconds s"
  tr -d '\r' < "$work/console.log" | sed -n '/^@@@ bench begin$/,/^@@@ bench end$/p' |
    grep -v '^@@@' | grep . || die "no numbers from the guest; see $work/console.log"
}

case ${1:-} in
  boot) shift; boot "$@" ;;
  bench) shift; bench "$@" ;;
  result) shift; result "$@" ;;
  *) die "usage: kernel_vm.sh boot WORK KORVEX GADGET_PRINTER FWPACK RULE" \
         "[WIN64_BUILD SIGNAL_THREADS GUARD_DIR CANCEL_ORDER] | result WORK CASE |" \
         "bench WORK KORVEX GADGET_PRINTER" ;;
esac
