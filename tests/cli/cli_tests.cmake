# korvex end to end on Linux: the host tree's sanitized korvex on a fake sysfs tree under the
# build tree, with stand-in printers on ptys (korvex_pty_printer); included by
# tools/printer-sim/CMakeLists.txt, where the stand-in is defined.
if(NOT KORVEX_WINDOWS AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # What usblp does that a pty cannot (one open at a time, EINTR after the bytes were taken),
  # preloaded into korvex; never sanitized, so that it loads beside the sanitized program.
  add_library(korvex_usblp_standin_shim SHARED ${CMAKE_SOURCE_DIR}/tests/cli/usblp_standin_shim.c)
  target_compile_options(korvex_usblp_standin_shim PRIVATE -fno-sanitize=all)
  target_link_options(korvex_usblp_standin_shim PRIVATE -fno-sanitize=all)
  target_link_libraries(korvex_usblp_standin_shim PRIVATE ${CMAKE_DL_LIBS})

  set(cliTestFiles ${CMAKE_SOURCE_DIR}/tests/cli/korvex_cli_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/korvex_interrupt_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/pty_printer_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/korvex_fleet_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/korvex_progress_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/korvex_recording_test.cpp
                   ${CMAKE_SOURCE_DIR}/tests/cli/progress_line_test.cpp)
  set(cliTestSources ${cliTestFiles} ${CMAKE_SOURCE_DIR}/tests/cli/cli_test_support.cpp
                     ${CMAKE_SOURCE_DIR}/tests/cli/terminal_screen.cpp)
  add_executable(korvex_cli_tests ${cliTestSources})
  target_include_directories(korvex_cli_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # The command line's objects give the test the program's salt for the device code.
  target_link_libraries(korvex_cli_tests PRIVATE korvex_cli korvex_pty_printer GTest::gtest_main)
  target_compile_definitions(korvex_cli_tests PRIVATE KORVEX_EXE="$<TARGET_FILE:korvex>"
                             KORVEX_CLI_SCRATCH="${CMAKE_BINARY_DIR}/tests/cli"
                             KORVEX_RECORDINGS_DIR="${CMAKE_SOURCE_DIR}/tests/recordings"
                             KORVEX_STANDIN_SHIM="$<TARGET_FILE:korvex_usblp_standin_shim>")
  add_dependencies(korvex_cli_tests korvex korvex_usblp_standin_shim)
  gtest_add_tests(TARGET korvex_cli_tests SOURCES ${cliTestFiles} TEST_LIST cliTests)
  set_tests_properties(${cliTests} PROPERTIES TIMEOUT 120)

  # A stand-in never starts on what it cannot read whole as a recording: it says which and why.
  add_test(NAME Replay.PtyPrinterRefusesWhatIsNoRecording
           COMMAND korvex-pty-printer --link ${CMAKE_BINARY_DIR}/tests/cli/no-link
                   --replay ${CMAKE_SOURCE_DIR}/README.md)
  add_test(NAME Replay.GadgetPrinterRefusesWhatIsNoRecording
           COMMAND korvex-gadget-printer --device /dev/null --record ${CMAKE_BINARY_DIR}/tests/cli
                   --replay ${CMAKE_SOURCE_DIR}/README.md)
  set_tests_properties(Replay.PtyPrinterRefusesWhatIsNoRecording
                       Replay.GadgetPrinterRefusesWhatIsNoRecording PROPERTIES
                       PASS_REGULAR_EXPRESSION "README.md is refused: line 1: not a JSON object")
endif()
