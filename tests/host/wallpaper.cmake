# TestWallpaper.bundle: a small wallpaper with a running frame loop, for the host's tests.
backdrop_add_wallpaper_bundle(TestWallpaper SOURCES ${CMAKE_CURRENT_LIST_DIR}/wallpaper/TestWallpaper.cpp)
set(BACKDROP_TEST_WALLPAPER ${BACKDROP_BUNDLE_DIR}/TestWallpaper.bundle)
set_target_properties(TestWallpaper PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${BACKDROP_TEST_WALLPAPER})
file(WRITE ${BACKDROP_TEST_WALLPAPER}/description.plist
"<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<plist version=\"1.0\">
<dict>
  <key>name Library</key>
  <string>TestWallpaper.so</string>
</dict>
</plist>
")
