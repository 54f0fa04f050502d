# Tests that need the printer simulator, included by tools/printer-sim/CMakeLists.txt once the
# simulator's libraries exist and tests/ has set up GoogleTest:
#   bytes/  what a simulated printer answers (byte level, both trees)
#   win32/  the transaction engine, discovery, the simulator, the window program and korvex.exe
#           on simulated printers (Wine)
set(printerTestsDir ${CMAKE_SOURCE_DIR}/tests/printers)

file(GLOB printerLogicTests CONFIGURE_DEPENDS ${printerTestsDir}/bytes/*.cpp)
add_executable(korvex_printer_logic_tests ${printerLogicTests})
target_link_libraries(korvex_printer_logic_tests PRIVATE korvex_printer_logic korvex_replay
                      GTest::gtest_main)
gtest_add_tests(TARGET korvex_printer_logic_tests SOURCES ${printerLogicTests}
                TEST_LIST printerLogicTestList)

if(KORVEX_WINDOWS)
  file(GLOB printerTests CONFIGURE_DEPENDS ${printerTestsDir}/win32/*.cpp)
  add_executable(korvex_printer_tests ${printerTests}
                 ${CMAKE_SOURCE_DIR}/tests/win32/box_answerer.cpp
                 ${CMAKE_SOURCE_DIR}/tests/win32/gui_support.cpp
                 ${CMAKE_SOURCE_DIR}/resources/korvex_tool.rc)
  target_include_directories(korvex_printer_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32)
  # korvex.exe's JSON documents are read with the library that writes them.
  target_include_directories(korvex_printer_tests SYSTEM PRIVATE
                             $<TARGET_PROPERTY:korvex_cli,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(korvex_printer_tests PRIVATE korvex_window korvex_printer_sim
                        GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    korvex_wine_path(simExe "${CMAKE_BINARY_DIR}/korvex-printer-sim.exe")
    korvex_wine_path(shippedExe "${CMAKE_BINARY_DIR}/korvex_tool.exe")
    korvex_wine_path(cliExe "${CMAKE_BINARY_DIR}/korvex.exe")
    korvex_wine_path(printerScreenshotDir "${CMAKE_BINARY_DIR}/screenshots")
    korvex_wine_path(recordingsDir "${CMAKE_SOURCE_DIR}/tests/recordings")
  else()
    set(simExe "$<TARGET_FILE:korvex-printer-sim>")
    set(shippedExe "$<TARGET_FILE:korvex_tool>")
    set(cliExe "$<TARGET_FILE:korvex>")
    set(printerScreenshotDir "${CMAKE_BINARY_DIR}/screenshots")
    set(recordingsDir "${CMAKE_SOURCE_DIR}/tests/recordings")
  endif()
  target_compile_definitions(korvex_printer_tests PRIVATE
    KORVEX_PRINTER_SIM_EXE=L"${simExe}" KORVEX_SCREENSHOT_DIR=L"${printerScreenshotDir}"
    KORVEX_TOOL_EXE=L"${shippedExe}" KORVEX_CLI_EXE=L"${cliExe}"
    KORVEX_RECORDINGS_DIR=L"${recordingsDir}")
  add_dependencies(korvex_printer_tests korvex-printer-sim korvex_tool korvex)
  gtest_add_tests(TARGET korvex_printer_tests SOURCES ${printerTests} TEST_LIST printerTestList)

  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${printerLogicTestList} ${printerTestList} PROPERTIES
                         FIXTURES_REQUIRED "xvfb;wine" TIMEOUT 60)
    # Registered printers are visible to every discovery in the prefix, also to that of a test
    # of another part that starts an operation of the program: these tests run alone.
    set(registeringTests ${printerTestList})
    list(FILTER registeringTests INCLUDE REGEX "^(Discovery|SimulatorProgram|SimulatorRestart|UpgradeStart|InformationQuery|Maintenance|ShippedProgram|Walkthrough|KorvexExe|KorvexExeFleet|WireEquivalence|ReplayToKorvexExe|ReplayToWindowProgram|BridgedUpgrade)\\.")
    set_tests_properties(${registeringTests} PROPERTIES RESOURCE_LOCK printers RUN_SERIAL ON)
  endif()
endif()
