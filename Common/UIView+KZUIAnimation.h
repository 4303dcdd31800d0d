#pragma once
// KZUIAnimation: ready-made layer animations for every view. Factories make configured
// animations for a caller to fill in and start; the one-call builders start a scale pulse, a
// rock, a turn or a fade on the view's layer; the slide moves the view to a point and settles
// through the stop handler; the tilt turns the view's sublayers in perspective. Every value
// handed to an animation is single precision (NSNumber numberWithFloat:). The view is the first
// argument of every operation.

#include <cstdint>
#include "Foundation/Export.h"

#include "CoreGraphics/CGGeometry.h"
#include "QuartzCore/CAAnimation.h"

class UIView;

namespace KZUIAnimation {

// Animation keys on the view's layer.
inline constexpr const char* kScaleKey = "scale";
inline constexpr const char* kRotationKey = "rotation";  // shared by the rock and the turn
inline constexpr const char* kOpacityKey = "opacity";
inline constexpr const char* kTranslationKey = "translation";
inline constexpr const char* kPerspectiveKey = "perspective";

// -setAnimation:withTarget:duration:repeatCount:autoreverses: [main-thread]
// Sets duration, repeat count (as a float), delegate (the target, may be null), autoreverses
// and removedOnCompletion (true only without a target) on the animation; a null animation is
// left alone. The view is not touched.
BD_EXPORT void setAnimation(UIView* view, CAAnimation* animation, CAAnimationDelegate* withTarget,
                            double duration, uint64_t repeatCount, bool autoreverses);

// Factories: a new basic animation on "transform.translation", "opacity" or
// "transform.rotation.z", configured as above, with no from or to value, not started
// (autoreleased).
// -createTranslationAnimationWithTarget:duration:repeatCount:autoreverses: [main-thread]
BD_EXPORT CABasicAnimation* createTranslationAnimationWithTarget(UIView* view,
                                                                 CAAnimationDelegate* target,
                                                                 double duration,
                                                                 uint64_t repeatCount,
                                                                 bool autoreverses);
// -createAlphaAnimationWithTarget:duration:repeatCount:autoreverses: [main-thread]
BD_EXPORT CABasicAnimation* createAlphaAnimationWithTarget(UIView* view,
                                                           CAAnimationDelegate* target,
                                                           double duration, uint64_t repeatCount,
                                                           bool autoreverses);
// -createRotationAnimationWithTarget:duration:repeatCount:autoreverses: [main-thread]
BD_EXPORT CABasicAnimation* createRotationAnimationWithTarget(UIView* view,
                                                              CAAnimationDelegate* target,
                                                              double duration, uint64_t repeatCount,
                                                              bool autoreverses);
// -createAnimationGroupWithTarget: [main-thread] a new empty group whose delegate is the target
// (autoreleased); nothing else is set.
BD_EXPORT CAAnimationGroup* createAnimationGroupWithTarget(UIView* view,
                                                           CAAnimationDelegate* target);

// One-call builders: each starts a new basic animation on the view's layer.
// -setScaleAnimation:duration:repeatCount: [main-thread] "transform.scale" to the factor and back,
// under "scale".
BD_EXPORT void setScaleAnimation(UIView* view, double scale, double duration, double repeatCount);
// -setRockAnimationStartAngle:endAngle:duration:repeatCount: [main-thread] "transform.rotation.z"
// from the start angle to the end angle (degrees) and back, under "rotation".
BD_EXPORT void setRockAnimationStartAngle(UIView* view, double startAngle, double endAngle,
                                          double duration, double repeatCount);
// -setRotationAnimation:angle:duration:repeatCount: [main-thread] "transform.rotation" to minus the
// angle (degrees), under "rotation". The point is accepted and not used: the layer turns about its
// own anchor point.
BD_EXPORT void setRotationAnimation(UIView* view, CGPoint point, double angle, double duration,
                                    double repeatCount);
// -setAlphaAnimationDuration:repeatCount: [main-thread] "opacity" to 0 and back, the view as
// delegate, under "opacity".
BD_EXPORT void setAlphaAnimationDuration(UIView* view, double duration, double repeatCount);

// -setTranslateAnimation:duration:repeatCount:autoreverses: [main-thread] shows the view centred on
// the point (superview coordinates): the displacement goes into the layer's transform at once
// (applied before the transform) and an animation under "translation", with the view as delegate,
// shows the slide from where the view was. The center is not changed.
BD_EXPORT void setTranslateAnimation(UIView* view, CGPoint point, double duration,
                                     double repeatCount, bool autoreverses);
// -animationDidStop:finished: [main-thread] the stop handler of every view. When anim is the very
// animation attached to the view's layer under "translation", detaches it and moves the
// displacement (m41, m42) of the layer's transform into the view's center, so the view stays where
// it is shown; any other animation is ignored. The finished flag is not consulted.
BD_EXPORT void animationDidStop(UIView* view, CAAnimation* anim, bool finished);
// -setPerspectiveEffectAnimation:duration: [main-thread] turns the view's sublayers by +45 degrees
// about x with the perspective term m34 = -0.002 (flag true) or by -45 degrees (flag false), and
// starts an animation of the turn under "perspective".
BD_EXPORT void setPerspectiveEffectAnimation(UIView* view, bool flag, double duration);

}  // namespace KZUIAnimation
