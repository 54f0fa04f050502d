#!/usr/bin/env bash
# The release files of dist/ as a user gets them (make dist before the tests):
#   dist_test.sh deb DIST SCRATCH FWPACK        the Debian package unpacked into a scratch root:
#                                               its korvex tells the package's version, checks a
#                                               package, says that no printer is there; its
#                                               dependencies computed; SHA256SUMS holds
#   dist_test.sh zip-run ZIP SCRATCH WINE_RUN   korvex.exe from the zip, under Wine
#   dist_test.sh zip-static ZIP SCRATCH CHECKER ARCH
#                                               the window program from the zip, as a file: PE
#                                               header, icons, manifest, version block
set -euo pipefail
mode=${1:?mode}
fail() { echo "FAILED: $*"; exit 1; }

unzip_to() {  # unzip_to ZIP DIR: the zip's one folder, as a path
  [ -f "$1" ] || fail "no $1: make dist first"
  rm -rf "$2" && mkdir -p "$2"
  python3 -m zipfile -e "$1" "$2"
  local folder=("$2"/*)
  [ ${#folder[@]} = 1 ] && [ "${folder[0]##*/}" = "$(basename "$1" .zip)" ] ||
    fail "the zip holds not one folder named after it: ${folder[*]}"
  echo "${folder[0]}"
}

case "$mode" in
  deb)
    dist=${2:?dist} scratch=${3:?scratch} fwpack=${4:?fwpack}
    debs=("$dist"/korvex_*_amd64.deb)
    [ -f "${debs[0]}" ] && [ ${#debs[@]} = 1 ] || fail "not one korvex_*_amd64.deb in $dist: make dist first"
    deb=${debs[0]}
    (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"
    rm -rf "$scratch" && mkdir -p "$scratch"
    root="$scratch/root"
    dpkg-deb -x "$deb" "$root"
    korvex="$root/usr/bin/korvex"

    # One version: the file name, the package, the program.
    version=$(dpkg-deb -f "$deb" Version)
    [ "$(basename "$deb")" = "korvex_${version}_amd64.deb" ] || fail "$deb is not version $version"
    [ "$("$korvex" --version)" = "korvex $version" ] || fail "korvex --version: $("$korvex" --version)"
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == *libc6* && $depends == *libnettle8* && $depends == *zlib1g* &&
       $depends == *libusb-1.0-0* ]] || fail "dependencies not computed from the binary: $depends"
    for file in usr/share/man/man1/korvex.1.gz usr/share/doc/korvex/README.md \
                usr/share/doc/korvex/exit-codes.txt; do
      [ -s "$root/$file" ] || fail "no $file in the package"
    done

    # The udev rule: for each vendor korvex admits (internal strings 50-53), the USB device
    # (libusb) and /dev/usb/lpN (usblp) to the group lp, 0660, and to the user at the seat.
    rule="$root/lib/udev/rules.d/60-korvex.rules"
    [ -s "$rule" ] || fail "no lib/udev/rules.d/60-korvex.rules in the package"
    table="$(dirname "$0")/../../resources/tables/internal_strings.txt"
    vendors=$(sed -n 's/^5[0-3] = id_\([0-9a-f]\{4\}\)&pid_$/\1/p' "$table")
    [ "$(wc -w <<<"$vendors")" = 4 ] || fail "not four admitted vendors in $table: $vendors"
    for vendor in $vendors; do
      for line in "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"$vendor\"" \
                  "SUBSYSTEM==\"usbmisc\", KERNEL==\"lp[0-9]*\", ATTRS{idVendor}==\"$vendor\""; do
        grep -qxF "$line, GROUP=\"lp\", MODE=\"0660\", TAG+=\"uaccess\"" "$rule" ||
          fail "60-korvex.rules lacks: $line, GROUP=\"lp\", MODE=\"0660\", TAG+=\"uaccess\""
      done
    done
    [ "$(grep -c '^SUBSYSTEM' "$rule")" = 8 ] || fail "60-korvex.rules has other rules: $(cat "$rule")"

    printf '\x1b%%-12345X' >"$scratch/image"
    head -c 20000 /dev/zero | tr '\0' 'K' >>"$scratch/image"
    "$fwpack" build-single --product-code KV30100A01 "$scratch/image" "$scratch/fw.kfw" >/dev/null
    out=$("$korvex" check "$scratch/fw.kfw") || fail "korvex check: $out"
    [[ $out == *"verdict: The firmware file is valid."* ]] || fail "korvex check said: $out"

    mkdir -p "$scratch/sys" "$scratch/dev"
    code=0
    out=$(KORVEX_SYSFS="$scratch/sys" KORVEX_DEV="$scratch/dev" "$korvex" list 2>&1) || code=$?
    [ "$code" = 3 ] && [[ $out == *"no printer found"* ]] || fail "korvex list ($code): $out"
    echo "korvex $version from the package: check, list and udev rule as expected; Depends: $depends"
    ;;
  zip-run)
    zip=${2:?zip} scratch=${3:?scratch} wine_run=${4:?wine-run}
    folder=$(unzip_to "$zip" "$scratch")
    version=$(basename "$zip" .zip | sed 's/^korvex-firmware-tool-//; s/-win[0-9]*$//')
    out=$("$wine_run" "$folder/korvex.exe" --version | tr -d '\r')
    [ "$out" = "korvex $version" ] || fail "korvex.exe --version: $out"
    grep -q $'\r$' "$folder/README.txt" || fail "README.txt has no Windows line ends"
    grep -q "Korvex Firmware Tool $version" "$folder/README.txt" || fail "README.txt names no $version"
    echo "$out from $(basename "$zip")"
    ;;
  zip-static)
    zip=${2:?zip} scratch=${3:?scratch} checker=${4:?checker} arch=${5:?arch}
    folder=$(unzip_to "$zip" "$scratch")
    "$checker" "$folder/korvex_tool.exe" "$arch"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
