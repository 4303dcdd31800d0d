#pragma once
// The main run loop: a task deque, a timer heap (fire times on the media clock) with
// cancellation by id or by (target, selector, argument), post-and-wait that runs inline on the
// main thread, and a pluggable waiter so a window host can block on its own event queue.
// Every iteration drains one autorelease pool.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

// How the main thread blocks while there is nothing to do. The default waits on a condition
// variable; a window host installs one that waits on its event queue and wakes on wake().
class BD_EXPORT NSRunLoopWaiter {
  public:
    virtual ~NSRunLoopWaiter() = default;
    // [main-thread] Block for at most `seconds` (wall clock) or until wake().
    virtual void wait(double seconds) = 0;
    // [any-thread] Makes a current or the next wait() return.
    virtual void wake() = 0;
};

class BD_EXPORT NSRunLoop : public NSObject {
  public:
    typedef uint64_t TimerId;

    // [any-thread] The process's main run loop (created on first use, never destroyed).
    static NSRunLoop* mainRunLoop();

    // [any-thread] Queues fn to run on the main thread.
    virtual void post(std::function<void()> fn);
    // [any-thread] Runs fn on the main thread and waits until it has returned; inline when
    // called on the main thread. Never call it from a thread the main thread waits for.
    virtual void postAndWait(const std::function<void()>& fn);

    // [any-thread] Runs fn on the main thread once the media clock reads fireMediaTime.
    virtual TimerId addTimer(double fireMediaTime, std::function<void()> fn);
    // [any-thread] A timer that sends sel to target with arg; target and arg are retained until
    // the timer has run or been cancelled.
    virtual TimerId addPerformTimer(double fireMediaTime, NSObject* target, const Selector& sel,
                                    NSObject* arg);
    // [any-thread] False when the timer had already run or been cancelled.
    virtual bool cancelTimer(TimerId id);
    // [any-thread] Cancels perform timers of target with sel and arg (a null arg matches only a
    // null argument); returns how many were cancelled.
    virtual size_t cancelPerformTimers(NSObject* target, const Selector& sel, NSObject* arg);
    virtual size_t pendingTimerCount();  // [any-thread]

    // [any-thread] Announces that `source` (any address that names it) will post work for the
    // main thread at mediaTime, replacing what it announced before; NAN withdraws it. A frame
    // loop announces its next frame before it sleeps, so that a host can tell when the main
    // thread will next have work without polling.
    virtual void announceWork(const void* source, double mediaTime);
    // [any-thread] The earliest media time at which the main thread has work: a timer's fire
    // time or announced work; INFINITY when there is none.
    virtual double nextWorkTime();
    virtual size_t pendingTaskCount();  // [any-thread] tasks posted and not yet run

    // [main-thread] One pass: the tasks queued so far and the timers that are due, in a pool.
    virtual void runPending();
    // [main-thread] Runs for `seconds` of wall-clock time.
    virtual void runForInterval(double seconds);
    // [main-thread] Runs until cond() is true (tested after every pass) or timeoutSeconds of
    // wall-clock time have gone by; returns cond()'s last value.
    virtual bool runUntil(const std::function<bool()>& cond, double timeoutSeconds);

    // [main-thread] Installs a waiter (null: the built-in one). The caller keeps it alive while
    // it is installed; once this returns, the waiter it replaced is called no more.
    virtual void setWaiter(NSRunLoopWaiter* waiter);

  private:
    struct Timer {
        double fire;
        uint64_t id;
        std::function<void()> fn;
        NSObject* target = nullptr;  // retained, for perform timers
        Selector sel;
        NSObject* arg = nullptr;  // retained
    };
    void wake();
    void waitFor(double seconds);
    bool runOnce();  // returns whether anything ran

    std::mutex _m;
    std::condition_variable _cv;
    bool _woken = false;
    std::deque<std::function<void()>> _tasks;
    std::vector<Timer> _timers;                              // heap by (fire, id)
    std::vector<std::pair<const void*, double>> _announced;  // source, media time
    uint64_t _nextId = 1;
    NSRunLoopWaiter* _waiter = nullptr;  // written under both locks
    std::mutex _waiterMutex;             // held while a waiter is woken
};
