#!/usr/bin/env bash
# scripts/korvex-linux on a fake sysfs tree under the build tree, with FIFOs or stand-in printers
# on ptys as its /dev/usb/lpN: never the real /sys or /dev.
#   bridge_test.sh explain HOST_BUILD         what --list says when usblp has no printer (no Wine)
#   bridge_test.sh registration BUILD         the printers a program in the prefix sees while they
#                                             come and go, and nothing left after Ctrl+C
#   bridge_test.sh query BUILD HOST_BUILD     korvex_tool.exe through the launcher: both printers
#                                             in its menu, a whole query on each
#   bridge_test.sh silent BUILD HOST_BUILD    a printer that never answers: the failure box
set -euo pipefail
case=${1:?case}
build=$(cd "${2:?build tree}" && pwd)
host=${3:-}
source=$(cd "$(dirname "$0")/../.." && pwd)
launcher="$source/scripts/korvex-linux"
scratch="$build/linux-bridge/$case"
rm -rf "$scratch"
mkdir -p "$scratch"
sys="$scratch/sys"
devroot="$scratch/dev"
export KORVEX_SYSFS="$sys" KORVEX_DEV="$devroot"
guid='{28d78fad-5a12-11d1-ae5b-0000f803a8c2}'

fail() { echo "FAILED: $*"; exit 1; }

. "$source/tests/linux/fake_sysfs.sh"  # plug, unplug

# waits_for FILE LINE SECONDS: whether FILE gets the whole line LINE in time.
waits_for() {
  local deadline=$((SECONDS + $3))
  until grep -qxF -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

if [ "$case" = explain ]; then
  # Two printers on the bus, neither shown by usblp: each reason named, with its remedy, in the
  # words of the tree's korvex.
  export KORVEX_CLI="$build/korvex"
  plug lp0 4b56 0042
  plug lp1 4b56 015c
  rm -rf "$sys/class"
  explains() {  # explains WHAT PHRASE...
    local said what=$1 phrase
    shift
    if said=$("$launcher" --list 2>&1); then fail "$what: --list succeeded"; fi
    for phrase in "$@"; do
      [[ $said == *"$phrase"* ]] || fail "$what: expected \"$phrase\" in: $said"
    done
    echo "$what: $said"
  }
  usb="$sys/devices/pci0000:00/0000:00:14.0/usb1"
  ln -s ../../../../../../bus/usb/drivers/usbfs "$usb/1-1/1-1:1.0/driver"
  explains "claimed through libusb" "the printer 4b56:0042 is connected, but a program holds" \
    "sudo systemctl stop ipp-usb"
  rm "$usb/1-1/1-1:1.0/driver" && rm -r "$sys/module/usblp"
  explains "module not loaded" "the usblp kernel module is not loaded:"
  mkdir "$sys/module/usblp" && rm "$sys/bus/usb/devices/1-1"
  echo 04 >"$usb/1-2/1-2:1.0/bInterfaceProtocol"
  explains "IPP only" "the printer 4b56:015c is connected, but it offers only IPP over USB"
  rm "$sys/bus/usb/devices/1-2"
  explains "no printer" "no Korvex printer found"
  exit 0
fi

# ---- Under Wine: the tree's own prefix, with the test fixtures' display and wineserver ----------
export KORVEX_BUILD="$build" KORVEX_WINEPREFIX="$build/wineprefix"
[ -f "$build/test-env/display" ] && DISPLAY=$(cat "$build/test-env/display") && export DISPLAY
# Output goes through files: a wineserver that a Wine program starts keeps that program's output
# open until it ends, seconds later.
wine() { "$build/wine-run" "$@" >"$scratch/wine.out" 2>&1 </dev/null; }
standin="$host/tools/printer-sim/korvex-usblp-standin"
standins=()
launcher_pid=""
# Job control gives the launcher a process group of its own, as a terminal does: Ctrl+C there
# reaches the launcher and every Wine process it started.
set -m
ctrl_c() { kill -INT -- "-$launcher_pid" 2>/dev/null || true; }
finish() {
  [ -z "$launcher_pid" ] || ctrl_c
  for pid in "${standins[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap finish EXIT

# standin lpN ARGS...: a stand-in printer as the device file of lpN, logging to lpN.log.
standin() {
  local lp=$1
  shift
  mkdir -p "$devroot/usb"
  "$standin" --link "$devroot/usb/$lp" "$@" >"$scratch/$lp.log" 2>&1 &
  standins+=($!)
  for _ in $(seq 1 50); do [ -L "$devroot/usb/$lp" ] && return 0; sleep 0.1; done
  fail "the stand-in printer $lp did not start: $(cat "$scratch/$lp.log")"
}

start_launcher() {
  started_at=$SECONDS
  "$launcher" >"$scratch/launcher.out" 2>"$scratch/launcher.err" &
  launcher_pid=$!
}

# launcher_ends SECONDS: its exit status, or fails when it is still running by then.
launcher_ends() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$launcher_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the launcher is still running: $(cat "$scratch/launcher.err")"
    sleep 0.2
  done
  local status=0
  wait "$launcher_pid" || status=$?
  launcher_pid=""
  echo "launcher ended with $status after $((SECONDS - started_at)) s"
  cat "$scratch/launcher.err"
  return "$status"
}

# Nothing of the bridge is left in the prefix: no device names, no interfaces, no state.
nothing_left() {
  local names
  names=$(ls "$KORVEX_WINEPREFIX/dosdevices" | grep '^usb#' || true)
  [ -z "$names" ] || fail "device names left in the prefix: $names"
  [ ! -e "$KORVEX_WINEPREFIX/korvex-linux" ] || fail "the launcher's state was left in the prefix"
  wine "$build/tests/linux/korvex-bridge-probe.exe" --once
  [ "$(cat "$scratch/wine.out")" = "present: none" ] ||
    fail "printers still registered: $(cat "$scratch/wine.out")"
  # Nor the keys the program never lists: Wine's own for each interface it has listed.
  wine reg query "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\$guid" || true
  ! grep -i "korvex.usblp" "$scratch/wine.out" || fail "interface keys left in the registry"
  ! wine reg query 'HKLM\System\CurrentControlSet\Enum\KORVEX_USBLP' ||
    fail "device instances left in the registry"
}

path_of() { echo "\\\\?\\usb#vid_$1&pid_$2#$3#$guid"; }

case "$case" in
  registration)
    # The probe stands in for the program and prints what it sees at each change.
    export KORVEX_PROGRAM="$build/tests/linux/korvex-bridge-probe.exe"
    plug lp0 4b56 0042 'Ser#1'
    plug lp1 4B56 015C
    plug lp2 1234 5678 OTHER
    plug lp5 4b56 ffff BLANK  # a product id discovery refuses
    for lp in lp0 lp1 lp2 lp5; do mkfifo "$devroot/usb/$lp"; done
    start_launcher
    seen="$scratch/launcher.out"
    both="present: $(path_of 4b56 0042 ser_1) opens; $(path_of 4b56 015c lp1) opens"
    waits_for "$seen" "$both" 20 || fail "not both printers: $(cat "$seen" "$scratch/launcher.err")"
    echo "both printers after $((SECONDS - started_at)) s"

    unplug lp0
    waits_for "$seen" "present: $(path_of 4b56 015c lp1) opens" 5 ||
      fail "the unplugged printer stayed: $(tail -n 1 "$seen")"
    plug lp3 4b56 0140 NEW
    mkfifo "$devroot/usb/lp3"
    waits_for "$seen" "present: $(path_of 4b56 0140 new) opens; $(path_of 4b56 015c lp1) opens" 5 ||
      fail "the printer plugged in later did not come: $(tail -n 1 "$seen")"
    cat "$seen"

    # A launcher killed outright leaves its printers registered; the next start removes those
    # that are gone by then.
    kill -KILL -- "-$launcher_pid"
    wait "$launcher_pid" 2>/dev/null || true
    unplug lp3
    start_launcher
    waits_for "$seen" "present: $(path_of 4b56 015c lp1) opens" 20 ||
      fail "after a killed launcher: $(cat "$seen" "$scratch/launcher.err")"
    [ "$(head -n 1 "$seen")" = "present: $(path_of 4b56 015c lp1) opens" ] ||
      fail "the program met what a killed launcher left: $(head -n 1 "$seen")"

    ctrl_c
    status=0
    launcher_ends 20 || status=$?
    [ "$status" = 130 ] || fail "after Ctrl+C the launcher ended with $status"
    nothing_left
    ;;

  query | silent)
    if [ "$case" = query ]; then
      standin lp0
      plug lp0 4b56 0140 SER9
      standin lp1
      plug lp1 4b56 015c
      test_name='ProgramOnBridgedPrinters.BothPrintersAreOfferedAndAnswerTheQuery'
    else
      standin lp0 --silent
      plug lp0 4b56 0140 SER9
      test_name='ProgramOnBridgedPrinters.SilentPrinterEndsInTheFailureBox'
    fi
    start_launcher
    driven=0
    wine "$build/tests/linux/korvex_bridge_driver.exe" --gtest_filter="$test_name" || driven=$?
    grep -v -E '^(Running main|Note: Google)' "$scratch/wine.out"
    launcher_ends 20 || fail "the program through the launcher ended with $?"
    for log in "$scratch"/lp*.log; do echo "== ${log##*/}"; cat "$log"; done
    [ "$driven" = 0 ] || fail "the program did not do what was expected"
    if [ "$case" = query ]; then
      for lp in lp0 lp1; do
        grep -q '^<- CMD_SSI_MAC_ADDRESS' "$scratch/$lp.log" || fail "$lp was not asked"
      done
    else
      grep -q 'not answered$' "$scratch/lp0.log" || fail "the silent printer was not asked"
    fi
    nothing_left
    ;;
  *)
    fail "unknown case $case"
    ;;
esac
echo "passed"
