# The udev rule for Korvex printers, 60-korvex.rules in the build tree (the Debian package
# installs it in /lib/udev/rules.d). Its vendor ids are read from discovery's admitting patterns,
# internal strings 50-53 ("id_4b56&pid_"), as scripts/korvex-linux reads them, so that the rule
# gives access to exactly the vendors korvex works with.
set(tableFile ${CMAKE_SOURCE_DIR}/resources/tables/internal_strings.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${tableFile})
file(STRINGS ${tableFile} admitting REGEX "^5[0-3] = ")
set(KORVEX_UDEV_VENDORS)
set(KORVEX_UDEV_LINES)
foreach(line ${admitting})
  if(NOT line MATCHES "^5[0-3] = id_([0-9a-f][0-9a-f][0-9a-f][0-9a-f])&pid_$")
    message(FATAL_ERROR "an admitting pattern that names no vendor id: ${line}")
  endif()
  set(vendor ${CMAKE_MATCH_1})
  list(APPEND KORVEX_UDEV_VENDORS ${vendor})
  string(APPEND KORVEX_UDEV_LINES
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${vendor}\", "
    "GROUP=\"lp\", MODE=\"0660\", TAG+=\"uaccess\"\n"
    "SUBSYSTEM==\"usbmisc\", KERNEL==\"lp[0-9]*\", ATTRS{idVendor}==\"${vendor}\", "
    "GROUP=\"lp\", MODE=\"0660\", TAG+=\"uaccess\"\n")
endforeach()
list(LENGTH KORVEX_UDEV_VENDORS count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "expected the four admitting patterns 50-53 in ${tableFile}")
endif()
# The Debian package's AppStream metainfo offers korvex for the devices of these same vendors
# (cmake/DebianPackage.cmake).
set_property(GLOBAL PROPERTY KORVEX_USB_VENDORS ${KORVEX_UDEV_VENDORS})
string(TOUPPER "${KORVEX_UDEV_VENDORS}" KORVEX_UDEV_VENDORS)
string(REPLACE ";" ", " KORVEX_UDEV_VENDORS "${KORVEX_UDEV_VENDORS}")
string(STRIP "${KORVEX_UDEV_LINES}" KORVEX_UDEV_LINES)
configure_file(${CMAKE_SOURCE_DIR}/resources/linux/60-korvex.rules.in
               ${CMAKE_BINARY_DIR}/60-korvex.rules @ONLY)
