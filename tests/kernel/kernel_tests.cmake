# The kernel tier: korvex against the kernel's own usblp driver, in Debian's kernel under QEMU,
# with USB printer gadgets as the printers (tests/kernel/kernel_vm.sh). One boot runs every case
# (the fixture kernel.boot); each case is a test of its own that reads the case's result. Where
# QEMU cannot start, every one of them is skipped with the reason. Included by
# tools/printer-sim/CMakeLists.txt, where korvex-gadget-printer is defined.
if(NOT KORVEX_WINDOWS AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(kernelDir ${CMAKE_SOURCE_DIR}/tests/kernel)
  set(kernelWork ${CMAKE_BINARY_DIR}/tests/kernel)
  add_test(NAME kernel.boot
           COMMAND ${kernelDir}/kernel_vm.sh boot ${kernelWork} $<TARGET_FILE:korvex>
                   $<TARGET_FILE:korvex-gadget-printer> $<TARGET_FILE:korvex-fwpack>
                   ${CMAKE_BINARY_DIR}/60-korvex.rules)
  # The first run downloads the kernel package (about 70 MB).
  set_tests_properties(kernel.boot PROPERTIES FIXTURES_SETUP kernel_vm TIMEOUT 600)

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
