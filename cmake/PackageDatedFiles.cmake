# Run as the Debian package is installed for CPack (install(SCRIPT) in cmake/DebianPackage.cmake,
# which sets the KORVEX_* variables first): the package's files that carry the release's date,
# the Debian changelog and the AppStream metainfo, written into KORVEX_DATED_DIR. The date is
# SOURCE_DATE_EPOCH's, which make-dist sets to the last commit's time, so two builds of one
# commit write the same bytes.
string(TIMESTAMP KORVEX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP KORVEX_RELEASE_DATE "%Y-%m-%d" UTC)
configure_file(${KORVEX_SOURCE_DIR}/resources/linux/changelog.in ${KORVEX_DATED_DIR}/changelog
               @ONLY NO_SOURCE_PERMISSIONS)
configure_file(${KORVEX_SOURCE_DIR}/resources/linux/korvex.metainfo.xml.in
               ${KORVEX_DATED_DIR}/${KORVEX_APPSTREAM_ID}.metainfo.xml @ONLY NO_SOURCE_PERMISSIONS)
# Debian wants the changelog compressed at the highest level; -n leaves out the time and name
# that gzip would otherwise put in.
execute_process(COMMAND gzip -9nf ${KORVEX_DATED_DIR}/changelog RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of ${KORVEX_DATED_DIR}/changelog failed: ${status}")
endif()
