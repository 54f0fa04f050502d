# Sourced by the shell tests that run korvex or the launcher on a fake sysfs tree: $sys is the
# tree, $devroot the directory standing for /dev. Never the real /sys or /dev.

# plug lpN VID PID [SERIAL]: a USB printer as sysfs shows it once usblp has taken its interface
# (the device file apart).
plug() {
  local port=$((${1#lp} + 1))
  local device="devices/pci0000:00/0000:00:14.0/usb1/1-$port"
  local interface="$device/1-$port:1.0"
  mkdir -p "$sys/$interface/usbmisc/$1" "$sys/class/usbmisc" "$sys/bus/usb/devices" \
    "$sys/module/usblp" "$devroot/usb"
  echo "$2" >"$sys/$device/idVendor"
  echo "$3" >"$sys/$device/idProduct"
  [ -z "${4:-}" ] || echo "$4" >"$sys/$device/serial"
  echo 07 >"$sys/$interface/bInterfaceClass"
  echo 02 >"$sys/$interface/bInterfaceProtocol"
  ln -s "../../../1-$port:1.0" "$sys/$interface/usbmisc/$1/device"
  ln -s "../../$interface/usbmisc/$1" "$sys/class/usbmisc/$1"
  ln -s "../../../$device" "$sys/bus/usb/devices/1-$port"
}

# unplug lpN: the printer's usblp node and device file gone.
unplug() { rm -rf "$sys/class/usbmisc/$1" "$devroot/usb/$1"; }
