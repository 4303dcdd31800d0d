# Tests that make their own picture files with libpng and TurboJPEG.
if(TARGET UIKit_image_test)
  target_link_libraries(UIKit_image_test PRIVATE PkgConfig::PNG PkgConfig::TURBOJPEG)
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/host/wallpaper.cmake)
