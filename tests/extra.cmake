# Tests that make their own picture files with libpng and TurboJPEG.
if(TARGET UIKit_image_test)
  target_link_libraries(UIKit_image_test PRIVATE PkgConfig::PNG PkgConfig::TURBOJPEG)
endif()
include(${CMAKE_CURRENT_SOURCE_DIR}/host/wallpaper.cmake)
# run's loop, with the host's objects; it starts wallpaper processes of the tool.
if(TARGET host_run_session_thread_test)
  target_include_directories(host_run_session_thread_test PRIVATE ${CMAKE_SOURCE_DIR}/host)
  target_link_libraries(host_run_session_thread_test PRIVATE backdrop_host)
  add_dependencies(host_run_session_thread_test backdrop_tool TestWallpaper_bundle)
  if(TARGET AnimateDemo_bundle)
    add_dependencies(host_run_session_thread_test AnimateDemo_bundle)
  endif()
endif()
# The live-window test reads its screenshot through Xlib.
if(TARGET host_run_window_test)
  pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
  target_sources(host_run_window_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/host/x11_screenshot.cpp)
  target_link_libraries(host_run_window_test PRIVATE PkgConfig::X11)
endif()
# The host's tests run the tool on the wallpaper bundles; the render test decodes its WebP.
foreach(t host_render_command_test host_render_thread_test host_render_demo_test host_run_window_test)
  if(TARGET ${t})
    add_dependencies(${t} backdrop_tool TestWallpaper_bundle)
    if(TARGET AnimateDemo_bundle)
      add_dependencies(${t} AnimateDemo_bundle)
    endif()
  endif()
endforeach()
pkg_check_modules(WEBPDEMUX REQUIRED IMPORTED_TARGET libwebpdemux)
foreach(t host_render_command_test host_render_thread_test host_render_demo_test)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE PkgConfig::WEBPDEMUX)
  endif()
endforeach()

# Tests that load the sample wallpaper's bundle.
if(TARGET demo_demo_damage_test AND TARGET AnimateDemo_bundle)
  add_dependencies(demo_demo_damage_test AnimateDemo_bundle)
endif()

# The sample wallpaper's view, compiled into its unit test (the library hides it).
if(TARGET demo_animateDemoView_test)
  target_sources(demo_animateDemoView_test PRIVATE ${CMAKE_SOURCE_DIR}/demo/AnimateDemoView.cpp)
endif()

# Broken and plain wallpaper libraries for the loader and `backdrop check` tests. The first
# three are built as authors build them, into tests/bundles/NAME.bundle; the last two are linked
# the plain way, into tests/plugins/, and the tests put them into bundles of their own.
set(BACKDROP_TEST_BUNDLE_DIR ${CMAKE_BINARY_DIR}/tests/bundles)
foreach(_plugin no_entry crash hang asks)
  backdrop_add_wallpaper_bundle(bdtest_${_plugin}
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plugins/${_plugin}.cpp
    OUTPUT_DIRECTORY ${BACKDROP_TEST_BUNDLE_DIR}
    DESCRIPTION title "${_plugin}")
endforeach()
# A wallpaper built for a later ABI than this framework speaks.
backdrop_add_wallpaper_bundle(bdtest_abi2
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/plugins/abi2.cpp
  OUTPUT_DIRECTORY ${BACKDROP_TEST_BUNDLE_DIR}
  DESCRIPTION title "abi2")
target_compile_definitions(bdtest_abi2 PRIVATE BACKDROP_ABI_VERSION=2)
foreach(_plugin unresolved plain)
  add_library(bdtest_${_plugin} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/plugins/${_plugin}.cpp)
  target_link_libraries(bdtest_${_plugin} PRIVATE Backdrop::backdrop)
  set_target_properties(bdtest_${_plugin} PROPERTIES PREFIX "" SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)
endforeach()

# The SDK test installs this build and builds a wallpaper against it with the same tools.
if(TARGET sdk_sdk_test)
  target_compile_definitions(sdk_sdk_test PRIVATE
    BD_CMAKE_COMMAND="${CMAKE_COMMAND}"
    BD_CMAKE_GENERATOR="${CMAKE_GENERATOR}"
    BD_CXX_COMPILER="${CMAKE_CXX_COMPILER}"
    BD_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

# The desktop daemon's tests: its parts compiled in (the units and the X11 backend), the tool and
# the wallpaper bundles run end to end.
pkg_check_modules(DESKTOP_XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-randr xcb-xfixes xcb-shape
                  xcb-screensaver xcb-dpms)
set(BACKDROP_DESKTOP_PARTS Geometry Fit StateFile PowerSupply ControlSocket X11Backend Daemon)
foreach(t host_desktop_units_test host_desktop_x11_test host_desktop_daemon_test)
  if(TARGET ${t})
    foreach(_part ${BACKDROP_DESKTOP_PARTS})
      target_sources(${t} PRIVATE ${CMAKE_SOURCE_DIR}/host/desktop/${_part}.cpp)
    endforeach()
    target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${t} PRIVATE PkgConfig::DESKTOP_XCB PkgConfig::PIXMAN)
    add_dependencies(${t} backdrop_tool AnimateDemo_bundle TestWallpaper_bundle bdtest_crash_bundle
                     bdtest_hang_bundle)
    set_property(TEST ${t} APPEND PROPERTY LABELS desktop)
    set_tests_properties(${t} PROPERTIES TIMEOUT 120)
  endif()
endforeach()

# The Wayland backend's tests (its code compiled in) and the daemon's on Wayland (the tool end to
# end), with the tiny window they make fullscreen.
add_executable(bdtest_toplevel ${CMAKE_CURRENT_SOURCE_DIR}/host/desktop/toplevel_client.cpp)
target_link_libraries(bdtest_toplevel PRIVATE backdrop_wayland_protocols)
set_target_properties(bdtest_toplevel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
if(TARGET host_desktop_wayland_test)
  target_link_libraries(host_desktop_wayland_test PRIVATE backdrop_host)
endif()
foreach(t host_desktop_wayland_test host_desktop_wayland_daemon_test)
  if(TARGET ${t})
    add_dependencies(${t} bdtest_toplevel backdrop_tool AnimateDemo_bundle TestWallpaper_bundle
                     bdtest_crash_bundle)
    set_property(TEST ${t} APPEND PROPERTY LABELS desktop)
    set_tests_properties(${t} PROPERTIES TIMEOUT 120)
  endif()
endforeach()
