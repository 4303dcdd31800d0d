#pragma once
// UIView: a rectangle of the user interface, backed by its own CALayer. frame, bounds and center
// are the layer's geometry; subviews' layers are the layer's sublayers in the same order. A view
// owns its subviews and knows its superview by a plain pointer. Views are main-thread objects.
// Every view can be the delegate of an animation; its stop notification goes to the handler a
// category of UIView installs (setAnimationDidStopHandler).

#include <vector>
#include "Foundation/Export.h"

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/NSObject.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIGeometry.h"

class NSArray;
class NSSet;
class UIEvent;

// UIViewAutoresizing bits
enum : unsigned {
    UIViewAutoresizingNone = 0,
    UIViewAutoresizingFlexibleLeftMargin = 1,
    UIViewAutoresizingFlexibleWidth = 2,
    UIViewAutoresizingFlexibleRightMargin = 4,
    UIViewAutoresizingFlexibleTopMargin = 8,
    UIViewAutoresizingFlexibleHeight = 16,
    UIViewAutoresizingFlexibleBottomMargin = 32,
};

enum UIViewContentMode : int {
    UIViewContentModeScaleToFill = 0,
    UIViewContentModeScaleAspectFit = 1,
    UIViewContentModeScaleAspectFill = 2,
    UIViewContentModeRedraw,
    UIViewContentModeCenter,
    UIViewContentModeTop,
    UIViewContentModeBottom,
    UIViewContentModeLeft,
    UIViewContentModeRight,
    UIViewContentModeTopLeft,
    UIViewContentModeTopRight,
    UIViewContentModeBottomLeft,
    UIViewContentModeBottomRight,
};

class BD_EXPORT UIView : public NSObject, public CAAnimationDelegate {
  public:
    UIView();

    // What a view does when an animation whose delegate it is stops: the view, the stopped
    // animation (the attached copy) and whether it ran to its end.
    typedef void (*AnimationDidStopHandler)(UIView* view, CAAnimation* anim, bool finished);
    // [any-thread] The one hook through which a category of UIView gives every view in the
    // process its stop handler; a category sets it once when the library is loaded. Null: none.
    static void setAnimationDidStopHandler(AnimationDidStopHandler handler);
    static AnimationDidStopHandler animationDidStopHandler();  // [any-thread]
    // -animationDidStop:finished: [main-thread] passes the notification to the handler above.
    void animationDidStop(CAAnimation* anim, bool finished) override;

    // -init [main-thread] = initWithFrame: CGRectZero
    [[nodiscard]] UIView* init() override;
    // -initWithFrame: [main-thread] returns the view or null
    [[nodiscard]] virtual UIView* initWithFrame(CGRect frame);

    // Geometry [main-thread]. A change of the bounds size resizes the subviews by their
    // autoresizing masks (when autoresizesSubviews is on).
    virtual CGRect frame();
    virtual void setFrame(CGRect frame);
    virtual CGRect bounds();
    virtual void setBounds(CGRect bounds);
    virtual CGPoint center();
    virtual void setCenter(CGPoint center);
    // -transform / -setTransform: the affine part of the layer's transform
    virtual CGAffineTransform transform();
    virtual void setTransform(CGAffineTransform transform);
    virtual CALayer* layer() { return _layer.get(); }

    // Tree [main-thread]
    virtual UIView* superview() { return _superview; }
    // -subviews: autoreleased array, back to front
    virtual NSArray* subviews();
    // The subviews without building an array.
    virtual const std::vector<Ref<UIView>>& subviewList() { return _subviews; }
    // -addSubview: on top of the existing subviews; a view already elsewhere is moved.
    virtual void addSubview(UIView* view);
    // -insertSubview:atIndex: (index clamped)
    virtual void insertSubview(UIView* view, size_t atIndex);
    // -insertSubview:belowSubview: / -insertSubview:aboveSubview: (on top when the sibling isn't
    // ours)
    virtual void insertSubviewBelow(UIView* view, UIView* belowSubview);
    virtual void insertSubviewAbove(UIView* view, UIView* aboveSubview);
    virtual void removeFromSuperview();
    virtual void bringSubviewToFront(UIView* view);
    virtual void sendSubviewToBack(UIView* view);
    virtual bool isDescendantOfView(UIView* view);  // true for the view itself
    // -viewWithTag: this view or the first descendant (depth first) with the tag
    virtual UIView* viewWithTag(long tag);
    // Hooks sent around tree changes. Base: nothing.
    virtual void willMoveToSuperview(UIView* newSuperview) { (void)newSuperview; }
    virtual void didMoveToSuperview() {}
    virtual void didAddSubview(UIView* subview) { (void)subview; }
    virtual void willRemoveSubview(UIView* subview) { (void)subview; }

    // Layout [main-thread]
    virtual unsigned autoresizingMask() { return _autoresizingMask; }
    virtual void setAutoresizingMask(unsigned autoresizingMask);
    virtual bool autoresizesSubviews() { return _autoresizesSubviews; }
    virtual void setAutoresizesSubviews(bool autoresizesSubviews);
    virtual void layoutSubviews() {}
    virtual void setNeedsLayout();
    virtual void layoutIfNeeded();

    // Appearance [main-thread]
    virtual UIColor* backgroundColor() { return _backgroundColor.get(); }
    virtual void setBackgroundColor(UIColor* backgroundColor);  // null = none (clear)
    virtual bool clipsToBounds();
    virtual void setClipsToBounds(bool clipsToBounds);
    virtual int contentMode() { return _contentMode; }
    virtual void setContentMode(int contentMode);
    virtual bool isHidden();
    virtual void setHidden(bool hidden);
    virtual double alpha();
    virtual void setAlpha(double alpha);
    virtual bool isUserInteractionEnabled() { return _userInteractionEnabled; }
    virtual void setUserInteractionEnabled(bool userInteractionEnabled);
    virtual long tag() { return _tag; }
    virtual void setTag(long tag);

    // Coordinates [main-thread], through every layer transform on the way. A null view means
    // the space the root view's frame is expressed in.
    // -convertPoint:toView: / -convertPoint:fromView:
    virtual CGPoint convertPointToView(CGPoint point, UIView* toView);
    virtual CGPoint convertPointFromView(CGPoint point, UIView* fromView);
    // -convertRect:toView: / -convertRect:fromView:
    virtual CGRect convertRectToView(CGRect rect, UIView* toView);
    virtual CGRect convertRectFromView(CGRect rect, UIView* fromView);

    // Hit testing [main-thread]. -pointInside:withEvent: whether the point (own coordinates) lies
    // in the bounds. -hitTest:withEvent: the frontmost view of this subtree under the point, or
    // null when this view is hidden, ignores touches, is nearly transparent (alpha < 0.01) or
    // the point is outside it. The event may be null.
    virtual bool pointInside(CGPoint point, UIEvent* withEvent);
    virtual UIView* hitTest(CGPoint point, UIEvent* withEvent);

    // Touches [main-thread]: the responder chain. The base hands every touch on to the next
    // responder, so a view that doesn't handle touches passes them to the view it lies in.
    // -nextResponder: the superview (null for a root view).
    virtual UIView* nextResponder() { return _superview; }
    // -touchesBegan:withEvent:
    virtual void touchesBegan(NSSet* touches, UIEvent* withEvent);
    // -touchesMoved:withEvent:
    virtual void touchesMoved(NSSet* touches, UIEvent* withEvent);
    // -touchesEnded:withEvent:
    virtual void touchesEnded(NSSet* touches, UIEvent* withEvent);
    // -touchesCancelled:withEvent:
    virtual void touchesCancelled(NSSet* touches, UIEvent* withEvent);

    // Sizing [main-thread]. -sizeThatFits: base: the present bounds size. -sizeToFit sets the
    // bounds size to sizeThatFits of it, keeping the frame's top-left corner.
    virtual CGSize sizeThatFits(CGSize size);
    virtual void sizeToFit();

  protected:
    // Removes the subviews, detaches the layer's animations, then releases the layer.
    void dealloc() override;
    // Applies the subviews' autoresizing masks after the bounds size changed from oldSize.
    virtual void resizeSubviewsWithOldSize(CGSize oldSize);
    // -resizeWithOldSuperviewSize:
    virtual void resizeWithOldSuperviewSize(CGSize oldSize);

    Ref<CALayer> _layer;
    UIView* _superview = nullptr;
    std::vector<Ref<UIView>> _subviews;
    Ref<UIColor> _backgroundColor;
    unsigned _autoresizingMask = UIViewAutoresizingNone;
    bool _autoresizesSubviews = true;
    int _contentMode = UIViewContentModeScaleToFill;
    bool _userInteractionEnabled = true;
    bool _needsLayout = false;
    long _tag = 0;

  private:
    void boundsSizeMayHaveChanged(CGSize oldSize);
};
