# The kernel tier: korvex against the kernel's own usblp driver, in Debian's kernel under QEMU,
# with USB printer gadgets as the printers (tests/kernel/kernel_vm.sh). One boot runs every case
# (the fixture kernel.boot); each case is a test of its own that reads the case's result. Where
# QEMU cannot start, every one of them is skipped with the reason. Included by
# tools/printer-sim/CMakeLists.txt, where korvex-gadget-printer is defined.
# The window program's upgrade run without its window, which the Wine cases of the kernel tier
# run under Wine in the test machine (tests/kernel/wine_upgrade.cpp); built in the Windows trees,
# run from the win64 one.
if(KORVEX_WINDOWS AND CMAKE_CROSSCOMPILING)
  add_executable(korvex-wine-upgrade ${CMAKE_SOURCE_DIR}/tests/kernel/wine_upgrade.cpp)
  target_link_libraries(korvex-wine-upgrade PRIVATE korvex_window)
  if(MINGW)
    target_link_options(korvex-wine-upgrade PRIVATE -municode)
  endif()
  set_target_properties(korvex-wine-upgrade PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/kernel)
endif()

if(NOT KORVEX_WINDOWS AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(kernelDir ${CMAKE_SOURCE_DIR}/tests/kernel)
  # Signals for every thread of a Wine process, from outside it, as a terminal sends them.
  add_executable(korvex-signal-threads ${kernelDir}/signal_threads.c)
  # Watches the order of korvex's libusb cancels, for interrupted_twice_libusb.
  add_library(korvex-cancel-order SHARED ${kernelDir}/cancel_order.c)
  target_compile_options(korvex-cancel-order PRIVATE -fno-sanitize=all)
  target_link_options(korvex-cancel-order PRIVATE -fno-sanitize=all)
  target_include_directories(korvex-cancel-order SYSTEM PRIVATE ${KORVEX_LIBUSB_INCLUDE})
  target_link_libraries(korvex-cancel-order PRIVATE ${CMAKE_DL_LIBS})
  set(kernelWork ${CMAKE_BINARY_DIR}/tests/kernel)
  set(KORVEX_WIN64_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/win64" CACHE PATH
      "The win64 tree whose programs the kernel tier's Wine cases run")
  add_test(NAME kernel.boot
           COMMAND ${kernelDir}/kernel_vm.sh boot ${kernelWork} $<TARGET_FILE:korvex>
                   $<TARGET_FILE:korvex-gadget-printer> $<TARGET_FILE:korvex-fwpack>
                   ${CMAKE_BINARY_DIR}/60-korvex.rules
                   ${KORVEX_WIN64_BUILD_DIR} $<TARGET_FILE:korvex-signal-threads>
                   ${KORVEX_USBLP_GUARD_DIR} $<TARGET_FILE:korvex-cancel-order>)
  # The first run downloads the kernel package (about 70 MB).
  set_tests_properties(kernel.boot PROPERTIES FIXTURES_SETUP kernel_vm TIMEOUT 900)

  # A test per case of the guest's /init (its functions case_NAME).
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kernelDir}/guest_init.sh)
  file(STRINGS ${kernelDir}/guest_init.sh kernelCases REGEX "^case_[a-z0-9_]+\\(\\)")
  set(kernelTests kernel.boot)
  foreach(line ${kernelCases})
    string(REGEX REPLACE "^case_([a-z0-9_]+)\\(\\).*" "\\1" name "${line}")
    add_test(NAME kernel.${name} COMMAND ${kernelDir}/kernel_vm.sh result ${kernelWork} ${name})
    set_tests_properties(kernel.${name} PROPERTIES FIXTURES_REQUIRED kernel_vm)
    list(APPEND kernelTests kernel.${name})
  endforeach()
  set_tests_properties(${kernelTests} PROPERTIES LABELS kernel SKIP_RETURN_CODE 77)
endif()
