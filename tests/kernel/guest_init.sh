#!/bin/sh
# /init of the kernel tests' virtual machine: loads the USB modules, makes printer gadgets
# through configfs on dummy_hcd's controllers, each joined to the kernel's own usblp driver or
# reached through libusb and usbfs, and runs korvex against them, case by case. Each gadget's
# printer side is korvex-gadget-printer.
# A case's result goes to the console between two marker lines, for kernel_vm.sh to pick up;
# then the machine powers off.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /results
# Results only on the console: kernel messages go to dmesg, which a failed case shows.
dmesg -n 1

CONFIG=/sys/kernel/config/usb_gadget
FILES=/files
MiB=1048576

for module in usb-common usbcore udc-core; do insmod /lib/modules/$module.ko; done
# A controller per gadget: the four of the kernel's printer function and twenty of FunctionFS.
insmod /lib/modules/dummy_hcd.ko num=24
for module in configfs libcomposite usb_f_printer usb_f_fs; do insmod /lib/modules/$module.ko; done
mount -t configfs configfs /sys/kernel/config

# ---- Gadgets ----------------------------------------------------------------------------------
# gN and fN are printer gadgets for dummy_udc.N, so each on a USB bus of its own. Plugged in only
# for the cases that use them.
# gN: the kernel's printer function, whose printer side is /dev/g_printerN (the function
# instances are made in this order). It allows four printers at a time.
# fN: FunctionFS, mounted on /ffs/fN, where korvex-gadget-printer --functionfs makes the printer
# interface itself: any number of printers, and no zero-length packet after a reply block that
# fills its last packet, as many printers send none. Plugged in once its printer side is there.
make_device() {  # NAME VID PID SERIAL
  local g=$CONFIG/$1
  mkdir $g
  echo 0x$2 > $g/idVendor
  echo 0x$3 > $g/idProduct
  mkdir $g/strings/0x409
  echo Korvex > $g/strings/0x409/manufacturer
  [ -z "$4" ] || echo "$4" > $g/strings/0x409/serialnumber
  mkdir $g/configs/c.1
}
make_gadget() {  # NAME VID PID SERIAL
  local g=$CONFIG/$1
  make_device "$@"
  mkdir $g/functions/printer.0
  echo "MFG:Korvex;CMD:PJL;CLS:PRINTER;" > $g/functions/printer.0/pnp_string
  ln -s $g/functions/printer.0 $g/configs/c.1/
}
make_ffs_gadget() {  # NAME VID PID SERIAL
  local g=$CONFIG/$1
  make_device "$@"
  mkdir $g/functions/ffs.$1
  ln -s $g/functions/ffs.$1 $g/configs/c.1/
  mkdir -p /ffs/$1
  mount -t functionfs $1 /ffs/$1
}
make_gadget g0 4b56 015c ORB-300-A1  # Orbis 300, family 2
make_gadget g1 4b56 0022 ""          # KL-1020, family 1, no serial number
make_gadget g2 1234 5678 X1          # another maker's printer
make_gadget g3 4b56 015c ORB-300-B2  # a second Orbis 300
# A fleet of Orbis 300: f4 to f23, serial numbers FLEET-04 to FLEET-23.
fleet=""
for n in $(seq 4 23); do
  make_ffs_gadget f$n 4b56 015c FLEET-$(printf %02d $n)
  fleet="$fleet f$n"
done

# The controller of gadget gN or fN: N.
udc_of() { echo ${1#[gf]}; }
# The USB device of a gadget on the host's side, once enumerated.
usb_device() { ls -d /sys/devices/platform/dummy_hcd.$(udc_of $1)/usb*/*-1 2>/dev/null; }
# The lpM that usblp made for gadget gN.
lp_of() { ls "$(usb_device $1)"/*:1.0/usbmisc 2>/dev/null; }

# Plugs the gadgets in, one after the other, each waited for until the host has it (with usblp
# loaded: its /dev/usb/lpM), so that they get lp0, lp1, ... in this order.
plug() {
  local g tries
  for g in "$@"; do
    echo dummy_udc.$(udc_of $g) > $CONFIG/$g/UDC
    tries=0
    while :; do
      if [ -d /sys/module/usblp ]; then
        local lp=$(lp_of $g)
        [ -n "$lp" ] && [ -c /dev/usb/$lp ] && break
      else
        [ -f "$(usb_device $g)/idVendor" ] && break
      fi
      tries=$((tries + 1))
      [ $tries -lt 100 ] || { echo "gadget $g did not appear" >> $log; break; }
      usleep 100000
    done
  done
}

# As plug, for gadgets whose lpN does not matter: all plugged in first, then waited for.
plug_at_once() {
  local g tries=0
  for g in "$@"; do echo dummy_udc.$(udc_of $g) > $CONFIG/$g/UDC; done
  for g in "$@"; do
    while [ ! -c "/dev/usb/$(lp_of $g)" ] && [ $tries -lt 200 ]; do
      tries=$((tries + 1))
      usleep 100000
    done
  done
}

plugged() { [ -n "$(cat $CONFIG/$1/UDC)" ]; }
# Until the host has let go of the gadget's USB device, 5 s at most.
gone() {
  local tries=0
  while [ -n "$(usb_device $1)" ] && [ $tries -lt 50 ]; do
    tries=$((tries + 1))
    usleep 100000
  done
}

unplug_all() {
  local g tries=0
  for g in g0 g1 g2 g3 $fleet; do
    ! plugged $g || echo > $CONFIG/$g/UDC
  done
  while [ -n "$(ls /dev/usb 2>/dev/null)" ] && [ $tries -lt 100 ]; do
    tries=$((tries + 1))
    usleep 100000
  done
}

# ---- Cases ------------------------------------------------------------------------------------
# begin NAME: a fresh directory for the case, its log, and no failure yet.
begin() {
  case_name=$1
  dir=/results/$1
  log=$dir/log
  mkdir -p $dir
  : > $log
  failed=0
  printers=""
  started=$(now)
}

# Hundredths of a second since boot.
now() { awk '{ printf "%d", $1 * 100 }' /proc/uptime; }

# check DESCRIPTION COMMAND...: one check of the case, named in its log.
check() {
  local what=$1
  shift
  if "$@" >> $log 2>&1; then
    echo "ok   $what" >> $log
  else
    echo "FAIL $what" >> $log
    failed=1
  fi
}

# printer GADGET OPTIONS...: its printer side, keeping what it receives in $dir/GADGET. A
# FunctionFS printer ends its gadget's time on the bus when it ends; it is waited for until it
# has made its interface, 5 s at most, so that its gadget can be plugged in.
printer() {
  local g=$1 port tries=0
  shift
  case $g in
    f*) port="--functionfs /ffs/$g" ;;
    *) port="--device /dev/g_printer${g#g}" ;;
  esac
  mkdir -p $dir/$g
  korvex-gadget-printer $port --record $dir/$g --udc $CONFIG/$g/UDC "$@" 2> $dir/$g/stderr &
  printers="$printers $!"
  eval pid_$g=$!
  case $g in
    f*) while [ ! -e /ffs/$g/ep1 ] && [ $tries -lt 250 ]; do
          tries=$((tries + 1))
          usleep 20000
        done ;;
  esac
}

# run NAME ARGUMENTS...: korvex as root, without a terminal; NAME.out, NAME.err, NAME.exit. One
# that hangs is killed after 2 minutes, so that the cases after it still run.
run() {
  local name=$1
  shift
  timeout -s KILL 120 korvex "$@" < /dev/null > $dir/$name.out 2> $dir/$name.err
  echo $? > $dir/$name.exit
}
# start NAME ARGUMENTS...: as run, in the background (its process: $korvex); finish NAME waits.
start() {
  local name=$1
  shift
  korvex "$@" < /dev/null > $dir/$name.out 2> $dir/$name.err &
  korvex=$!
}
finish() {
  wait $korvex
  echo $? > $dir/$1.exit
}
# Whether a process runs; one that has ended is no longer running while it waits to be reaped.
running() {
  local stat
  read -r stat < /proc/$1/stat 2>/dev/null || return 1
  case $stat in *") Z "*) return 1 ;; esac
}
# while_korvex_runs COMMAND...: waits as long as korvex runs and COMMAND succeeds, 60 s at most.
while_korvex_runs() {
  local tries=0
  while running $korvex && "$@" && [ $tries -lt 3000 ]; do
    tries=$((tries + 1))
    usleep 20000
  done
}
# As run, as the user tester.
run_as_tester() {
  local name=$1
  shift
  timeout -s KILL 120 su tester -c "korvex $*" < /dev/null > $dir/$name.out 2> $dir/$name.err
  echo $? > $dir/$name.exit
}

exit_is() { [ "$(cat $dir/$1.exit)" = "$2" ] || { echo "exit $(cat $dir/$1.exit), not $2"; false; }; }
# has FILE TEXT: FILE holds TEXT (fixed string).
has() { grep -F -q -- "$2" "$1" || { echo "not in $1: $2"; false; }; }
not_has() { ! grep -F -q -- "$2" "$1" || { echo "in $1: $2"; false; }; }
# lines_are FILE: FILE is exactly the lines on standard input.
lines_are() { cat > $dir/expected; diff $dir/expected "$1"; }
# same FILE EXPECTED: byte for byte.
same() { cmp "$1" "$2" && return; echo "$(wc -c < "$1") bytes received, $(wc -c < "$2") expected"; false; }
# Whether usblp has gadget g0's printer (again): /dev/usb/lp0 is there, or comes within 2 s.
usblp_back() {
  local tries=0
  until [ -c /dev/usb/lp0 ]; do
    tries=$((tries + 1))
    [ $tries -lt 20 ] || { echo "no /dev/usb/lp0"; return 1; }
    usleep 100000
  done
}
# Until gadget g0 has taken firmware from korvex, 10 s at most.
until_firmware_flows() {
  local tries=0
  while [ "$(stat -c %s $dir/g0/firmware 2>/dev/null || echo 0)" = 0 ] && running $korvex &&
        [ $tries -lt 500 ]; do
    tries=$((tries + 1))
    usleep 20000
  done
}
# What korvex says of a printer node nobody but root may use.
udev_rule="The udev rule 60-korvex.rules (in /lib/udev/rules.d with the korvex package) gives Korvex printers to the group lp"

# Until the printers have taken what reached them (a write returns once its USB transfer is done,
# the printer side may read it a moment later): no record grows for 0.5 s.
settle() {
  local before="" after tries=0
  while [ $tries -lt 40 ]; do
    after=$(cat $dir/[gf]*/log 2>/dev/null | wc -c)
    [ "$after" = "$before" ] && return
    before=$after
    tries=$((tries + 1))
    usleep 500000
  done
}

# end: the printers stopped, the gadgets unplugged, the result on the console.
end() {
  settle
  [ -z "$printers" ] || kill $printers 2>/dev/null
  for pid in $printers; do wait $pid 2>/dev/null; done
  unplug_all
  local verdict=PASS
  [ $failed = 0 ] || verdict=FAIL
  echo "time: $(( ($(now) - started) / 100 )) s" >> $log
  if [ $failed != 0 ]; then
    for f in $dir/*.exit; do
      [ -f "$f" ] || continue
      local n=${f%.exit}
      echo "--- korvex ${n##*/}: exit $(cat $f)"; echo "--- stdout"; cat $n.out; echo "--- stderr"
      tail -n 30 $n.err
    done >> $log
    for g in $dir/[gf]*; do
      [ -d "$g" ] || continue
      echo "--- printer ${g##*/}: $(wc -c < $g/firmware) firmware bytes; log (last lines)"
      tail -n 8 $g/log; cat $g/stderr
    done >> $log
    echo "--- dmesg (last lines)" >> $log
    dmesg | tail -n 20 >> $log
  fi
  echo "@@@ case $case_name begin"
  cat $log
  echo "@@@ case $case_name end $verdict"
}

# Before usblp is loaded: the printer is on the bus, and korvex reaches it through libusb; told
# to take usblp's way, it says what is missing.
case_usblp_not_loaded() {
  begin usblp_not_loaded
  plug g0
  printer g0
  run list list
  check "exit 0" exit_is list 0
  check "listed through libusb" lines_are $dir/list.out <<EOF
usb:1-1  4B56:015C  Orbis 300 (4B56015C)  serial ORB-300-A1  via libusb
EOF
  run info info --printer usb:1-1
  check "info: exit 0" exit_is info 0
  check "info: the product code" has $dir/info.out "KV30100A01 (product code)"
  check "info: every field read" [ "$(wc -l < $dir/info.out)" = 7 ]
  run usblp --via usblp list
  check "through usblp: exit 3, no printer" exit_is usblp 3
  check "the module named" has $dir/usblp.err \
    "korvex: the printer 4b56:015c is connected, but the usblp kernel module is not loaded:"
  check "how to load it" has $dir/usblp.err "sudo modprobe usblp"
  end
}

# Each printer once, with its way: usblp where usblp has it, libusb where it has not (its
# interface unbound from usblp), and every one through libusb when told so.
case_list() {
  begin list
  plug g0 g1 g2
  echo 2-1:1.0 > /sys/bus/usb/drivers/usblp/unbind
  run list list
  check "exit 0" exit_is list 0
  check "two printers, a way each, and the other maker's device left out" \
    lines_are $dir/list.out <<EOF
lp0  4B56:015C  Orbis 300 (4B56015C)  serial ORB-300-A1  via usblp
usb:2-1  4B56:0022  KL-1020 (4B560022)  via libusb
lp2  left out: 1234:5678 is not a printer this program works with
EOF
  run json list --json
  check "JSON: the serial number from sysfs" has $dir/json.out '"serial": "ORB-300-A1"'
  check "JSON: the Linux device path" has $dir/json.out '"device_path": "/dev/usb/lp0"'
  check "JSON: the way" has $dir/json.out '"via": "libusb"'
  check "JSON: lp2 left out" has $dir/json.out '"reason": "1234:5678 is not a printer this program works with"'
  run libusb --via libusb list
  check "all through libusb" lines_are $dir/libusb.out <<EOF
usb:1-1  4B56:015C  Orbis 300 (4B56015C)  serial ORB-300-A1  via libusb
usb:2-1  4B56:0022  KL-1020 (4B560022)  via libusb
usb:3-1  left out: 1234:5678 is not a printer this program works with
EOF
  end
}

case_info_family1() {
  begin info_family1
  plug g1
  printer g1 --family 1
  run info info --printer lp0
  check "exit 0" exit_is info 0
  head -n 6 $dir/info.out > $dir/info.head
  check "the first six lines" lines_are $dir/info.head <<EOF
KL-1020 (4B560022)
1.20.07 (firmware)
KL10220B01 (product code)
00:1B:4B:56:00:22 (MAC address)
128 MB (memory)
KL-1020 boot 1.4 engine 1.20.07 (version)
EOF
  check "a device code of the model code 4B4C1022" \
    grep -q -x '4B4C1022-[0-9A-F]\{32\} (device code)' $dir/info.out
  check "seven lines" [ "$(wc -l < $dir/info.out)" = 7 ]
  run json info --printer lp0 --json
  check "JSON: exit 0" exit_is json 0
  check "JSON: family" has $dir/json.out '"protocol_family": 1'
  check "JSON: model code" has $dir/json.out '"model_code": "4B4C1022"'
  check "JSON: no field missing" has $dir/json.out '"errors": {}'
  end
}

# The version text is a reply block of 3000 bytes: usblp hands it over as 1024 + 1024 + 952. Its
# first line, the filler, is left out; the rest lies in the last piece.
case_info_family2() {
  begin info_family2
  plug g0
  printer g0 --version-text-bytes 3000
  run info info
  check "exit 0" exit_is info 0
  head -n 6 $dir/info.out > $dir/info.head
  check "the first six lines, the version text's last line read" lines_are $dir/info.head <<EOF
Orbis 300 (4B56015C)
3.01.22 (firmware)
KV30100A01 (product code)
00:1B:4B:56:01:2C (MAC address)
256 MB (memory)
build 2291 Orbis firmware 3.01.22 (2023-05-14) (version)
EOF
  check "a device code of the model code 0000012D" \
    grep -q -x '0000012D-[0-9A-F]\{32\} (device code)' $dir/info.out
  run json info --json
  check "JSON: exit 0" exit_is json 0
  check "JSON: version text" has $dir/json.out '"version_text": "build 2291 Orbis firmware 3.01.22 (2023-05-14)"'
  check "JSON: family" has $dir/json.out '"protocol_family": 2'
  check "JSON: no field missing" has $dir/json.out '"errors": {}'
  end
}

# Before each reply, two blocks that are not the reply (the tail of an earlier one, another
# command's header): each is a USB transfer of its own, so a read of its own, and passed over.
case_stray_blocks() {
  begin stray_blocks
  plug g0
  printer g0 --stray 2
  run info info
  check "exit 0" exit_is info 0
  check "the product code" has $dir/info.out "KV30100A01 (product code)"
  check "the version text" has $dir/info.out "Orbis firmware 3.01.22 (2023-05-14) (version)"
  check "every field read" [ "$(wc -l < $dir/info.out)" = 7 ]
  end
}

# Blocks that fill usblp's 1024-byte read buffer exactly, once and twice. The gadget ends such a
# transfer with a zero-length packet, which usblp hands to the read after the block as a read
# of 0 bytes: the next run on the same printer must not take it for the printer's answer.
case_info_whole_blocks() {
  begin info_whole_blocks
  plug g0
  for bytes in 1024 2048; do
    printer g0 --version-text-bytes $bytes
    run info$bytes info --json
    run again$bytes info --json
    kill $pid_g0; wait $pid_g0
    for name in info$bytes again$bytes; do
      check "$name: exit 0" exit_is $name 0
      check "$name: version text" has $dir/$name.out \
        '"version_text": "build 2291 Orbis firmware 3.01.22 (2023-05-14)"'
      check "$name: no field missing" has $dir/$name.out '"errors": {}'
    done
  done
  end
}

# Blocks of 1024 and 2048 bytes, which fill their last 512-byte packet (dummy_hcd's bus is high
# speed), and one byte over 1024, each queried RUNS times in a row. A query that takes 5 s or
# more has had a read wait out its time-out after the block had come.
whole_blocks() {  # GADGET PRINTER WAY RUNS KORVEX_OPTIONS...
  local g=$1 printer=$2 way=$3 runs=$4 bytes name t0 took
  shift 4
  for bytes in 1024 1025 2048; do
    printer $g --version-text-bytes $bytes
    plugged $g || plug $g
    for name in $way$bytes $([ $runs = 1 ] || echo $way$bytes.again); do
      t0=$(now)
      run $name "$@" info --printer $printer --json
      took=$(( $(now) - t0 ))
      check "$name: exit 0" exit_is $name 0
      check "$name: version text" has $dir/$name.out \
        '"version_text": "build 2291 Orbis firmware 3.01.22 (2023-05-14)"'
      check "$name: no field missing" has $dir/$name.out '"errors": {}'
      check "$name: no read waited out its time-out ($took/100 s)" [ $took -lt 500 ]
    done
    eval "kill \$pid_$g; wait \$pid_$g"
    # A FunctionFS gadget leaves the bus with its printer side.
    case $g in f*) gone $g ;; esac
  done
}
# Through libusb. The kernel's printer function ends a block that fills its last packet with a
# zero-length packet: after a read that took the whole block, that packet comes first; so too for
# the next run, which finds it waiting. It must not be taken for the printer's answer.
case_info_whole_blocks_libusb() {
  begin info_whole_blocks_libusb
  plug g0
  whole_blocks g0 usb:1-1 libusb 2 --via libusb
  end
}
# A printer that sends no zero-length packet after such a block (a FunctionFS gadget): its last
# packet ends the block. Through usblp, whose reads of 1024 bytes end there anyway, and libusb.
case_info_whole_blocks_no_zlp() {
  begin info_whole_blocks_no_zlp
  whole_blocks f4 lp0 usblp 1
  whole_blocks f4 usb:5-1 libusb 1 --via libusb
  end
}

case_upgrade_single_image() {
  begin upgrade_single_image
  plug g1
  printer g1 --family 1
  run upgrade upgrade $FILES/kl1020.kfw --printer lp0
  check "exit 0" exit_is upgrade 0
  settle
  check "the image arrived byte for byte" same $dir/g1/firmware $FILES/kl1020.bin
  end
}

case_upgrade_multi_part() {
  begin upgrade_multi_part
  plug g0
  printer g0
  run upgrade upgrade $FILES/orbis.kmp --printer lp0
  check "exit 0" exit_is upgrade 0
  settle
  check "both parts arrived byte for byte" same $dir/g0/firmware $FILES/orbis.kmp.bin
  end
}

case_upgrade_raw_image() {
  begin upgrade_raw_image
  plug g0
  printer g0
  run upgrade upgrade $FILES/raw.bin --printer lp0
  check "exit 0" exit_is upgrade 0
  settle
  check "the file arrived as it is" same $dir/g0/firmware $FILES/raw.bin
  end
}

case_damaged_package() {
  begin damaged_package
  plug g0
  printer g0
  run upgrade upgrade $FILES/damaged.kfw --printer lp0
  check "exit 4" exit_is upgrade 4
  check "the reason" has $dir/upgrade.err "A firmware block cannot be unpacked."
  settle
  check "no firmware byte sent" [ "$(wc -c < $dir/g0/firmware)" = 0 ]
  end
}

case_upgrade_all() {
  begin upgrade_all
  plug g0 g3
  printer g0
  printer g3
  run all upgrade $FILES/orbis.kfw --all
  check "exit 0" exit_is all 0
  # The table: printer, serial, seconds, result; then the count.
  sed -E 's/^(lp[0-9]+ +[^ ]+ +)[0-9]+\.[0-9] +/\1S  /' $dir/all.out > $dir/all.table
  check "a line per printer and the summary" lines_are $dir/all.table <<EOF
PRINTER  SERIAL      SECONDS  RESULT
lp0      ORB-300-A1  S  Orbis 300 (4B56015C)  upgraded (exit 0)
lp1      ORB-300-B2  S  Orbis 300 (4B56015C)  upgraded (exit 0)
2 printers: 2 upgraded, 0 not; exit 0
EOF
  settle
  check "the first printer's image" same $dir/g0/firmware $FILES/orbis.bin
  check "the second printer's image" same $dir/g3/firmware $FILES/orbis.bin
  end
}

# Twenty printers at once, more than the window program's printer menu holds: korvex lists each
# of them, as text and as JSON, and sends each the whole image. FunctionFS printers: the kernel's
# printer function allows four at a time.
case_fleet() {
  begin fleet
  local g t0=$(now) took
  for g in $fleet; do printer $g; done
  plug_at_once $fleet
  took=$(( $(now) - t0 ))
  check "twenty printers plugged in ($took/100 s)" [ $(ls /dev/usb | wc -l) = 20 ]
  # Each with its own lpN, in no set order: the controllers enumerate side by side.
  for g in $fleet; do
    printf "%s  4B56:015C  Orbis 300 (4B56015C)  serial FLEET-%02d  via usblp\n" $(lp_of $g) \
      $(udc_of $g)
  done | sort > $dir/expected.list
  run list list
  check "list: exit 0" exit_is list 0
  sort $dir/list.out > $dir/list.sorted
  check "list: the twenty printers, each once" diff $dir/expected.list $dir/list.sorted
  run json list --json
  check "JSON: exit 0" exit_is json 0
  check "JSON: the twenty printers" [ "$(grep -c '"serial": "FLEET-[0-9]*"' $dir/json.out)" = 20 ]
  run libusb --via libusb list --json
  check "through libusb: exit 0" exit_is libusb 0
  check "through libusb: the twenty printers" \
    [ "$(grep -c '"via": "libusb"' $dir/libusb.out)" = 20 ]
  t0=$(now)
  run all upgrade $FILES/orbis.kfw --all
  took=$(( $(now) - t0 ))
  check "upgrade: exit 0 ($took/100 s)" exit_is all 0
  check "upgrade: a line per printer" \
    [ "$(grep -c '^lp[0-9]* *FLEET-[0-9]* .* upgraded (exit 0)$' $dir/all.out)" = 20 ]
  check "upgrade: the summary" has $dir/all.out "20 printers: 20 upgraded, 0 not; exit 0"
  settle
  for g in $fleet; do
    check "$g: the image arrived byte for byte" same $dir/$g/firmware $FILES/orbis.bin
  done
  end
}

# Hundredths of a second since boot at each change of whether the host has gadget g0 (its USB
# device and its /dev/usb/lpN), "0" when it went, "1" when it came back; until $dir/stop is there.
watch_g0() {
  local was=1 is
  while [ ! -e $dir/stop ]; do
    is=0
    [ -n "$(lp_of g0)" ] && [ -c /dev/usb/$(lp_of g0) ] && is=1
    [ $is = $was ] || echo "$(now) $is" >> $dir/presence
    was=$is
    usleep 5000
  done
}
# A printer that restarts quickly on its new firmware: 0.3 s after the last byte its gadget leaves
# the bus and is plugged in again 100 ms later, less than korvex's look for it every 200 ms.
# korvex --verify must see it back all the same, on its new version. What tells the host's two
# enumerations apart: the USB device number, which the restart changes; usblp gives the printer
# the same lpN again. (The host is without the printer longer than the gadget is away: it takes
# the new device in after the hub's debounce, its reset and the enumeration.)
case_restart_verify() {
  begin restart_verify
  plug g0
  local before=$(cat $(usb_device g0)/devnum) lp=$(lp_of g0)
  printer g0 --restart-after $(wc -c < $FILES/orbis.bin) --install-ms 300 --restart-ms 100 \
    --firmware-after 3.02.00
  : > $dir/presence
  watch_g0 &
  local watcher=$! t0=$(now)
  run upgrade upgrade $FILES/orbis.kfw --printer $lp --verify --verify-timeout 20
  local took=$(( $(now) - t0 ))
  touch $dir/stop
  wait $watcher
  check "exit 0 ($took/100 s)" exit_is upgrade 0
  local went=$(grep ' 0$' $dir/presence) came=$(grep ' 1$' $dir/presence) away="?"
  [ "$(wc -l < $dir/presence)" != 2 ] || [ -z "$went" ] || [ -z "$came" ] ||
    away=$(( (${came% *} - ${went% *}) * 10 ))
  check "the host without it once, for $away ms" [ "$away" != "?" ]
  check "back on its new firmware" has $dir/upgrade.out "firmware 3.01.22 -> 3.02.00"
  check "restarted once: $(grep '^back' $dir/g0/log)" \
    [ "$(grep -c '^restarting' $dir/g0/log)" = 1 ]
  settle
  check "the image arrived byte for byte" same $dir/g0/firmware $FILES/orbis.bin
  local after=$(cat $(usb_device g0)/devnum) lp_after=$(lp_of g0)
  check "another USB device number: $before, then $after" [ -n "$after" -a "$after" != "$before" ]
  check "the same node: $lp, then $lp_after" [ "$lp_after" = "$lp" ]
  end
}

# The printer leaves the bus halfway through a 1 MiB image.
# The bytes korvex reported sent (bytes_sent of its --json result) against the bytes the printer
# received: the same, but for the one transfer that was under way when it ended (usblp's are of
# its buffer, 8 KiB; libusb's of 4 KiB). usblp may fail a write whose transfer went through when
# the printer has left the bus by the time the writer wakes: that one is not counted.
reported_sent() { sed -n 's/.*"bytes_sent": \([0-9]*\).*/\1/p' "$1" | head -n 1; }
within_one_transfer() {  # REPORTED RECEIVED [TRANSFER_BYTES]
  local transfer=${3:-4096}
  [ -n "$1" ] && [ $(($1 - $2)) -le $transfer ] && [ $(($2 - $1)) -le $transfer ] && return
  echo "reported $1, received $2"
  false
}

# The gadget's printer side is started before it is plugged in, as a FunctionFS one needs.
unplugged_midway() {  # GADGET TRANSFER_BYTES KORVEX ARGUMENTS...
  local g=$1 transfer=$2 gone_after=$((MiB / 2 + 1000))
  shift 2
  printer $g --unplug-after $gone_after
  plug $g
  start upgrade "$@" --json
  while_korvex_runs plugged $g
  local unplugged=$(now)
  finish upgrade
  local after=$(( $(now) - unplugged ))
  check "exit 5: part of the firmware is in the printer" exit_is upgrade 5
  check "the reason" has $dir/upgrade.err "Sending the firmware to the printer failed."
  check "ended within 5 s of the unplug ($after/100 s)" [ $after -lt 500 ]
  local received=$(wc -c < $dir/$g/firmware)
  check "it took about as much as it was to take ($received bytes)" \
    [ $received -ge $gone_after -a $received -lt $((gone_after + 65536)) ]
  head -c $received $FILES/large.bin > $dir/expected.bin
  check "what it took is the image's beginning" same $dir/$g/firmware $dir/expected.bin
  local reported=$(reported_sent $dir/upgrade.out)
  check "the bytes reported sent ($reported) are those received ($received)" \
    within_one_transfer "$reported" $received $transfer
}
# A FunctionFS gadget: the device takes bytes only as its printer side reads them, so what the
# printer received is what the host's transfers moved, and what korvex counts as sent must be
# exactly that. (The kernel's printer function queues transfers of its own beyond what its
# printer side has read, which an unplug loses.)
case_unplugged_midway() {
  begin unplugged_midway
  unplugged_midway f4 8192 upgrade $FILES/large.kfw --printer lp0
  end
}
case_unplugged_midway_libusb() {
  begin unplugged_midway_libusb
  unplugged_midway f4 4096 --via libusb upgrade $FILES/large.kfw --printer usb:5-1
  end
}

# Through libusb, firmware pieces are in flight several at a time: the image still arrives byte
# for byte, and a printer of the older family answers every question.
case_libusb_upgrade_and_family1() {
  begin libusb_upgrade_and_family1
  plug g0 g1
  printer g0
  printer g1 --family 1
  run upgrade --via libusb upgrade $FILES/large.kfw --printer usb:1-1
  check "upgrade: exit 0" exit_is upgrade 0
  run info --via libusb info --printer usb:2-1
  check "KL-1020 info: exit 0" exit_is info 0
  check "KL-1020 info: its name and firmware" has $dir/info.out "1.20.07 (firmware)"
  check "KL-1020 info: seven lines" [ "$(wc -l < $dir/info.out)" = 7 ]
  settle
  check "upgrade: the image arrived byte for byte" same $dir/g0/firmware $FILES/large.bin
  end
}

# A second Ctrl+C in the middle of a transfer through libusb ends every piece in flight: exit 5,
# and the bytes reported sent are those the printer received, but for the piece under way. What
# the printer took is the image's beginning; and no piece was cancelled while one submitted after
# it was still queued (a preloaded library watches the cancels): the host controller could have
# moved that one in its place, and left a hole.
case_interrupted_twice_libusb() {
  begin interrupted_twice_libusb
  local watch=/usr/lib/libkorvex-cancel-order.so
  check "the library that watches the cancels is at hand" [ -f $watch ]
  printer f4 --rate 524288
  plug f4
  # korvex in the foreground, as in interrupted_upgrade: a background job ignores Ctrl+C.
  (
    tries=0
    while [ "$(stat -c %s $dir/f4/firmware 2>/dev/null || echo 0)" -lt 131072 ] &&
          [ $tries -lt 1500 ]; do
      tries=$((tries + 1))
      usleep 20000
    done
    kill -INT $(pidof korvex)
    usleep 300000
    kill -INT $(pidof korvex)
  ) &
  LD_PRELOAD=$watch korvex --via libusb upgrade $FILES/large.kfw --printer usb:5-1 --json \
    < /dev/null > $dir/upgrade.out 2> $dir/upgrade.err
  echo $? > $dir/upgrade.exit
  wait $!
  check "exit 5" exit_is upgrade 5
  check "the warning, then the stop" has $dir/upgrade.err "stopped by a second Ctrl+C"
  settle
  local reported=$(reported_sent $dir/upgrade.out) received=$(wc -c < $dir/f4/firmware)
  check "some firmware, not all ($received bytes)" \
    [ $received -gt 0 -a $received -lt $(wc -c < $FILES/large.bin) ]
  check "the bytes reported sent ($reported) are those received ($received)" \
    within_one_transfer "$reported" $received
  head -c $received $FILES/large.bin > $dir/expected.bin
  check "what it took is the image's beginning" same $dir/f4/firmware $dir/expected.bin
  check "the pieces were cancelled from the newest" not_has $dir/upgrade.err "korvex-cancel-order"
  usleep 500000
  check "usblp has the printer again" [ -c "/dev/usb/$(lp_of f4)" ]
  end
}

case_silent_printer() {
  begin silent_printer
  plug g0
  printer g0 --silent
  local t0=$(now)
  run info info
  local took=$(( $(now) - t0 ))
  check "exit 1" exit_is info 1
  check "the reason" has $dir/info.err "Communication with the printer failed."
  check "after the 5-second read time-out ($took/100 s)" [ $took -ge 500 -a $took -lt 1500 ]
  check "the first question asked once" [ "$(grep -c bytes $dir/g0/log)" = 1 ]
  end
}

# devtmpfs makes /dev/usb/lpN root's, 0600; udev would give it the group lp, 0660. Left out, the
# printer's reason says that joining a group would not help, and names the udev rule.
case_permissions() {
  begin permissions
  plug g0
  printer g0
  run_as_tester denied list
  check "tester: exit 3" exit_is denied 3
  check "tester: lp0 left out, root's alone" has $dir/denied.out \
    "lp0  left out: 4b56:015c: you may not read and write /dev/usb/lp0, which is root's alone."
  check "tester: the udev rule and the group named" has $dir/denied.out "$udev_rule"
  chgrp lp /dev/usb/lp0
  chmod 0660 /dev/usb/lp0
  sed -i 's/^lp:x:7:$/lp:x:7:tester/' /etc/group
  run_as_tester allowed info
  sed -i 's/^lp:x:7:tester$/lp:x:7:/' /etc/group
  check "tester in group lp: exit 0" exit_is allowed 0
  check "tester in group lp: the information" has $dir/allowed.out "KV30100A01 (product code)"
  end
}

# The same through libusb: /dev/bus/usb/BBB/DDD is root's alone too. With both nodes in the group
# lp, as the udev rule makes them, a user of the group detaches usblp and gives it back.
case_permissions_libusb() {
  begin permissions_libusb
  plug g0
  printer g0
  local node=/dev/bus/usb/001/$(printf %03d $(cat $(usb_device g0)/devnum))
  run_as_tester denied --via libusb list
  check "tester: exit 3" exit_is denied 3
  check "tester: usb:1-1 left out, root's alone" has $dir/denied.out \
    "usb:1-1  left out: 4b56:015c: you may not read and write $node, which is root's alone."
  check "tester: the udev rule and the group named" has $dir/denied.out "$udev_rule"
  chgrp lp $node /dev/usb/lp0
  chmod 0660 $node /dev/usb/lp0
  sed -i 's/^lp:x:7:$/lp:x:7:tester/' /etc/group
  run_as_tester allowed --via libusb info
  sed -i 's/^lp:x:7:tester$/lp:x:7:/' /etc/group
  check "tester in group lp: exit 0" exit_is allowed 0
  check "tester in group lp: the information" has $dir/allowed.out "KV30100A01 (product code)"
  check "usblp has the printer again" usblp_back
  end
}

# Told to take libusb's way to a printer that usblp has, korvex detaches usblp for the operation
# and gives the printer back to it afterwards: after an information query, after an upgrade,
# and when Ctrl+C ends korvex in the middle of a query (outside an upgrade, as from a terminal).
case_libusb_forced() {
  begin libusb_forced
  plug g0
  printer g0
  run info --via libusb info --printer usb:1-1
  check "info: exit 0" exit_is info 0
  check "info: every field read" [ "$(wc -l < $dir/info.out)" = 7 ]
  check "info: usblp has the printer again" usblp_back
  run upgrade --via libusb upgrade $FILES/raw.bin --printer usb:1-1
  check "upgrade: exit 0" exit_is upgrade 0
  settle
  check "upgrade: the file arrived as it is" same $dir/g0/firmware $FILES/raw.bin
  check "upgrade: usblp has the printer again" usblp_back
  kill $pid_g0; wait $pid_g0
  printer g0 --silent
  # Once usblp is detached (4 s at most), korvex waits for the silent printer's answer.
  (
    tries=0
    while [ -e /dev/usb/lp0 ] && [ $tries -lt 200 ]; do tries=$((tries + 1)); usleep 20000; done
    [ -e /dev/usb/lp0 ] && echo "lp0 there" > $dir/meanwhile || echo "lp0 gone" > $dir/meanwhile
    usleep 200000
    kill -INT $(pidof korvex)
  ) &
  korvex --via libusb info < /dev/null > $dir/interrupted.out 2> $dir/interrupted.err
  echo $? > $dir/interrupted.exit
  wait $!
  check "Ctrl+C: usblp was detached while korvex waited for the answer" has $dir/meanwhile "lp0 gone"
  check "Ctrl+C: korvex ended by it" exit_is interrupted 130
  check "Ctrl+C: no information reported" [ ! -s $dir/interrupted.out ]
  check "Ctrl+C: usblp has the printer again" usblp_back
  end
}

# A printer another program holds is explained and left alone. While korvex sends firmware
# through usblp, a korvex told to take libusb's way does not detach usblp from under it; while
# korvex sends firmware through libusb, the interface is claimed, and another korvex leaves it
# out. A raw image at 192 KiB/s: about 5 s of transfer, no file check before it.
case_held_by_another_program() {
  begin held_by_another_program
  plug g0
  printer g0 --rate 196608
  start usblp upgrade $FILES/large.bin --printer lp0
  until_firmware_flows
  run second --via libusb info
  finish usblp
  check "the second korvex: exit 1" exit_is second 1
  check "the second korvex: in use by another program" has $dir/second.err "in use by another program"
  check "through usblp: exit 0" exit_is usblp 0
  settle
  check "through usblp: the image arrived byte for byte" same $dir/g0/firmware $FILES/large.bin
  kill $pid_g0; wait $pid_g0
  # Not the first image's record: until_firmware_flows would take it for the second's.
  rm $dir/g0/firmware
  printer g0 --rate 196608
  start libusb --via libusb upgrade $FILES/large.bin --printer usb:1-1
  until_firmware_flows
  run list list
  finish libusb
  check "another korvex: left out, held through libusb" has $dir/list.out \
    "usb:1-1  left out: 4b56:015c: another program holds its printer interface through libusb"
  check "through libusb: exit 0" exit_is libusb 0
  settle
  check "through libusb: the image arrived byte for byte" same $dir/g0/firmware $FILES/large.bin
  check "usblp has the printer again" usblp_back
  end
}

# Ctrl+C during an upgrade: a warning, and the transfer goes on untouched. usblp's blocking write
# ends with EINTR when a signal comes, also after its USB transfer was submitted; that piece has
# gone out and must not be written again.
interrupted_upgrade() {  # FILE EXPECTED
  plug g0
  printer g0 --rate 524288
  # korvex in the foreground, as from a terminal: a shell starts a background job with SIGINT
  # ignored, and korvex keeps a signal ignored that it was started with. The signal comes once
  # the printer has taken some firmware, however long korvex took to get there.
  (
    tries=0
    while [ "$(stat -c %s $dir/g0/firmware 2>/dev/null || echo 0)" -lt 65536 ] &&
          [ $tries -lt 1500 ]; do
      tries=$((tries + 1))
      usleep 20000
    done
    stat -c %s $dir/g0/firmware > $dir/taken
    kill -INT $(pidof korvex)
  ) &
  korvex upgrade $1 --printer lp0 < /dev/null > $dir/upgrade.out 2> $dir/upgrade.err
  echo $? > $dir/upgrade.exit
  wait $!
  local taken=$(cat $dir/taken)
  check "Ctrl+C during the transfer ($taken bytes taken by then)" \
    [ $taken -gt 0 -a $taken -lt $(wc -c < $2) ]
  check "exit 0" exit_is upgrade 0
  check "the warning" has $dir/upgrade.err "press Ctrl+C again to interrupt it all the same"
  settle
  check "every byte arrived exactly once" same $dir/g0/firmware $2
}
case_interrupted_multi_part() {
  begin interrupted_multi_part
  interrupted_upgrade $FILES/slow.kmp $FILES/slow.kmp.bin
  end
}
case_interrupted_single_image() {
  begin interrupted_single_image
  interrupted_upgrade $FILES/large.kfw $FILES/large.bin
  end
}

# usblp admits one open at a time: while korvex sends firmware, any other open is refused. Tried
# over and over from the first firmware byte the printer took until the last 256 KiB (what the
# gadget's queue and the last block may hold: korvex may be done by then), about 3 s at this rate.
case_second_open_refused() {
  begin second_open_refused
  plug g0
  printer g0 --rate 262144
  start upgrade upgrade $FILES/large.kfw --printer lp0
  local last=$(( $(wc -c < $FILES/large.bin) - 262144 )) taken=0 attempts=0 opened=0
  while [ $taken -lt $last ] && running $korvex; do
    if [ $taken -gt 0 ]; then
      ( : > /dev/usb/lp0 ) 2>> $dir/opens.err && opened=$((opened + 1))
      attempts=$((attempts + 1))
    fi
    taken=$(stat -c %s $dir/g0/firmware 2>/dev/null || echo 0)
  done
  finish upgrade
  check "opens during the transfer: $attempts, all refused ($opened opened)" \
    [ $attempts -ge 5 -a $opened = 0 ]
  check "refused as busy" has $dir/opens.err "Device or resource busy"
  check "korvex: exit 0" exit_is upgrade 0
  settle
  check "the image arrived byte for byte" same $dir/g0/firmware $FILES/large.bin
  end
}

# The package's udev rule applied by Debian's own udevadm (udevadm test: the rules run on the
# device as its event would run them) to the printer's USB device, which korvex opens through
# libusb, and to usblp's /dev/usb/lpN: each goes to the group lp with mode 0660 and is tagged
# for the user at the seat.
case_udev_rule() {
  begin udev_rule
  mkdir -p /run/udev
  plug g0
  local device=$(usb_device g0) lp=$(lp_of g0)
  udevadm test --action=add $device > $dir/usb.out 2>&1
  echo $? > $dir/usb.exit
  udevadm test --action=add /sys/class/usbmisc/$lp > $dir/lp.out 2>&1
  echo $? > $dir/lp.exit
  local what node
  for what in usb lp; do
    check "$what: udevadm test ran" exit_is $what 0
    node=$(sed -n 's/^DEVNAME=//p' $dir/$what.out | tail -n 1)
    check "$what: the rule was read" has $dir/$what.out 60-korvex.rules
    check "$what: tagged uaccess" grep -q '^TAGS=.*:uaccess:' $dir/$what.out
    check "$what: $node to the group lp, mode 0660" \
      [ "$(stat -c '%G %a' "$node" 2>/dev/null)" = "lp 660" ]
  done
  # Another maker's printer is none of the rule's business: its device stays root's alone.
  plug g2
  udevadm test --action=add $(usb_device g2) > $dir/other.out 2>&1
  node=$(sed -n 's/^DEVNAME=//p' $dir/other.out | tail -n 1)
  check "another maker's $node stays root's" [ "$(stat -c '%G %a' "$node")" = "root 600" ]
  check "another maker's device is not tagged" not_has $dir/other.out uaccess
  [ $failed = 0 ] || cat $dir/usb.out $dir/lp.out $dir/other.out >> $log
  end
}

# A printer's conversation recorded through usblp (korvex --record), then replayed by the gadget
# printer (--replay): korvex asks it the same, byte for byte, and hears the same; and a recording
# kept in the repository, made on a pty stand-in, replayed as well. The replay's summary is
# DIR/replay: every request as recorded ("N of N"), none differing.
replayed_whole() {  # replayed_whole DIR
  awk 'NF == 9 && $2 == $4 && $2 > 0 && $8 == "0" { ok = 1 } END { exit !ok }' $1/replay ||
    { cat $1/replay; false; }
}
# replay_printer GADGET NAME RECORDING: a printer side that replays RECORDING, keeping what it
# receives in DIR/NAME (named after the gadget, as the other printers' records are).
replay_printer() {
  mkdir -p $dir/$2
  korvex-gadget-printer --device /dev/g_printer${1#g} --record $dir/$2 --udc $CONFIG/$1/UDC \
    --replay $3 2> $dir/$2/stderr &
  replaying=$!
  printers="$printers $replaying"
}
# Once the printers have taken what reached them: the replaying one stopped.
stop_replay_printer() {
  settle
  kill $replaying 2>/dev/null
  wait $replaying 2>/dev/null
}
same_firmware_events() {
  grep '"event":"firmware"' $dir/upgrade.jsonl > $dir/firmware.usblp
  grep '"event":"firmware"' $dir/libusb.jsonl > $dir/firmware.libusb
  [ "$(wc -l < $dir/firmware.usblp)" = 1 ] && same $dir/firmware.libusb $dir/firmware.usblp
}
case_replay() {
  begin replay
  plug g0 g1
  printer g0
  run info --record $dir/info.jsonl info --printer lp0
  run upgrade --record $dir/upgrade.jsonl upgrade $FILES/orbis.kfw --printer lp0
  check "recorded: exit 0 and 0" [ "$(cat $dir/info.exit $dir/upgrade.exit)" = "$(printf '0\n0')" ]
  check "recorded through usblp" has $dir/info.jsonl '"way":"usblp","id":"lp0"'
  # Through libusb, whose pieces are in flight eight at a time: the same firmware, the same
  # length and SHA-256 as through usblp's writes.
  run libusb --via libusb --record $dir/libusb.jsonl upgrade $FILES/orbis.kfw --printer usb:1-1
  check "recorded through libusb: exit 0" exit_is libusb 0
  check "recorded through libusb" has $dir/libusb.jsonl '"way":"libusb","id":"usb:1-1"'
  check "one firmware event, the same both ways" same_firmware_events
  usblp_back
  settle
  kill $pid_g0
  wait $pid_g0 2>/dev/null

  replay_printer g0 g0-info $dir/info.jsonl
  run info_replayed info --printer lp0
  stop_replay_printer
  check "info replayed: exit 0" exit_is info_replayed 0
  check "info replayed: what korvex heard then" same $dir/info_replayed.out $dir/info.out
  check "info replayed: every request as recorded" replayed_whole $dir/g0-info

  replay_printer g0 g0-upgrade $dir/upgrade.jsonl
  run upgrade_replayed upgrade $FILES/orbis.kfw --printer lp0
  stop_replay_printer
  check "upgrade replayed: exit 0" exit_is upgrade_replayed 0
  check "upgrade replayed: every request as recorded" replayed_whole $dir/g0-upgrade
  check "upgrade replayed: the image taken" same $dir/g0-upgrade/firmware $FILES/orbis.bin

  # Recorded on a pty stand-in that delivered each block as usblp does, now through usblp.
  replay_printer g1 g1-kept $FILES/info_family1_redacted.jsonl
  run kept info --printer lp1
  stop_replay_printer
  check "kept recording: exit 0" exit_is kept 0
  check "kept recording: the stand-in MAC address" grep -q '^02:.* (MAC address)$' $dir/kept.out
  check "kept recording: every request as recorded" replayed_whole $dir/g1-kept
  end
}


# ---- The window program's transfer under Wine ----------------------------------------------------
# The host's own Wine runs in here: the host's root, shared read-only over virtio-9p, is the root
# of these cases (chroot), with this machine's proc, sys and dev, a tmpfs /tmp, and the Wine
# prefix made for them on the host under an overlay whose changes stay in memory. The printer's
# side stays in the initramfs. kernel_vm.sh says where everything is in /wine.conf (host paths),
# or why these cases are skipped.
HOST=/host
wine_state=""  # "up", or why Wine cannot run here
[ ! -f /wine.conf ] || . /wine.conf

wine_up() {
  [ -z "$wine_state" ] || { [ "$wine_state" = up ]; return; }
  if [ -n "${WINE_SKIP:-}" ] || [ -z "${WINE_BUILD:-}" ]; then
    wine_state=${WINE_SKIP:-"no Wine set up for this boot"}
    return 1
  fi
  local module
  for module in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs \
                fscache 9pnet 9pnet_virtio 9p overlay; do
    insmod /lib/modules/$module.ko 2> /dev/null
  done
  mkdir -p $HOST /overlay
  if ! mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot $HOST; then
    wine_state="the host's root cannot be mounted over virtio-9p"
    return 1
  fi
  mount -t proc proc $HOST/proc
  mount -t sysfs sysfs $HOST/sys
  mount -t devtmpfs devtmpfs $HOST/dev
  mkdir -p $HOST/dev/shm $HOST/dev/pts
  mount -t tmpfs tmpfs $HOST/dev/shm
  # Wine and the launcher write to /tmp: a tmpfs of the guest's own, which hides the host's /tmp.
  # A tree that lives there on the host (a clone built in /tmp) is bound back at its own path.
  mkdir -p /host-tmp
  mount -o bind $HOST/tmp /host-tmp
  mount -t tmpfs tmpfs $HOST/tmp
  local path top
  for path in "$WINE_SOURCE" "$WINE_BUILD" "$WINE_PREFIX" "$WINE_GUARD" "$WINE_SIGNALS" \
              "$WINE_FILES"; do
    case $path in /tmp/?*) ;; *) continue ;; esac
    top=${path#/tmp/}
    top=${top%%/*}
    [ ! -e "$HOST/tmp/$top" ] || continue
    if [ -d "/host-tmp/$top" ]; then mkdir "$HOST/tmp/$top"; else touch "$HOST/tmp/$top"; fi
    if ! mount -o bind "/host-tmp/$top" "$HOST/tmp/$top"; then
      wine_state="the host's /tmp/$top cannot be bound into the guest's /tmp"
      return 1
    fi
  done
  mount -t tmpfs tmpfs /overlay
  mkdir -p /overlay/upper /overlay/work
  if ! mount -t overlay overlay \
         -o lowerdir=$HOST$WINE_PREFIX,upperdir=/overlay/upper,workdir=/overlay/work \
         $HOST$WINE_PREFIX; then
    wine_state="no overlay over the Wine prefix"
    return 1
  fi
  # Wine reads each section of a program that is not aligned to pages with one pread(), and over
  # 9p a read of msize bytes or more comes back short: the rest of the section would stay zero.
  # The program runs from this machine's /tmp.
  cp $HOST$WINE_BUILD/tests/kernel/korvex-wine-upgrade.exe $HOST/tmp/
  # One server for every case, started without the guard: a Wine process costs seconds here, the
  # first one of a server (its session's start-up) about forty. The writes that matter are the
  # program's own; the launcher gives the guard to every process it starts.
  in_host wineserver -p
  wine_state=up
}

# in_host COMMAND...: in the host's root, as the user root with a plain environment.
in_host() {
  chroot $HOST /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
    USER=root LOGNAME=root WINEPREFIX="$WINE_PREFIX" WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree=;mshtml=" "$@"
}

# The Windows path of a host file, as Wine's drive Z: has it.
windows_path() { echo "Z:$1" | sed 's|/|\\|g'; }

# launch NAME "FILE..." [VARIABLE=VALUE...]: scripts/korvex-linux starts korvex-wine-upgrade.exe
# on the printers usblp has here, to upgrade from each FILE (of WINE_FILES) in turn, with the
# program's settings; NAME.out, NAME.err and NAME.exit as for korvex. In the background (its
# process: $launcher); landed NAME waits for it, 3 minutes at most.
launch() {
  local name=$1 files="" file
  for file in $2; do files="$files${files:+;}$(windows_path "$WINE_FILES/$file")"; done
  shift 2
  in_host KORVEX_BUILD="$WINE_BUILD" KORVEX_WINEPREFIX="$WINE_PREFIX" KORVEX_PREFIX_READY=1 \
    KORVEX_PROGRAM=/tmp/korvex-wine-upgrade.exe \
    KORVEX_USBLP_GUARD_DIR="$WINE_GUARD" KORVEX_TEST_FIRMWARE="$files" \
    "$@" "$WINE_SOURCE/scripts/korvex-linux" < /dev/null > $dir/$name.out 2> $dir/$name.err &
  launcher=$!
}
landed() {
  local tries=0
  while running $launcher && [ $tries -lt 1800 ]; do
    tries=$((tries + 1))
    usleep 100000
  done
  running $launcher && kill -KILL $launcher
  wait $launcher
  echo $? > $dir/$1.exit
}

# A Wine case begins: gadget g0 (an Orbis 300) as lp0, taking firmware at 128 KiB/s as a printer's
# flash might, or the case's verdict is SKIP with the reason Wine cannot run here.
wine_begin() {
  begin $1
  if ! wine_up; then
    echo "skipped: $wine_state" >> $log
    echo "@@@ case $1 begin"
    cat $log
    echo "@@@ case $1 end SKIP"
    return 1
  fi
  plug g0
  printer g0 --rate 131072
}

# upgraded NAME: the launcher ended with the program's 0 after it found the printer through the
# bridge with the guard loaded, and the printer has the single-image package's image and the
# two-part package's parts one after the other, every byte once.
upgraded() {
  check "$1: exit 0" exit_is $1 0
  check "$1: the printer found through the bridge" has $dir/$1.out \
    'printer: \\?\usb#vid_4b56&pid_015c#orb-300-a1#'
  check "$1: the guard loaded" has $dir/$1.out "usblp write guard: x86_64"
  settle
  cat $FILES/wine.bin $FILES/wine.kmp.bin > $dir/expected.bin
  check "$1: every byte arrived exactly once" same $dir/g0/firmware $dir/expected.bin
}

# A single-image package of eight blocks, then a two-part package: the window program opens the
# printer for every block and part and closes it after, and the guard's blocking writes return
# only once usblp's transfers are done.
case_wine_upgrade() {
  wine_begin wine_upgrade || return
  launch upgrade "wine.kfw wine.kmp"
  landed upgrade
  upgraded upgrade
  end
}

# The same with signals in Wine's threads all through the transfers. A terminal's Ctrl+C again and
# again: SIGINT to every thread of the Wine process every 250 ms, which the program takes with a
# console control handler. And Wine's own: another thread of the program suspends the upgrade's
# thread and reads its context over and over, for which the server sends it SIGUSR1 and stops it
# with ptrace. A signal pending, or a stop, while usblp waits for a transfer would end the write
# with EINTR after the transfer was submitted, and Wine would write the piece again.
case_wine_signals() {
  wine_begin wine_signals || return
  local stop=/tmp/stop-signals
  rm -f $HOST$stop
  launch signals "wine.kfw wine.kmp" KORVEX_TEST_DISTURB=suspend,ctrl-c
  until_firmware_flows_for $launcher
  in_host "$WINE_SIGNALS" 2 250 korvex-wine-upgrade.exe $stop > $dir/sigint 2>&1 &
  local signaller=$!
  landed signals
  touch $HOST$stop
  wait $signaller
  check "SIGINT sent: $(cat $dir/sigint)" grep -q '^[1-9][0-9]* signals 2 sent to' $dir/sigint
  check "Ctrl+C taken by the program: $(grep Ctrl+C $dir/signals.out)" \
    grep -q '^Ctrl+C taken [1-9][0-9]* times' $dir/signals.out
  check "the upgrade's thread suspended: $(grep suspended $dir/signals.out)" \
    grep -q '^upgrade thread suspended [1-9][0-9]* times' $dir/signals.out
  upgraded signals
  end
}

# Without the guard (not where the launcher looks for it) the program refuses before it sends
# anything, and says how firmware reaches this printer.
case_wine_refused_without_guard() {
  wine_begin wine_refused_without_guard || return
  launch refused wine.kfw KORVEX_USBLP_GUARD_DIR=/nonexistent
  landed refused
  check "exit 4" exit_is refused 4
  check "the launcher says the guard is missing" has $dir/refused.err "no usblp write guard"
  check "the refusal" has $dir/refused.out \
    "refused: Firmware upgrades of this printer go through korvex upgrade FILE."
  settle
  check "nothing reached the printer" [ ! -s $dir/g0/firmware ]
  check "no packet either" [ "$(grep -c bytes $dir/g0/log)" = 0 ]
  end
}

# The single-image run with no guard and no refusal, to see what the guard prevents: the printer
# does not get the image whole, while the program believes it sent everything. A control, run
# only when KORVEX_KERNEL_CASES names it: whether a close comes while a transfer is still under
# way depends on the guest's timing, and in some runs every byte arrives all the same.
control_wine_without_guard() {
  wine_begin wine_without_guard || return
  launch bare wine.kfw KORVEX_USBLP_GUARD_DIR=/nonexistent KORVEX_TEST_FLOOR=skip
  landed bare
  settle
  echo "without the guard: $(wc -c < $dir/g0/firmware) of $(wc -c < $FILES/wine.bin) bytes" \
    "arrived; $(cmp $dir/g0/firmware $FILES/wine.bin 2>&1 | head -n 1)" >> $log
  check "the program believed it sent everything" exit_is bare 0
  check "the image did not arrive whole" differs $dir/g0/firmware $FILES/wine.bin
  end
}

differs() { ! cmp -s "$1" "$2"; }

# Until gadget g0 has taken firmware, while the process runs, 60 s at most.
until_firmware_flows_for() {
  local tries=0
  while [ "$(stat -c %s $dir/g0/firmware 2>/dev/null || echo 0)" = 0 ] && running $1 &&
        [ $tries -lt 3000 ]; do
    tries=$((tries + 1))
    usleep 20000
  done
}

# The cases KORVEX_KERNEL_CASES chose (kernel_vm.sh), or all of them.
chosen=""
[ ! -f /cases ] || chosen=$(cat /cases)
run_case() {
  [ -z "$chosen" ] || case " $chosen " in *" $1 "*) ;; *) return ;; esac
  case_$1
}

echo "@@@ guest up $(uname -r)"
if [ -f /bench.sh ]; then
  # make bench-kernel: the benchmark in place of the cases.
  . /bench.sh
else
  run_case usblp_not_loaded
  insmod /lib/modules/usblp.ko
  for name in list info_family1 info_family2 stray_blocks info_whole_blocks \
              info_whole_blocks_libusb info_whole_blocks_no_zlp upgrade_single_image \
              upgrade_multi_part upgrade_raw_image damaged_package upgrade_all fleet \
              restart_verify unplugged_midway unplugged_midway_libusb \
              libusb_upgrade_and_family1 interrupted_twice_libusb silent_printer permissions \
              permissions_libusb libusb_forced held_by_another_program interrupted_multi_part \
              interrupted_single_image second_open_refused udev_rule replay wine_upgrade \
              wine_signals wine_refused_without_guard; do
    run_case $name
  done
  case " $chosen " in *" wine_without_guard "*) control_wine_without_guard ;; esac
fi
echo "@@@ guest done"
poweroff -f
