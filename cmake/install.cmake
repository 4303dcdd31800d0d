# The SDK: `cmake --install` puts the framework library, its headers (source layout kept under
# include/backdrop/), the CMake package Backdrop (target Backdrop::backdrop and
# backdrop_add_wallpaper_bundle), a pkg-config file and the backdrop tool under the prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(BACKDROP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Backdrop)

# `#include <backdrop/interface/DeskTopView.h>` needs include/ itself; the headers include one
# another as "interface/..." and "Foundation/...".
target_include_directories(backdrop PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS backdrop EXPORT BackdropTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Only the public headers: the framework's private ones (named *Private.h, and the headers of its
# internal parts below) declare nothing the library exports.
set(BACKDROP_PRIVATE_HEADERS
  CGImagePixels.h CGPixelKernels.h CGPixelKernelsAVX2.h CGRaster.h
  CABilinearSpans.h CADisplayList.h CAHomography.h CAPainter.h CAPictureCache.h CAProjectiveWarp.h
  ImageDecoder.h WAVDecoder.h DynamicLoader.h)
set(_exclude PATTERN "*Private.h" EXCLUDE)
foreach(_header ${BACKDROP_PRIVATE_HEADERS})
  list(APPEND _exclude PATTERN ${_header} EXCLUDE)
endforeach()
foreach(_folder platform interface Common)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${_folder}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/backdrop/${_folder}
    FILES_MATCHING PATTERN "*.h" ${_exclude})
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/include/backdrop/Version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/backdrop)
# The guides and the examples they quote.
install(FILES ${CMAKE_SOURCE_DIR}/docs/writing-a-wallpaper.md ${CMAKE_SOURCE_DIR}/docs/embedding.md
  ${CMAKE_SOURCE_DIR}/docs/abi.md ${CMAKE_SOURCE_DIR}/docs/bundle-format.md
  ${CMAKE_SOURCE_DIR}/docs/package-format.md ${CMAKE_SOURCE_DIR}/docs/images.md
  ${CMAKE_SOURCE_DIR}/docs/animations.md ${CMAKE_SOURCE_DIR}/docs/threads.md
  ${CMAKE_SOURCE_DIR}/docs/security.md ${CMAKE_SOURCE_DIR}/docs/desktop.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/backdrop)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/backdrop/examples)

if(TARGET backdrop_tool)
  set_target_properties(backdrop_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS backdrop_tool EXPORT BackdropTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(EXPORT BackdropTargets NAMESPACE Backdrop:: DESTINATION ${BACKDROP_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/BackdropConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/BackdropConfig.cmake
  INSTALL_DESTINATION ${BACKDROP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/BackdropConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/cmake/BackdropConfig.cmake
  ${CMAKE_BINARY_DIR}/cmake/BackdropConfigVersion.cmake
  ${CMAKE_SOURCE_DIR}/cmake/BackdropBundle.cmake
  DESTINATION ${BACKDROP_INSTALL_CMAKEDIR})

# The prefix is found from the .pc file's own place, so `cmake --install --prefix` anywhere works.
file(RELATIVE_PATH _pc_to_prefix "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
set(BACKDROP_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/backdrop.pc.in ${CMAKE_BINARY_DIR}/cmake/backdrop.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cmake/backdrop.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The same package in the build tree (build/<preset>/sdk): a wallpaper project can build against
# an uninstalled build with find_package(Backdrop) and Backdrop_DIR pointing there.
set(_sdk ${CMAKE_BINARY_DIR}/sdk)
if(TARGET backdrop_tool)
  export(TARGETS backdrop backdrop_tool NAMESPACE Backdrop:: FILE ${_sdk}/BackdropTargets.cmake)
else()
  export(TARGETS backdrop NAMESPACE Backdrop:: FILE ${_sdk}/BackdropTargets.cmake)
endif()
file(WRITE ${_sdk}/BackdropConfig.cmake
  "# Backdrop SDK in its build tree (see cmake/install.cmake).\n"
  "include(CMakeFindDependencyMacro)\nfind_dependency(Threads)\n"
  "include(\"\${CMAKE_CURRENT_LIST_DIR}/BackdropTargets.cmake\")\n"
  "include(\"${CMAKE_SOURCE_DIR}/cmake/BackdropBundle.cmake\")\n")
configure_file(${CMAKE_BINARY_DIR}/cmake/BackdropConfigVersion.cmake
  ${_sdk}/BackdropConfigVersion.cmake COPYONLY)

# The desktop daemon's autostart: a systemd user unit and an XDG autostart entry, both running
# the installed tool. They are written at install time, so `cmake --install --prefix P` names
# P/bin/backdrop. `backdrop desktop --install-autostart` copies one into a user's config.
if(TARGET backdrop_tool)
  foreach(_file backdrop.service backdrop.desktop)
    install(CODE "
      file(READ \"${CMAKE_SOURCE_DIR}/host/desktop/autostart/${_file}.in\" _text)
      set(_dest \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/backdrop\")
      string(REPLACE \"@BACKDROP_EXEC@\" \"\${_dest}\" _text \"\${_text}\")
      file(WRITE \"${CMAKE_BINARY_DIR}/autostart/${_file}\" \"\${_text}\")")
  endforeach()
  install(FILES ${CMAKE_BINARY_DIR}/autostart/backdrop.service DESTINATION lib/systemd/user)
  install(FILES ${CMAKE_BINARY_DIR}/autostart/backdrop.desktop
    DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/xdg/autostart)
endif()
