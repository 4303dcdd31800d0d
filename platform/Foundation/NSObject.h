#pragma once
// The root of the object model: an intrusive, atomic reference count that starts at 1,
// retain/release/autorelease, a virtual teardown chain (dealloc), selectors as comparable
// member-function references, and the delayed / main-thread perform family.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <typeinfo>
#include <utility>

class NSObject;
class NSString;

// ---------------------------------------------------------------------------------------------
// Thread checks. BD_ASSERT_MAIN_THREAD() aborts in debug builds when called off the main thread.
namespace bd {
bool isMainThread();  // [any-thread]
[[noreturn]] void fatal(const char* what);  // [any-thread] prints and aborts
}  // namespace bd

#if defined(BD_DEBUG_CHECKS)
#define BD_ASSERT_MAIN_THREAD() \
    do { if (!::bd::isMainThread()) ::bd::fatal(__func__ /* called off the main thread */); } while (0)
#else
#define BD_ASSERT_MAIN_THREAD() do { } while (0)
#endif

// ---------------------------------------------------------------------------------------------
// Selector: a reference to an operation of some class, taking no argument or one object.
// Two selectors are equal when they name the same member function of the same class, so
// delayed performs can be cancelled by (target, selector, argument).
class Selector {
public:
    Selector() = default;

    // [any-thread] Sends the selector to target with arg; false when target is not of the class.
    bool send(NSObject* target, NSObject* arg) const {
        return _invoke && _invoke(*this, target, arg);
    }
    // [any-thread] Whether target is of a class that has this operation.
    bool accepts(NSObject* target) const { return _accepts && target && _accepts(target); }
    const char* name() const { return _name ? _name : ""; }
    explicit operator bool() const { return _invoke != nullptr; }

    bool operator==(const Selector& o) const {
        return _type == o._type && _size == o._size && std::memcmp(_pm, o._pm, _size) == 0;
    }

    template <class C, class R>
    static Selector make(R (C::*m)(), const char* name) {
        Selector s = make_<C>(m, name);
        s._invoke = [](const Selector& self, NSObject* t, NSObject*) {
            C* c = dynamic_cast<C*>(t);
            if (!c) return false;
            R (C::*pm)();
            std::memcpy(&pm, self._pm, sizeof pm);
            (c->*pm)();
            return true;
        };
        return s;
    }
    template <class C, class R, class A>
    static Selector make(R (C::*m)(A*), const char* name) {
        Selector s = make_<C>(m, name);
        s._invoke = [](const Selector& self, NSObject* t, NSObject* arg) {
            C* c = dynamic_cast<C*>(t);
            if (!c) return false;
            R (C::*pm)(A*);
            std::memcpy(&pm, self._pm, sizeof pm);
            (c->*pm)(dynamic_cast<A*>(arg));
            return true;
        };
        return s;
    }

private:
    template <class C, class PM>
    static Selector make_(PM m, const char* name) {
        static_assert(sizeof(PM) <= sizeof(_pm));
        Selector s;
        std::memcpy(s._pm, &m, sizeof m);
        s._size = sizeof m;
        s._type = &typeid(PM);
        s._name = name;
        s._accepts = [](NSObject* t) { return dynamic_cast<C*>(t) != nullptr; };
        return s;
    }

    bool (*_invoke)(const Selector&, NSObject*, NSObject*) = nullptr;
    bool (*_accepts)(NSObject*) = nullptr;
    const std::type_info* _type = nullptr;
    const char* _name = nullptr;
    alignas(void*) unsigned char _pm[16] = {};
    size_t _size = 0;
};

// @selector(...) counterpart: BD_SEL(DeskTopView, delayLoading)
#define BD_SEL(Class, method) ::Selector::make(&Class::method, #method)

// ---------------------------------------------------------------------------------------------
class NSObject {
public:
    NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    // [any-thread]
    NSObject* retain() {
        _retainCount.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    // [any-thread] Drops one reference; the last one runs dealloc().
    void release();
    // [any-thread] Hands the reference to the innermost autorelease pool of this thread.
    NSObject* autorelease();
    // [any-thread]
    int retainCount() const { return _retainCount.load(std::memory_order_relaxed); }

    // -init: the base initialiser; returns the object or null (releasing itself on failure).
    virtual NSObject* init() { return this; }

    // -description, -isEqual:, -hash
    virtual NSString* description();
    virtual bool isEqual(NSObject* other) { return other == this; }
    virtual size_t hash() { return reinterpret_cast<size_t>(this); }

    // -respondsToSelector:
    virtual bool respondsToSelector(const Selector& sel) { return sel.accepts(this); }

    // -performSelector:withObject:afterDelay: [main-thread] (runs on the main run loop).
    // The pending call retains the target and the argument until it has run or been cancelled.
    void performSelector(const Selector& sel, NSObject* withObject, double afterDelay);
    // +cancelPreviousPerformRequestsWithTarget:selector:object: [main-thread]
    static void cancelPreviousPerformRequestsWithTarget(NSObject* target, const Selector& selector,
                                                        NSObject* object);
    // -performSelectorOnMainThread:withObject:waitUntilDone: [any-thread]
    // Runs inline when already on the main thread and asked to wait.
    void performSelectorOnMainThread(const Selector& sel, NSObject* withObject, bool waitUntilDone);

protected:
    // -dealloc: teardown chain. Each class tears down its own state and then calls its base's
    // dealloc; NSObject::dealloc frees the object. Runs with the whole object alive, so a
    // message the teardown sends to itself reaches the most derived class.
    virtual void dealloc();
    virtual ~NSObject();

private:
    std::atomic<int> _retainCount{1};
#if defined(BD_DEBUG_CHECKS)
    std::atomic<uint32_t> _magic{0x0b1ec7u};
#endif
};

// Two-phase creation: alloc<T>() then an init… that returns the object or null.
template <class T>
T* alloc() {
    return new T();
}

// ---------------------------------------------------------------------------------------------
// Ref<T>: a strong reference. Ref<T>(p) retains p; Ref<T>::adopt(p) takes over a reference the
// caller already owns (the result of alloc/init or copy).
template <class T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(T* p) : _p(p) {
        if (_p) _p->retain();
    }
    Ref(const Ref& o) : Ref(o._p) {}
    Ref(Ref&& o) noexcept : _p(std::exchange(o._p, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& o) : Ref(static_cast<T*>(o.get())) {}
    template <class U>
    Ref(Ref<U>&& o) noexcept : _p(static_cast<T*>(o.leak())) {}
    ~Ref() { reset(); }

    Ref& operator=(const Ref& o) {
        Ref tmp(o);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    Ref& operator=(T* p) {
        Ref tmp(p);
        swap(tmp);
        return *this;
    }
    Ref& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    static Ref adopt(T* p) {
        Ref r;
        r._p = p;
        return r;
    }
    void reset() {
        if (T* p = std::exchange(_p, nullptr)) p->release();
    }
    // Gives up ownership without releasing.
    T* leak() { return std::exchange(_p, nullptr); }
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

template <class T>
Ref<T> adopt(T* p) {
    return Ref<T>::adopt(p);
}

// Polymorphic values: null-safe checked downcast.
template <class T>
T* as(NSObject* o) {
    return dynamic_cast<T*>(o);
}

// ---------------------------------------------------------------------------------------------
// NSAutoreleasePool: an RAII scope on a thread-local stack. Objects autoreleased on a thread
// go to its innermost pool and are released when that pool ends (or is drained). A thread
// without any pool has a fallback pool drained when the thread ends.
class NSAutoreleasePool {
public:
    NSAutoreleasePool();
    ~NSAutoreleasePool();
    NSAutoreleasePool(const NSAutoreleasePool&) = delete;
    NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;

    // Releases what the pool holds now; the pool stays in place.
    void drain();
    static void addObject(NSObject* o);

private:
    size_t _mark;
};
