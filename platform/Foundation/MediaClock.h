#pragma once
// The media clock: monotonic seconds as a double. The clock is replaceable so that tests and
// headless rendering can run on virtual time. It lives at the bottom of the tree because the
// run loop's timers, NSThread::sleepForTimeInterval and the animation runtime all read it;
// QuartzCore's CACurrentMediaTime() forwards to it.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "Foundation/Export.h"

namespace bd {

class BD_EXPORT MediaClock {
  public:
    virtual ~MediaClock() = default;
    virtual double now() = 0;                // [any-thread]
    virtual void sleep(double seconds) = 0;  // [any-thread] blocks for seconds of this clock
    virtual bool isVirtual() const { return false; }  // [any-thread]
};

// The default clock: CLOCK_MONOTONIC. Sleeps lower the thread's timer slack to 1 ns and sleep
// to an absolute deadline, so a 25 ms frame is 25 ms and not 25 ms plus the default 50 us slack
// plus the time spent computing the relative interval.
class BD_EXPORT RealMediaClock : public MediaClock {
  public:
    double now() override;                // [any-thread]
    void sleep(double seconds) override;  // [any-thread]
};

// Virtual time for tests and headless rendering. Time moves only through advance()/set().
// sleep(dt) records dt and blocks until the clock has advanced by dt (or, with autoAdvance on,
// advances the clock by dt itself and returns at once).
class BD_EXPORT VirtualMediaClock : public MediaClock {
  public:
    explicit VirtualMediaClock(double start = 0.0);
    ~VirtualMediaClock() override;  // wakes every sleeper and waits until they have left

    double now() override;                // [any-thread]
    void sleep(double seconds) override;  // [any-thread]
    bool isVirtual() const override { return true; }

    void advance(double dt);       // [any-thread]
    void set(double t);            // [any-thread] never moves backwards past a sleeper's start
    void setAutoAdvance(bool on);  // [any-thread]
    // [any-thread] Advances to the earliest wake-up time of a blocked sleeper; false if none.
    bool advanceToNextWake();
    size_t sleepersWaiting();  // [any-thread]
    // [any-thread] Sleepers whose wake-up time still lies ahead (woken ones that have not left
    // yet are not counted).
    size_t sleepersBlocked();
    // [any-thread] The earliest wake-up time of a blocked sleeper; false if there is none.
    bool nextWakeTime(double* t);
    std::vector<double> sleeps();  // [any-thread] requested durations, in order
    void clearSleeps();            // [any-thread]

  private:
    std::mutex _m;
    std::condition_variable _cv;
    double _now;
    bool _auto = false;
    bool _closed = false;
    std::vector<double> _sleeps;
    std::vector<double> _deadlines;  // wake-up times of blocked sleepers
};

// [any-thread] Seconds of the active media clock.
BD_EXPORT double mediaTime();

// [any-thread] Replaces the active clock (null restores the real clock). The caller keeps the
// clock alive while it is active.
BD_EXPORT void setMediaClock(MediaClock* clock);
BD_EXPORT MediaClock* mediaClock();  // [any-thread]

// RAII: makes a clock active for a scope.
class BD_EXPORT ScopedMediaClock {
  public:
    explicit ScopedMediaClock(MediaClock* c) : _prev(mediaClock()) { setMediaClock(c); }
    ~ScopedMediaClock() { setMediaClock(_prev); }
    ScopedMediaClock(const ScopedMediaClock&) = delete;
    ScopedMediaClock& operator=(const ScopedMediaClock&) = delete;

  private:
    MediaClock* _prev;
};

}  // namespace bd
