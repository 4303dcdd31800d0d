#include "VirtualTime.h"

#include "Foundation/NSRunLoop.h"
#include "Foundation/NSThread.h"

namespace host {

VirtualTime::VirtualTime(double start) : _clock(start), _scope(&_clock) {}

VirtualTime::~VirtualTime() = default;

double VirtualTime::now() {
    return _clock.now();
}

bool VirtualTime::settle(double timeoutSeconds) {
    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    return loop->runUntil(
        [&] {
            return loop->pendingTaskCount() == 0 &&
                   bd::backgroundThreadCount() <= _clock.sleepersBlocked();
        },
        timeoutSeconds);
}

void VirtualTime::advanceTo(double t) {
    settle();
    double wake;
    // Each pass wakes the earliest sleepers and lets them run to their next sleep.
    while (_clock.nextWakeTime(&wake) && wake <= t) {
        if (wake > _clock.now()) {
            _clock.set(wake);
            settle();
            continue;
        }
        // A sleeper already woken has not left yet: give it a pass, and if it still sits
        // there it is none of the platform's threads; go on without it.
        settle();
        if (_clock.nextWakeTime(&wake) && wake <= _clock.now()) break;
    }
    if (t > _clock.now()) _clock.set(t);
    settle();
}

}  // namespace host
