#include "UIKit/UIView.h"

#include <algorithm>
#include <atomic>

#include "Foundation/NSArray.h"
#include "UIKit/UIColor.h"

namespace {

// Shares the change `delta` of the superview's length among the flexible parts of one axis
// (leading margin, length, trailing margin) in proportion to their present sizes, or equally
// when those are all zero. Returns the new start and length.
void resizeAxis(double& start, double& length, double superStart, double oldSuperLength,
                double delta, bool flexLead, bool flexLength, bool flexTrail) {
    int n = int(flexLead) + int(flexLength) + int(flexTrail);
    if (n == 0 || delta == 0) return;
    double lead = start - superStart;
    double trail = oldSuperLength - lead - length;
    double parts[3] = {flexLead ? lead : 0, flexLength ? length : 0, flexTrail ? trail : 0};
    double sum = 0;
    for (double p : parts) sum += std::max(0.0, p);
    double share[3];
    bool flex[3] = {flexLead, flexLength, flexTrail};
    for (int i = 0; i < 3; ++i) {
        if (!flex[i]) {
            share[i] = 0;
        } else if (sum > 0) {
            share[i] = delta * std::max(0.0, parts[i]) / sum;
        } else {
            share[i] = delta / n;
        }
    }
    start += share[0];
    length = std::max(0.0, length + share[1]);
}

std::atomic<UIView::AnimationDidStopHandler> gAnimationDidStopHandler{nullptr};

}  // namespace

void UIView::setAnimationDidStopHandler(AnimationDidStopHandler handler) {
    gAnimationDidStopHandler.store(handler, std::memory_order_release);
}

UIView::AnimationDidStopHandler UIView::animationDidStopHandler() {
    return gAnimationDidStopHandler.load(std::memory_order_acquire);
}

void UIView::animationDidStop(CAAnimation* anim, bool finished) {
    if (AnimationDidStopHandler h = animationDidStopHandler()) h(this, anim, finished);
}

UIView::UIView() : _layer(adopt(alloc<CALayer>()->init())) {
    _layer->setDelegate(this);
}

UIView* UIView::init() {
    return initWithFrame(CGRectZero);
}

UIView* UIView::initWithFrame(CGRect frame) {
    if (!NSObject::init()) return nullptr;
    _layer->setFrame(frame);
    return this;
}

void UIView::dealloc() {
    std::vector<Ref<UIView>> subs = _subviews;
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) (*it)->removeFromSuperview();
    subs.clear();
    _subviews.clear();
    _backgroundColor = nullptr;
    if (_layer) {
        // No animation outlives its view, even when someone else still holds the layer.
        _layer->removeAllAnimations();
        _layer->setDelegate(nullptr);
        _layer->removeFromSuperlayer();
    }
    _layer = nullptr;
    NSObject::dealloc();
}

// ----- geometry

CGRect UIView::frame() {
    return _layer->frame();
}

void UIView::setFrame(CGRect frame) {
    BD_ASSERT_MAIN_THREAD();
    CGSize old = _layer->bounds().size;
    _layer->setFrame(frame);
    boundsSizeMayHaveChanged(old);
}

CGRect UIView::bounds() {
    return _layer->bounds();
}

void UIView::setBounds(CGRect bounds) {
    BD_ASSERT_MAIN_THREAD();
    CGSize old = _layer->bounds().size;
    _layer->setBounds(bounds);
    boundsSizeMayHaveChanged(old);
}

CGPoint UIView::center() {
    return _layer->position();
}

void UIView::setCenter(CGPoint center) {
    BD_ASSERT_MAIN_THREAD();
    _layer->setPosition(center);
}

CGAffineTransform UIView::transform() {
    return CATransform3DGetAffineTransform(_layer->transform());
}

void UIView::setTransform(CGAffineTransform transform) {
    BD_ASSERT_MAIN_THREAD();
    _layer->setTransform(CATransform3DMakeAffineTransform(transform));
}

void UIView::boundsSizeMayHaveChanged(CGSize oldSize) {
    if (_layer->bounds().size == oldSize) return;
    if (_autoresizesSubviews) resizeSubviewsWithOldSize(oldSize);
    setNeedsLayout();
}

void UIView::resizeSubviewsWithOldSize(CGSize oldSize) {
    std::vector<Ref<UIView>> subs = _subviews;
    for (auto& s : subs) s->resizeWithOldSuperviewSize(oldSize);
}

void UIView::resizeWithOldSuperviewSize(CGSize oldSize) {
    if (!_superview || _autoresizingMask == UIViewAutoresizingNone) return;
    CGRect sb = _superview->bounds();
    CGRect f = frame();
    unsigned m = _autoresizingMask;
    resizeAxis(f.origin.x, f.size.width, sb.origin.x, oldSize.width, sb.size.width - oldSize.width,
               m & UIViewAutoresizingFlexibleLeftMargin, m & UIViewAutoresizingFlexibleWidth,
               m & UIViewAutoresizingFlexibleRightMargin);
    resizeAxis(f.origin.y, f.size.height, sb.origin.y, oldSize.height,
               sb.size.height - oldSize.height, m & UIViewAutoresizingFlexibleTopMargin,
               m & UIViewAutoresizingFlexibleHeight, m & UIViewAutoresizingFlexibleBottomMargin);
    setFrame(f);
}

// ----- tree

NSArray* UIView::subviews() {
    NSMutableArray* a = NSMutableArray::arrayWithCapacity(_subviews.size());
    for (auto& s : _subviews) a->addObject(s.get());
    return a;
}

void UIView::insertSubview(UIView* view, size_t atIndex) {
    BD_ASSERT_MAIN_THREAD();
    // A view can't contain itself or one of its ancestors.
    if (!view || isDescendantOfView(view)) return;
    Ref<UIView> keep = retained(view);
    UIView* old = view->_superview;
    if (old != this) view->willMoveToSuperview(this);
    if (old) {
        auto it = std::find_if(old->_subviews.begin(), old->_subviews.end(),
                               [&](const Ref<UIView>& r) { return r.get() == view; });
        if (old != this) old->willRemoveSubview(view);
        if (it != old->_subviews.end()) old->_subviews.erase(it);
        view->_superview = nullptr;
    }
    atIndex = std::min(atIndex, _subviews.size());
    _subviews.insert(_subviews.begin() + static_cast<std::ptrdiff_t>(atIndex), keep);
    view->_superview = this;
    // Keep the sublayers in the subviews' order: place the layer just above the layer of the
    // subview below it (other sublayers that belong to no subview keep their places).
    if (atIndex == 0)
        _layer->insertSublayer(view->_layer, 0);
    else
        _layer->insertSublayerAbove(view->_layer, _subviews[atIndex - 1]->_layer);
    if (old != this) {
        view->didMoveToSuperview();
        didAddSubview(view);
    }
}

void UIView::addSubview(UIView* view) {
    if (!view) return;
    size_t n = _subviews.size();
    if (view->_superview == this) --n;
    insertSubview(view, n);
}

void UIView::insertSubviewBelow(UIView* view, UIView* belowSubview) {
    if (!view || view == belowSubview) return;
    if (!belowSubview || belowSubview->_superview != this) return addSubview(view);
    size_t i = 0;
    for (auto& s : _subviews) {
        if (s.get() == view) continue;  // index as if view were already out
        if (s.get() == belowSubview) break;
        ++i;
    }
    insertSubview(view, i);
}

void UIView::insertSubviewAbove(UIView* view, UIView* aboveSubview) {
    if (!view || view == aboveSubview) return;
    if (!aboveSubview || aboveSubview->_superview != this) return addSubview(view);
    size_t i = 0;
    for (auto& s : _subviews) {
        if (s.get() == view) continue;
        ++i;
        if (s.get() == aboveSubview) break;
    }
    insertSubview(view, i);
}

void UIView::removeFromSuperview() {
    BD_ASSERT_MAIN_THREAD();
    UIView* s = _superview;
    if (!s) return;
    Ref<UIView> keep = retained(this);
    willMoveToSuperview(nullptr);
    s->willRemoveSubview(this);
    auto it = std::find_if(s->_subviews.begin(), s->_subviews.end(),
                           [&](const Ref<UIView>& r) { return r.get() == this; });
    _superview = nullptr;
    _layer->removeFromSuperlayer();
    if (it != s->_subviews.end()) s->_subviews.erase(it);  // drops the superview's reference
    didMoveToSuperview();
}

void UIView::bringSubviewToFront(UIView* view) {
    if (view && view->_superview == this) addSubview(view);
}

void UIView::sendSubviewToBack(UIView* view) {
    if (view && view->_superview == this) insertSubview(view, 0);
}

bool UIView::isDescendantOfView(UIView* view) {
    for (UIView* v = this; v; v = v->_superview)
        if (v == view) return true;
    return false;
}

UIView* UIView::viewWithTag(long tag) {
    if (_tag == tag) return this;
    for (auto& s : _subviews)
        if (UIView* v = s->viewWithTag(tag)) return v;
    return nullptr;
}

// ----- layout

void UIView::setAutoresizingMask(unsigned autoresizingMask) {
    BD_ASSERT_MAIN_THREAD();
    _autoresizingMask = autoresizingMask;
}

void UIView::setAutoresizesSubviews(bool autoresizesSubviews) {
    BD_ASSERT_MAIN_THREAD();
    _autoresizesSubviews = autoresizesSubviews;
}

void UIView::setNeedsLayout() {
    _needsLayout = true;
}

void UIView::layoutIfNeeded() {
    BD_ASSERT_MAIN_THREAD();
    if (_needsLayout) {
        _needsLayout = false;
        layoutSubviews();
    }
    std::vector<Ref<UIView>> subs = _subviews;
    for (auto& s : subs) s->layoutIfNeeded();
}

// ----- appearance

void UIView::setBackgroundColor(UIColor* backgroundColor) {
    BD_ASSERT_MAIN_THREAD();
    _backgroundColor = retained(backgroundColor);
    _layer->setBackgroundColor(backgroundColor ? backgroundColor->layerColor() : CALayerColor{});
}

bool UIView::clipsToBounds() {
    return _layer->masksToBounds();
}

void UIView::setClipsToBounds(bool clipsToBounds) {
    BD_ASSERT_MAIN_THREAD();
    _layer->setMasksToBounds(clipsToBounds);
}

void UIView::setContentMode(int contentMode) {
    BD_ASSERT_MAIN_THREAD();
    _contentMode = contentMode;
    _layer->setContentsGravity(contentMode);  // the gravities are numbered as the content modes
}

bool UIView::isHidden() {
    return _layer->isHidden();
}

void UIView::setHidden(bool hidden) {
    BD_ASSERT_MAIN_THREAD();
    _layer->setHidden(hidden);
}

double UIView::alpha() {
    return _layer->opacity();
}

void UIView::setAlpha(double alpha) {
    BD_ASSERT_MAIN_THREAD();
    _layer->setOpacity(static_cast<float>(alpha));
}

void UIView::setUserInteractionEnabled(bool userInteractionEnabled) {
    BD_ASSERT_MAIN_THREAD();
    _userInteractionEnabled = userInteractionEnabled;
}

void UIView::setTag(long tag) {
    BD_ASSERT_MAIN_THREAD();
    _tag = tag;
}

// ----- coordinates

CGPoint UIView::convertPointToView(CGPoint point, UIView* toView) {
    return _layer->convertPointToLayer(point, toView ? toView->layer() : nullptr);
}
CGPoint UIView::convertPointFromView(CGPoint point, UIView* fromView) {
    return _layer->convertPointFromLayer(point, fromView ? fromView->layer() : nullptr);
}
CGRect UIView::convertRectToView(CGRect rect, UIView* toView) {
    return _layer->convertRectToLayer(rect, toView ? toView->layer() : nullptr);
}
CGRect UIView::convertRectFromView(CGRect rect, UIView* fromView) {
    return _layer->convertRectFromLayer(rect, fromView ? fromView->layer() : nullptr);
}

// ----- hit testing and sizing

bool UIView::pointInside(CGPoint point, UIEvent* withEvent) {
    (void)withEvent;
    return CGRectContainsPoint(bounds(), point);
}

UIView* UIView::hitTest(CGPoint point, UIEvent* withEvent) {
    if (isHidden() || !isUserInteractionEnabled() || alpha() < 0.01) return nullptr;
    if (!pointInside(point, withEvent)) return nullptr;
    std::vector<Ref<UIView>> subs = _subviews;
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        UIView* s = it->get();
        if (UIView* hit = s->hitTest(s->convertPointFromView(point, this), withEvent)) return hit;
    }
    return this;
}

// ----- touches

void UIView::touchesBegan(NSSet* touches, UIEvent* withEvent) {
    if (UIView* next = nextResponder()) next->touchesBegan(touches, withEvent);
}
void UIView::touchesMoved(NSSet* touches, UIEvent* withEvent) {
    if (UIView* next = nextResponder()) next->touchesMoved(touches, withEvent);
}
void UIView::touchesEnded(NSSet* touches, UIEvent* withEvent) {
    if (UIView* next = nextResponder()) next->touchesEnded(touches, withEvent);
}
void UIView::touchesCancelled(NSSet* touches, UIEvent* withEvent) {
    if (UIView* next = nextResponder()) next->touchesCancelled(touches, withEvent);
}

CGSize UIView::sizeThatFits(CGSize size) {
    (void)size;
    return bounds().size;
}

void UIView::sizeToFit() {
    BD_ASSERT_MAIN_THREAD();
    CGPoint origin = frame().origin;
    CGRect b = bounds();
    b.size = sizeThatFits(b.size);
    setBounds(b);
    // Keep the frame's top-left corner where it was.
    CGRect f = frame();
    CGPoint c = center();
    setCenter({c.x + origin.x - f.origin.x, c.y + origin.y - f.origin.y});
}
