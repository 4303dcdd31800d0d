#pragma once
// UniqueHandle<T, free>: sole ownership of a C library's object, given back with the library's
// own release function when the handle goes, so no path out of a function needs a hand-written
// clean-up. It is a std::unique_ptr, so get(), release() and reset() work as usual.
//   bd::UniqueHandle<SDL_Window, SDL_DestroyWindow> window(SDL_CreateWindow(...));
// CoreGraphics/CGHandlesPrivate.h names the cairo and pixman handles.

#include <memory>

namespace bd {

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* p) const {  // [any-thread]
        if (p) Free(p);
    }
};

template <class T, auto Free>
using UniqueHandle = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace bd
