#pragma once
// Touches: UITouch (one finger on the screen), UIEvent (the touches of one moment) and the
// host-side TouchDispatcher, which turns a host's pointer input into touches: it hit-tests the
// view tree, sends the touch to the view it hit and follows it through moves to its end. A view
// that doesn't handle a touch hands it to its next responder (UIView's touch handlers).

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

class NSSet;
class UIView;

enum UITouchPhase : int {
    UITouchPhaseBegan = 0,
    UITouchPhaseMoved = 1,
    UITouchPhaseStationary = 2,
    UITouchPhaseEnded = 3,
    UITouchPhaseCancelled = 4,
};

namespace bd {
class TouchDispatcher;
}

class BD_EXPORT UITouch : public NSObject {
  public:
    // -locationInView: [main-thread] where the touch is now, in the view's own (bounds)
    // coordinates; null: in the space the touched root view's frame is expressed in.
    virtual CGPoint locationInView(UIView* view);
    // -previousLocationInView: [main-thread] where it was before the last move.
    virtual CGPoint previousLocationInView(UIView* view);
    // -view [main-thread] the view the touch began in (kept for the touch's whole life).
    virtual UIView* view() { return _view.get(); }
    // -window [main-thread] the root of the view tree the touch was delivered to.
    virtual UIView* window() { return _window.get(); }
    // -phase [main-thread]
    virtual UITouchPhase phase() { return _phase; }
    // -timestamp [main-thread] media-clock seconds of the last change.
    virtual double timestamp() { return _timestamp; }
    // -tapCount [main-thread]
    virtual unsigned tapCount() { return _tapCount; }

  protected:
    void dealloc() override;

  private:
    friend class bd::TouchDispatcher;
    CGPoint mapToView(CGPoint pointInRoot, UIView* view);

    Ref<UIView> _view;
    Ref<UIView> _window;
    CGPoint _point = {};          // in the root's frame space
    CGPoint _previousPoint = {};  // the same, before the last move
    UITouchPhase _phase = UITouchPhaseBegan;
    double _timestamp = 0;
    unsigned _tapCount = 1;
};

// The event that carries touches to their views.
enum UIEventType : int { UIEventTypeTouches = 0 };

class BD_EXPORT UIEvent : public NSObject {
  public:
    // -type [main-thread]
    virtual UIEventType type() { return UIEventTypeTouches; }
    // -timestamp [main-thread] media-clock seconds
    virtual double timestamp() { return _timestamp; }
    // -allTouches [main-thread] never null
    virtual NSSet* allTouches();
    // -touchesForView: [main-thread] the touches that began in view (empty set when none)
    virtual NSSet* touchesForView(UIView* view);

  protected:
    void dealloc() override;

  private:
    friend class bd::TouchDispatcher;
    Ref<NSSet> _touches;
    double _timestamp = 0;
};

namespace bd {

// One finger, driven by a host: a mouse button or a tap. Points are in the space the root
// view's frame is expressed in (its superview's, or the screen's for a view without one).
// Main thread only. Handlers may keep the touch and the event; the dispatcher holds the
// touch, its view and its root until the touch ends or is cancelled. Each delivery runs in an
// autorelease pool of its own.
class BD_EXPORT TouchDispatcher {
  public:
    TouchDispatcher() = default;
    ~TouchDispatcher();  // [main-thread] drops a touch still down without sending anything
    TouchDispatcher(const TouchDispatcher&) = delete;
    TouchDispatcher& operator=(const TouchDispatcher&) = delete;

    // [main-thread] Hit-tests root's tree at pointInRoot and sends touchesBegan to the view hit;
    // returns that view, or null when nothing takes the touch (nothing is sent then). A touch
    // still down is cancelled first.
    UIView* began(UIView* root, CGPoint pointInRoot);
    // [main-thread] touchesMoved / touchesEnded / touchesCancelled to the view `began` hit;
    // nothing when no touch is down. ended and cancelled finish the touch.
    void moved(CGPoint pointInRoot);
    void ended(CGPoint pointInRoot);
    void cancelled();

    // [main-thread] The touch that is down, or null.
    UITouch* activeTouch() { return _touch.get(); }

  private:
    enum class Send { Began, Moved, Ended, Cancelled };
    void send(Send what);
    void finish(UITouch* touch);  // forgets touch unless a handler already began another

    Ref<UITouch> _touch;
    Ref<UIEvent> _event;
};

}  // namespace bd
