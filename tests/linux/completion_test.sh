#!/usr/bin/env bash
# The bash completion of korvex (resources/linux/korvex.bash-completion), driven as bash drives it
# (COMP_WORDS, COMP_CWORD, COMP_LINE, COMP_POINT, then its function) with the real korvex on a
# fake sysfs tree: its commands and options are those korvex --help tells, and --printer offers
# the printers korvex lists at that moment, through the way --via names.
#   completion_test.sh SCRATCH COMPLETION KORVEX PTY_PRINTER
set -euo pipefail
scratch=$(realpath -m "${1:?scratch directory}")
completion=$(realpath "${2:?completion}")
korvex=$(realpath "${3:?korvex}")
pty_printer=$(realpath "${4:?korvex-pty-printer}")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

fail() { echo "FAILED: $*"; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch/bin"
sys="$scratch/sys" devroot="$scratch/dev"
. "$source_dir/tests/linux/fake_sysfs.sh"  # plug
export KORVEX_SYSFS=$sys KORVEX_DEV=$devroot
mkdir -p "$sys/class/usbmisc" "$sys/bus/usb/devices" "$sys/module/usblp" "$devroot/usb"
# As a user has it: korvex found on the PATH.
ln -s "$korvex" "$scratch/bin/korvex"
PATH="$scratch/bin:$PATH"

. "$completion"
[[ $(complete -p korvex) == *"-F _korvex"* ]] || fail "not registered for korvex: $(complete -p korvex)"

# offered LINE: what the completion offers with the cursor at the end of LINE, sorted, on one
# line. LINE is cut into COMP_WORDS as bash cuts it: at blanks, with each ':' and '=' a word of
# its own.
offered() {
  local line=$1 word='' char i
  local -a COMP_WORDS=() COMPREPLY=()
  for ((i = 0; i < ${#line}; i++)); do
    char=${line:i:1}
    case $char in
      ' ') [ -z "$word" ] || COMP_WORDS+=("$word"); word='' ;;
      [:=]) [ -z "$word" ] || COMP_WORDS+=("$word"); COMP_WORDS+=("$char"); word='' ;;
      *) word+=$char ;;
    esac
  done
  if [ -n "$word" ] || [[ $line == *' ' ]]; then COMP_WORDS+=("$word"); fi
  local COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
  _korvex korvex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sorted
}
expect() {  # expect LINE WANTED
  local got
  got=$(offered "$1")
  [ "$got" = "$2" ] || fail "after '$1' offered '$got', expected '$2'"
}
# sorted: the words of standard input, sorted, on one line.
sorted() { tr -s ' \n' '\n\n' | sed '/^$/d' | sort | paste -sd ' ' -; }

# Commands and options, from korvex's own help: a command or option added to korvex and not to
# the completion (or the other way round) fails here.
help_options() {  # help_options [COMMAND]: the long options of its Options: section
  korvex "$@" --help | sed -n '/^Options:/,/^$/s/^  \(-[a-z],\)\{0,1\}\(--[a-z0-9-]*\).*/\2/p'
}
commands=$(korvex --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]*\) .*/\1/p' | sorted)
[ "$(wc -w <<<"$commands")" -ge 5 ] || fail "no commands read from korvex --help: $commands"
expect "korvex " "$commands"
expect "korvex --" "$(help_options | sorted)"
for command in $commands; do
  # korvex's own options may also come after the command.
  expect "korvex $command --" "$({ help_options "$command"; echo --via --record --redact; } | sorted)"
  [ "$(offered "korvex $command --")" = "$(offered "korvex --via usblp $command --")" ] ||
    fail "options of $command not the same after --via usblp"
done
expect "korvex inf" "info"
expect "korvex upgrade --ver" "--verify --verify-timeout"

ways=$(korvex --help | sed -n 's/.*--via TEXT:{\([a-z,]*\)}.*/\1/p' | tr , ' ' | sorted)
[ -n "$ways" ] || fail "no ways of --via in korvex --help"
expect "korvex --via " "$ways"
expect "korvex --via=" "$ways"
expect "korvex info --via=li" "libusb"
expect "korvex --via u" "usblp"
# A value that is a number, a version or a digest: nothing.
expect "korvex upgrade --jobs " ""
expect "korvex upgrade --expect-sha256=" ""

# The maintenance commands' numbers are those korvex maintenance --list shows, 1 to 18; with one
# given, or --list, the options.
expect "korvex maintenance " "$(seq 1 18 | sorted)"
expect "korvex maintenance 1" "1 10 11 12 13 14 15 16 17 18"
own="--via --record --redact"
expect "korvex maintenance 3 " "$({ help_options maintenance; echo $own; } | sorted)"
expect "korvex maintenance --list " "$({ help_options maintenance; echo $own; } | sorted)"

# The firmware file of upgrade and check, then their options.
touch "$scratch/fw-a.kfw" "$scratch/fw-b.kfw"
expect "korvex upgrade $scratch/fw-" "$scratch/fw-a.kfw $scratch/fw-b.kfw"
expect "korvex check --json $scratch/fw-b" "$scratch/fw-b.kfw"
expect "korvex check $scratch/fw-a.kfw --e" "--expect-sha256"
expect "korvex upgrade --printer lp0 $scratch/fw-a.kfw --a" "--all"
# The recording's file, wherever --record stands.
expect "korvex --record $scratch/fw-" "$scratch/fw-a.kfw $scratch/fw-b.kfw"
expect "korvex info --record=$scratch/fw-b" "$scratch/fw-b.kfw"

# No printer: nothing for --printer.
expect "korvex info --printer " ""

# Printers: lp0 and lp2 answer; lp1 is plugged but has no device file, so korvex list leaves it
# out and it is not offered. Through libusb the same printers are usb:1-1 and usb:1-3, whose
# device files listing only looks at.
standins=()
stop_standins() {
  for pid in "${standins[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${standins[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_standins EXIT
for n in 0 1 2; do
  plug "lp$n" 4b56 015c "SER000$n"
  device="$sys/devices/pci0000:00/0000:00:14.0/usb1/1-$((n + 1))"
  echo 1 >"$device/busnum"
  echo $((n + 5)) >"$device/devnum"
done
mkdir -p "$devroot/bus/usb/001"
touch "$devroot/bus/usb/001/005" "$devroot/bus/usb/001/007"
for lp in lp0 lp2; do
  "$pty_printer" --link "$devroot/usb/$lp" --drain >"$scratch/$lp.log" 2>&1 &
  standins+=($!)
  for _ in $(seq 1 50); do [ -L "$devroot/usb/$lp" ] && break; sleep 0.1; done
  [ -L "$devroot/usb/$lp" ] || fail "the stand-in printer $lp did not start: $(cat "$scratch/$lp.log")"
done
listed=$(korvex list 2>/dev/null) || true
[[ $listed == *"lp1  left out"* ]] || fail "korvex list does not leave lp1 out: $listed"

expect "korvex info --printer " "lp0 lp2"
# A way korvex refuses: it says so on standard error, which must not land on the terminal.
[ -n "$(korvex --via usbfs list --json 2>&1 >/dev/null)" ] || fail "korvex took --via usbfs silently"
expect "korvex --via usbfs info --printer " ""
words=$(offered "korvex --via usbfs info --printer " 2>&1 >/dev/null)
[ -z "$words" ] || fail "the completion wrote on the terminal: $words"
expect "korvex maintenance --printer=" "lp0 lp2"
expect "korvex upgrade --all --printer lp0 --printer l" "lp0 lp2"
expect "korvex upgrade --via usblp --printer lp2" "lp2"
# Through libusb: the ids hold a ':', after which bash replaces the word.
expect "korvex --via libusb info --printer " "usb:1-1 usb:1-3"
expect "korvex --via=libusb info --printer usb:" "1-1 1-3"
expect "korvex info --via libusb --printer=usb:1-3" "1-3"

# A korvex that hangs holds the shell no longer than the completion's time-out.
rm "$scratch/bin/korvex"  # the link to the real one, not written through
cat >"$scratch/bin/korvex" <<'HANG'
#!/bin/sh
exec sleep 30
HANG
chmod +x "$scratch/bin/korvex"
start=$SECONDS
expect "korvex info --printer " ""
((SECONDS - start < 10)) || fail "a hanging korvex held the completion $((SECONDS - start)) s"

echo "korvex's completion: commands, options of $(wc -w <<<"$commands") commands, --via, printer ids"
