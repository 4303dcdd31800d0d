#pragma once
// Threads: detached threads running a selector, sleeping on the media clock.

#include <cstddef>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class BD_EXPORT NSThread : public NSObject {
  public:
    // +detachNewThreadSelector:toTarget:withObject: [any-thread]
    // Starts a detached thread that sends selector to toTarget with withObject inside its own
    // autorelease pool. Target and argument are retained until the selector has returned; the
    // references are then given back on the main run loop, so a last release (and the teardown
    // of a view) happens on the main thread.
    static void detachNewThreadSelector(const Selector& selector, NSObject* toTarget,
                                        NSObject* withObject);
    // +sleepForTimeInterval: [any-thread] Sleeps on the active media clock.
    static void sleepForTimeInterval(double ti);
    // +isMainThread [any-thread]
    static bool isMainThread();
};

namespace bd {
// [any-thread] Threads the platform has started (detached threads and operation-queue workers)
// that have not ended yet. Counted before a thread starts, so a host that steps a virtual clock
// can tell when every such thread is asleep on it.
BD_EXPORT size_t backgroundThreadCount();
// [any-thread] For the platform's own thread starters: one more / one fewer running thread.
BD_EXPORT void backgroundThreadStarting();
BD_EXPORT void backgroundThreadEnded();
}  // namespace bd
