# Shared by the Linux cross toolchain files; they set TARVISK_CROSS_TRIPLET and
# TARVISK_CROSS_PROCESSOR first. Debian's cross compilers and their sysroots under /usr/<triplet>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TARVISK_CROSS_PROCESSOR})

find_program(CMAKE_C_COMPILER NAMES ${TARVISK_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVISK_CROSS_TRIPLET}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVISK_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked static, so that qemu-user runs the programs without -L: with a sysroot it looks up
# every absolute path in the sysroot first, "/" included, and the tool resolves an image's path
# from "/" one component at a time. The tool then also runs on any Linux of its processor.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Found as an absolute path, so that a test can start the tool through it too: without a
# binfmt_misc entry the kernel cannot exec a program for another processor.
find_program(TARVISK_QEMU qemu-${TARVISK_CROSS_PROCESSOR})
if(TARVISK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TARVISK_QEMU}")
endif()
