# Sourced by the tests that run ansible/upgrade-printers.yml against stand-in printers on fake
# sysfs trees. Expects $scratch (emptied here), $pty_printer, $fwpack and $source; gives
# $inventory (the inventory file to write; host_vars/ beside it), $vars (extra vars, JSON), and
# the functions below. Ansible stays offline and out of the user's home, and never sees the
# real /sys or /dev.

fail() { echo "FAILED: $*"; exit 1; }
command -v ansible-playbook >/dev/null || fail "ansible-playbook not found (scripts/bootstrap installs it)"

rm -rf "$scratch"
mkdir -p "$scratch/host_vars"
inventory="$scratch/inventory" vars="$scratch/vars.json"

. "$source/tests/linux/fake_sysfs.sh"  # plug, unplug: on $sys and $devroot

standins=()
stop_standins() {
  for pid in "${standins[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${standins[@]}"; do wait "$pid" 2>/dev/null || true; done
  standins=()
}
trap stop_standins EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# standin DIR lpN ARGS...: a stand-in printer as DIR/dev/usb/lpN; what it received goes to
# DIR/lpN.firmware when it ends, its words to DIR/lpN.log.
standin() {
  local dir=$1 lp=$2
  shift 2
  "$pty_printer" --link "$dir/dev/usb/$lp" --firmware "$dir/$lp.firmware" "$@" \
    >"$dir/$lp.log" 2>&1 &
  standins+=($!)
  for _ in $(seq 1 50); do [ -L "$dir/dev/usb/$lp" ] && return 0; sleep 0.1; done
  fail "the stand-in printer $dir/$lp did not start: $(cat "$dir/$lp.log")"
}

# received DIR lpN FILE: the stand-in (ended) received FILE's bytes exactly once.
received() {
  cmp -s "$3" "$1/$2.firmware" ||
    fail "$1/$2 received $(stat -c %s "$1/$2.firmware") bytes, not $(basename "$3") once: $(cat "$1/$2.log")"
}
# untouched DIR lpN: the stand-in (ended) received no firmware byte.
untouched() {
  [ ! -s "$1/$2.firmware" ] || fail "$1/$2 received firmware: $(cat "$1/$2.log")"
}

# The image starts as the Orbis 300's do; the package is made for its product code.
# make_package BYTES: $image and $package of that size.
make_package() {
  image="$scratch/image.bin" package="$scratch/orbis300.kfw"
  { printf '\x1b'; head -c $(($1 - 1)) /dev/urandom; } >"$image"
  "$fwpack" build-single --product-code KV30100A01 "$image" "$package" >/dev/null
  image_size=$(stat -c %s "$image")
}

export ANSIBLE_HOME="$scratch/ansible-home" ANSIBLE_LOCAL_TEMP="$scratch/ansible-tmp"
export ANSIBLE_REMOTE_TEMP="$scratch/ansible-tmp" ANSIBLE_CONFIG="$scratch/ansible.cfg"
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_GATHERING=explicit ANSIBLE_PYTHON_INTERPRETER=auto_silent HOME="$scratch/home"
: >"$ANSIBLE_CONFIG"

# playbook RUN [EXTRA ARGS...]: runs the playbook, output in RUN.out; its exit status.
playbook() {
  local run=$1 status=0
  shift
  ansible-playbook -i "$inventory" "$source/ansible/upgrade-printers.yml" -e "@$vars" "$@" \
    </dev/null >"$scratch/$run.out" 2>&1 || status=$?
  echo "== $run: exit $status"
  sed -n '/^PLAY RECAP/,$p' "$scratch/$run.out"
  return "$status"
}
# recap RUN HOST: HOST's line of RUN's recap, empty where the play never reached it.
recap() { grep -E "^$2 +:" "$scratch/$1.out" || true; }
said() { grep -qF -- "$2" "$scratch/$1.out" || fail "$1: expected \"$2\" in: $(cat "$scratch/$1.out")"; }
