# Running the cross-built Windows programs: every Windows executable of this tree runs through
# build/wine-run, which uses a Wine prefix private to the build tree.
set(KORVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(KORVEX_TEST_ENV_DIR "${CMAKE_BINARY_DIR}/test-env")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# Windows path of a file of this machine as Wine sees it: drive Z: is the root, and Windows
# accepts forward slashes, which keeps the path free of escapes in C string literals.
function(korvex_wine_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()
