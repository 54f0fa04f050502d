#!/usr/bin/env bash
# korvex-fwpack builds packages of each kind; inspect accepts the good ones (exit 0) and explains
# each damaged one (exit 1) with the reason the program would give; the builders refuse inputs
# the program would refuse, and then leave no file behind and an existing OUT untouched.
# Usage: fwpack_file_reports.sh FWPACK
set -u
fwpack=$(realpath "$1")
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# expect NAME STATUS FILE PATTERN...: inspect FILE exits with STATUS and prints every PATTERN.
expect() {
  local name=$1 status=$2 file=$3; shift 3
  local out rc
  out=$("$fwpack" inspect "$file" 2>&1); rc=$?
  if [ "$rc" -ne "$status" ]; then fail "$name: exit $rc, not $status"; echo "$out" | head -20; return; fi
  for pattern in "$@"; do
    if ! grep -q -E -- "$pattern" <<<"$out"; then fail "$name: no line matches '$pattern'"; echo "$out" | head -20; return; fi
  done
  echo "ok   $name"
}

# refuse NAME PATTERN COMMAND...: a build command fails with status 1, says PATTERN, writes nothing:
# no file in the folder appears, goes or changes (size, time), an existing OUT included.
refuse() {
  local name=$1 pattern=$2; shift 2
  rm -f out.pkg
  local out rc before
  before=$(ls -Al --time-style=full-iso)
  out=$("$fwpack" "$@" 2>&1); rc=$?
  if [ "$rc" -ne 1 ]; then fail "$name: exit $rc, not 1"; return; fi
  if ! grep -q -E -- "$pattern" <<<"$out"; then fail "$name: '$out' does not match '$pattern'"; return; fi
  if [ "$(ls -Al --time-style=full-iso)" != "$before" ]; then fail "$name: the folder changed"; return; fi
  echo "ok   $name"
}

# patch FILE OFFSET HEXBYTES: overwrite bytes in place.
patch() { printf "$(sed 's/\(..\)/\\x\1/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# Firmware-like test data: an ESC % lead, then bytes that compress about 2:1.
python3 - <<'EOF'
import random
random = random.Random(7)
body = bytes(random.choice([0, 1, 0x20, 0x4C, 0x8B, random.randrange(256)]) for _ in range(200000))
open("image.bin", "wb").write(b"\x1b%-12345X" + body)
open("part1.bin", "wb").write(b"\x1b%-1" + body[:3000])
open("part2.bin", "wb").write(b"\x1b%-2" + body[:9000])
open("other.bin", "wb").write(b"MZ" + body[:3000])
open("tiny.bin", "wb").write(b"\x1b" * 10)
open("noise.bin", "wb").write(b"\x1b" + random.randbytes(4194303))
EOF

code=KX7300EU01
"$fwpack" build-single --product-code $code --block-size 50000 image.bin single.pkg >/dev/null || fail "build-single"
"$fwpack" build-multi --product-code $code --required-version 2.01.07 --device-id 4B5600A1 \
  --part 3:part1.bin --part 120:part2.bin multi.pkg >/dev/null || fail "build-multi"
"$fwpack" build-multi --product-code $code --any-version --device-id 4B5600A1 empty.pkg >/dev/null \
  || fail "build-multi without parts"
first=$(( $(od -An -tu4 -j28 -N4 single.pkg) ))  # first_block_length
single_size=$(stat -c %s single.pkg); multi_size=$(stat -c %s multi.pkg)

# ---- Good files of each kind --------------------------------------------------------------------
expect "single-image package" 0 single.pkg '^kind: single-image package' "^product_code: \"$code\"" \
  '^image_size: 200009$' '^block 4: stored [0-9]+, inflated 9$' '^verdict: accepted$'
expect "multi-part package" 0 multi.pkg '^kind: multi-part package' '^required_version: "2.01.07"$' \
  '^target_device_id: "4B5600A1"$' '^part 1: delay 120 s, length 9004, begins 1B 25 2D 32' \
  'firmware version "2.01.07"' '^verdict: accepted$'
expect "multi-part package without parts" 0 empty.pkg '^part_count: 0$' 'wildcard' '^verdict: accepted$'
expect "raw image" 0 image.bin '^kind: raw image' '^begins: 1B 25' '^verdict: accepted$'
cp single.pkg lower.pkg; patch lower.pkg 14 7061636b   # "pack": an image_size, not the marker
expect "lower-case pack" 0 lower.pkg '^kind: single-image package' '^image_size: 1801675120$' \
  'differs from what the blocks deliver' '^verdict: accepted$'

# ---- Damaged files -----------------------------------------------------------------------------
expect "raw image of other content" 1 other.bin 'must begin with 1B or AD DE' 'internal string 96'
expect "file below 32 bytes" 1 tiny.bin 'only 10 bytes' 'internal string 88'
expect "missing file" 1 missing.pkg 'cannot open' 'internal string 85'
expect "directory" 1 . 'cannot be read' 'internal string 86'

cp single.pkg damaged.pkg; patch damaged.pkg $((32 + first + 4 + 200)) ffffffff
expect "damaged block" 1 damaged.pkg '^block 0: stored' 'block 1 \([0-9]+ stored bytes\) does not inflate: its zlib stream is damaged' \
  '^block 2: stored' 'internal string 102' 'found before anything is sent'
cp single.pkg nolength.pkg; patch nolength.pkg 28 00000000
expect "first_block_length 0" 1 nolength.pkg 'first_block_length is 0' 'internal string 89'
cp single.pkg notfirmware.pkg; patch notfirmware.pkg 32 00
expect "first block of other content" 1 notfirmware.pkg "first block does not inflate|first block's content" 'internal string 9[56]'
head -c $((single_size - 7)) single.pkg > short.pkg
expect "file ends inside a block" 1 short.pkg 'block 4: the file ends after' 'internal string 101'
cp single.pkg stray.pkg; printf 'xyz' >> stray.pkg
expect "stray bytes after the last block" 1 stray.pkg '3 stray byte' 'internal string 98'

cp multi.pkg delay.pkg; patch delay.pkg 44 00
expect "part delay 0" 1 delay.pkg 'part 0: delay_seconds 0' '^part 1: delay 120 s' 'internal string 90'
head -c $((44 + 5 + 3004)) multi.pkg > missing_part.pkg
expect "fewer parts than part_count" 1 missing_part.pkg 'part 1: 0 byte\(s\) where its 5-byte header' 'internal string 93'
head -c $((multi_size - 1)) multi.pkg > short_part.pkg
expect "file ends inside a part" 1 short_part.pkg 'part 1: the file ends after 9003' 'internal string 94'
# part_count (descriptor byte 25, file offset 43) made '"' from '2': the key stream is the same,
# so flipping a bit of the stored byte flips it in the decrypted one.
cp multi.pkg count.pkg; patch count.pkg 43 "$(printf %02x $(( 0x$(od -An -tx1 -j43 -N1 multi.pkg | tr -d ' ') ^ 0x10 )))"
expect "part_count not a digit" 1 count.pkg 'part_count is byte 34, not one decimal digit' 'internal string 103'
cp multi.pkg garbled.pkg; patch garbled.pkg 49 00
expect "part without ESC %" 1 garbled.pkg 'does not begin with ESC %' 'internal string 91'
cp multi.pkg huge.pkg; patch huge.pkg 45 01008000
expect "part above 8 MiB" 1 huge.pkg 'part_length 8388609 is above' 'internal string 89'
head -c 40 multi.pkg > header.pkg
expect "multi-part header cut short" 1 header.pkg 'only 40 bytes' 'internal string 86'

# ---- Builders refuse what the program would refuse -------------------------------------------
refuse "product code of 9 characters" 'not 10' build-single --product-code KX7300EU1 image.bin out.pkg
refuse "image of other content" 'does not begin with 1B or AD DE' build-single --product-code $code other.bin out.pkg
refuse "incompressible 4 MiB block" 'use a smaller --block-size' build-single --product-code $code --block-size 4194304 noise.bin out.pkg
refuse "lower-case device id" 'upper-case' build-multi --product-code $code --any-version --device-id 4b5600a1 out.pkg
refuse "delay 0" 'must be 1 to 120' build-multi --product-code $code --any-version --device-id 4B5600A1 --part 0:part1.bin out.pkg
refuse "part of other content" 'ESC %' build-multi --product-code $code --any-version --device-id 4B5600A1 --part 1:other.bin out.pkg
refuse "all-wildcard required version" 'give --any-version' build-multi --product-code $code --required-version '*.*.*.*' --device-id 4B5600A1 out.pkg
# An image_size that reads as "PACK". The size alone is refused, before the image is read or
# compressed, so the 1.2 GB sparse image costs nothing.
printf '\x1b' > pack.bin; truncate -s $(( $(printf PACK | od -An -tu4) )) pack.bin
refuse "image size that reads as PACK" 'multi-part' build-single --product-code $code pack.bin out.pkg

# ---- Builders never write over an input, nor spoil an existing OUT ---------------------------
cp image.bin image.copy; cp part1.bin part1.copy; cp single.pkg kept.pkg; ln -s part1.bin part1.link
refuse "image as its own OUT" 'same file as the input image.bin' build-single --product-code $code image.bin ./image.bin
refuse "part as OUT through a symlink" 'same file as the input part1.bin' build-multi --product-code $code --any-version --device-id 4B5600A1 --part 1:part1.bin part1.link
refuse "failed build over an existing OUT" 'does not begin with 1B' build-single --product-code $code other.bin kept.pkg
cmp -s image.bin image.copy && cmp -s part1.bin part1.copy && cmp -s kept.pkg single.pkg \
  || fail "an input or the existing OUT changed"
"$fwpack" frobnicate >/dev/null 2>&1; [ $? -eq 2 ] && echo "ok   unknown command" || fail "unknown command: not exit 2"

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
