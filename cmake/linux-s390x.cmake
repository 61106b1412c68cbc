# Cross-compiles Tarvisk for IBM Z Linux (big-endian) with Debian's g++-s390x-linux-gnu.
set(TARVISK_CROSS_TRIPLET s390x-linux-gnu)
set(TARVISK_CROSS_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
