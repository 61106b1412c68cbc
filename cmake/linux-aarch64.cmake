# Cross-compiles Tarvisk for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu.
set(TARVISK_CROSS_TRIPLET aarch64-linux-gnu)
set(TARVISK_CROSS_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
