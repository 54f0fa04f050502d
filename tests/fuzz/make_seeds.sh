#!/usr/bin/env bash
# Starting corpus for the package fuzz target, built by korvex-fwpack: one small file of each kind,
# with blocks stored both in under 128 bytes and in more.
# Usage: make_seeds.sh FWPACK SEED_DIR CORPUS_DIR (the corpus the fuzzer grows, kept between runs)
set -eu
fwpack=$1; seeds=$2; corpus=$3
rm -rf "$seeds"; mkdir -p "$seeds" "$corpus"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 - "$work" <<'PY'
import random, sys
random = random.Random(3)
w = sys.argv[1]
body = bytes(random.choice([0, 1, 0x20, 0x4C, random.randrange(256)]) for _ in range(900))
open(w + "/image.bin", "wb").write(b"\x1b%-12345X" + body)
open(w + "/marked.bin", "wb").write(b"\xad\xde" + body[:300])
open(w + "/part1.bin", "wb").write(b"\x1b%" + body[:40])
open(w + "/part2.bin", "wb").write(b"\x1b%" + body[:200])
PY
"$fwpack" build-single --product-code KX7300EU01 --block-size 100 "$work/image.bin" "$seeds/single_small_blocks" >/dev/null
"$fwpack" build-single --product-code KX7300EU01 --block-size 400 "$work/image.bin" "$seeds/single_large_blocks" >/dev/null
"$fwpack" build-single --product-code AB00000001 --level 0 "$work/marked.bin" "$seeds/single_stored" >/dev/null
"$fwpack" build-multi --product-code KX7300EU01 --required-version 2.01.07 --device-id 4B5600A1 \
  --part 1:"$work/part1.bin" --part 120:"$work/part2.bin" "$seeds/multi_two_parts" >/dev/null
"$fwpack" build-multi --product-code KX7300EU01 --any-version --device-id 4B5600A1 "$seeds/multi_no_parts" >/dev/null
cp "$work/image.bin" "$seeds/raw_escape"
cp "$work/marked.bin" "$seeds/raw_marked"
