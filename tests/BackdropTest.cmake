# How a test program is added (see CONTRIBUTING.md, "Adding a test"):
#
# backdrop_add_test(NAME
#     SOURCES file ...          the test's sources, relative to tests/ (or absolute)
#     [LIBRARIES target ...]    linked besides the framework, the test support and GoogleTest
#     [DEPENDS target ...]      built before the test runs (the tool, wallpaper bundles, plug-ins)
#     [LABELS label ...]        default "unit"; "threads" also runs it under the tsan preset
#     [TIMEOUT seconds])        default 300
#
# NAME is <folder>_<file name without .cpp>, e.g. Foundation_selector_test for
# tests/Foundation/selector_test.cpp. The program lands in build/<preset>/tests/NAME and ctest
# knows it by NAME. A source that does not exist, an argument the function does not know or a
# DEPENDS target that is not defined (yet) stops the configuration with a message, so a renamed
# file or target never drops a test silently; backdrop_check_tests_registered() then fails on any
# *_test.cpp that no backdrop_add_test() names.

function(backdrop_add_test NAME)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "TIMEOUT" "SOURCES;LIBRARIES;DEPENDS;LABELS")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "backdrop_add_test(${NAME}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "backdrop_add_test(${NAME}): SOURCES is required")
  endif()
  if(TARGET ${NAME})
    message(FATAL_ERROR "backdrop_add_test(${NAME}): a target of that name exists already")
  endif()
  set(_sources "")
  foreach(_src ${ARG_SOURCES})
    get_filename_component(_abs "${_src}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT EXISTS "${_abs}")
      message(FATAL_ERROR "backdrop_add_test(${NAME}): no source file ${_src} (renamed or moved?)")
    endif()
    list(APPEND _sources "${_abs}")
  endforeach()
  foreach(_dep ${ARG_DEPENDS})
    if(NOT TARGET ${_dep})
      message(FATAL_ERROR "backdrop_add_test(${NAME}): DEPENDS names ${_dep}, which is no target "
                          "(renamed, or defined after this test?)")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY BACKDROP_TEST_SOURCES ${_sources})

  add_executable(${NAME} ${_sources})
  target_link_libraries(${NAME} PRIVATE backdrop_test_support GTest::gtest_main ${ARG_LIBRARIES})
  set_target_properties(${NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(ARG_DEPENDS)
    add_dependencies(${NAME} ${ARG_DEPENDS})
  endif()
  add_test(NAME ${NAME} COMMAND ${NAME})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${NAME} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()

# Fails the configuration when a *_test.cpp under DIR is not a source of any backdrop_add_test().
function(backdrop_check_tests_registered DIR)
  file(GLOB_RECURSE _found CONFIGURE_DEPENDS "${DIR}/*_test.cpp")
  get_property(_registered GLOBAL PROPERTY BACKDROP_TEST_SOURCES)
  set(_missing "")
  foreach(_file ${_found})
    if(NOT _file IN_LIST _registered)
      file(RELATIVE_PATH _rel "${DIR}" "${_file}")
      list(APPEND _missing "${_rel}")
    endif()
  endforeach()
  if(_missing)
    list(JOIN _missing ", " _list)
    message(FATAL_ERROR "tests without a backdrop_add_test() in tests/CMakeLists.txt: ${_list}")
  endif()
endfunction()
