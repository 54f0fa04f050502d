#!/usr/bin/env bash
# The table checker must refuse sources that break a rule, and say which rule.
# Usage: broken_sources.sh TABLEGEN TABLES_DIR
set -u
tablegen=$1; sources=$2
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failures=0

# expect_refusal NAME FILE SED-EXPRESSION EXPECTED-MESSAGE-PATTERN
expect_refusal() {
  local name=$1 file=$2 edit=$3 pattern=$4
  rm -rf "$work/t"; cp -r "$sources" "$work/t"
  sed -i -E "$edit" "$work/t/$file"
  if cmp -s "$sources/$file" "$work/t/$file"; then
    echo "FAIL $name: the edit changed nothing"; failures=$((failures + 1)); return
  fi
  if out=$("$tablegen" check "$work/t" 2>&1); then
    echo "FAIL $name: accepted"; failures=$((failures + 1)); return
  fi
  if ! grep -q -E -- "$pattern" <<<"$out"; then
    echo "FAIL $name: refused without naming the rule:"; echo "$out" | head -5
    failures=$((failures + 1)); return
  fi
  echo "ok   $name"
}

expect_refusal "missing UI text" ui_texts.txt '/^\[5\]$/,/^zh = /{/^en = /d}' 'has no en text'
expect_refusal "UI text too long" ui_texts.txt "s/^(en = .*)\$/\\1$(printf 'x%.0s' $(seq 1 500))/" 'at most 499'
expect_refusal "saved digit changed" internal_strings.txt 's/^36 = .*$/36 = one/' 'internal string 36'
expect_refusal "model family out of range" models.txt '0,/^([0-9A-F]{4}) [0-2] /s//\1 3 /' 'famil'
expect_refusal "lower-case product code" models.txt '0,/^[0-9A-F]{4} /s//00ab /' '[0-9a-f]{4}|upper|hex'
expect_refusal "one model row missing" models.txt '0,/^[0-9A-F]{4} [0-2] .*$/{//d}' '160 rows'
expect_refusal "internal string entry missing" internal_strings.txt '/^133 = /d' 'entry 133 is missing'
expect_refusal "bad escape" internal_strings.txt 's/^(2 = .*)$/\1\\q/' 'unknown escape'

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
