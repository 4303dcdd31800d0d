#include "Foundation/NSOperation.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Foundation/NSThread.h"

namespace {
thread_local NSOperation* tCurrent = nullptr;
}

void NSOperation::start() {
    if (_started.exchange(true)) return;  // an operation runs at most once
    if (!_cancelled.load()) {
        _executing.store(true);
        NSOperation* prev = tCurrent;
        tCurrent = this;
        {
            NSAutoreleasePool pool;
            main();
        }
        tCurrent = prev;
        _executing.store(false);
    }
    _finished.store(true);
}

void NSOperation::cancel() {
    _cancelled.store(true);
}
bool NSOperation::isCancelled() const {
    return _cancelled.load();
}
bool NSOperation::isExecuting() const {
    return _executing.load();
}
bool NSOperation::isFinished() const {
    return _finished.load();
}
NSOperation* NSOperation::currentOperation() {
    return tCurrent;
}

// Shared with the worker threads, which are detached and keep the state alive themselves, so
// releasing the queue never waits for (or deadlocks with) a running operation.
struct NSOperationQueue::State {
    std::mutex m;
    std::condition_variable cv;
    std::deque<NSOperation*> queued;    // retained
    std::vector<NSOperation*> running;  // retained
    size_t workers = 0;
    size_t releasing = 0;  // finished operations whose reference is being given back
    long maxConcurrent = NSOperationQueueDefaultMaxConcurrentOperationCount;
    bool suspended = false;
    bool gone = false;

    size_t limit() const { return maxConcurrent < 0 ? 64 : size_t(std::max(1L, maxConcurrent)); }

    // Called with m held: start a worker when work is waiting and the limit allows.
    void spawnIfNeeded(const std::shared_ptr<State>& self) {
        if (suspended) return;
        // Workers not busy with an operation are about to take one of the queued ones.
        size_t free = workers - running.size();
        if (free >= queued.size() || workers >= limit()) return;
        ++workers;
        bd::backgroundThreadStarting();
        std::thread([self] {
            self->work();
            bd::backgroundThreadEnded();
        }).detach();
    }

    void work() {
        std::unique_lock lk(m);
        for (;;) {
            if (!suspended && !queued.empty() && running.size() < limit()) {
                NSOperation* op = queued.front();
                queued.pop_front();
                running.push_back(op);
                lk.unlock();
                op->start();
                lk.lock();
                running.erase(std::find(running.begin(), running.end(), op));
                ++releasing;
                lk.unlock();
                op->release();  // outside the lock: a teardown may use the queue
                lk.lock();
                --releasing;
                cv.notify_all();
                continue;
            }
            // Nothing to take: leave; addOperation/setSuspended start new workers as needed.
            break;
        }
        --workers;
        cv.notify_all();
    }
};

NSOperationQueue::NSOperationQueue() : _state(std::make_shared<State>()) {}

void NSOperationQueue::addOperation(NSOperation* op) {
    if (!op) return;
    op->retain();
    std::lock_guard lk(_state->m);
    _state->queued.push_back(op);
    _state->spawnIfNeeded(_state);
}

void NSOperationQueue::cancelAllOperations() {
    std::lock_guard lk(_state->m);
    for (NSOperation* op : _state->queued) op->cancel();
    for (NSOperation* op : _state->running) op->cancel();
}

void NSOperationQueue::setSuspended(bool suspended) {
    std::lock_guard lk(_state->m);
    _state->suspended = suspended;
    if (!suspended) {
        // Start as many workers as the waiting work and the limit allow.
        for (;;) {
            size_t before = _state->workers;
            _state->spawnIfNeeded(_state);
            if (_state->workers == before) break;
        }
    }
}

bool NSOperationQueue::isSuspended() {
    std::lock_guard lk(_state->m);
    return _state->suspended;
}

void NSOperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lk(_state->m);
    _state->cv.wait(lk, [&] {
        return _state->running.empty() && _state->releasing == 0 &&
               (_state->queued.empty() || _state->suspended);
    });
}

size_t NSOperationQueue::operationCount() {
    std::lock_guard lk(_state->m);
    return _state->queued.size() + _state->running.size();
}

void NSOperationQueue::setMaxConcurrentOperationCount(long n) {
    std::lock_guard lk(_state->m);
    _state->maxConcurrent = n;
    _state->spawnIfNeeded(_state);
}

long NSOperationQueue::maxConcurrentOperationCount() {
    std::lock_guard lk(_state->m);
    return _state->maxConcurrent;
}

void NSOperationQueue::dealloc() {
    // Operations not yet started are dropped; running ones finish on their workers.
    std::deque<NSOperation*> drop;
    {
        std::lock_guard lk(_state->m);
        drop.swap(_state->queued);
        _state->gone = true;
    }
    for (NSOperation* op : drop) {
        op->cancel();
        op->release();
    }
    _state.reset();
    NSObject::dealloc();
}
