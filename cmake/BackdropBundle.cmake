# backdrop_add_wallpaper_bundle(NAME
#     SOURCES file ...
#     [RESOURCES file ...]
#     [THUMBNAIL file]
#     [VERSION version]
#     [DESCRIPTION key value ...]
#     [OUTPUT_DIRECTORY dir])
#
# Builds the wallpaper library NAME.so (no "lib" prefix, hidden visibility with only the three
# entry points and getDeskTopViewAbiVersion exported, -z nodelete so dlclose never unmaps a live view's code, -z defs so
# every symbol resolves at link time) and assembles NAME.bundle/ in OUTPUT_DIRECTORY (default:
# BACKDROP_BUNDLE_DIR when set, else the current binary directory):
#
#   NAME.bundle/description.plist   "name Library" = NAME.so, "version" = VERSION when given,
#                                   then the DESCRIPTION pairs
#   NAME.bundle/thumbnail.png       a copy of THUMBNAIL
#   NAME.bundle/NAME.so             the library
#   NAME.bundle/<file name>         a copy of every RESOURCES file (generated files welcome)
#
# The library target is NAME; the target NAME_bundle (built by default) assembles the rest. The
# library's sources see BACKDROP_WALLPAPER_NAME ("NAME") and, with VERSION,
# BACKDROP_WALLPAPER_VERSION ("version"), so that the name and the version live in one place:
# a view's +name and +version return them, and getDeskTopViewName/Version with them.
# See docs/bundle-format.md and docs/writing-a-wallpaper.md.
function(backdrop_add_wallpaper_bundle NAME)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "THUMBNAIL;OUTPUT_DIRECTORY;VERSION"
                        "SOURCES;RESOURCES;DESCRIPTION")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): SOURCES is required")
  endif()
  list(LENGTH ARG_DESCRIPTION _n)
  math(EXPR _odd "${_n} % 2")
  if(_odd)
    message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): DESCRIPTION takes key value pairs")
  endif()

  if(ARG_OUTPUT_DIRECTORY)
    set(_dir "${ARG_OUTPUT_DIRECTORY}")
  elseif(BACKDROP_BUNDLE_DIR)
    set(_dir "${BACKDROP_BUNDLE_DIR}")
  else()
    set(_dir "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(_bundle "${_dir}/${NAME}.bundle")

  # The library, straight into the bundle. Only the entry points leave it.
  set(_exports "${CMAKE_CURRENT_BINARY_DIR}/${NAME}.exports")
  file(WRITE "${_exports}"
       "{\n  global: getDeskTopViewName; getDeskTopViewVersion; getDeskTopViewInstance;\n          getDeskTopViewAbiVersion;\n  local: *;\n};\n")
  add_library(${NAME} MODULE ${ARG_SOURCES})
  target_link_libraries(${NAME} PRIVATE Backdrop::backdrop)
  set_target_properties(${NAME} PROPERTIES
    PREFIX "" SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    # The empty generator expression keeps multi-config generators from adding a subdirectory.
    LIBRARY_OUTPUT_DIRECTORY "${_bundle}$<0:>"
    LINK_DEPENDS "${_exports}")
  target_link_options(${NAME} PRIVATE -Wl,-z,nodelete -Wl,-z,defs
                      "-Wl,--version-script=${_exports}")

  target_compile_definitions(${NAME} PRIVATE "BACKDROP_WALLPAPER_NAME=\"${NAME}\"")
  if(DEFINED ARG_VERSION)
    target_compile_definitions(${NAME} PRIVATE "BACKDROP_WALLPAPER_VERSION=\"${ARG_VERSION}\"")
  endif()

  # description.plist: the library's file name under "name Library", the version, then the
  # caller's pairs.
  set(_entries "  <key>name Library</key>\n  <string>$<TARGET_FILE_NAME:${NAME}></string>\n")
  if(DEFINED ARG_VERSION)
    string(APPEND _entries "  <key>version</key>\n  <string>${ARG_VERSION}</string>\n")
  endif()
  # Indexed, since list(POP_FRONT) loses the escaping of a ";" inside the values left.
  if(_n GREATER 0)
    math(EXPR _last "${_n} - 1")
    foreach(_i RANGE 0 ${_last} 2)
      math(EXPR _j "${_i} + 1")
      list(GET ARG_DESCRIPTION ${_i} _key)
      list(GET ARG_DESCRIPTION ${_j} _value)
      if(_key STREQUAL "name Library")
        message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): \"name Library\" is set from the library")
      endif()
      if(_key STREQUAL "version" AND DEFINED ARG_VERSION)
        message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): the version is given twice (VERSION and DESCRIPTION)")
      endif()
      foreach(_v _key _value)
        string(REPLACE "&" "&amp;" ${_v} "${${_v}}")
        string(REPLACE "<" "&lt;" ${_v} "${${_v}}")
        string(REPLACE ">" "&gt;" ${_v} "${${_v}}")
      endforeach()
      string(APPEND _entries "  <key>${_key}</key>\n  <string>${_value}</string>\n")
    endforeach()
  endif()
  file(GENERATE OUTPUT "${_bundle}/description.plist" CONTENT
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n${_entries}</dict>\n</plist>\n")

  # Resources and the thumbnail, copied under their file names.
  set(_outputs "")
  set(_makers "")
  set(_names "description.plist;${NAME}.so")
  set(_pairs "")
  foreach(_file ${ARG_RESOURCES})
    get_filename_component(_name "${_file}" NAME)
    list(APPEND _pairs "${_file}|${_name}")
  endforeach()
  if(ARG_THUMBNAIL)
    list(APPEND _pairs "${ARG_THUMBNAIL}|thumbnail.png")
  endif()
  foreach(_pair ${_pairs})
    string(REPLACE "|" ";" _pair "${_pair}")
    list(GET _pair 0 _file)
    list(GET _pair 1 _name)
    if(_name IN_LIST _names)
      message(FATAL_ERROR "backdrop_add_wallpaper_bundle(${NAME}): two files named ${_name}")
    endif()
    list(APPEND _names "${_name}")
    get_filename_component(_src "${_file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_source_file_property(_maker "${_src}" BACKDROP_PACKAGE_TARGET)
    if(_maker)
      list(APPEND _makers ${_maker})
    endif()
    add_custom_command(OUTPUT "${_bundle}/${_name}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_bundle}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_src}" "${_bundle}/${_name}"
      DEPENDS "${_src}"
      COMMENT "Bundling ${NAME}.bundle/${_name}"
      VERBATIM)
    list(APPEND _outputs "${_bundle}/${_name}")
  endforeach()
  add_custom_target(${NAME}_bundle ALL DEPENDS ${_outputs})
  add_dependencies(${NAME}_bundle ${NAME} ${_makers})
endfunction()

# backdrop_add_resource_package(TARGET DIR OUTPUT [PLAIN] [DEPENDS file-or-target ...])
#
# Packs every file under DIR into the resource package OUTPUT at build time, with the tool's
# `backdrop pack` (records named by their paths under DIR, payloads scrambled unless PLAIN).
# TARGET is a new target (built by default) that makes OUTPUT; give OUTPUT to
# backdrop_add_wallpaper_bundle's RESOURCES to ship it. The package is made again when a file
# under DIR changes (files present at configure time), when the tool changes, or when something
# in DEPENDS does: name there what writes into DIR at build time (an asset program's outputs).
function(backdrop_add_resource_package TARGET DIR OUTPUT)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "PLAIN" "" "DEPENDS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "backdrop_add_resource_package(${TARGET}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET Backdrop::tool)
    message(FATAL_ERROR "backdrop_add_resource_package(${TARGET}): the SDK has no Backdrop::tool")
  endif()
  get_filename_component(_dir "${DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(_out "${OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  file(GLOB_RECURSE _files CONFIGURE_DEPENDS "${_dir}/*")
  set(_plain "")
  if(ARG_PLAIN)
    set(_plain "--plain")
  endif()
  get_filename_component(_outdir "${_out}" DIRECTORY)
  add_custom_command(OUTPUT "${_out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_outdir}"
    COMMAND Backdrop::tool pack "${_dir}" -o "${_out}" ${_plain}
    DEPENDS ${_files} ${ARG_DEPENDS} Backdrop::tool
    COMMENT "Packing ${DIR} into ${OUTPUT}"
    VERBATIM)
  add_custom_target(${TARGET} ALL DEPENDS "${_out}")
  # A bundle that ships the package builds after this target, so the package is made once.
  set_source_files_properties("${_out}" PROPERTIES BACKDROP_PACKAGE_TARGET ${TARGET})
endfunction()
