# The Debian package of korvex (make dist): korvex in /usr/bin, its man page, the README and the
# exit codes in /usr/share/doc/korvex, dependencies computed from the binary by dpkg-shlibdeps.
# The man page is made by scripts/make-dist (help2man, dated from the last commit) before CPack
# runs; CPack takes every file time from SOURCE_DATE_EPOCH, so the package is the same bytes
# whenever and wherever it is built.
install(TARGETS korvex RUNTIME DESTINATION bin)
install(FILES ${CMAKE_BINARY_DIR}/korvex.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/resources/dist/copyright
        DESTINATION share/doc/korvex)
install(FILES ${CMAKE_SOURCE_DIR}/cli/exit_codes.txt DESTINATION share/doc/korvex
        RENAME exit-codes.txt)
# Korvex printers for the group lp (cmake/UdevRule.cmake); where Debian 12's packages keep their
# udev rules.
install(FILES ${CMAKE_BINARY_DIR}/60-korvex.rules DESTINATION /lib/udev/rules.d)
# Not the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvex)
set(CPACK_PACKAGE_VERSION ${KORVEX_PRODUCT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvex Firmware Tool developers <firmware-tool@korvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Korvex USB printers from the command line: information, firmware, maintenance")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "korvex lists the Korvex USB printers, reached through the usblp driver or libusb, reads\n"
    "their information (name, firmware version, product code, MAC address, memory, version\n"
    "text, device code), upgrades their firmware from a package or raw image, checked whole\n"
    "and against the printer before anything is sent, and sends maintenance commands. Output\n"
    "is plain text or JSON, the outcome an exit code, for scripts and servers. A udev rule\n"
    "gives the printers to the group lp.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
