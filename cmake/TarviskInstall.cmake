# Installation, the Tarvisk CMake package (installed and build-tree), and CPack packaging.
# Included once from the top-level CMakeLists.txt after the tool and library targets exist.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVISK_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/Tarvisk"
    CACHE STRING "Where the Tarvisk CMake package is installed, relative to the prefix")
# Debian and most distributions name documentation directories after the package, in lower case.
set(TARVISK_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvisk")
set(TARVISK_INSTALL_MANIFESTDIR "${CMAKE_INSTALL_DATADIR}/tarvisk/manifests")

# The same names inside this tree as from an installed package, so tarvisk_embed_manifest and
# the examples work here without installing.
if(NOT TARGET Tarvisk::tarvisk)
  add_executable(Tarvisk::tarvisk ALIAS tarvisk)
endif()
include("${CMAKE_CURRENT_LIST_DIR}/TarviskEmbedManifest.cmake")

# --- What `cmake --install` puts under the prefix -------------------------------------------

install(TARGETS tarvisk
        EXPORT TarviskTargets
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
install(TARGETS resupdate resupdate_winapi
        EXPORT TarviskTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development)
# The library's include directory is "include" in its INSTALL_INTERFACE.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/resupdate/include/resupdate"
        DESTINATION include
        COMPONENT development
        FILES_MATCHING PATTERN "*.h")

install(FILES "${PROJECT_SOURCE_DIR}/man/tarvisk.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
        COMPONENT tool)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/manifests/"
        DESTINATION "${TARVISK_INSTALL_MANIFESTDIR}"
        COMPONENT tool
        FILES_MATCHING PATTERN "*.manifest" PATTERN "README.md")
# Debian looks for a package's licence in its doc directory under this name.
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE"
        DESTINATION "${TARVISK_INSTALL_DOCDIR}"
        RENAME copyright
        COMPONENT tool)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/docs/"
        DESTINATION "${TARVISK_INSTALL_DOCDIR}"
        COMPONENT tool
        FILES_MATCHING PATTERN "*.md")

# --- The CMake package -----------------------------------------------------------------------

install(EXPORT TarviskTargets
        NAMESPACE Tarvisk::
        FILE TarviskTargets.cmake
        DESTINATION "${TARVISK_INSTALL_CMAKEDIR}"
        COMPONENT development)

set(_tarvisk_package_dir "${PROJECT_BINARY_DIR}/package")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/TarviskConfig.cmake.in"
                              "${_tarvisk_package_dir}/TarviskConfig.cmake"
                              INSTALL_DESTINATION "${TARVISK_INSTALL_CMAKEDIR}")
# The package is mostly a host tool that also serves cross builds for any target processor,
# so its version check must not reject a consumer whose pointer size differs from the host's.
# Before 1.0 a new minor version may change the library's interface.
write_basic_package_version_file("${_tarvisk_package_dir}/TarviskConfigVersion.cmake"
                                 VERSION "${PROJECT_VERSION}"
                                 COMPATIBILITY SameMinorVersion
                                 ARCH_INDEPENDENT)
install(FILES "${_tarvisk_package_dir}/TarviskConfig.cmake"
              "${_tarvisk_package_dir}/TarviskConfigVersion.cmake"
              "${CMAKE_CURRENT_LIST_DIR}/TarviskEmbedManifest.cmake"
        DESTINATION "${TARVISK_INSTALL_CMAKEDIR}"
        COMPONENT development)

# The build tree is a package too: -DTarvisk_DIR=<this build directory> uses the tool and the
# library straight from here.
export(EXPORT TarviskTargets NAMESPACE Tarvisk:: FILE "${PROJECT_BINARY_DIR}/TarviskTargets.cmake")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/TarviskConfig.cmake.in"
                              "${PROJECT_BINARY_DIR}/TarviskConfig.cmake"
                              INSTALL_DESTINATION "${PROJECT_BINARY_DIR}"
                              INSTALL_PREFIX "${PROJECT_BINARY_DIR}")
configure_file("${_tarvisk_package_dir}/TarviskConfigVersion.cmake"
               "${PROJECT_BINARY_DIR}/TarviskConfigVersion.cmake" COPYONLY)
configure_file("${CMAKE_CURRENT_LIST_DIR}/TarviskEmbedManifest.cmake"
               "${PROJECT_BINARY_DIR}/TarviskEmbedManifest.cmake" COPYONLY)

# --- pkg-config, for build tools other than CMake -------------------------------------------

set(TARVISK_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where the pkg-config files are installed, relative to the prefix")
# The files locate the prefix relative to themselves, since --prefix and DESTDIR may differ
# from what was configured.
file(RELATIVE_PATH TARVISK_PC_TO_PREFIX "/prefix/${TARVISK_INSTALL_PKGCONFIGDIR}" "/prefix")
string(REGEX REPLACE "/$" "" TARVISK_PC_TO_PREFIX "${TARVISK_PC_TO_PREFIX}")
foreach(pc tarvisk-resupdate tarvisk-resupdate-winapi)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in" "${_tarvisk_package_dir}/${pc}.pc" @ONLY)
  install(FILES "${_tarvisk_package_dir}/${pc}.pc"
          DESTINATION "${TARVISK_INSTALL_PKGCONFIGDIR}"
          COMPONENT development)
endforeach()

# --- Packages: `cpack -G DEB` (or TGZ) in a Release build -----------------------------------

# Debian wants manual pages compressed with gzip -9n; CPack installs with this variable set.
install(CODE "
  if(TARVISK_COMPRESS_MAN_PAGES)
    set(page \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/tarvisk.1\")
    execute_process(COMMAND gzip -9nf \"\${page}\" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"gzip failed on \${page}\")
    endif()
  endif()
" COMPONENT tool)

set(CPACK_PACKAGE_NAME tarvisk)
set(CPACK_PACKAGE_VENDOR "Tarvisk developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(TARVISK_PACKAGE_CONTACT "Tarvisk developers <tarvisk@localhost>"
    CACHE STRING "Maintainer written into the packages")
set(CPACK_PACKAGE_CONTACT "${TARVISK_PACKAGE_CONTACT}")
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_CUSTOM_INSTALL_VARIABLES "TARVISK_COMPRESS_MAN_PAGES=ON")

set(CPACK_DEBIAN_PACKAGE_NAME tarvisk)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps computes Depends from what the installed binaries actually link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarvisk stores an application manifest file, byte for byte, as the RT_MANIFEST
resource (type 24, name 1, language neutral) of a Windows PE32 or PE32+
executable, on any operating system. It rewrites the image's resource section
itself, keeps overlays, drops Authenticode signatures that the change would
invalidate, updates the checksum, and replaces the file atomically.
.
The package also carries the resource-update library with its C++ headers,
a CMake package (find_package(Tarvisk), tarvisk_embed_manifest()), a manual
page and ready-made manifests for common needs.")

if(WIN32)
  include("${CMAKE_CURRENT_LIST_DIR}/TarviskWindowsZip.cmake")
endif()

# A project that builds Tarvisk as a subproject keeps its own packaging.
if(PROJECT_IS_TOP_LEVEL)
  include(CPack)
endif()
