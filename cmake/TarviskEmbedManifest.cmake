# tarvisk_embed_manifest(<target> <manifest>): stores <manifest> in <target>'s image after it
# links. Included by the installed Tarvisk package and by Tarvisk's own build; the same file
# is also the script that runs the tool at build time (cmake -P, see the end).

if(NOT CMAKE_SCRIPT_MODE_FILE)

set(_TARVISK_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

# Where the tool comes from, in order: TARVISK_EXECUTABLE (a host build of the tool, for
# cross-building Tarvisk's own tree), then the Tarvisk::tarvisk target, which is this tree's
# own tarvisk or the one the installed package imports.
function(tarvisk_embed_manifest target manifest)
  if(ARGN)
    message(FATAL_ERROR "tarvisk_embed_manifest: unexpected arguments '${ARGN}'; "
                        "usage: tarvisk_embed_manifest(<target> <manifest>)")
  endif()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "tarvisk_embed_manifest: '${target}' is not a target")
  endif()
  # The tool stores the manifest under resource name 1, the one the loader reads for a
  # process; a DLL's own manifest would be looked up under name 2.
  get_target_property(type "${target}" TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "tarvisk_embed_manifest: '${target}' is a ${type}, not an executable")
  endif()
  get_target_property(imported "${target}" IMPORTED)
  if(imported)
    message(FATAL_ERROR "tarvisk_embed_manifest: '${target}' is imported; it is not linked here")
  endif()
  # A second manifest would silently replace the first at the same resource key.
  get_target_property(previous "${target}" TARVISK_MANIFEST)
  if(previous)
    message(FATAL_ERROR "tarvisk_embed_manifest: '${target}' already gets '${previous}'")
  endif()

  get_filename_component(manifest "${manifest}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(IS_DIRECTORY "${manifest}")
    message(FATAL_ERROR "tarvisk_embed_manifest: manifest '${manifest}' is a directory")
  elseif(NOT EXISTS "${manifest}")
    # A manifest made by the build itself is fine: it only has to exist by link time.
    get_source_file_property(generated "${manifest}" GENERATED)
    if(NOT generated)
      message(FATAL_ERROR "tarvisk_embed_manifest: manifest '${manifest}' does not exist")
    endif()
  endif()
  set_property(TARGET "${target}" PROPERTY TARVISK_MANIFEST "${manifest}")

  if(TARVISK_EXECUTABLE)
    set(tool "${TARVISK_EXECUTABLE}")
  elseif(TARGET Tarvisk::tarvisk)
    set(tool "$<TARGET_FILE:Tarvisk::tarvisk>")
    # In Tarvisk's own tree the tool is built here, and must be built before it runs.
    get_target_property(tool_target Tarvisk::tarvisk ALIASED_TARGET)
    if(tool_target)
      add_dependencies("${target}" "${tool_target}")
    endif()
  else()
    message(FATAL_ERROR "tarvisk_embed_manifest: no tarvisk to run; "
                        "use find_package(Tarvisk) or set TARVISK_EXECUTABLE")
  endif()

  # A changed manifest relinks the target, and the relink runs the embedding again: the image
  # never keeps a stale manifest. (Makefile and Ninja generators honour LINK_DEPENDS.)
  set_property(TARGET "${target}" APPEND PROPERTY LINK_DEPENDS "${manifest}")
  add_custom_command(TARGET "${target}" POST_BUILD
    COMMAND "${CMAKE_COMMAND}"
            "-DTARVISK_TOOL=${tool}"
            "-DTARVISK_IMAGE=$<TARGET_FILE:${target}>"
            "-DTARVISK_MANIFEST=${manifest}"
            -P "${_TARVISK_EMBED_SCRIPT}"
    COMMENT "Embedding manifest ${manifest} in ${target}"
    VERBATIM)
endfunction()

else()

# Build time: run the tool. If it fails, the freshly linked image is removed, so the build
# cannot later take an image without its manifest for up to date.
foreach(var TARVISK_TOOL TARVISK_IMAGE TARVISK_MANIFEST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "TarviskEmbedManifest.cmake: ${var} is not set")
  endif()
endforeach()
execute_process(COMMAND "${TARVISK_TOOL}" "${TARVISK_IMAGE}" "${TARVISK_MANIFEST}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${TARVISK_IMAGE}")
  message(FATAL_ERROR "tarvisk could not store ${TARVISK_MANIFEST} in ${TARVISK_IMAGE} "
                      "(${status}); the image was removed")
endif()

endif()
