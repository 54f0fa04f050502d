#!/usr/bin/env bash
# The playbook ansible/upgrade-printers.yml on this machine as its one host, against a fake sysfs
# tree under the build tree with stand-in printers: lp0 on an old version, which restarts on the
# new one once it has taken the package's image, and lp1 already on the new one; lp2 comes later.
# korvex runs through a wrapper that notes what each upgrade was given: the file's directory
# and digest, and the arguments.
#   ansible_test.sh SCRATCH KORVEX PTY_PRINTER FWPACK
set -euo pipefail
scratch=$(realpath -m "${1:?scratch directory}")
korvex=$(realpath "${2:?korvex}")
pty_printer=$(realpath "${3:?korvex-pty-printer}")
fwpack=$(realpath "${4:?korvex-fwpack}")
source=$(cd "$(dirname "$0")/../.." && pwd)
old=3.01.22 new=3.02.00

. "$source/tests/ansible/playbook_test.sh"
sys="$scratch/sys" devroot="$scratch/dev" temp="$scratch/tmp"
mkdir -p "$temp"
make_package 262144
digest=$(sha256sum <"$package" | cut -d' ' -f1)
wrong=$(sha256sum <"$image" | cut -d' ' -f1)

cat >"$scratch/korvex" <<WRAPPER
#!/usr/bin/env bash
if [ "\$1" = upgrade ]; then
  echo "\$(stat -c %a "\$(dirname "\$2")") \$(dirname "\$2") \$(sha256sum <"\$2" | cut -d' ' -f1) \$*" \\
    >>"$scratch/upgrades.log"
fi
exec "$korvex" "\$@"
WRAPPER
chmod +x "$scratch/korvex"
# given: what the last korvex upgrade was given, as "MODE DIRECTORY SHA256 ARGUMENTS...".
given() { tail -n 1 "$scratch/upgrades.log" 2>/dev/null; }
# cleaned RUN: the private directory of RUN's copy is gone, and nothing else was left.
cleaned() {
  local dir
  dir=$(given | cut -d' ' -f2)
  [ -n "$dir" ] && [ ! -e "$dir" ] || fail "$1: the firmware's directory $dir is still there"
  [ -z "$(ls -A "$temp")" ] || fail "$1: left in the temporary directory: $(ls -A "$temp")"
}

printf '[korvex_printers]\nlocalhost ansible_connection=local\n' >"$inventory"
cat >"$vars" <<JSON
{"korvex_firmware_file": "$package", "korvex_firmware_version": "$new",
 "korvex_firmware_korvex_path": "$scratch/korvex", "korvex_firmware_verify_timeout": 30,
 "korvex_firmware_temp_parent": "$temp",
 "korvex_firmware_environment": {"KORVEX_SYSFS": "$sys", "KORVEX_DEV": "$devroot"}}
JSON

# No printer yet: nothing to do, and no failure.
mkdir -p "$sys/class/usbmisc" "$sys/bus/usb/devices" "$sys/module/usblp" "$devroot/usb"
playbook none || fail "a host without printers failed: $(cat "$scratch/none.out")"
[[ $(recap none localhost) =~ changed=0\ .*failed=0 ]] || fail "without printers: $(recap none localhost)"
said none "no Korvex printer found"

plug lp0 4b56 015c OLD0001
plug lp1 4b56 015c NEW0001
standin "$scratch" lp0 --firmware-version "$old" --restart-after "$image_size" \
  --restart-seconds 1 --firmware-after "$new"
standin "$scratch" lp1 --firmware-version "$new"

# First run: lp0 upgraded and seen back on the new version, lp1 left alone. korvex was given
# the package itself, in a directory only its user enters, which is gone afterwards.
playbook first || fail "the first run failed: $(cat "$scratch/first.out")"
[[ $(recap first localhost) =~ changed=[1-9].*failed=0 ]] || fail "first run: $(recap first localhost)"
said first "lp0 (OLD0001): $old -> $new, upgraded: firmware $old -> $new"
said first "lp1 (NEW0001): $new -> $new, current: already on the wanted version"
read -r mode dir sum _ < <(given)
[ "$mode" = 700 ] && [ "$(dirname "$dir")" = "$temp" ] ||
  fail "the firmware's directory was $dir, mode $mode: $(given)"
[ "$sum" = "$digest" ] || fail "korvex was given another file than the package: $(given)"
[[ $(given) != *--expect-sha256* ]] || fail "a digest was passed though none was pinned: $(given)"
cleaned first

# Second run: both are current, nothing changes; the pinned digest is the package's, so the
# controller lets it through though no printer needs it.
playbook second -e korvex_firmware_sha256="${digest^^}" ||
  fail "the second run failed: $(cat "$scratch/second.out")"
[[ $(recap second localhost) =~ changed=0\ .*failed=0 ]] || fail "second run: $(recap second localhost)"
said second "lp0 (OLD0001): $new -> $new, current"
said second "lp1 (NEW0001): $new -> $new, current"

# A package for another model: both printers are out of date for 9.99.99, korvex refuses it on
# each, and the host fails with their reasons; the copy goes all the same.
other="$scratch/other.kfw"
"$fwpack" build-single --product-code KL10220B01 "$image" "$other" >/dev/null
if playbook third -e korvex_firmware_file="$other" -e korvex_firmware_version=9.99.99; then
  fail "a refused upgrade did not fail the host"
fi
[[ $(recap third localhost) =~ failed=1 ]] || fail "third run: $(recap third localhost)"
said third "korvex upgrade ended with 4: lp0: "
said third "; lp1: "
cleaned third

# The right package for 9.99.99 (both printers would take it) pinned to another digest: the
# controller refuses it before the host is asked anything.
calls=$(wc -l <"$scratch/upgrades.log")
if playbook pinned -e korvex_firmware_version=9.99.99 -e korvex_firmware_sha256="$wrong"; then
  fail "a file with another digest than the pinned one did not fail the host"
fi
[[ $(recap pinned localhost) =~ failed=1 ]] || fail "pinned run: $(recap pinned localhost)"
said pinned "$package has SHA-256 $digest, not the pinned $wrong (korvex_firmware_sha256): no printer was touched"
[ "$(wc -l <"$scratch/upgrades.log")" = "$calls" ] || fail "korvex upgrade ran: $(given)"
[ -z "$(ls -A "$temp")" ] || fail "pinned: left in the temporary directory: $(ls -A "$temp")"

# The same past the controller's check: korvex itself refuses the copy, and says why.
if playbook pinned-host -e korvex_firmware_version=9.99.99 -e korvex_firmware_sha256="$wrong" \
     --skip-tags korvex_firmware_controller_check; then
  fail "korvex upgraded with a file whose digest is not the pinned one"
fi
[[ $(given) == *"--expect-sha256 $wrong "* ]] || fail "the pinned digest was not passed: $(given)"
said pinned-host "korvex upgrade ended with 4: "
grep -qiE 'ended with 4: .*sha-?256' "$scratch/pinned-host.out" ||
  fail "korvex's refusal does not name the digest: $(cat "$scratch/pinned-host.out")"
cleaned pinned-host

# A third printer, upgraded with the digest pinned: korvex takes it and is told it.
plug lp2 4b56 015c OLD0002
standin "$scratch" lp2 --firmware-version "$old" --restart-after "$image_size" \
  --restart-seconds 1 --firmware-after "$new"
playbook fourth -e korvex_firmware_sha256="$digest" ||
  fail "an upgrade with the right digest pinned failed: $(cat "$scratch/fourth.out")"
said fourth "lp2 (OLD0002): $old -> $new, upgraded"
[[ $(given) == *"--expect-sha256 $digest "* ]] || fail "the pinned digest was not passed: $(given)"
cleaned fourth

# What reached the printers: lp0 and lp2 the image once, lp1 nothing; the refusals sent nothing.
stop_standins
received "$scratch" lp0 "$image"
received "$scratch" lp2 "$image"
untouched "$scratch" lp1
cat "$scratch/lp0.log" "$scratch/lp1.log" "$scratch/lp2.log"
echo "passed"
