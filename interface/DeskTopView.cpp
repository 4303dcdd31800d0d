#include "interface/DeskTopView.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Foundation/DynamicLoader.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "Foundation/NSThread.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CATransform3D.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {
constexpr double kFrameInterval = 1.0 / 40;  // target length of one frame
constexpr double kShortestSleep = 0.001;     // sleep after a frame of the whole interval or more
// How long a frame may wait for the main thread before the host is told, once, that its main
// run loop does not seem to run.
constexpr double kUnservedFrameWait = 2.0;
std::atomic<bool> unservedFrameTold{false};

// Runs frame on the main thread and waits until it has run, as NSRunLoop::postAndWait does; a
// frame still waiting after kUnservedFrameWait logs one line, the first time in the process.
// A host that never runs the main run loop gets no frames, no teardown and no other word.
void runFrameOnMainThread(NSRunLoop* main, std::function<void()> frame) {
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto d = std::make_shared<Done>();
    main->post([d, frame = std::move(frame)] {
        frame();
        std::lock_guard lk(d->m);
        d->done = true;
        d->cv.notify_all();
    });
    std::unique_lock lk(d->m);
    if (d->cv.wait_for(lk, std::chrono::duration<double>(kUnservedFrameWait),
                       [&] { return d->done; }))
        return;
    if (!unservedFrameTold.exchange(true))
        NSLog(
            "DeskTopView: a frame has waited %g s for the main thread; the host is not running "
            "the main run loop (NSRunLoop::mainRunLoop()), so the wallpaper shows no frames and "
            "is never torn down",
            kUnservedFrameWait);
    d->cv.wait(lk, [&] { return d->done; });
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// UpdateOperation

void UpdateOperation::main() {
    if (UpdateOperationDelegate* d = delegate()) d->runLoop();
}

void UpdateOperation::start() {
    NSOperation::start();
    giveBackHold();
}

void UpdateOperation::giveBackHold() {
    DeskTopView* v = _hold.exchange(nullptr);
    if (!v) return;
    // The last reference on a view must go on the main thread, where its teardown runs.
    auto give = [v] {
        v->_loopHolds.fetch_sub(1);
        v->release();
    };
    if (bd::isMainThread())
        give();
    else
        NSRunLoop::mainRunLoop()->post(give);
}

void UpdateOperation::dealloc() {
    giveBackHold();  // an operation dropped without being started
    NSOperation::dealloc();
}

// ---------------------------------------------------------------------------------------------
// DeskTopView

namespace {
// Why the last createDeskTopViewFromBundle: on this thread gave null ("" after a view), and
// with BACKDROP_LOG=loader each step on stderr as "loader: ...".
thread_local std::string lastLoaderStop;

class LoaderTrace {
  public:
    LoaderTrace() : _on(bd::logTopicEnabled("loader")) { lastLoaderStop.clear(); }
    template <class... A>
    void step(const char* fmt, A... args) {
        if (!_on) return;
        std::fprintf(stderr, "loader: ");
        if constexpr (sizeof...(A) == 0)
            std::fputs(fmt, stderr);
        else
            std::fprintf(stderr, fmt, args...);
        std::fputc('\n', stderr);
    }
    DeskTopView* stop(const std::string& why) {
        lastLoaderStop = why;
        step("stopped: %s", why.c_str());
        return nullptr;
    }

  private:
    bool _on;
};
}  // namespace

std::string bd::loaderStopReason() {
    return lastLoaderStop;
}

int bd::frameworkAbiVersion() {
    return BACKDROP_ABI_VERSION;
}

std::string bd::abiRefusal(int libraryAbi) {
    if (libraryAbi == BACKDROP_ABI_VERSION) return "";
    return "built for Backdrop ABI " + std::to_string(libraryAbi) + "; this Backdrop speaks ABI " +
           std::to_string(BACKDROP_ABI_VERSION);
}

DeskTopView* DeskTopView::createDeskTopViewFromBundle(NSBundle* bundle) {
    LoaderTrace trace;
    if (!bundle) return trace.stop("no bundle (null)");
    NSString* resources = bundle->resourcePath();
    trace.step("bundle %s", resources ? resources->UTF8String() : "(no resource directory)");
    NSString* descriptionPath = bundle->pathForResource(NSSTR("description"), NSSTR("plist"));
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(descriptionPath);
    // Without a description, or with a "name Library" that is no string, there is no library
    // to open: the path would name a file called "(null)" or a number.
    if (!descriptionPath) return trace.stop("the bundle has no description.plist");
    if (!description)
        return trace.stop(descriptionPath->str() +
                          " is not a property list with a dictionary at its root");
    trace.step("description %s: %zu keys", descriptionPath->UTF8String(), description->count());
    NSObject* nameValue = description->objectForKey(NSSTR("name Library"));
    NSString* libraryName = as<NSString>(nameValue);
    if (!nameValue) return trace.stop("description.plist has no \"name Library\" key");
    if (!libraryName) return trace.stop("\"name Library\" in description.plist is not a string");
    NSString* libraryPath =
        NSString::stringWithFormat("%@/%@", bundle->resourcePath(), libraryName);
    const char* path = libraryPath->cStringUsingEncoding(NSUTF8StringEncoding);
    trace.step("dlopen(\"%s\", RTLD_LAZY)", path ? path : "");
    void* handle = bd::dynamicOpen(path, RTLD_LAZY);
    if (!handle) {
        std::string why = bd::dynamicError();
        return trace.stop("dlopen failed: " + (why.empty() ? std::string("no such file") : why));
    }
    // The ABI first: a library built for another one must not be handed our objects. One
    // without the function predates it and speaks ABI 1.
    auto abiFunction = reinterpret_cast<GetDeskTopViewAbiVersionFunction>(
        bd::dynamicSymbol(handle, "getDeskTopViewAbiVersion"));
    int abi = abiFunction ? abiFunction() : 1;
    trace.step(
        abiFunction ? "getDeskTopViewAbiVersion() = %d" : "no getDeskTopViewAbiVersion: ABI %d",
        abi);
    if (std::string refusal = bd::abiRefusal(abi); !refusal.empty()) {
        bd::dynamicClose(handle);
        return trace.stop(refusal);
    }
    DeskTopView* view = nullptr;
    if (auto instance = reinterpret_cast<GetDeskTopViewInstanceFunction>(
            bd::dynamicSymbol(handle, "getDeskTopViewInstance"))) {
        trace.step("getDeskTopViewInstance(bundle)");
        view = instance(bundle);
        // The view's code must outlive our handle. Wallpaper libraries are linked with
        // -z nodelete; this pins one that was built without it, so dlclose never unmaps the
        // code of a live view.
        if (view) bd::dynamicClose(bd::dynamicOpen(path, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE));
        if (!view)
            trace.stop("getDeskTopViewInstance returned null (the view's initialiser failed)");
    } else {
        trace.stop(std::string("the library does not export getDeskTopViewInstance (") + path +
                   ")");
    }
    bd::dynamicClose(handle);
    if (view) {
        CGRect f = view->frame();
        trace.step("view %s, frame (%g, %g, %g, %g)", bd::className(view).c_str(), f.origin.x,
                   f.origin.y, f.size.width, f.size.height);
    }
    return view;
}

NSString* DeskTopView::name() {
    return NSSTR("");
}
NSString* DeskTopView::version() {
    return NSSTR("");
}

DeskTopView* DeskTopView::initWithFrame(CGRect frame) {
    if (!UIScrollView::initWithFrame(frame)) return nullptr;  // the base released us
    setClipsToBounds(true);
    setShowsVerticalScrollIndicator(false);
    setShowsHorizontalScrollIndicator(false);
    setBounces(false);
    setBackgroundColor(UIColor::clearColor());
    setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);

    _bgView = adopt(alloc<UIImageView>()->initWithFrame(bounds()));
    if (_bgView) {
        _bgView->setUserInteractionEnabled(true);
        _bgView->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                     UIViewAutoresizingFlexibleHeight);
        _bgView->setContentMode(UIViewContentModeScaleAspectFill);
        addSubview(_bgView.get());
    }
    _scale = 1.0;
    _offset = 0;
    setTapClipRect(bounds());
    _isAnimating.store(false);
    _operationQueue = adopt(alloc<NSOperationQueue>());
    // One loop thread at a time: a stopped loop that is still asleep finishes before the next
    // one starts (see docs/threads.md).
    _operationQueue->setMaxConcurrentOperationCount(1);
    setScrollEnabled(false);
    performSelector(BD_SEL(DeskTopView, delayLoading), nullptr, 0.5);
    return this;
}

void DeskTopView::setFrame(CGRect frame) {
    UIScrollView::setFrame(frame);
    setTapClipRect(bounds());
}

void DeskTopView::dealloc() {
    _tearingDown = true;  // a start sent during teardown must not retain a dying view
    NSLog("=========DeskTopView dealloc=========");
    setDestTopViewDelegate(nullptr);
    cancelPreviousPerformRequestsWithTarget(this, BD_SEL(DeskTopView, delayLoading), nullptr);
    stopAnimating();
    _bgView = nullptr;
    if (_operationQueue) _operationQueue->cancelAllOperations();
    _operationQueue = nullptr;
    _updateOperation = nullptr;
    UIScrollView::dealloc();
}

void DeskTopView::delayLoading() {
    NSThread::detachNewThreadSelector(BD_SEL(DeskTopView, initResource), this, nullptr);
}

void DeskTopView::setScale(double scale) {
    CGPoint origin = frame().origin;
    layer()->setTransform(CATransform3DMakeScale(scale, scale, 1));
    // The frame the transform gives: setting it moves the view back to its origin and leaves
    // the bounds exactly as they are (the layer doesn't work them back out of the frame).
    CGSize size = frame().size;
    setFrame(CGRectMake(origin.x, origin.y, size.width, size.height));
    setTapClipRect(bounds());
    _scale = scale;
}

void DeskTopView::setBackgroundImage(UIImage* image) {
    if (_bgView) _bgView->setImage(image);
    setScale(scale());
}

bool DeskTopView::timeComeWithInterval(double interval) {
    double now = CACurrentMediaTime();
    if (now - _lastTime > interval) {
        _lastTime = now;
        return true;
    }
    return false;
}

bool DeskTopView::isAnimating() {
    return _isAnimating.load();
}

void DeskTopView::startAnimating() {
    BD_ASSERT_MAIN_THREAD();
    if (_isAnimating.load()) return;
    if (_tearingDown || !_operationQueue) return;
    _isAnimating.store(true);
    _updateOperation = adopt(alloc<UpdateOperation>());
    _updateOperation->setDelegate(this);
    // The loop holds the view until its operation has finished (see docs/threads.md).
    retain();
    _loopHolds.fetch_add(1);
    _updateOperation->_hold.store(this);
    _operationQueue->addOperation(_updateOperation.get());
    _operationQueue->setSuspended(false);
}

void DeskTopView::stopAnimating() {
    BD_ASSERT_MAIN_THREAD();
    if (!_isAnimating.load()) return;
    _isAnimating.store(false);
    if (_updateOperation) _updateOperation->setDelegate(nullptr);
    if (_operationQueue) _operationQueue->cancelAllOperations();
}

void DeskTopView::pauseAnimating() {
    stopAnimating();
}
void DeskTopView::resumeAnimating() {
    startAnimating();
}

void DeskTopView::removeFromSuperview() {
    stopAnimating();
    UIScrollView::removeFromSuperview();
}

// A loop goes on while the view animates, its own operation has not been stopped (a stop
// clears the delegate and cancels the queue; a later start makes a new operation, so an old
// loop waking from its sleep ends), and someone besides the loops still holds the view.
bool DeskTopView::loopMayContinue(UpdateOperation* op) {
    if (!_isAnimating.load()) return false;
    if (op && (op->delegate() != this || op->isCancelled())) return false;
    // Nobody else can add a reference once only loop holds are left: the host has let go.
    return retainCount() > _loopHolds.load();
}

void DeskTopView::runLoop() {
    const double interval = kFrameInterval;
    UpdateOperation* op = dynamic_cast<UpdateOperation*>(NSOperation::currentOperation());
    NSAutoreleasePool pool;
    NSRunLoop* main = NSRunLoop::mainRunLoop();
    double due = CACurrentMediaTime();  // when the next frame should start
    while (loopMayContinue(op)) {
        // A frame whose thread woke late counts from when it was due, so that the lateness does
        // not lengthen the period (on a virtual clock, or an idle machine, the two are the
        // same); one late by a whole frame or more counts from now.
        double now = CACurrentMediaTime();
        double t0 = now >= due && now - due < interval ? due : now;
        main->announceWork(this, NAN);  // the frame is being asked for now
        // -performSelectorOnMainThread:@selector(doAnimating) withObject:nil waitUntilDone:YES,
        // skipped when the loop was stopped while the request waited for the main thread.
        runFrameOnMainThread(main, [this, op] {
            if (loopMayContinue(op)) doAnimating();
        });
        double elapsed = CACurrentMediaTime() - t0;
        double sleep = interval > elapsed ? interval - elapsed : kShortestSleep;
        due = t0 + elapsed + sleep;
        // A host that sleeps until the wallpaper next changes learns when the next frame comes.
        main->announceWork(this, CACurrentMediaTime() + sleep);
        NSThread::sleepForTimeInterval(sleep);
    }
    main->announceWork(this, NAN);
}
