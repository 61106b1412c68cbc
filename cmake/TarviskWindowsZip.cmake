# The Windows download: `cmake --build --preset windows-x86 --target package` leaves
# tarvisk-<version>-win32.zip (win64 for windows-x64) with both executables, the ready-made
# manifests, the licence and a README.txt. Included by TarviskInstall.cmake before CPack.

# Only this component goes into the zip, laid out flat as a user unpacks it; `cmake --install`
# keeps the usual layout and leaves these copies out.
set(_tarvisk_zip_component windows_zip)
install(TARGETS tarvisk tarvisk_own
        RUNTIME DESTINATION . COMPONENT ${_tarvisk_zip_component} EXCLUDE_FROM_ALL)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/examples/manifests/"
        DESTINATION manifests
        COMPONENT ${_tarvisk_zip_component} EXCLUDE_FROM_ALL
        FILES_MATCHING PATTERN "*.manifest")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARVISK_ZIP_PLATFORM "64-bit Windows")
else()
  set(TARVISK_ZIP_PLATFORM "32-bit and 64-bit Windows")
endif()
# Notepad before Windows 10 shows a file with bare LF line ends as one line.
configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in" "${PROJECT_BINARY_DIR}/zip/README.txt"
               @ONLY NEWLINE_STYLE CRLF)
configure_file("${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_BINARY_DIR}/zip/LICENSE.txt" @ONLY NEWLINE_STYLE CRLF)
install(FILES "${PROJECT_BINARY_DIR}/zip/README.txt" "${PROJECT_BINARY_DIR}/zip/LICENSE.txt"
        DESTINATION . COMPONENT ${_tarvisk_zip_component} EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_tarvisk_zip_component})
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# Unpacked, it makes one folder named as the zip, not a dozen loose files in Downloads.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
