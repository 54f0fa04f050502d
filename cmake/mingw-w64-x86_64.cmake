# The same program for 64-bit Windows; also the build that runs where 32-bit code cannot.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVEX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
