# The kernel benchmark's part of the guest (make bench-kernel): sourced by the kernel tests' /init
# (tests/kernel/guest_init.sh) in place of the cases, with its gadgets and helpers. korvex is an
# optimised build without sanitizers; the printers' side drains what it gets unless told a rate.
#   1. A 16 MiB raw image through usblp (korvex upgrade), through libusb (korvex --via libusb
#      upgrade) and with dd bs=4096 to the same /dev/usb/lp0, each in MiB/s and as a ratio to
#      dd: the best of five rounds, the three ways taking turns (the median beside it), each
#      timed whole, from the command's start to its end.
#   2. Four printers taking firmware at 2 MiB/s, 8 MiB each: korvex upgrade --all against one
#      printer alone, and korvex's peak resident memory (VmHWM) with one and with four.
# Plain numbers between "@@@ bench begin" and "@@@ bench end" on the console.
bench_image=$FILES/bench16.bin
fleet_image=$FILES/bench8.bin
rounds=5

# Seconds, with two decimals, between two now readings.
seconds() { awk -v a=$1 -v b=$2 'BEGIN { printf "%.2f", (b - a) / 100 }'; }
mib_per_s() { awk -v bytes=$1 -v t=$2 'BEGIN { printf "%.1f", bytes / 1048576 / t }'; }
ratio() { awk -v a=$1 -v b=$2 'BEGIN { printf "%.2f", a / b }'; }
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
best() { tr ' ' '\n' | grep . | sort -n | head -n 1; }

# korvex's highest VmHWM in KiB while it runs (the last reading before it ends), into $peak.
watch_memory() {  # PID
  peak=0
  local kib
  while [ -e /proc/$1 ] && running $1; do
    kib=$(awk '/^VmHWM:/ { print $2 }' /proc/$1/status 2>/dev/null)
    [ -z "$kib" ] || peak=$kib
    usleep 20000
  done
}

# A round of one way: the printer side started afresh, the image sent, its time in seconds on
# standard output; what arrived is checked, and a round that did not deliver it all says so.
send() {  # WAY
  printer g0
  usleep 300000  # its device open, as for every way
  local t0 t1 status=0
  t0=$(now)
  case $1 in
    dd) dd if=$bench_image of=/dev/usb/lp0 bs=4096 2> $dir/dd.err || status=$? ;;
    usblp) korvex upgrade $bench_image --printer lp0 < /dev/null > /dev/null 2> $dir/usblp.err ||
             status=$? ;;
    libusb) korvex --via libusb upgrade $bench_image --printer usb:1-1 < /dev/null > /dev/null \
              2> $dir/libusb.err || status=$? ;;
  esac
  t1=$(now)
  settle
  { kill $pid_g0; wait $pid_g0; } 2>/dev/null
  printers=""
  if [ $status != 0 ] || { [ $(wc -c < $bench_image) -gt 4096 ] && ! cmp -s $dir/g0/firmware $bench_image; }; then
    echo "bench: $1 failed (exit $status, $(wc -c < $dir/g0/firmware) bytes arrived)" >&2
    tail -n 5 $dir/$1.err >&2
  fi
  rm -f $dir/g0/firmware
  seconds $t0 $t1
}

bench_throughput() {
  begin bench_throughput
  plug g0
  local bytes=$(wc -c < $bench_image) round way dd="" usblp="" libusb=""
  for round in $(seq $rounds); do
    for way in dd usblp libusb; do
      eval "$way=\"\$$way \$(send $way)\""
      usblp_back > /dev/null || echo "bench: /dev/usb/lp0 did not come back after $way" >&2
    done
  done
  # What a run costs besides the transfer (start, the file's check, the printer's questions,
  # opening and closing): the same command with the image's first 4 KiB. The printer's side
  # keeps so short a piece as the start of a command it waits to see end, so only korvex's
  # exit code tells that it went.
  local small=$bench_image.4k small_usblp="" small_libusb=""
  head -c 4096 $bench_image > $small
  for round in 1 2 3; do
    for way in usblp libusb; do
      eval "small_$way=\"\$small_$way \$(bench_image=$small send $way)\""
      usblp_back > /dev/null
    done
  done
  echo "16 MiB raw image, $rounds rounds (seconds: dd$dd; usblp$usblp; libusb$libusb)"
  echo "a 4 KiB image, 3 rounds (seconds: usblp$small_usblp; libusb$small_libusb)"
  local kind way_dd way_usblp way_libusb
  for kind in best median; do
    way_dd=$(mib_per_s $bytes $(echo $dd | $kind))
    way_usblp=$(mib_per_s $bytes $(echo $usblp | $kind))
    way_libusb=$(mib_per_s $bytes $(echo $libusb | $kind))
    echo "$kind: dd bs=4096 to /dev/usb/lp0 $way_dd MiB/s;" \
      "korvex upgrade through usblp $way_usblp MiB/s, $(ratio $way_usblp $way_dd) of dd;" \
      "through libusb $way_libusb MiB/s, $(ratio $way_libusb $way_dd) of dd"
  done
  local fixed_usblp=$(echo $small_usblp | median) fixed_libusb=$(echo $small_libusb | median)
  way_dd=$(mib_per_s $bytes $(echo $dd | median))
  way_usblp=$(mib_per_s $bytes $(awk -v t=$(echo $usblp | median) -v f=$fixed_usblp 'BEGIN { print t - f }'))
  way_libusb=$(mib_per_s $bytes $(awk -v t=$(echo $libusb | median) -v f=$fixed_libusb 'BEGIN { print t - f }'))
  echo "median, korvex's time for a 4 KiB image taken off: usblp $way_usblp MiB/s," \
    "$(ratio $way_usblp $way_dd) of dd; libusb $way_libusb MiB/s, $(ratio $way_libusb $way_dd) of dd"
  unplug_all
}

# One fleet run: its time in seconds and korvex's peak memory in KiB, "SECONDS KIB".
fleet_run() {  # KORVEX ARGUMENTS...
  local t0 t1 pid
  t0=$(now)
  korvex "$@" < /dev/null > $dir/fleet.out 2> $dir/fleet.err &
  pid=$!
  watch_memory $pid
  wait $pid || echo "bench: korvex $* ended with $?" >&2
  t1=$(now)
  echo "$(seconds $t0 $t1) $peak"
}

bench_fleet() {
  begin bench_fleet
  # Four printers of this maker: the other maker's gadget made one too.
  echo 0x4b56 > $CONFIG/g2/idVendor
  echo 0x015c > $CONFIG/g2/idProduct
  echo ORB-300-C3 > $CONFIG/g2/strings/0x409/serialnumber
  local rate=2097152 one four g
  plug g0
  printer g0 --rate $rate
  one=$(fleet_run upgrade $fleet_image --printer lp0)
  settle
  { kill $printers; wait $printers; } 2>/dev/null; printers=""
  plug g1 g2 g3
  for g in g0 g1 g2 g3; do printer $g --rate $rate; done
  four=$(fleet_run upgrade $fleet_image --all)
  settle
  for g in g0 g1 g2 g3; do
    cmp -s $dir/$g/firmware $fleet_image || echo "bench: $g did not receive the image whole" >&2
  done
  { kill $printers; wait $printers; } 2>/dev/null; printers=""
  set -- $one $four
  echo "4 printers taking 8 MiB each at 2 MiB/s (the image alone: 4.0 s)"
  echo "one printer alone:        $1 s"
  echo "four with --all:          $3 s, $(ratio $3 $1) of one alone"
  echo "peak resident memory:     $2 KiB with one printer, $4 KiB with four"
  unplug_all
}

echo "@@@ bench begin"
insmod /lib/modules/usblp.ko
bench_throughput
bench_fleet
echo "@@@ bench end"
