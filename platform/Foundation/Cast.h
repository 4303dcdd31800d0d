#pragma once
// Polymorphic values (what a property list holds, what a dictionary returns) are NSObject*;
// as<T>(o) is the null-safe checked downcast: null when o is null or not a T.

class NSObject;

template <class T>
T* as(NSObject* o) {  // [any-thread]
    return dynamic_cast<T*>(o);
}
