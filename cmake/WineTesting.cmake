# Running the cross-built Windows programs: every Windows executable of this tree runs through
# build/wine-run, which uses a Wine prefix private to the build tree.
set(KORVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(KORVEX_TEST_ENV_DIR "${CMAKE_BINARY_DIR}/test-env")
# The 64-bit tree runs through Wine's 64-bit loader directly: Debian's wine wrapper starts the
# 32-bit loader first, which machines without 32-bit code execution cannot run at all. Its prefix
# is then a 64-bit one, created by that loader too.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KORVEX_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader of this tree")
else()
  set(KORVEX_WINE_LOADER wine CACHE FILEPATH "Wine loader of this tree")
endif()
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
