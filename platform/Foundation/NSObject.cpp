#include "Foundation/NSObject.h"

#include "Foundation/MediaClock.h"
#include "Foundation/NSRunLoop.h"

void NSObject::release() {
#if defined(BD_DEBUG_CHECKS)
    if (_magic.load(std::memory_order_relaxed) != kLiveMagic)
        bd::fatal("release of an object that was already deallocated (use after free)");
#endif
    int prev = _retainCount.fetch_sub(1, std::memory_order_acq_rel);
    if (prev == 1) {
        dealloc();
    } else if (prev <= 0) {
        bd::fatal("release of an object whose retain count is already zero");
    }
}

NSObject* NSObject::autorelease() {
#if defined(BD_DEBUG_CHECKS)
    if (_magic.load(std::memory_order_relaxed) != kLiveMagic)
        bd::fatal("autorelease of a deallocated object");
#endif
    NSAutoreleasePool::addObject(this);
    return this;
}

void NSObject::dealloc() {
#if defined(BD_DEBUG_CHECKS)
    _magic.store(kDeadMagic, std::memory_order_relaxed);
#endif
    delete this;
}

NSObject::~NSObject() = default;

void NSObject::performSelector(const Selector& sel, NSObject* withObject, double afterDelay) {
    if (!(afterDelay > 0)) afterDelay = 0;
    NSRunLoop::mainRunLoop()->addPerformTimer(bd::mediaTime() + afterDelay, this, sel, withObject);
}

void NSObject::cancelPreviousPerformRequestsWithTarget(NSObject* target, const Selector& selector,
                                                       NSObject* object) {
    NSRunLoop::mainRunLoop()->cancelPerformTimers(target, selector, object);
}

void NSObject::performSelectorOnMainThread(const Selector& sel, NSObject* withObject,
                                           bool waitUntilDone) {
    if (waitUntilDone && bd::isMainThread()) {
        sel.send(this, withObject);
        return;
    }
    // The request keeps target and argument alive until it has run.
    retain();
    if (withObject) withObject->retain();
    auto run = [this, sel, withObject] {
        sel.send(this, withObject);
        if (withObject) withObject->release();
        release();
    };
    if (waitUntilDone)
        NSRunLoop::mainRunLoop()->postAndWait(run);
    else
        NSRunLoop::mainRunLoop()->post(run);
}
