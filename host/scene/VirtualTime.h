#pragma once
// Headless time: a virtual media clock that the host moves frame by frame. Between two frames it
// moves the clock from one sleeper's wake-up time to the next, and at each stop runs the main
// run loop until every thread the platform started is asleep on the clock again (or has ended)
// and no task waits for the main thread. So a wallpaper's own frame loop runs at its pace on
// the virtual clock, and the same wallpaper and script give the same frames on every run.

#include "QuartzCore/CABase.h"

namespace host {

class VirtualTime {
  public:
    // [main-thread] Makes a virtual clock reading `start` the active media clock.
    explicit VirtualTime(double start);
    // [main-thread] Restores the clock that was active before.
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    double now();  // [main-thread]
    // [main-thread] Moves the clock to t (never back), stopping at every wake-up on the way.
    void advanceTo(double t);
    // [main-thread] Runs the main run loop until the platform's threads are all asleep on the
    // clock (or gone) and no task is waiting; false if that took longer than the time-out.
    bool settle(double timeoutSeconds = 10.0);

  private:
    bd::VirtualMediaClock _clock;
    bd::ScopedMediaClock _scope;
};

}  // namespace host
