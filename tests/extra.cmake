# Tests that make their own picture files with libpng and TurboJPEG.
if(TARGET UIKit_image_test)
  target_link_libraries(UIKit_image_test PRIVATE PkgConfig::PNG PkgConfig::TURBOJPEG)
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/host/wallpaper.cmake)
# The live-window test reads its screenshot through Xlib.
if(TARGET host_run_window_test)
  pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
  target_sources(host_run_window_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/host/x11_screenshot.cpp)
  target_link_libraries(host_run_window_test PRIVATE PkgConfig::X11)
endif()
