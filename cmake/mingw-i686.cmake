# Cross-compiles Tarvisk for 32-bit Windows with mingw-w64 from Linux.
set(TARVISK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
