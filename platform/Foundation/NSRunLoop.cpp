#include "Foundation/NSRunLoop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "Foundation/MediaClock.h"

namespace {
bool later(const auto& a, const auto& b) {
    return a.fire > b.fire || (a.fire == b.fire && a.id > b.id);
}
double wallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

NSRunLoop* NSRunLoop::mainRunLoop() {
    static NSRunLoop* loop = new NSRunLoop();  // lives for the whole process
    return loop;
}

void NSRunLoop::wake() {
    {
        std::lock_guard lk(_m);
        _woken = true;
    }
    _cv.notify_all();
    // Under the waiter's own lock: setWaiter() takes it too, so a waiter that has been
    // replaced (and may be destroyed next) is never woken from another thread.
    std::lock_guard lk(_waiterMutex);
    if (_waiter) _waiter->wake();
}

void NSRunLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lk(_m);
        _tasks.push_back(std::move(fn));
    }
    wake();
}

void NSRunLoop::postAndWait(const std::function<void()>& fn) {
    if (bd::isMainThread()) {
        fn();
        return;
    }
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto d = std::make_shared<Done>();
    post([d, &fn] {
        fn();
        std::lock_guard lk(d->m);
        d->done = true;
        d->cv.notify_all();
    });
    std::unique_lock lk(d->m);
    d->cv.wait(lk, [&] { return d->done; });
}

NSRunLoop::TimerId NSRunLoop::addTimer(double fireMediaTime, std::function<void()> fn) {
    TimerId id;
    {
        std::lock_guard lk(_m);
        id = _nextId++;
        Timer t{fireMediaTime, id, std::move(fn), nullptr, Selector(), nullptr};
        _timers.push_back(std::move(t));
        std::push_heap(_timers.begin(), _timers.end(),
                       [](auto& a, auto& b) { return later(a, b); });
    }
    wake();
    return id;
}

NSRunLoop::TimerId NSRunLoop::addPerformTimer(double fireMediaTime, NSObject* target,
                                              const Selector& sel, NSObject* arg) {
    if (!target) return 0;
    target->retain();
    if (arg) arg->retain();
    TimerId id;
    {
        std::lock_guard lk(_m);
        id = _nextId++;
        Timer t{fireMediaTime, id, nullptr, target, sel, arg};
        _timers.push_back(std::move(t));
        std::push_heap(_timers.begin(), _timers.end(),
                       [](auto& a, auto& b) { return later(a, b); });
    }
    wake();
    return id;
}

// Releases the references a removed perform timer held, on the main thread (the teardown of
// a view must happen there).
static void releaseTimerRefs(std::vector<NSObject*> refs) {
    if (refs.empty()) return;
    auto fn = [refs = std::move(refs)] {
        for (NSObject* o : refs) o->release();
    };
    if (bd::isMainThread())
        fn();
    else
        NSRunLoop::mainRunLoop()->post(fn);
}

bool NSRunLoop::cancelTimer(TimerId id) {
    std::vector<NSObject*> refs;
    bool found = false;
    {
        std::lock_guard lk(_m);
        auto it = std::find_if(_timers.begin(), _timers.end(), [&](auto& t) { return t.id == id; });
        if (it != _timers.end()) {
            found = true;
            if (it->target) refs.push_back(it->target);
            if (it->arg) refs.push_back(it->arg);
            _timers.erase(it);
            std::make_heap(_timers.begin(), _timers.end(),
                           [](auto& a, auto& b) { return later(a, b); });
        }
    }
    releaseTimerRefs(std::move(refs));
    return found;
}

size_t NSRunLoop::cancelPerformTimers(NSObject* target, const Selector& sel, NSObject* arg) {
    std::vector<NSObject*> refs;
    size_t n = 0;
    {
        std::lock_guard lk(_m);
        auto keep = std::remove_if(_timers.begin(), _timers.end(), [&](Timer& t) {
            bool match = t.target && t.target == target && t.sel == sel && t.arg == arg;
            if (match) {
                refs.push_back(t.target);
                if (t.arg) refs.push_back(t.arg);
                ++n;
            }
            return match;
        });
        _timers.erase(keep, _timers.end());
        std::make_heap(_timers.begin(), _timers.end(),
                       [](auto& a, auto& b) { return later(a, b); });
    }
    releaseTimerRefs(std::move(refs));
    return n;
}

size_t NSRunLoop::pendingTimerCount() {
    std::lock_guard lk(_m);
    return _timers.size();
}

void NSRunLoop::announceWork(const void* source, double mediaTime) {
    std::lock_guard lk(_m);
    auto it = std::find_if(_announced.begin(), _announced.end(),
                           [&](const auto& a) { return a.first == source; });
    if (std::isnan(mediaTime)) {
        if (it != _announced.end()) _announced.erase(it);
    } else if (it != _announced.end()) {
        it->second = mediaTime;
    } else {
        _announced.emplace_back(source, mediaTime);
    }
}

double NSRunLoop::nextWorkTime() {
    std::lock_guard lk(_m);
    double t = _timers.empty() ? INFINITY : _timers.front().fire;
    for (const auto& a : _announced) t = std::min(t, a.second);
    return t;
}

size_t NSRunLoop::pendingTaskCount() {
    std::lock_guard lk(_m);
    return _tasks.size();
}

bool NSRunLoop::runOnce() {
    NSAutoreleasePool pool;
    bool ran = false;
    // Tasks queued before this pass; those they post wait for the next pass.
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lk(_m);
        tasks.swap(_tasks);
    }
    for (auto& t : tasks) {
        t();
        ran = true;
    }
    double now = bd::mediaTime();
    for (;;) {
        Timer t;
        {
            std::lock_guard lk(_m);
            if (_timers.empty() || _timers.front().fire > now) break;
            std::pop_heap(_timers.begin(), _timers.end(),
                          [](auto& a, auto& b) { return later(a, b); });
            t = std::move(_timers.back());
            _timers.pop_back();
        }
        ran = true;
        if (t.fn) t.fn();
        if (t.target) {
            t.sel.send(t.target, t.arg);
            if (t.arg) t.arg->release();
            t.target->release();
        }
    }
    return ran;
}

void NSRunLoop::runPending() {
    BD_ASSERT_MAIN_THREAD();
    runOnce();
}

void NSRunLoop::waitFor(double seconds) {
    double wait = seconds;
    {
        std::lock_guard lk(_m);
        if (!_tasks.empty() || _woken) {
            _woken = false;
            return;
        }
        bd::MediaClock* c = bd::mediaClock();
        if (c->isVirtual()) {
            // Virtual time moves in jumps made by other code: look again every millisecond.
            wait = std::min(wait, 0.001);
        } else if (!_timers.empty()) {
            wait = std::min(wait, std::max(_timers.front().fire - c->now(), 0.0));
        }
    }
    if (wait <= 0) return;
    NSRunLoopWaiter* w;
    {
        std::lock_guard lk(_m);
        w = _waiter;
    }
    if (w) {
        w->wait(wait);
        std::lock_guard lk(_m);
        _woken = false;
        return;
    }
    std::unique_lock lk(_m);
    _cv.wait_for(lk, std::chrono::duration<double>(wait),
                 [&] { return _woken || !_tasks.empty(); });
    _woken = false;
}

void NSRunLoop::runForInterval(double seconds) {
    runUntil([] { return false; }, seconds);
}

bool NSRunLoop::runUntil(const std::function<bool()>& cond, double timeoutSeconds) {
    BD_ASSERT_MAIN_THREAD();
    double end = wallNow() + (timeoutSeconds > 0 ? timeoutSeconds : 0);
    for (;;) {
        runOnce();
        if (cond && cond()) return true;
        double left = end - wallNow();
        if (left <= 0) return cond ? cond() : false;
        waitFor(left);
    }
}

void NSRunLoop::setWaiter(NSRunLoopWaiter* waiter) {
    std::lock_guard wl(_waiterMutex);
    std::lock_guard lk(_m);
    _waiter = waiter;
}
