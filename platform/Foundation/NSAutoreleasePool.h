#pragma once
// NSAutoreleasePool: an RAII scope on a thread-local stack. Objects autoreleased on a thread
// go to its innermost pool and are released when that pool ends (or is drained). A thread
// without any pool has a fallback pool drained when the thread ends.

#include <cstddef>
#include "Foundation/Export.h"

class NSObject;

class BD_EXPORT NSAutoreleasePool {
  public:
    NSAutoreleasePool();   // [any-thread]
    ~NSAutoreleasePool();  // [any-thread] same thread as the constructor
    NSAutoreleasePool(const NSAutoreleasePool&) = delete;
    NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;

    // [any-thread] Releases what the pool holds now; the pool stays in place.
    void drain();
    // [any-thread] Hands one reference to the innermost pool of this thread.
    static void addObject(NSObject* o);

  private:
    size_t _mark;
};
