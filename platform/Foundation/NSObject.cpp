#include "Foundation/NSObject.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CABase.h"

namespace bd {
bool isMainThread() {
    // The answer never changes for a thread, so ask the kernel once per thread.
    thread_local const bool isMain = pid_t(syscall(SYS_gettid)) == getpid();
    return isMain;
}

void fatal(const char* what) {
    std::fprintf(stderr, "backdrop: fatal: %s\n", what ? what : "(unknown)");
    std::fflush(stderr);
    std::abort();
}
}  // namespace bd

namespace {
constexpr uint32_t kLiveMagic = 0x0b1ec7u;
constexpr uint32_t kDeadMagic = 0xdeadb1ecu;

// The thread's autorelease stack. Objects below the first pool's mark belong to the fallback
// pool, released when the thread ends.
struct PoolStack {
    std::vector<NSObject*> objects;
    size_t depth = 0;
    void releaseDownTo(size_t mark) {
        // A release may autorelease more objects; keep going until the stack is back at mark.
        while (objects.size() > mark) {
            NSObject* o = objects.back();
            objects.pop_back();
            o->release();
        }
    }
    ~PoolStack() { releaseDownTo(0); }
};
thread_local PoolStack tPools;
}  // namespace

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
    NSRunLoop::mainRunLoop()->addPerformTimer(CACurrentMediaTime() + afterDelay, this, sel,
                                              withObject);
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

NSAutoreleasePool::NSAutoreleasePool() : _mark(tPools.objects.size()) {
    ++tPools.depth;
}

NSAutoreleasePool::~NSAutoreleasePool() {
    tPools.releaseDownTo(_mark);
    --tPools.depth;
}

void NSAutoreleasePool::drain() {
    tPools.releaseDownTo(_mark);
}

namespace bd {
// Releases the thread's fallback pool when no pool scope is open.
void drainFallbackAutoreleasePool() {
    if (tPools.depth == 0) tPools.releaseDownTo(0);
}
}  // namespace bd

void NSAutoreleasePool::addObject(NSObject* o) {
    if (o) tPools.objects.push_back(o);
}
