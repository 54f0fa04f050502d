# The Debian package of korvex (make dist): korvex in /usr/bin, its man page, the README with the
# command line's and Linux printers' pages of docs/, the exit codes and the changelog in
# /usr/share/doc/korvex, its bash completion, the udev rule and
# the AppStream metainfo; dependencies computed from the binary by dpkg-shlibdeps. The man page is
# made by scripts/make-dist (help2man, dated from the last commit) before CPack runs; CPack takes
# every file time from SOURCE_DATE_EPOCH, so the package is the same bytes whenever and wherever
# it is built. lintian has nothing to say of it (tests/dist/dist_test.sh lintian).
set(KORVEX_PACKAGE_MAINTAINER "Korvex Firmware Tool developers <firmware-tool@korvex.invalid>")
install(TARGETS korvex RUNTIME DESTINATION bin)
# strip leaves the compilers' version notes; Debian's own packages go without them.
install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/korvex\"
              RESULT_VARIABLE status)
              if(NOT status EQUAL 0)
                message(FATAL_ERROR \"objcopy of korvex failed: \${status}\")
              endif()")
install(FILES ${CMAKE_BINARY_DIR}/korvex.1.gz DESTINATION share/man/man1)
# The parts of the documentation a korvex user needs, where the README's links find them.
install(FILES ${CMAKE_SOURCE_DIR}/docs/command-line.md ${CMAKE_SOURCE_DIR}/docs/linux-printers.md
        DESTINATION share/doc/korvex/docs)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/resources/dist/copyright
        DESTINATION share/doc/korvex)
install(FILES ${CMAKE_SOURCE_DIR}/cli/exit_codes.txt DESTINATION share/doc/korvex
        RENAME exit-codes.txt)
# Korvex printers for the group lp (cmake/UdevRule.cmake); where Debian 12's packages keep their
# udev rules.
install(FILES ${CMAKE_BINARY_DIR}/60-korvex.rules DESTINATION /lib/udev/rules.d)
# Where Debian's bash-completion loads a command's completion from when it is first completed.
install(FILES ${CMAKE_SOURCE_DIR}/resources/linux/korvex.bash-completion
        DESTINATION share/bash-completion/completions RENAME korvex)

# The changelog and the AppStream metainfo carry the release's date, so they are written as
# CPack installs (cmake/PackageDatedFiles.cmake), from SOURCE_DATE_EPOCH, and installed from the
# build tree after. The metainfo names a device of each vendor the udev rule gives access to, so
# that a software centre offers korvex when such a printer is plugged in: the rule matches any
# product of the vendor, and so does the modalias.
get_property(vendors GLOBAL PROPERTY KORVEX_USB_VENDORS)
set(modaliases)
foreach(vendor ${vendors})
  string(TOUPPER ${vendor} vendor)
  list(APPEND modaliases "    <modalias>usb:v${vendor}p*d*</modalias>")
endforeach()
list(JOIN modaliases "\n" modaliases)
set(appstreamId invalid.korvex.korvex)
set(datedDir ${CMAKE_BINARY_DIR}/package-dated)
install(CODE "set(KORVEX_SOURCE_DIR [==[${CMAKE_SOURCE_DIR}]==])
              set(KORVEX_DATED_DIR [==[${datedDir}]==])
              set(KORVEX_PACKAGE_VERSION [==[${KORVEX_PRODUCT_VERSION}]==])
              set(KORVEX_PACKAGE_MAINTAINER [==[${KORVEX_PACKAGE_MAINTAINER}]==])
              set(KORVEX_APPSTREAM_ID [==[${appstreamId}]==])
              set(KORVEX_APPSTREAM_MODALIASES [==[${modaliases}]==])")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/PackageDatedFiles.cmake)
install(FILES ${datedDir}/changelog.gz DESTINATION share/doc/korvex)
install(FILES ${datedDir}/${appstreamId}.metainfo.xml DESTINATION share/metainfo)
# Not the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvex)
set(CPACK_PACKAGE_VERSION ${KORVEX_PRODUCT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KORVEX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "command line tool for Korvex USB printers: information, firmware, maintenance")
# Lines of at most 79 characters: dpkg shows each after one space, in 80 columns.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "korvex lists the Korvex USB printers, reached through the usblp driver or\n"
    "libusb, reads their information (name, firmware version, product code, MAC\n"
    "address, memory, version text, device code), upgrades their firmware from a\n"
    "package or raw image, checked whole and against the printer before anything\n"
    "is sent, and sends maintenance commands. Output is plain text or JSON, the\n"
    "outcome an exit code, for scripts and servers. A udev rule gives the printers\n"
    "to the group lp.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
