#pragma once
// Selector: a reference to an operation of some class, taking no argument or one object.
// BD_SEL(Class, method) is the counterpart of @selector(method).
//
// Two selectors are equal when they name the same operation: the same member-function type
// (compared with type_info's equality, which compares the mangled names, because a library
// built with hidden visibility carries its own type_info object for the same type) and the same
// member function (the same member-pointer bytes, or the same name, since a hidden copy of an
// inline member has an address of its own). So a delayed perform asked for in one library can
// be cancelled by (target, selector, argument) from another.

#include <cstddef>
#include <cstring>
#include <typeinfo>
#include "Foundation/Export.h"

class NSObject;

class BD_EXPORT Selector {
  public:
    Selector() = default;

    // [any-thread] Sends the selector to target with arg; false when target is not of the class.
    bool send(NSObject* target, NSObject* arg) const {
        return _invoke && _invoke(*this, target, arg);
    }
    // [any-thread] Whether target is of a class that has this operation.
    bool accepts(NSObject* target) const { return _accepts && target && _accepts(target); }
    const char* name() const { return _name ? _name : ""; }  // [any-thread]
    explicit operator bool() const { return _invoke != nullptr; }

    // [any-thread]
    bool operator==(const Selector& o) const {
        if (!_type || !o._type) return _type == o._type;
        if (*_type != *o._type || _size != o._size) return false;
        if (std::memcmp(_pm, o._pm, _size) == 0) return true;
        return _name && o._name && std::strcmp(_name, o._name) == 0;
    }

    // [any-thread] A selector of C's operation m, called name (BD_SEL passes the method's name).
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
