#include "Foundation/MediaClock.h"

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>

namespace bd {
namespace {
RealMediaClock gRealClock;
std::atomic<MediaClock*> gClock{nullptr};
}  // namespace

double RealMediaClock::now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void RealMediaClock::sleep(double seconds) {
    if (!(seconds > 0)) return;  // also rejects NaN
    thread_local bool slackSet = false;
    if (!slackSet) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        slackSet = true;
    }
    seconds = std::min(seconds, 1e6);
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    double whole;
    double frac = std::modf(seconds, &whole);
    ts.tv_sec += time_t(whole);
    ts.tv_nsec += long(frac * 1e9);
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

VirtualMediaClock::VirtualMediaClock(double start) : _now(start) {}

VirtualMediaClock::~VirtualMediaClock() {
    std::unique_lock lk(_m);
    _closed = true;
    _cv.notify_all();
    _cv.wait(lk, [&] { return _deadlines.empty(); });
}

double VirtualMediaClock::now() {
    std::lock_guard lk(_m);
    return _now;
}

void VirtualMediaClock::sleep(double seconds) {
    std::unique_lock lk(_m);
    if (!(seconds >= 0)) seconds = 0;
    _sleeps.push_back(seconds);
    if (_auto || _closed) {
        _now += seconds;
        _cv.notify_all();
        return;
    }
    double deadline = _now + seconds;
    _deadlines.push_back(deadline);
    _cv.wait(lk, [&] { return _now >= deadline || _closed; });
    _deadlines.erase(std::find(_deadlines.begin(), _deadlines.end(), deadline));
    _cv.notify_all();
}

void VirtualMediaClock::advance(double dt) {
    std::lock_guard lk(_m);
    if (dt > 0) _now += dt;
    _cv.notify_all();
}

void VirtualMediaClock::set(double t) {
    std::lock_guard lk(_m);
    _now = t;
    _cv.notify_all();
}

void VirtualMediaClock::setAutoAdvance(bool on) {
    std::lock_guard lk(_m);
    _auto = on;
}

bool VirtualMediaClock::advanceToNextWake() {
    std::lock_guard lk(_m);
    if (_deadlines.empty()) return false;
    double t = *std::min_element(_deadlines.begin(), _deadlines.end());
    if (t > _now) _now = t;
    _cv.notify_all();
    return true;
}

size_t VirtualMediaClock::sleepersWaiting() {
    std::lock_guard lk(_m);
    return _deadlines.size();
}

size_t VirtualMediaClock::sleepersBlocked() {
    std::lock_guard lk(_m);
    return size_t(
        std::count_if(_deadlines.begin(), _deadlines.end(), [&](double d) { return d > _now; }));
}

bool VirtualMediaClock::nextWakeTime(double* t) {
    std::lock_guard lk(_m);
    if (_deadlines.empty()) return false;
    *t = *std::min_element(_deadlines.begin(), _deadlines.end());
    return true;
}

std::vector<double> VirtualMediaClock::sleeps() {
    std::lock_guard lk(_m);
    return _sleeps;
}

void VirtualMediaClock::clearSleeps() {
    std::lock_guard lk(_m);
    _sleeps.clear();
}

void setMediaClock(MediaClock* clock) {
    gClock.store(clock, std::memory_order_release);
}

MediaClock* mediaClock() {
    MediaClock* c = gClock.load(std::memory_order_acquire);
    return c ? c : &gRealClock;
}

double mediaTime() {
    return mediaClock()->now();
}

}  // namespace bd
