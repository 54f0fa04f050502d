#!/usr/bin/env bash
# ansible-lint's production profile over the playbook and the role of ansible/, offline, with its
# cache, Ansible's home and HOME in the scratch directory: nothing read from or left in the user's
# home, and nothing fetched. Exit 77 (skipped) only where ansible-lint is not installed.
#   ansible_lint.sh SCRATCH
set -euo pipefail
scratch=$(realpath -m "${1:?scratch directory}")
source=$(cd "$(dirname "$0")/../.." && pwd)

if ! command -v ansible-lint >/dev/null; then
  echo "skipped: ansible-lint not found (Debian's package ansible-lint; scripts/bootstrap installs it)"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/home"
export HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" XDG_CONFIG_HOME="$scratch/config"
export ANSIBLE_HOME="$scratch/ansible-home" ANSIBLE_LOCAL_TEMP="$scratch/ansible-tmp"
export ANSIBLE_CONFIG="$scratch/ansible.cfg" NO_COLOR=1
: >"$ANSIBLE_CONFIG"
cd "$source/ansible"
ansible-lint --version
exec ansible-lint --offline --nocolor --profile production upgrade-printers.yml roles/korvex_firmware
