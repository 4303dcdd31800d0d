#pragma once
// Two-phase creation: alloc<T>() makes an object with one reference, owned by the caller; an
// init… then returns it (as T's own pointer type) or null, having released it on failure.
//   Ref<SoundPlay> p = adopt(alloc<SoundPlay>()->init());

template <class T>
[[nodiscard]] T* alloc() {  // [any-thread]
    return new T();
}
