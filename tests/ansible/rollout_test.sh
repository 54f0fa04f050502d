#!/usr/bin/env bash
# The playbook ansible/upgrade-printers.yml rolling out over three hosts of an inventory, each a
# local connection with its own fake sysfs tree and stand-in printers (host vars give each its
# KORVEX_SYSFS and KORVEX_DEV), in the default batches: host1 alone, then host2 and host3.
# First host1 has a printer that takes the firmware and never comes back: the rollout stops
# there, and host2's and host3's printers get no byte. In batches of two and one, host2's does
# not come back: host3 is not reached. Then every printer comes back: all three hosts are
# upgraded, host1 first.
#   rollout_test.sh SCRATCH KORVEX PTY_PRINTER FWPACK
set -euo pipefail
scratch=$(realpath -m "${1:?scratch directory}")
korvex=$(realpath "${2:?korvex}")
pty_printer=$(realpath "${3:?korvex-pty-printer}")
fwpack=$(realpath "${4:?korvex-fwpack}")
source=$(cd "$(dirname "$0")/../.." && pwd)
old=3.01.22 new=3.02.00
hosts=(host1 host2 host3)

. "$source/tests/ansible/playbook_test.sh"
make_package 65536

printf '[korvex_printers]\n' >"$inventory"
for host in "${hosts[@]}"; do
  dir="$scratch/$host"
  mkdir -p "$dir/tmp"
  echo "$host ansible_connection=local" >>"$inventory"
  cat >"$scratch/host_vars/$host.yml" <<YAML
korvex_firmware_environment:
  KORVEX_SYSFS: $dir/sys
  KORVEX_DEV: $dir/dev
korvex_firmware_temp_parent: $dir/tmp
YAML
  sys="$dir/sys" devroot="$dir/dev"
  plug lp0 4b56 015c "${host^^}A"
done
sys="$scratch/host3/sys" devroot="$scratch/host3/dev"
plug lp1 4b56 015c HOST3B
cat >"$vars" <<JSON
{"korvex_firmware_file": "$package", "korvex_firmware_version": "$new",
 "korvex_firmware_korvex_path": "$korvex", "korvex_firmware_verify_timeout": 3}
JSON

# printers [HOST ARGS...]: every host's lp0 on the old version, restarting on the new one once
# it has the image, HOST's with ARGS too; host3's lp1 already on the new version.
printers() {
  local odd=${1:-} host
  shift || true
  for host in "${hosts[@]}"; do
    rm -f "$scratch/$host/"*.firmware
    standin "$scratch/$host" lp0 --firmware-version "$old" --restart-after "$image_size" \
      --restart-seconds 1 --firmware-after "$new" $([ "$host" != "$odd" ] || echo "$@")
  done
  standin "$scratch/host3" lp1 --firmware-version "$new"
}
# no_copy_left RUN: no host keeps the firmware's private directory.
no_copy_left() {
  for host in "${hosts[@]}"; do
    [ -z "$(ls -A "$scratch/$host/tmp")" ] ||
      fail "$1: $host kept $(ls -A "$scratch/$host/tmp") after the run"
  done
}

# The canary's printer is not seen back: korvex ends with 6 there, host1 fails naming it, and
# the rollout stops before host2 and host3.
printers host1 --never-back
if playbook canary; then fail "a canary whose printer did not come back did not fail"; fi
[[ $(recap canary host1) =~ failed=1 ]] || fail "canary run, host1: $(recap canary host1)"
for host in host2 host3; do
  [ -z "$(recap canary $host)" ] || fail "canary run: $host was reached: $(recap canary $host)"
done
said canary "lp0 (HOST1A): $old -> ?, "
said canary "\"msg\": \"korvex upgrade ended with 6: lp0: "
said canary "Not reached, their printers untouched: host2, host3."
no_copy_left canary
stop_standins
received "$scratch/host1" lp0 "$image"
untouched "$scratch/host2" lp0
untouched "$scratch/host3" lp0
untouched "$scratch/host3" lp1

# Batches of two hosts, then one: host2's printer is not seen back, and though host1 in the same
# batch was upgraded, host3 is not reached.
printers host2 --never-back
if playbook wider -e '{"korvex_rollout_batches": [2, 1]}'; then
  fail "a batch with a printer that did not come back did not fail"
fi
[[ $(recap wider host1) =~ changed=[1-9].*failed=0 ]] || fail "wider run, host1: $(recap wider host1)"
[[ $(recap wider host2) =~ failed=1 ]] || fail "wider run, host2: $(recap wider host2)"
[ -z "$(recap wider host3)" ] || fail "wider run: host3 was reached: $(recap wider host3)"
said wider "The rollout stops at host2: korvex upgrade ended with 6: lp0: "
said wider "Not reached, their printers untouched: host3."
no_copy_left wider
stop_standins
received "$scratch/host1" lp0 "$image"
received "$scratch/host2" lp0 "$image"
untouched "$scratch/host3" lp0
untouched "$scratch/host3" lp1

# Every printer comes back: host1 alone in the first batch, the two others in the second.
printers
playbook rollout || fail "the rollout failed: $(cat "$scratch/rollout.out")"
for host in "${hosts[@]}"; do
  [[ $(recap rollout $host) =~ changed=[1-9].*failed=0 ]] ||
    fail "rollout, $host: $(recap rollout $host)"
  said rollout "lp0 (${host^^}A): $old -> $new, upgraded: "
done
said rollout "lp1 (HOST3B): $new -> $new, current"
batches=$(awk '/^PLAY \[/ { batch++ } /^(ok|changed): \[host[0-9]\]/ {
  match($0, /host[0-9]/); print batch, substr($0, RSTART, RLENGTH) }' "$scratch/rollout.out" |
  sort -u | awk '{ hosts[$1] = hosts[$1] " " $2 } END { for (b in hosts) print b ":" hosts[b] }' |
  sort)
[ "$batches" = "1: host1
2: host2 host3" ] || fail "the batches were not host1 then host2 and host3: $batches"
no_copy_left rollout
stop_standins
for host in "${hosts[@]}"; do received "$scratch/$host" lp0 "$image"; done
untouched "$scratch/host3" lp1
echo "passed"
