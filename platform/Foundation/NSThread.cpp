#include "Foundation/NSThread.h"

#include <atomic>
#include <thread>

#include "Foundation/MediaClock.h"
#include "Foundation/NSRunLoop.h"

void NSThread::detachNewThreadSelector(const Selector& selector, NSObject* toTarget,
                                       NSObject* withObject) {
    if (!toTarget) return;
    toTarget->retain();
    if (withObject) withObject->retain();
    bd::backgroundThreadStarting();
    std::thread([selector, toTarget, withObject] {
        {
            NSAutoreleasePool pool;
            selector.send(toTarget, withObject);
        }
        // Give the references back on the main thread: a last release tears the object down
        // there, where views and the image cache live.
        NSRunLoop::mainRunLoop()->post([toTarget, withObject] {
            if (withObject) withObject->release();
            toTarget->release();
        });
        bd::backgroundThreadEnded();
    }).detach();
}

void NSThread::sleepForTimeInterval(double ti) {
    bd::mediaClock()->sleep(ti);
}

bool NSThread::isMainThread() {
    return bd::isMainThread();
}

namespace bd {
namespace {
std::atomic<size_t> gBackgroundThreads{0};
}
size_t backgroundThreadCount() {
    return gBackgroundThreads.load();
}
void backgroundThreadStarting() {
    gBackgroundThreads.fetch_add(1);
}
void backgroundThreadEnded() {
    gBackgroundThreads.fetch_sub(1);
}
}  // namespace bd
