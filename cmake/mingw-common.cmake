# Shared by the mingw-w64 toolchain files; they set TARVISK_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARVISK_MINGW_TRIPLET})

# The -posix compilers, not the plain names: Debian's plain names default to the win32 thread
# model, whose GCC 12 library has no std::mutex, which the resource-update service uses.
find_program(CMAKE_C_COMPILER NAMES ${TARVISK_MINGW_TRIPLET}-gcc-posix ${TARVISK_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVISK_MINGW_TRIPLET}-g++-posix ${TARVISK_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARVISK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVISK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads are linked in, so tarvisk.exe needs no DLL beyond
# the system's own (KERNEL32, msvcrt).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
