#!/usr/bin/env bash
# The release files of dist/ as a user gets them (make dist before the tests):
#   dist_test.sh deb DIST SCRATCH FWPACK        the Debian package unpacked into a scratch root:
#                                               its korvex tells the package's version, checks a
#                                               package, says that no printer is there; its
#                                               dependencies computed; its changelog, completion,
#                                               udev rule and metainfo; SHA256SUMS holds
#   dist_test.sh lintian DIST SCRATCH           lintian finds nothing to say of the package, and
#                                               appstreamcli validates its metainfo
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

the_deb() {  # the_deb DIST: dist/'s one Debian package
  local debs=("$1"/korvex_*_amd64.deb)
  [ -f "${debs[0]}" ] && [ ${#debs[@]} = 1 ] || fail "not one korvex_*_amd64.deb in $1: make dist first"
  echo "${debs[0]}"
}

case "$mode" in
  deb)
    dist=${2:?dist} scratch=${3:?scratch} fwpack=${4:?fwpack}
    deb=$(the_deb "$dist")
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
                usr/share/doc/korvex/docs/command-line.md \
                usr/share/doc/korvex/docs/linux-printers.md \
                usr/share/doc/korvex/exit-codes.txt usr/share/doc/korvex/changelog.gz; do
      [ -s "$root/$file" ] || fail "no $file in the package"
    done
    completion=usr/share/bash-completion/completions/korvex
    cmp -s "$root/$completion" "$(dirname "$0")/../../resources/linux/korvex.bash-completion" ||
      fail "$completion is not resources/linux/korvex.bash-completion"

    # The changelog and the metainfo's release: this version, dated as every file of the package
    # (the last commit's time, not the build's).
    when=$(stat -c %Y "$korvex")
    changelog=$(zcat "$root/usr/share/doc/korvex/changelog.gz")
    [[ $(head -n 1 <<<"$changelog") == "korvex ($version) "* ]] ||
      fail "the changelog is not of korvex $version: $changelog"
    [[ $(tail -n 1 <<<"$changelog") == *">  $(date -u -d "@$when" -R)" ]] ||
      fail "the changelog is not dated $(date -u -d "@$when" -R): $changelog"
    metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
    [ -f "${metainfo[0]}" ] && [ ${#metainfo[@]} = 1 ] || fail "not one metainfo: ${metainfo[*]}"
    grep -qF "<release version=\"$version\" date=\"$(date -u -d "@$when" +%F)\"/>" "${metainfo[0]}" ||
      fail "the metainfo's release is not $version of $(date -u -d "@$when" +%F): $(cat "${metainfo[0]}")"

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
    # A software centre offers the package for a device of exactly those vendors.
    offered=$(sed -n 's|^ *<modalias>usb:v\([0-9A-F]\{4\}\)p\*d\*</modalias>$|\1|p' "${metainfo[0]}" |
              sort | paste -sd ' ' -)
    [ "$offered" = "$(tr a-f A-F <<<"$vendors" | sort | paste -sd ' ' -)" ] &&
      [ "$(grep -c '<modalias>' "${metainfo[0]}")" = 4 ] ||
      fail "the metainfo's modaliases are not the vendors $vendors: $(grep modalias "${metainfo[0]}")"

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
  lintian)
    dist=${2:?dist} scratch=${3:?scratch}
    deb=$(the_deb "$dist")
    for tool in lintian appstreamcli; do
      command -v $tool >/dev/null || fail "no $tool (scripts/bootstrap installs it)"
    done
    rm -rf "$scratch" && mkdir -p "$scratch"
    # As a packager runs it, its info and pedantic tags shown too: a tag up to info fails, a
    # pedantic one is only shown. (As root it warns of that; that line is no tag.)
    code=0
    lintian --fail-on error,warning,info --display-info --pedantic --display-experimental "$deb" \
      >"$scratch/lintian.out" 2>&1 || code=$?
    grep -v '^running with root privileges' "$scratch/lintian.out" || true
    [ "$code" = 0 ] || fail "lintian $(basename "$deb") ($code)"
    dpkg-deb -x "$deb" "$scratch/root"
    metainfo=("$scratch"/root/usr/share/metainfo/*.metainfo.xml)
    [ -f "${metainfo[0]}" ] && [ ${#metainfo[@]} = 1 ] || fail "not one metainfo: ${metainfo[*]}"
    appstreamcli validate --no-net --pedantic "${metainfo[0]}" ||
      fail "appstreamcli validate ${metainfo[0]#"$scratch/root"}"
    echo "lintian: nothing to say of $(basename "$deb"); its metainfo is valid"
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
