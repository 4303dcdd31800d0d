#include "demo/AnimateDemoView.h"

#include <cmath>
#include <limits>

#include "Common/ImageCache.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"
#include "UIKit/UIColor.h"

namespace {
constexpr int kFirstFrame = 1;
constexpr int kLastFrame = 31;
constexpr double kFramesPerSecond = 10.0;
constexpr double kShortestDuration = 1.0;
constexpr long kRepeatCount = 1;
constexpr double kBarHeight = 20;
constexpr double kPumpkinCentreX = 30;
constexpr int64_t kPumpkinWrap = 500;
constexpr int32_t kGestureReplay = 2;
constexpr size_t kFrameListCapacity = 7;
constexpr unsigned kFlexibleSize =
    UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight;

// y truncated toward zero to 64 bits; values out of range saturate and NaN gives 0, where a
// plain conversion would be undefined.
int64_t truncateToInt64(double y) {
    if (std::isnan(y)) return 0;
    if (y >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (y <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(y);
}
}  // namespace

AnimateDemoView* AnimateDemoView::initWithFrame(CGRect frame) {
    if (!DeskTopView::initWithFrame(frame)) return nullptr;
    ImageCache* cache = ImageCache::sharedInstance();

    setBackgroundImage(cache->imageWithName2x(NSSTR("bg.jpg")));

    UIImage* pumpkin = cache->imageWithName2x(NSSTR("hallowmas_pumpkin_base.png"));
    setDownImageView(adopt(alloc<UIImageView>()->initWithImage(pumpkin)).get());
    addSubview(_downImageView.get());

    double side = frame.size.height > frame.size.width ? frame.size.height : frame.size.width;
    Ref<UIView> square = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, side, side)));
    square->setAutoresizingMask(kFlexibleSize);
    square->setBackgroundColor(UIColor::whiteColor());
    addSubview(square.get());

    Ref<UIView> bar = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, side, kBarHeight)));
    bar->setBackgroundColor(UIColor::grayColor());
    bar->setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
    addSubview(bar.get());

    setAnimateView(adopt(alloc<UIImageView>()->initWithFrame(bounds())).get());
    addSubview(_animateView.get());
    _animateView->setAutoresizingMask(kFlexibleSize);
    _animateView->setContentMode(UIViewContentModeScaleAspectFit);

    NSMutableArray* frames = NSMutableArray::arrayWithCapacity(kFrameListCapacity);
    for (int i = kFirstFrame; i <= kLastFrame; ++i) {
        UIImage* image = cache->imageWithName2x(NSString::stringWithFormat("%.2d.png", i));
        if (image) frames->addObject(image);
    }
    if (frames->count() > 0) _animateView->setImage(as<UIImage>(frames->firstObject()));
    _animateView->setAnimationImages(frames);
    _animateView->setAnimationDuration(static_cast<double>(frames->count()) * 1.0 /
                                       kFramesPerSecond);
    if (_animateView->animationDuration() <= kShortestDuration)
        _animateView->setAnimationDuration(kShortestDuration);
    _animateView->setAnimationRepeatCount(kRepeatCount);
    _animateView->startAnimating();

    setAutoresizingMask(kFlexibleSize);
    return this;
}

void AnimateDemoView::dealloc() {
    NSLog("dealloc");
    if (_animateView) _animateView->stopAnimating();
    setAnimateView(nullptr);
    setDownImageView(nullptr);
    DeskTopView::dealloc();
}

void AnimateDemoView::doAnimating() {
    stopAnimating();
    NSLog("doAnimating");
    if (!_downImageView) return;
    int64_t n = truncateToInt64(_downImageView->center().y);
    // (n + 1) % 500 with the sign of the dividend; the largest n can't take the + 1.
    n = n == std::numeric_limits<int64_t>::max() ? (n % kPumpkinWrap + 1) % kPumpkinWrap
                                                 : (n + 1) % kPumpkinWrap;
    _downImageView->setCenter(CGPointMake(kPumpkinCentreX, static_cast<double>(n)));
}

void AnimateDemoView::touchesBegan(NSSet* touches, UIEvent* withEvent) {
    (void)withEvent;
    auto* touch = as<UITouch>(touches ? touches->anyObject() : nullptr);
    CGPoint point = touch ? touch->locationInView(this) : CGPointMake(0, 0);
    gestureAction(kGestureReplay, point);
}

void AnimateDemoView::gestureAction(int32_t type, CGPoint atPoint) {
    (void)atPoint;
    if (type == kGestureReplay && _animateView && !_animateView->isAnimating())
        _animateView->startAnimating();
}

bool AnimateDemoView::isAnimating() {
    return _animateView && _animateView->isAnimating();
}

void AnimateDemoView::startAnimating() {
    if (_animateView) _animateView->startAnimating();
}

void AnimateDemoView::pauseAnimating() {
    if (_animateView) _animateView->stopAnimating();
}

void AnimateDemoView::resumeAnimating() {
    if (_animateView) _animateView->startAnimating();
}

void AnimateDemoView::stopAnimating() {
    if (_animateView) _animateView->stopAnimating();
}
