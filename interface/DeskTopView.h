#pragma once
// DeskTopView: the base of every wallpaper view, with the host's protocol, the frame loop's
// protocol and its operation. See docs/threads.md for which thread runs what.

#include <atomic>
#include <cstdint>
#include <string>
#include "Foundation/Export.h"

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSOperation.h"
#include "UIKit/UIImageView.h"
#include "UIKit/UIScrollView.h"
#include "interface/IconViewNode.h"

class NSBundle;
class NSString;
class UIImage;

// The host's delegate type; the system stores it and declares no operation of it.
class BD_EXPORT DeskTopViewDelegate {
  public:
    virtual ~DeskTopViewDelegate() = default;
};

// The ten operations a host drives a wallpaper view with. [main-thread] all.
class BD_EXPORT DeskTopViewInterface {
  public:
    virtual ~DeskTopViewInterface() = default;
    // -isAnimating
    virtual bool isAnimating() = 0;
    // -startAnimating
    virtual void startAnimating() = 0;
    // -pauseAnimating
    virtual void pauseAnimating() = 0;
    // -resumeAnimating
    virtual void resumeAnimating() = 0;
    // -stopAnimating
    virtual void stopAnimating() = 0;
    // -doAnimating: one frame of the animation.
    virtual void doAnimating() = 0;
    // -scrollingDidFinish:
    virtual void scrollingDidFinish(double offset) = 0;
    // -tapActionAtViewPoint:
    virtual void tapActionAtViewPoint(CGPoint point) = 0;
    // -gestureAction:atPoint:
    virtual void gestureAction(int32_t type, CGPoint atPoint) = 0;
    // -openSettingMenu
    virtual void openSettingMenu() = 0;
};

// What an UpdateOperation runs.
class BD_EXPORT UpdateOperationDelegate {
  public:
    virtual ~UpdateOperationDelegate() = default;
    // -runLoop [frame-thread]
    virtual void runLoop() = 0;
};

class DeskTopView;

// The frame loop's operation: its main() sends runLoop to its delegate.
class BD_EXPORT UpdateOperation : public NSOperation {
  public:
    // -main [frame-thread]
    void main() override;
    // -start [frame-thread] runs main() (unless cancelled), then gives back the loop's hold
    // on the view (see DeskTopView::startAnimating).
    void start() override;

    // -delegate, -setDelegate: [any-thread] plain reference, not retained; atomic because the
    // main thread clears it while the loop thread reads it.
    virtual UpdateOperationDelegate* delegate() { return _delegate.load(); }
    virtual void setDelegate(UpdateOperationDelegate* delegate) { _delegate.store(delegate); }

  protected:
    void dealloc() override;

  private:
    friend class DeskTopView;
    void giveBackHold();
    std::atomic<UpdateOperationDelegate*> _delegate{nullptr};
    std::atomic<DeskTopView*> _hold{nullptr};  // one reference on the view, owned
};

class BD_EXPORT DeskTopView : public UIScrollView,
                              public DeskTopViewInterface,
                              public UpdateOperationDelegate {
  public:
    // +createDeskTopViewFromBundle: [main-thread] opens the bundle's library, calls its
    // getDeskTopViewInstance and hands back that view (autoreleased), or null. Why it gave
    // null, bd::loaderStopReason() says; with BACKDROP_LOG=loader in the environment each step
    // goes to stderr as a line "loader: ..." (the last one "loader: stopped: <why>").
    static DeskTopView* createDeskTopViewFromBundle(NSBundle* bundle);
    // +name, +version [any-thread] the base has neither: empty strings (autoreleased).
    static NSString* name();
    static NSString* version();

    // -initWithFrame: [main-thread]
    [[nodiscard]] DeskTopView* initWithFrame(CGRect frame) override;
    // -setFrame: [main-thread] then tapClipRect follows the bounds.
    void setFrame(CGRect frame) override;
    // -delayLoading [main-thread] detaches the resource thread that runs initResource.
    virtual void delayLoading();
    // -initResource [any-thread: the resource thread] empty in the base.
    virtual void initResource() {}
    // -setScale: [main-thread] scales the view about its top-left corner.
    virtual void setScale(double scale);
    // -setBackgroundImage: [main-thread] null clears the picture.
    virtual void setBackgroundImage(UIImage* image);
    // -timeComeWithInterval: [main-thread] true at most once per interval.
    virtual bool timeComeWithInterval(double interval);

    // DeskTopViewInterface [main-thread]
    bool isAnimating() override;  // [any-thread]
    void startAnimating() override;
    void pauseAnimating() override;
    void resumeAnimating() override;
    void stopAnimating() override;
    void doAnimating() override {}
    // -removeFromSuperview [main-thread] stops the animation first.
    void removeFromSuperview() override;
    void scrollingDidFinish(double offset) override { (void)offset; }
    void tapActionAtViewPoint(CGPoint point) override { (void)point; }
    void gestureAction(int32_t type, CGPoint atPoint) override {
        (void)type;
        (void)atPoint;
    }
    void openSettingMenu() override {}

    // -runLoop [frame-thread] the frame loop.
    void runLoop() override;

    // Properties [main-thread]
    virtual DeskTopViewDelegate* destTopViewDelegate() { return _destTopViewDelegate; }
    virtual void setDestTopViewDelegate(DeskTopViewDelegate* destTopViewDelegate) {
        _destTopViewDelegate = destTopViewDelegate;
    }
    virtual UIImageView* bgView() { return _bgView.get(); }
    virtual double offset() { return _offset; }
    virtual void setOffset(double offset) { _offset = offset; }
    virtual double scale() { return _scale; }
    virtual CGRect tapClipRect() { return _tapClipRect; }
    virtual void setTapClipRect(CGRect tapClipRect) { _tapClipRect = tapClipRect; }
    virtual int64_t speedLevel() { return _speedLevel; }
    virtual void setSpeedLevel(int64_t speedLevel) { _speedLevel = speedLevel; }

  protected:
    // Teardown [main-thread]: log line, delegate null, cancel the pending delayLoading, stop,
    // release the background view, cancel and release the queue, then the scroll view's.
    void dealloc() override;

    // The time timeComeWithInterval last answered true, for subclasses and tests. [main-thread]
    void setLastTime(double lastTime) { _lastTime = lastTime; }
    double lastTime() { return _lastTime; }

  private:
    friend class UpdateOperation;
    bool loopMayContinue(UpdateOperation* op);  // [any-thread]

    std::atomic<bool> _isAnimating{false};
    DeskTopViewDelegate* _destTopViewDelegate = nullptr;
    Ref<UIImageView> _bgView;
    double _offset = 0;
    CGRect _tapClipRect = {};
    Ref<UpdateOperation> _updateOperation;
    Ref<NSOperationQueue> _operationQueue;
    double _lastTime = 0;
    int64_t _speedLevel = 0;
    double _scale = 1.0;
    // References on this view held by frame loops (one per started operation, given back on
    // the main thread when the operation finishes). Written on the main thread only.
    std::atomic<int> _loopHolds{0};
    bool _tearingDown = false;  // main thread only
};

namespace bd {
// [main-thread] Why the last createDeskTopViewFromBundle: on this thread gave null: "the bundle
// has no description.plist", "dlopen failed: <the loader's message>", "the library does not
// export getDeskTopViewInstance (...)", "getDeskTopViewInstance returned null (...)", "built for
// Backdrop ABI 2; this Backdrop speaks ABI 1"; "" after it gave a view.
BD_EXPORT std::string loaderStopReason();

// [any-thread] The wallpaper library ABI this framework speaks (the BACKDROP_ABI_VERSION it was
// built with; a host's own BACKDROP_ABI_VERSION may differ from it).
BD_EXPORT int frameworkAbiVersion();

// [any-thread] Why a library built for ABI libraryAbi may not be loaded here, in one line ("built
// for Backdrop ABI 2; this Backdrop speaks ABI 1"), or "" when it speaks this framework's ABI.
BD_EXPORT std::string abiRefusal(int libraryAbi);
}  // namespace bd
