// The desktop daemon's core: outputs, wallpaper processes, pause rules, restarts (its control
// requests are DaemonCommands.cpp).

#include "Daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Common/DataTool.h"
#include "CoreGraphics/CGContext.h"
#include "DaemonPrivate.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

namespace host::desktop {

namespace detail {

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string absolute(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

}  // namespace detail

namespace {

constexpr double kCrashWindow = 60;  // seconds in which 3 crashes mean fallback
constexpr int kCrashesForFallback = 3;
constexpr double kMaxBackoff = 60;
constexpr size_t kMaxDamageRects = 16;  // more held-over rectangles become their bounds

}  // namespace

using detail::absolute;
using detail::fmt;
using detail::monotonicSeconds;

Daemon::Daemon(std::unique_ptr<Backend> backend, DaemonOptions options, WallpaperFactory factory,
               std::unique_ptr<ControlServer> control)
    : _backend(std::move(backend)),
      _options(std::move(options)),
      _factory(std::move(factory)),
      _control(std::move(control)) {}

Daemon::~Daemon() {
    for (auto& [name, s] : _slots) {
        detach(*s);
        s->wp.reset();
        if (s->fallbackPicture && s->fallbackPicture->id >= 0)
            _backend->removeBuffer(s->fallbackPicture->id);
    }
    _slots.clear();
    if (_signalFd >= 0) close(_signalFd);
}

void Daemon::say(const std::string& line) {
    if (!_options.quiet) std::fprintf(stderr, "backdrop desktop: %s\n", line.c_str());
}

bool Daemon::start(std::string* error) {
    _statePath = _options.statePath.empty() ? defaultStatePath() : _options.statePath;

    // Either what the command line says, or what was saved last time.
    if (_options.bundle.empty() && _options.outputBundles.empty()) {
        if (!loadState(_statePath, &_state, error)) {
            *error += " (give a bundle: backdrop desktop BUNDLE)";
            return false;
        }
        if (_options.fitGiven) _state.fit = _options.fit;
    } else {
        DesktopState saved;
        std::string ignored;
        loadState(_statePath, &saved, &ignored);
        _state.bundle = _options.bundle.empty() ? saved.bundle : absolute(_options.bundle);
        _state.gnomePictureUri = saved.gnomePictureUri;
        _state.gnomePictureUriDark = saved.gnomePictureUriDark;
        _state.fit = _options.fit;
        for (const auto& [name, bundle] : _options.outputBundles)
            _state.outputs[name] = {absolute(bundle), _options.fit, false};
        if (_options.bundle.empty())  // --output only: the others keep what they had
            for (const auto& [name, o] : saved.outputs)
                if (!_state.outputs.count(name)) _state.outputs[name] = o;
    }
    if (!_options.folder.empty()) _state.folder = absolute(_options.folder);

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    _signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    _power = std::make_unique<PowerWatch>(_options.powerSupplyDir);
    _backend->setIdleAfter(_options.idleAfter);
    say(std::string("on ") + _backend->kind() + " display " + _backend->displayName() +
        ", control socket " + _control->path());
    syncOutputs();
    saveState();
    return true;
}

void Daemon::saveState() {
    std::string error;
    for (auto& [name, s] : _slots) _state.outputs[name] = {s->bundle, s->fit, s->userPaused};
    if (!host::desktop::saveState(_statePath, _state, &error)) say(error);
}

void Daemon::syncOutputs() {
    std::vector<OutputInfo> outs = _backend->outputs();
    std::map<std::string, OutputInfo> now;
    for (const OutputInfo& o : outs) now[o.name] = o;
    for (auto it = _slots.begin(); it != _slots.end();) {
        if (now.count(it->first)) {
            ++it;
            continue;
        }
        say("output " + it->first + " is gone");
        Slot& s = *it->second;
        detach(s);
        s.wp.reset();
        if (s.fallbackPicture && s.fallbackPicture->id >= 0)
            _backend->removeBuffer(s.fallbackPicture->id);
        it = _slots.erase(it);
    }
    for (const OutputInfo& info : outs) {
        auto it = _slots.find(info.name);
        if (it == _slots.end()) {
            auto s = std::make_unique<Slot>();
            s->info = info;
            auto saved = _state.outputs.find(info.name);
            if (saved != _state.outputs.end()) {
                s->bundle = saved->second.bundle;
                s->fit = _options.fitGiven ? _options.fit : saved->second.fit;
                s->userPaused = saved->second.paused;
            } else {
                s->bundle = _state.bundle;
                s->fit = _state.fit;
            }
            s->signals = _backend->signals(info.name);
            Slot& ref = *s;
            _slots[info.name] = std::move(s);
            say("output " + info.name + " " + std::to_string(info.rect.width) + "x" +
                std::to_string(info.rect.height) + "+" + std::to_string(info.rect.x) + "+" +
                std::to_string(info.rect.y) + ": " + ref.bundle + " (" + fitName(ref.fit) + ")");
            startSlot(ref);
        } else if (!(it->second->info == info)) {
            Slot& s = *it->second;
            bool resized =
                s.info.rect.width != info.rect.width || s.info.rect.height != info.rect.height;
            s.info = info;
            if (!resized) {
                // Moved: draw it where it is now (after a frame still on its way, if any).
                if (s.fallback && s.fallbackPicture && s.inFlight < 0) present(s, -2, {});
                s.wantFrame = true;
                continue;
            }
            say("output " + info.name + " is now " + std::to_string(info.rect.width) + "x" +
                std::to_string(info.rect.height));
            s.fitted = fitScreen(info.rect.width, info.rect.height, s.fit, _options.phone,
                                 _options.background);
            if (s.wp) {
                detach(s);
                std::string error;
                if (!s.wp->changeScreen(s.fitted.screen, &error) || !attach(s, &error)) {
                    endWallpaper(s, "new screen refused: " + error, true);
                    continue;
                }
                s.wantFrame = true;
            } else if (s.fallback) {
                showFallback(s);
            }
        }
    }
}

void Daemon::startSlot(Slot& s) {
    detach(s);
    s.wp.reset();
    s.fitted = fitScreen(s.info.rect.width, s.info.rect.height, s.fit, _options.phone,
                         _options.background);
    s.restartAt = INFINITY;
    std::string error;
    // The process's processor time counts from its start, loading included: so does the wall
    // time the first CPU figure divides it by.
    double spawnedAt = monotonicSeconds();
    s.wp = _factory(s.bundle, s.fitted.screen, &error);
    if (!s.wp || !attach(s, &error)) {
        s.wp.reset();
        endWallpaper(s, error, true);
        return;
    }
    s.startedAt = monotonicSeconds();
    s.cpuMark = 0;
    s.wallMark = spawnedAt;
    s.started = s.animating = s.rendering = s.changed = s.busy = false;
    s.nextChange = INFINITY;
    s.wantFrame = true;
    s.fallback = false;
    applyState(s);
}

bool Daemon::attach(Slot& s, std::string* error) {
    s.ids.assign(size_t(s.wp->bufferCount()), -1);
    for (int k = 0; k < s.wp->bufferCount(); ++k) {
        s.ids[size_t(k)] =
            _backend->addBuffer(s.wp->bufferFd(k), s.wp->bufferPixels(k), s.wp->width(),
                                s.wp->height(), s.wp->stride(), error);
        if (s.ids[size_t(k)] < 0) return false;
    }
    s.inFlight = s.held = -1;
    s.retained.clear();
    s.heldDamage.clear();
    s.rendering = false;
    s.renderWhole = false;
    return true;
}

void Daemon::detach(Slot& s) {
    for (int id : s.ids)
        if (id >= 0) _backend->removeBuffer(id);
    s.ids.clear();
    s.inFlight = s.held = -1;
    s.retained.clear();
    s.heldDamage.clear();
    s.rendering = false;
    s.renderWhole = false;
}

void Daemon::endWallpaper(Slot& s, const std::string& why, bool crashed) {
    // What is on screen stays: the backend keeps the last frame.
    detach(s);
    s.wp.reset();
    s.lastEnd = why;
    if (!crashed) return;
    double now = monotonicSeconds();
    if (s.startedAt > 0 && now - s.startedAt >= kCrashWindow) s.backoff = 1;  // it ran fine
    s.crashes.push_back(now);
    while (!s.crashes.empty() && now - s.crashes.front() > kCrashWindow) s.crashes.pop_front();
    if (int(s.crashes.size()) >= kCrashesForFallback) {
        say("output " + s.info.name + ": " + why + "; " + std::to_string(s.crashes.size()) +
            " crashes within a minute: showing the fallback until `ctl reload` or `ctl set`");
        s.fallback = true;
        s.restartAt = INFINITY;
        showFallback(s);
        return;
    }
    s.restartAt = now + s.backoff;
    say("output " + s.info.name + ": " + why + "; restarting in " + fmt("%.0f", s.backoff) + " s");
    s.backoff = std::min(s.backoff * 2, kMaxBackoff);
}

void Daemon::showFallback(Slot& s) {
    NSAutoreleasePool pool;
    UIImage* thumb = DataTool::readDeskTopThumbnailImageFromBundleFile(NSSTR(s.bundle.c_str()));
    CGImageRef image = thumb ? thumb->CGImage() : nullptr;
    if (!image) return;  // no thumbnail: the last frame stays
    int w = s.fitted.screen.pixelWidth(), h = s.fitted.screen.pixelHeight();
    if (s.fallbackPicture && s.fallbackPicture->id >= 0)
        _backend->removeBuffer(s.fallbackPicture->id);
    auto pic = std::make_unique<OwnBuffer>();
    pic->width = w;
    pic->height = h;
    pic->size = size_t(w) * 4 * size_t(h);
    pic->fd = memfd_create("backdrop-fallback", MFD_CLOEXEC);
    if (pic->fd < 0 || ftruncate(pic->fd, off_t(pic->size)) != 0) return;
    void* p = mmap(nullptr, pic->size, PROT_READ | PROT_WRITE, MAP_SHARED, pic->fd, 0);
    if (p == MAP_FAILED) return;
    pic->pixels = static_cast<uint8_t*>(p);
    // The thumbnail fills the wallpaper's screen keeping its aspect, as the view's background
    // picture does; the fit then places that screen like the wallpaper's own frames.
    CGColorSpaceRef space = CGColorSpaceCreateDeviceRGB();
    CGContextRef ctx =
        CGBitmapContextCreate(pic->pixels, size_t(w), size_t(h), 8, size_t(w) * 4, space,
                              kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    CGColorSpaceRelease(space);
    if (!ctx) return;
    double iw = double(CGImageGetWidth(image)), ih = double(CGImageGetHeight(image));
    double k = std::max(w / iw, h / ih);
    CGRect r = CGRectMake((w - iw * k) / 2, (h - ih * k) / 2, iw * k, ih * k);
    CGContextDrawImage(ctx, r, image);
    CGContextRelease(ctx);
    std::string error;
    pic->id = _backend->addBuffer(pic->fd, pic->pixels, w, h, size_t(w) * 4, &error);
    if (pic->id < 0) return;
    s.fallbackPicture = std::move(pic);
    if (s.inFlight < 0) present(s, -2, {});
}

std::string Daemon::stateOf(const Slot& s, std::string* reason) const {
    auto why = [&](const char* r) {
        if (reason) *reason = r;
    };
    if (s.fallback) return why(""), "fallback";
    if (!s.wp) return why(""), "crashed";
    if (s.userPaused) return why(""), "paused";
    if (_options.pauseWhenHidden && s.signals.fullscreen) return why("fullscreen"), "hidden";
    if (_options.pauseWhenHidden && s.signals.covered) return why("covered"), "hidden";
    if (_options.pauseWhenOff && s.signals.off) return why("off"), "hidden";
    if (_options.pauseOnBattery && _power && _power->battery()) return why(""), "battery";
    if (_options.idleAfter > 0 && _backend->idle()) return why(""), "idle";
    return why(""), "playing";
}

void Daemon::applyState(Slot& s) {
    if (!s.wp) return;
    bool play = stateOf(s) == "playing";
    if (play == s.animating && (s.started || !play)) return;
    if (play) {
        s.wp->send(s.started ? Wallpaper::Op::resumeAnimating : Wallpaper::Op::startAnimating);
        s.started = true;
        s.changed = true;  // catch up on what moved while paused
    } else {
        s.wp->send(Wallpaper::Op::pauseAnimating);
    }
    s.animating = play;
}

void Daemon::present(Slot& s, int k, const std::vector<PixelRect>& damage) {
    int id = k == -2 ? s.fallbackPicture->id : s.ids[size_t(k)];
    std::string error;
    if (!_backend->present(s.info.name, id, s.fitted.placement, damage, &error)) {
        say("output " + s.info.name + ": " + error);
        if (k >= 0 && s.wp) s.wp->releaseBuffer(k);
        return;
    }
    s.inFlight = k;
    ++s.frames;
    if (damage.empty() && k == -2)
        s.pixelsSent += uint64_t(s.fallbackPicture->width) * uint64_t(s.fallbackPicture->height);
    for (const PixelRect& r : damage) s.pixelsSent += uint64_t(r.width) * uint64_t(r.height);
    double now = monotonicSeconds();
    s.presents.push_back(now);
    while (!s.presents.empty() && now - s.presents.front() > 2) s.presents.pop_front();
}

void Daemon::presented(const std::string& output, int bufferId, bool retained) {
    auto it = _slots.find(output);
    if (it == _slots.end()) return;
    Slot& s = *it->second;
    if (s.inFlight == -2) {
        s.inFlight = -1;
    } else if (s.inFlight >= 0 && size_t(s.inFlight) < s.ids.size() &&
               s.ids[size_t(s.inFlight)] == bufferId) {
        // A buffer the server still reads goes back to the wallpaper only when Released.
        if (retained)
            s.retained.push_back(s.inFlight);
        else if (s.wp)
            s.wp->releaseBuffer(s.inFlight);
        s.inFlight = -1;
    } else {
        return;
    }
    if (s.held >= 0) {
        int k = s.held;
        s.held = -1;
        std::vector<PixelRect> d;
        d.swap(s.heldDamage);
        present(s, k, d);
    }
}

void Daemon::released(int bufferId) {
    for (auto& [name, sp] : _slots) {
        Slot& s = *sp;
        for (auto k = s.retained.begin(); k != s.retained.end(); ++k)
            if (s.ids[size_t(*k)] == bufferId) {
                int index = *k;
                s.retained.erase(k);
                if (s.wp) s.wp->releaseBuffer(index);
                return;
            }
    }
}

// Whether the wallpaper has no buffer to render into: one is held for the backend, or every
// one is on its way to the server or still read by it. With two buffers the second is never
// rendered while the first is on its way (the frame would only wait behind it).
bool Daemon::noFreeBuffer(const Slot& s) const {
    int busy = int(s.retained.size()) + (s.inFlight >= 0 ? 1 : 0);
    return s.held >= 0 || busy >= s.wp->bufferCount() ||
           (s.inFlight >= 0 && s.wp->bufferCount() < 3);
}

void Daemon::handleWallpaper(Slot& s) {
    if (!s.wp) return;
    for (WallpaperSignal& e : s.wp->handle()) {
        switch (e.kind) {
            case WallpaperSignal::Kind::Frame: {
                s.rendering = false;
                s.nextChange = e.nextChange;
                bool whole = s.renderWhole;
                s.renderWhole = false;
                if (e.buffer < 0 || size_t(e.buffer) >= s.ids.size()) break;
                if (s.fallback) {
                    s.wp->releaseBuffer(e.buffer);
                    break;
                }
                // The damage is what differs from the last frame we were given (the child
                // repairs each buffer by its age). A frame that differs in nothing is given
                // straight back: what is on screen, or held for it, already shows it.
                std::vector<PixelRect> damage;
                if (whole)
                    damage.push_back({0, 0, s.wp->width(), s.wp->height()});
                else
                    for (const PixelRect& r : e.damage) {
                        PixelRect d = intersect(r, {0, 0, s.wp->width(), s.wp->height()});
                        if (!d.empty()) damage.push_back(d);
                    }
                if (damage.empty()) {
                    s.wp->releaseBuffer(e.buffer);
                    ++s.unchangedFrames;
                    break;
                }
                if (s.inFlight == -1) {
                    present(s, e.buffer, damage);
                } else {
                    // The backend still reads the previous one: keep the newest, and with it
                    // the damage of the one it replaces (both differ from what is on screen).
                    if (s.held >= 0) {
                        s.wp->releaseBuffer(s.held);
                        damage.insert(damage.end(), s.heldDamage.begin(), s.heldDamage.end());
                    }
                    if (damage.size() > kMaxDamageRects) {
                        PixelRect b;
                        for (const PixelRect& r : damage) b = bounds(b, r);
                        damage = {b};
                    }
                    s.heldDamage = std::move(damage);
                    s.held = e.buffer;
                }
                break;
            }
            case WallpaperSignal::Kind::NoFrame:
                // Nothing was drawn: what the render was for is still to be shown (the child
                // says Changed once until its next frame, so ask again ourselves).
                s.rendering = false;
                s.retryRender = monotonicSeconds() + 0.05;
                if (s.renderWhole) s.wantFrame = true;
                s.renderWhole = false;
                s.changed = true;
                break;
            case WallpaperSignal::Kind::Changed:
                s.changed = true;
                break;
            case WallpaperSignal::Kind::Log:
                break;
            case WallpaperSignal::Kind::Busy:
                // Paused is meant to cost nothing: a wallpaper that keeps working anyway is
                // stopped until it plays again (or is asked anything).
                if (!s.animating && s.wp->freeze()) {
                    if (!s.busy)
                        say("output " + s.info.name + ": " + e.text +
                            "; stopped until it plays again");
                } else if (!s.busy) {
                    say("output " + s.info.name + ": " + e.text);
                }
                s.busy = true;
                break;
            case WallpaperSignal::Kind::Ended:
                endWallpaper(s, e.text.empty() ? "the wallpaper ended" : e.text, true);
                return;
        }
    }
}

void Daemon::maybeRender(Slot& s, double now) {
    if (!s.wp || s.rendering || s.fallback) return;
    if (noFreeBuffer(s)) return;
    if (now < s.retryRender) return;
    bool play = s.animating;
    bool due = s.wantFrame || (play && (s.changed || now >= s.nextChange));
    if (!due) return;
    if (!s.wantFrame && now < s.lastRender + 1.0 / _options.fps) return;
    s.wp->renderFrame();
    s.rendering = true;
    s.renderWhole = s.wantFrame;
    s.wantFrame = false;
    s.changed = false;
    s.lastRender = now;
}

int Daemon::pollTimeoutMs(double now) const {
    double wait = 60;
    auto consider = [&](int ms) {
        if (ms >= 0) wait = std::min(wait, ms / 1000.0);
    };
    consider(_backend->timeoutMs());
    consider(_control->timeoutMs());
    if (_power) consider(_power->timeoutMs());
    for (const auto& [name, sp] : _slots) {
        const Slot& s = *sp;
        wait = std::min(wait, s.restartAt - now);
        if (!s.wp) continue;
        consider(s.wp->timeoutMs());
        if (s.rendering || s.fallback) continue;
        if (s.retryRender > now) wait = std::min(wait, s.retryRender - now);
        if (noFreeBuffer(s)) continue;
        double earliest = s.lastRender + 1.0 / _options.fps;
        if (s.wantFrame)
            wait = 0;
        else if (s.animating && s.changed)
            wait = std::min(wait, earliest - now);
        else if (s.animating && std::isfinite(s.nextChange))
            wait = std::min(wait, std::max(s.nextChange, earliest) - now);
    }
    return int(std::ceil(std::clamp(wait, 0.0, 60.0) * 1000));
}

void Daemon::step(int timeoutMs) {
    std::vector<pollfd> fds;
    auto add = [&](int fd) {
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    };
    for (int fd : _backend->fds()) add(fd);
    for (int fd : _control->fds()) add(fd);
    add(_signalFd);
    if (_power) {
        add(_power->inotifyFd());
        add(_power->ueventFd());
    }
    for (auto& [name, s] : _slots)
        if (s->wp) add(s->wp->fd());
    ::poll(fds.data(), nfds_t(fds.size()), timeoutMs);

    if (_signalFd >= 0) {
        signalfd_siginfo si;
        while (read(_signalFd, &si, sizeof si) == ssize_t(sizeof si)) {
            say(std::string("got ") + strsignal(int(si.ssi_signo)) + ": quitting");
            _quit = true;
        }
    }
    bool recheck = false;
    for (BackendEvent& e : _backend->dispatch()) {
        switch (e.kind) {
            case BackendEvent::Kind::OutputsChanged:
                syncOutputs();
                break;
            case BackendEvent::Kind::SignalsChanged:
                recheck = true;
                break;
            case BackendEvent::Kind::Presented:
                presented(e.output, e.buffer, e.retained);
                break;
            case BackendEvent::Kind::Released:
                released(e.buffer);
                break;
            case BackendEvent::Kind::Click: {
                auto it = _slots.find(e.output);
                CGPoint p;
                if (it != _slots.end() && it->second->wp &&
                    slotAt(it->second->info.rect.x + e.x, it->second->info.rect.y + e.y, &p))
                    it->second->wp->send(Wallpaper::Op::tapActionAtViewPoint, p);
                break;
            }
            case BackendEvent::Kind::Lost:
                say(e.text);
                _quit = true;
                _exitCode = 1;
                break;
        }
    }
    if (_power && _power->update()) recheck = true;
    if (recheck)
        for (auto& [name, s] : _slots) {
            s->signals = _backend->signals(name);
            applyState(*s);
        }

    double now = monotonicSeconds();
    for (auto& [name, s] : _slots) {
        handleWallpaper(*s);
        if (!s->wp && !s->fallback && now >= s->restartAt) {
            ++s->restarts;
            startSlot(*s);
        }
        maybeRender(*s, now);
    }

    for (ControlServer::Request& r : _control->handle()) {
        std::vector<std::string> lines;
        std::string error;
        if (command(r.line, &lines, &error))
            _control->reply(r.client, lines);
        else
            _control->reply(r.client, lines, error.empty() ? "failed" : error);
    }
}

int Daemon::run() {
    while (!_quit) step(pollTimeoutMs(monotonicSeconds()));
    say(_backend->keepsPicture() ? "stopped; the last frames stay on the desktop"
                                 : "stopped; the compositor takes the background away with us");
    return _exitCode;
}

}  // namespace host::desktop
