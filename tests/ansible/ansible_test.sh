#!/usr/bin/env bash
# The playbook ansible/upgrade-printers.yml on this machine as its one host, against a fake sysfs
# tree under the build tree with two stand-in printers: lp0 on an old version, which restarts on
# the new one once it has taken the package's image, and lp1 already on the new one. Never the
# real /sys or /dev, and Ansible stays offline and out of the user's home.
#   ansible_test.sh SCRATCH KORVEX PTY_PRINTER FWPACK
set -euo pipefail
scratch=$(realpath -m "${1:?scratch directory}")
korvex=$(realpath "${2:?korvex}")
pty_printer=$(realpath "${3:?korvex-pty-printer}")
fwpack=$(realpath "${4:?korvex-fwpack}")
source=$(cd "$(dirname "$0")/../.." && pwd)
old=3.01.22 new=3.02.00

fail() { echo "FAILED: $*"; exit 1; }
command -v ansible-playbook >/dev/null || fail "ansible-playbook not found (scripts/bootstrap installs it)"

rm -rf "$scratch"
mkdir -p "$scratch/host"
sys="$scratch/sys" devroot="$scratch/dev"

. "$source/tests/linux/fake_sysfs.sh"  # plug, unplug

standins=()
stop_standins() {
  for pid in "${standins[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${standins[@]}"; do wait "$pid" 2>/dev/null || true; done
  standins=()
}
trap stop_standins EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# standin lpN ARGS...: a stand-in printer as lpN's device file; what it received goes to
# lpN.firmware when it ends, its words to lpN.log.
standin() {
  local lp=$1
  shift
  "$pty_printer" --link "$devroot/usb/$lp" --firmware "$scratch/$lp.firmware" "$@" \
    >"$scratch/$lp.log" 2>&1 &
  standins+=($!)
  for _ in $(seq 1 50); do [ -L "$devroot/usb/$lp" ] && return 0; sleep 0.1; done
  fail "the stand-in printer $lp did not start: $(cat "$scratch/$lp.log")"
}

# The image starts as the Orbis 300's do; the package is made for its product code.
image="$scratch/image.bin" package="$scratch/orbis300.kfw"
{ printf '\x1b'; head -c 262143 /dev/urandom; } >"$image"
"$fwpack" build-single --product-code KV30100A01 "$image" "$package" >/dev/null
image_size=$(stat -c %s "$image")

export ANSIBLE_HOME="$scratch/ansible-home" ANSIBLE_LOCAL_TEMP="$scratch/ansible-tmp"
export ANSIBLE_REMOTE_TEMP="$scratch/ansible-tmp" ANSIBLE_CONFIG="$scratch/ansible.cfg"
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_GATHERING=explicit ANSIBLE_PYTHON_INTERPRETER=auto_silent HOME="$scratch/home"
: >"$ANSIBLE_CONFIG"
printf '[korvex_printers]\nlocalhost ansible_connection=local\n' >"$scratch/inventory"
cat >"$scratch/vars.json" <<JSON
{"korvex_firmware_file": "$package", "korvex_firmware_version": "$new",
 "korvex_firmware_korvex_path": "$korvex", "korvex_firmware_verify_timeout": 30,
 "korvex_firmware_host_file": "$scratch/host/firmware.kfw",
 "korvex_firmware_environment": {"KORVEX_SYSFS": "$sys", "KORVEX_DEV": "$devroot"}}
JSON

# playbook RUN [EXTRA ARGS...]: runs the playbook, output in RUN.out; its exit status.
playbook() {
  local run=$1 status=0
  shift
  ansible-playbook -i "$scratch/inventory" "$source/ansible/upgrade-printers.yml" \
    -e "@$scratch/vars.json" "$@" </dev/null >"$scratch/$run.out" 2>&1 || status=$?
  echo "== $run: exit $status"
  sed -n '/^PLAY RECAP/,$p' "$scratch/$run.out"
  return "$status"
}
recap() { grep -E '^localhost +:' "$scratch/$1.out" || true; }
said() { grep -qF -- "$2" "$scratch/$1.out" || fail "$1: expected \"$2\" in: $(cat "$scratch/$1.out")"; }

# No printer yet: nothing to do, and no failure.
mkdir -p "$sys/class/usbmisc" "$sys/bus/usb/devices" "$sys/module/usblp" "$devroot/usb"
playbook none || fail "a host without printers failed: $(cat "$scratch/none.out")"
[[ $(recap none) =~ changed=0\ .*failed=0 ]] || fail "without printers: $(recap none)"
said none "no Korvex printer found"

plug lp0 4b56 015c OLD0001
plug lp1 4b56 015c NEW0001
standin lp0 --firmware-version "$old" --restart-after "$image_size" --restart-seconds 1 \
  --firmware-after "$new"
standin lp1 --firmware-version "$new"

# First run: lp0 upgraded and seen back on the new version, lp1 left alone.
playbook first || fail "the first run failed: $(cat "$scratch/first.out")"
[[ $(recap first) =~ changed=[1-9].*failed=0 ]] || fail "first run: $(recap first)"
said first "lp0 (OLD0001): $old -> $new, upgraded: firmware $old -> $new"
said first "lp1 (NEW0001): $new -> $new, current: already on the wanted version"
cmp -s "$package" "$scratch/host/firmware.kfw" || fail "the package was not copied to the host"

# Second run: both are current, nothing changes.
playbook second || fail "the second run failed: $(cat "$scratch/second.out")"
[[ $(recap second) =~ changed=0\ .*failed=0 ]] || fail "second run: $(recap second)"
said second "lp0 (OLD0001): $new -> $new, current"
said second "lp1 (NEW0001): $new -> $new, current"

# A package for another model: both printers are out of date for 9.99.99, korvex refuses it on
# each, and the host fails with their reasons.
other="$scratch/other.kfw"
"$fwpack" build-single --product-code KL10220B01 "$image" "$other" >/dev/null
if playbook third -e korvex_firmware_file="$other" -e korvex_firmware_version=9.99.99; then
  fail "a refused upgrade did not fail the host"
fi
[[ $(recap third) =~ failed=1 ]] || fail "third run: $(recap third)"
said third "korvex upgrade ended with 4: lp0: "
said third "; lp1: "

# What reached the printers: lp0 the image once, lp1 nothing.
stop_standins
cmp -s "$image" "$scratch/lp0.firmware" ||
  fail "lp0 received $(stat -c %s "$scratch/lp0.firmware") bytes, not the image once"
[ ! -s "$scratch/lp1.firmware" ] || fail "lp1 received firmware: $(cat "$scratch/lp1.log")"
cat "$scratch/lp0.log" "$scratch/lp1.log"
echo "passed"
