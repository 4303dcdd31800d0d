# backdrop_add_wallpaper_bundle(NAME SOURCES ... RESOURCES ... [THUMBNAIL file] [DESCRIPTION key value ...])
# Builds a wallpaper library and assembles NAME.bundle/ beside it (filled in by the SDK work).
function(backdrop_add_wallpaper_bundle NAME)
  cmake_parse_arguments(ARG "" "THUMBNAIL;OUTPUT_DIRECTORY" "SOURCES;RESOURCES;DESCRIPTION" ${ARGN})
  add_library(${NAME} MODULE ${ARG_SOURCES})
  target_link_libraries(${NAME} PRIVATE Backdrop::backdrop)
  set_target_properties(${NAME} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden)
  target_link_options(${NAME} PRIVATE -Wl,-z,nodelete -Wl,-z,defs)
endfunction()
