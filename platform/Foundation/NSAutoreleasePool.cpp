#include "Foundation/NSAutoreleasePool.h"

#include <vector>

#include "Foundation/NSObject.h"

namespace {
// The thread's autorelease stack. Objects below the first pool's mark belong to the fallback
// pool, released when the thread ends.
struct PoolStack {
    std::vector<NSObject*> objects;
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

NSAutoreleasePool::NSAutoreleasePool() : _mark(tPools.objects.size()) {}

NSAutoreleasePool::~NSAutoreleasePool() {
    tPools.releaseDownTo(_mark);
}

void NSAutoreleasePool::drain() {
    tPools.releaseDownTo(_mark);
}

void NSAutoreleasePool::addObject(NSObject* o) {
    if (o) tPools.objects.push_back(o);
}
