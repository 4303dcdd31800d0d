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
