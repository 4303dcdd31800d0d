# TestWallpaper.bundle: a small wallpaper with a running frame loop, for the host's tests.
backdrop_add_wallpaper_bundle(TestWallpaper SOURCES ${CMAKE_CURRENT_LIST_DIR}/wallpaper/TestWallpaper.cpp
  OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bundles)
