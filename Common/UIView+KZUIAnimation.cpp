#include "Common/UIView+KZUIAnimation.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIView.h"

namespace KZUIAnimation {
namespace {

constexpr double kPerspectiveM34 = -0.002;         // a viewing distance of 500 points
constexpr double kTiltAngle = 0.7853981633974483;  // 45 degrees

// Degrees to radians as the builders do it: multiply first, in double precision; the caller
// narrows the result to a float when it boxes it.
double radians(double degrees) {
    return degrees * std::numbers::pi / 180;
}

NSNumber* floatNumber(double v) {
    return NSNumber::numberWithFloat(static_cast<float>(v));
}

CABasicAnimation* basicAnimation(const char* keyPath) {
    return CABasicAnimation::animationWithKeyPath(NSSTR(keyPath));
}

// Every view gets the stop handler when the library is loaded.
const bool gStopHandlerInstalled = [] {
    UIView::setAnimationDidStopHandler(&animationDidStop);
    return true;
}();

}  // namespace

void setAnimation(UIView* view, CAAnimation* animation, CAAnimationDelegate* withTarget,
                  double duration, uint64_t repeatCount, bool autoreverses) {
    (void)view;
    if (!animation) return;
    animation->setDuration(duration);
    animation->setRepeatCount(static_cast<float>(repeatCount));
    animation->setDelegate(withTarget);
    animation->setAutoreverses(autoreverses);
    // An animation that reports to a target stays attached after its end, so the target can
    // still find it under its key.
    animation->setRemovedOnCompletion(withTarget == nullptr);
}

CABasicAnimation* createTranslationAnimationWithTarget(UIView* view, CAAnimationDelegate* target,
                                                       double duration, uint64_t repeatCount,
                                                       bool autoreverses) {
    CABasicAnimation* a = basicAnimation("transform.translation");
    setAnimation(view, a, target, duration, repeatCount, autoreverses);
    return a;
}

CABasicAnimation* createAlphaAnimationWithTarget(UIView* view, CAAnimationDelegate* target,
                                                 double duration, uint64_t repeatCount,
                                                 bool autoreverses) {
    CABasicAnimation* a = basicAnimation("opacity");
    setAnimation(view, a, target, duration, repeatCount, autoreverses);
    return a;
}

CABasicAnimation* createRotationAnimationWithTarget(UIView* view, CAAnimationDelegate* target,
                                                    double duration, uint64_t repeatCount,
                                                    bool autoreverses) {
    CABasicAnimation* a = basicAnimation("transform.rotation.z");
    setAnimation(view, a, target, duration, repeatCount, autoreverses);
    return a;
}

CAAnimationGroup* createAnimationGroupWithTarget(UIView* view, CAAnimationDelegate* target) {
    (void)view;
    CAAnimationGroup* g = CAAnimationGroup::animation();
    g->setDelegate(target);
    return g;
}

void setScaleAnimation(UIView* view, double scale, double duration, double repeatCount) {
    CABasicAnimation* a = basicAnimation("transform.scale");
    a->setToValue(floatNumber(scale));
    a->setDuration(duration);
    a->setRepeatCount(static_cast<float>(repeatCount));
    a->setAutoreverses(true);
    view->layer()->addAnimation(a, NSSTR(kScaleKey));
}

void setRockAnimationStartAngle(UIView* view, double startAngle, double endAngle, double duration,
                                double repeatCount) {
    CABasicAnimation* a = basicAnimation("transform.rotation.z");
    a->setFromValue(floatNumber(radians(startAngle)));
    a->setToValue(floatNumber(radians(endAngle)));
    a->setDuration(duration);
    a->setRepeatCount(static_cast<float>(repeatCount));
    a->setAutoreverses(true);
    view->layer()->addAnimation(a, NSSTR(kRotationKey));
}

void setRotationAnimation(UIView* view, CGPoint point, double angle, double duration,
                          double repeatCount) {
    (void)point;
    CABasicAnimation* a = basicAnimation("transform.rotation");
    a->setToValue(floatNumber(radians(-angle)));
    a->setDuration(duration);
    a->setRepeatCount(static_cast<float>(repeatCount));
    a->setAutoreverses(false);
    view->layer()->addAnimation(a, NSSTR(kRotationKey));
}

void setAlphaAnimationDuration(UIView* view, double duration, double repeatCount) {
    CABasicAnimation* a = basicAnimation("opacity");
    a->setToValue(floatNumber(0));
    a->setDuration(duration);
    a->setRepeatCount(static_cast<float>(repeatCount));
    a->setDelegate(view);
    a->setAutoreverses(true);
    view->layer()->addAnimation(a, NSSTR(kOpacityKey));
}

void setTranslateAnimation(UIView* view, CGPoint point, double duration, double repeatCount,
                           bool autoreverses) {
    CABasicAnimation* a = basicAnimation("transform.translation");
    a->setDuration(duration);
    a->setRepeatCount(static_cast<float>(repeatCount));
    a->setDelegate(view);
    a->setAutoreverses(autoreverses);

    CALayer* layer = view->layer();
    CATransform3D t = layer->transform();
    double dx = point.x - view->center().x - t.m41;
    double dy = point.y - view->center().y - t.m42;
    // The model moves now; with neither value set, the animation shows the way from where the
    // view was shown to where it is now.
    layer->setTransform(CATransform3DTranslate(t, dx, dy, 0));
    layer->addAnimation(a, NSSTR(kTranslationKey));
}

void animationDidStop(UIView* view, CAAnimation* anim, bool finished) {
    (void)finished;
    CALayer* layer = view->layer();
    // Only the slide that is attached now: not a fade, not a slide that was replaced.
    if (layer->animationForKey(NSSTR(kTranslationKey)) != anim) return;
    layer->removeAnimationForKey(NSSTR(kTranslationKey));
    double x = view->center().x + layer->transform().m41;
    double y = view->center().y + layer->transform().m42;
    view->setCenter(CGPointMake(x, y));
    CATransform3D t = layer->transform();
    t.m41 = 0;
    t.m42 = 0;
    layer->setTransform(t);
}

void setPerspectiveEffectAnimation(UIView* view, bool flag, double duration) {
    CABasicAnimation* a = basicAnimation("sublayerTransform.rotation.x");
    a->setDuration(duration);
    a->setRepeatCount(0);

    CALayer* layer = view->layer();
    CATransform3D s = layer->sublayerTransform();
    if (flag) {
        s.m34 = kPerspectiveM34;
        s = CATransform3DRotate(s, kTiltAngle, 1, 0, 0);
    } else {
        s = CATransform3DRotate(s, -kTiltAngle, 1, 0, 0);
    }
    layer->setSublayerTransform(s);
    layer->addAnimation(a, NSSTR(kPerspectiveKey));
}

}  // namespace KZUIAnimation
