# The bridge to the printers of the Linux usblp driver (scripts/korvex-linux), with a fake sysfs
# tree under the build tree and stand-in printers on ptys (korvex-usblp-standin of the host
# tree); included by tools/printer-sim/CMakeLists.txt. What the launcher says when it finds no
# printer needs no Wine and is checked in the host tree; the rest runs in the Windows trees.
set(bridgeTestsDir ${CMAKE_SOURCE_DIR}/tests/linux)
set(bridgeTest ${bridgeTestsDir}/bridge_test.sh)

if(NOT KORVEX_WINDOWS AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_test(NAME LinuxBridge.SaysWhyNoPrinterIsFound
           COMMAND ${bridgeTest} explain ${CMAKE_BINARY_DIR})
endif()

# The usblp write guard (os/wine_bridge), in its build that takes FIFOs for printers; plain C
# without the sanitizers, like the guard itself, for each architecture it is built for.
if(TARGET korvex-usblp-guard-fifos)
  set(guardTests UsblpWriteGuard.GuardedWritesAreWholeAndSignalFree)
  set(guardTestSource ${bridgeTestsDir}/usblp_write_guard_test.c)
  add_executable(korvex-usblp-guard-test ${guardTestSource})
  target_link_libraries(korvex-usblp-guard-test PRIVATE korvex-usblp-guard-fifos)
  set_target_properties(korvex-usblp-guard-test PROPERTIES
    COMPILE_OPTIONS "-O1;-Wall;-Wextra;-m64" LINK_OPTIONS "-m64")
  add_test(NAME UsblpWriteGuard.GuardedWritesAreWholeAndSignalFree
           COMMAND korvex-usblp-guard-test ${CMAKE_CURRENT_BINARY_DIR})
  if(KORVEX_USBLP_GUARD_I386)
    add_executable(korvex-usblp-guard-test-i386 ${guardTestSource})
    target_link_libraries(korvex-usblp-guard-test-i386 PRIVATE korvex-usblp-guard-fifos-i386)
    set_target_properties(korvex-usblp-guard-test-i386 PROPERTIES
      COMPILE_OPTIONS "-O1;-Wall;-Wextra;-m32" LINK_OPTIONS "-m32")
    add_test(NAME UsblpWriteGuard.GuardedWritesAreWholeAndSignalFree32
             COMMAND korvex-usblp-guard-test-i386 ${CMAKE_CURRENT_BINARY_DIR})
    list(APPEND guardTests UsblpWriteGuard.GuardedWritesAreWholeAndSignalFree32)
  endif()
  set_tests_properties(${guardTests} PROPERTIES TIMEOUT 30)
endif()

if(KORVEX_WINDOWS AND CMAKE_CROSSCOMPILING AND CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux")
  add_executable(korvex-bridge-probe ${bridgeTestsDir}/bridge_probe.cpp)
  target_link_libraries(korvex-bridge-probe PRIVATE setupapi)

  add_executable(korvex_bridge_driver ${bridgeTestsDir}/bridge_driver_test.cpp
                 ${CMAKE_SOURCE_DIR}/tests/printers/win32/printer_test_support.cpp
                 ${CMAKE_SOURCE_DIR}/tests/win32/gui_support.cpp)
  target_include_directories(korvex_bridge_driver PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32
                             ${CMAKE_SOURCE_DIR}/tests/printers/win32)
  target_link_libraries(korvex_bridge_driver PRIVATE korvex_window korvex_printer_sim
                        GTest::gtest_main)
  korvex_wine_path(bridgeScreenshotDir "${CMAKE_BINARY_DIR}/screenshots")
  korvex_wine_path(bridgeToolExe "${CMAKE_BINARY_DIR}/korvex_tool.exe")
  korvex_wine_path(bridgeSimExe "${CMAKE_BINARY_DIR}/korvex-printer-sim.exe")
  target_compile_definitions(korvex_bridge_driver PRIVATE
    KORVEX_SCREENSHOT_DIR=L"${bridgeScreenshotDir}" KORVEX_TOOL_EXE=L"${bridgeToolExe}"
    KORVEX_PRINTER_SIM_EXE=L"${bridgeSimExe}")
  add_dependencies(korvex_bridge_driver korvex_tool korvex-bridge-probe)
  set_target_properties(korvex-bridge-probe korvex_bridge_driver PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/linux)

  set(bridgeTests)
  foreach(case "registration:RegistrationFollowsThePrinters" "query:QueryOnTwoBridgedPrinters"
               "silent:SilentBridgedPrinterFails")
    string(REPLACE ":" ";" parts ${case})
    list(GET parts 0 caseName)
    list(GET parts 1 testName)
    add_test(NAME LinuxBridge.${testName}
             COMMAND ${bridgeTest} ${caseName} ${CMAKE_BINARY_DIR} ${KORVEX_HOST_BUILD_DIR})
    list(APPEND bridgeTests LinuxBridge.${testName})
  endforeach()
  # Registered printers are visible to every discovery in the prefix, and the driver finds the
  # program by its window: these run alone.
  set_tests_properties(${bridgeTests} PROPERTIES FIXTURES_REQUIRED "xvfb;wine" TIMEOUT 90
                       RESOURCE_LOCK printers RUN_SERIAL ON)
endif()
