#pragma once
// Ref<T>: a strong reference to a reference-counted object (NSObject or a CG… handle).
//
// A raw pointer never turns into a Ref by itself: the code says whether the Ref takes over a
// reference it already owns or adds one, as Skia's sk_sp makes its callers say.
//   Ref<X> x = adopt(alloc<X>()->init());   // owned: the result of alloc/init, copy, …Create…
//   Ref<X> y = retained(p);                  // borrowed: an autoreleased result, a parameter
//   _field = retained(p);                     // a strong property's setter
// `Ref<X> x = alloc<X>()->init();` therefore does not compile (it would leak or over-release
// depending on the guess). A Ref converts back to T* implicitly, to pass it where a plain
// pointer is wanted.

#include <cstddef>
#include <utility>

template <class T>
class Ref {
  public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(T*) = delete;  // say adopt(p) or retained(p)
    Ref(const Ref& o) : _p(o._p) {
        if (_p) _p->retain();
    }
    Ref(Ref&& o) noexcept : _p(std::exchange(o._p, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& o) : _p(o.get()) {
        if (_p) _p->retain();
    }
    template <class U>
    Ref(Ref<U>&& o) noexcept : _p(o.leak()) {}
    ~Ref() { reset(); }

    Ref& operator=(const Ref& o) {
        if (this != &o) {
            Ref tmp(o);
            swap(tmp);
        }
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    Ref& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    // Takes over a reference the caller owns.
    [[nodiscard]] static Ref adopt(T* p) {
        Ref r;
        r._p = p;
        return r;
    }
    // Adds a reference of its own.
    [[nodiscard]] static Ref retain(T* p) {
        Ref r;
        r._p = p;
        if (p) p->retain();
        return r;
    }
    void reset() {
        if (T* p = std::exchange(_p, nullptr)) p->release();
    }
    // Gives up ownership without releasing.
    [[nodiscard]] T* leak() { return std::exchange(_p, nullptr); }
    // Hands the reference to the current autorelease pool and returns the raw pointer.
    T* autorelease() {
        T* p = leak();
        if (p) p->autorelease();
        return p;
    }
    void swap(Ref& o) noexcept { std::swap(_p, o._p); }

    T* get() const { return _p; }
    T* operator->() const { return _p; }
    T& operator*() const { return *_p; }
    operator T*() const { return _p; }
    explicit operator bool() const { return _p != nullptr; }

  private:
    T* _p = nullptr;
};

// [any-thread] A Ref that takes over the caller's reference to p.
template <class T>
[[nodiscard]] Ref<T> adopt(T* p) {
    return Ref<T>::adopt(p);
}

// [any-thread] A Ref that holds a reference of its own to p.
template <class T>
[[nodiscard]] Ref<T> retained(T* p) {
    return Ref<T>::retain(p);
}
