# TestWallpaper.bundle: a small wallpaper with a running frame loop, for the host's tests.
backdrop_add_wallpaper_bundle(TestWallpaper SOURCES ${CMAKE_CURRENT_LIST_DIR}/wallpaper/TestWallpaper.cpp
  OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bundles)
# Hostile.bundle: a wallpaper that misbehaves as BDTEST_HOSTILE says, for the wallpaper
# process's tests (crashes, exits, hangs, forks, memory, forged output, sandbox escapes).
backdrop_add_wallpaper_bundle(Hostile SOURCES ${CMAKE_CURRENT_LIST_DIR}/../plugins/hostile/Hostile.cpp
  OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bundles DESCRIPTION title "hostile")
# A stranger's library is not built with our sanitizers: its crashes must reach the wallpaper
# process as the signals they are.
if(BACKDROP_SANITIZE)
  target_compile_options(Hostile PRIVATE -fno-sanitize=all)
endif()
# Tests of the wallpaper process itself link the host's objects; they start the tool built
# beside them (and themselves, as a fake wallpaper process) and use the test bundles.
foreach(t host_wallpaper_process_test host_wallpaper_wire_test host_hostile_plugins_test)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE backdrop_host)
    add_dependencies(${t} backdrop_tool TestWallpaper_bundle Hostile_bundle)
    if(TARGET AnimateDemo_bundle)
      add_dependencies(${t} AnimateDemo_bundle)
    endif()
  endif()
endforeach()
foreach(t host_bundle_tool_test)
  if(TARGET ${t})
    add_dependencies(${t} backdrop_tool)
  endif()
endforeach()
if(TARGET sdk_sdk_test)
  add_dependencies(sdk_sdk_test backdrop_tool)
endif()
# The wallpaper process's own test starts processes and reads them from this one: it runs
# under TSan with the thread tests.
if(TARGET host_wallpaper_process_test)
  set_tests_properties(host_wallpaper_process_test PROPERTIES LABELS threads)
endif()
