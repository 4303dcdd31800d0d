#pragma once
// Owning handles for the cairo and pixman objects that drawing makes (not installed with the SDK
// headers, which never name cairo or pixman).

#include <cairo.h>
#include <pixman.h>

#include "Foundation/UniqueHandle.h"

namespace bd {

using CairoContext = UniqueHandle<cairo_t, cairo_destroy>;
using CairoSurface = UniqueHandle<cairo_surface_t, cairo_surface_destroy>;
using CairoPattern = UniqueHandle<cairo_pattern_t, cairo_pattern_destroy>;
using CairoPath = UniqueHandle<cairo_path_t, cairo_path_destroy>;
using PixmanImage = UniqueHandle<pixman_image_t, pixman_image_unref>;

}  // namespace bd
