#pragma once
// BD_EXPORT marks what the framework library exports: its public classes (with their members,
// vtables and type information), functions and variables. The library is built with hidden
// visibility, so everything else — the pixel kernels, the raster, the warp, the decoders, the
// loader's trace — stays inside it. On ELF the same attribute serves the library and whoever
// uses it.

#define BD_EXPORT __attribute__((visibility("default")))
// BD_HIDDEN keeps a public class's private parts (its Impl or State) inside the library.
#define BD_HIDDEN __attribute__((visibility("hidden")))
