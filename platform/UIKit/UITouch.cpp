#include "UIKit/UITouch.h"

#include "Foundation/NSSet.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIView.h"

// ---------------------------------------------------------------------------------------------
// UITouch

void UITouch::dealloc() {
    _view = nullptr;
    _window = nullptr;
    NSObject::dealloc();
}

CGPoint UITouch::mapToView(CGPoint pointInRoot, UIView* view) {
    if (!view || !_window) return pointInRoot;
    UIView* root = _window.get();
    CGPoint inRootBounds = root->convertPointFromView(pointInRoot, root->superview());
    return root->convertPointToView(inRootBounds, view);
}

CGPoint UITouch::locationInView(UIView* view) {
    return mapToView(_point, view);
}

CGPoint UITouch::previousLocationInView(UIView* view) {
    return mapToView(_previousPoint, view);
}

// ---------------------------------------------------------------------------------------------
// UIEvent

void UIEvent::dealloc() {
    _touches = nullptr;
    NSObject::dealloc();
}

NSSet* UIEvent::allTouches() {
    return _touches ? _touches.get() : NSSet::set();
}

NSSet* UIEvent::touchesForView(UIView* view) {
    NSSet* all = allTouches();
    for (NSObject* o : *all)
        if (auto* t = as<UITouch>(o); t && t->view() == view) return NSSet::setWithObject(t);
    return NSSet::set();
}

// ---------------------------------------------------------------------------------------------
// TouchDispatcher

namespace bd {

TouchDispatcher::~TouchDispatcher() = default;

UIView* TouchDispatcher::began(UIView* root, CGPoint pointInRoot) {
    BD_ASSERT_MAIN_THREAD();
    if (_touch) cancelled();
    if (!root) return nullptr;
    CGPoint local = root->convertPointFromView(pointInRoot, root->superview());
    UIView* hit = root->hitTest(local, nullptr);
    if (!hit) return nullptr;

    Ref<UITouch> touch = adopt(alloc<UITouch>());
    touch->_view = retained(hit);
    touch->_window = retained(root);
    touch->_point = touch->_previousPoint = pointInRoot;
    _touch = touch;
    _event = adopt(alloc<UIEvent>());
    {
        NSAutoreleasePool pool;
        _event->_touches = retained(NSSet::setWithObject(touch.get()));
    }
    send(Send::Began);
    return hit;
}

void TouchDispatcher::moved(CGPoint pointInRoot) {
    BD_ASSERT_MAIN_THREAD();
    if (!_touch) return;
    _touch->_previousPoint = _touch->_point;
    _touch->_point = pointInRoot;
    send(Send::Moved);
}

void TouchDispatcher::ended(CGPoint pointInRoot) {
    BD_ASSERT_MAIN_THREAD();
    if (!_touch) return;
    _touch->_previousPoint = _touch->_point;
    _touch->_point = pointInRoot;
    send(Send::Ended);
}

void TouchDispatcher::cancelled() {
    BD_ASSERT_MAIN_THREAD();
    if (!_touch) return;
    send(Send::Cancelled);
}

void TouchDispatcher::send(Send what) {
    // Each delivery runs in a pool of its own, as an event of a run loop would, so nothing the
    // handlers autorelease (or the touch set) outlives it.
    NSAutoreleasePool pool;
    // Keep everything alive through the handler, which may start another touch or drop views.
    Ref<UITouch> touch = _touch;
    Ref<UIEvent> event = _event;
    Ref<UIView> view = retained(touch->view());
    double now = CACurrentMediaTime();
    touch->_timestamp = now;
    event->_timestamp = now;
    NSSet* touches = event->allTouches();
    switch (what) {
        case Send::Began:
            touch->_phase = UITouchPhaseBegan;
            view->touchesBegan(touches, event.get());
            break;
        case Send::Moved:
            touch->_phase = UITouchPhaseMoved;
            view->touchesMoved(touches, event.get());
            break;
        case Send::Ended:
            touch->_phase = UITouchPhaseEnded;
            finish(touch.get());
            view->touchesEnded(touches, event.get());
            break;
        case Send::Cancelled:
            touch->_phase = UITouchPhaseCancelled;
            finish(touch.get());
            view->touchesCancelled(touches, event.get());
            break;
    }
}

void TouchDispatcher::finish(UITouch* touch) {
    if (_touch.get() != touch) return;
    _touch = nullptr;
    _event = nullptr;
}

}  // namespace bd
