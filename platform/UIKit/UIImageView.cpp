#include "UIKit/UIImageView.h"

#include <algorithm>
#include <cmath>

#include "Foundation/NSArray.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIImage.h"

namespace {
constexpr double kDefaultFrameSeconds = 1.0 / 30;  // per picture when no duration is set
}

UIImageView::UIImageView() {
    _userInteractionEnabled = false;
    _layer->setContentsSource(this);
}

UIImageView* UIImageView::initWithFrame(CGRect frame) {
    if (!UIView::initWithFrame(frame)) return nullptr;
    return this;
}

UIImageView* UIImageView::initWithImage(UIImage* image) {
    CGSize size = image ? image->size() : CGSize{};
    if (!initWithFrame(CGRectMake(0, 0, size.width, size.height))) return nullptr;
    setImage(image);
    return this;
}

void UIImageView::dealloc() {
    // End the run directly: a subclass's stopAnimating would run on torn-down state. The layer
    // may outlive the view (a renderer may hold it), so it must stop asking us.
    endRun();
    if (_layer) _layer->setContentsSource(nullptr);
    _animationImages = nullptr;
    _image = nullptr;
    UIView::dealloc();
}

void UIImageView::setImage(UIImage* image) {
    BD_ASSERT_MAIN_THREAD();
    _image = retained(image);
    _layer->setContents(image ? image->uprightCGImage() : nullptr);
    _layer->setContentsScale(image ? image->scale() : 1.0);
}

CGSize UIImageView::sizeThatFits(CGSize size) {
    if (!_image) return UIView::sizeThatFits(size);
    return _image->size();
}

void UIImageView::setAnimationImages(NSArray* animationImages) {
    BD_ASSERT_MAIN_THREAD();
    _animationImages = retained(animationImages);
}

void UIImageView::setAnimationDuration(double animationDuration) {
    BD_ASSERT_MAIN_THREAD();
    _animationDuration = animationDuration;
}

void UIImageView::setAnimationRepeatCount(long animationRepeatCount) {
    BD_ASSERT_MAIN_THREAD();
    _animationRepeatCount = animationRepeatCount;
}

void UIImageView::startAnimating() {
    BD_ASSERT_MAIN_THREAD();
    endRun();
    Run run;
    if (_animationImages)
        for (NSObject* o : *_animationImages)
            if (auto* image = as<UIImage>(o)) run.frames.push_back(retained(image));
    if (run.frames.empty()) return;
    double n = static_cast<double>(run.frames.size());
    run.period = _animationDuration > 0 && std::isfinite(_animationDuration)
                     ? _animationDuration
                     : n * kDefaultFrameSeconds;
    run.repeatCount = _animationRepeatCount > 0 ? _animationRepeatCount : 0;
    run.start = CACurrentMediaTime();
    _run = std::move(run);
    _animating = true;
    _layer->setNeedsDisplay();
    if (_run.repeatCount > 0) {
        double end = _run.start + _run.period * static_cast<double>(_run.repeatCount);
        // The timer refers to this view without holding it: stopAnimating, a new start and the
        // teardown all cancel it first.
        _endTimer = NSRunLoop::mainRunLoop()->addTimer(end, [this] {
            _endTimer = 0;
            endRun();
        });
    }
}

void UIImageView::stopAnimating() {
    BD_ASSERT_MAIN_THREAD();
    endRun();
}

void UIImageView::endRun() {
    if (_endTimer) NSRunLoop::mainRunLoop()->cancelTimer(_endTimer);
    _endTimer = 0;
    bool was = _animating;
    _animating = false;
    _run = Run();
    if (was && _layer) _layer->setNeedsDisplay();
}

bool UIImageView::isAnimating() {
    return _animating && !_run.endsAt(CACurrentMediaTime());
}

int UIImageView::frameIndexAt(double mediaTime) {
    if (!_animating || _run.frames.empty() || !(mediaTime >= _run.start) || _run.endsAt(mediaTime))
        return -1;
    double n = static_cast<double>(_run.frames.size());
    double index = std::fmod(std::floor(_run.positionAt(mediaTime)), n);
    if (!(index >= 0)) return 0;
    return index >= n ? static_cast<int>(n) - 1 : static_cast<int>(index);
}

double UIImageView::layerContentsChangeTimeAfter(CALayer* layer, double mediaTime) {
    (void)layer;
    if (!_animating || _run.frames.empty() || std::isnan(mediaTime)) return INFINITY;
    if (_run.endsAt(mediaTime)) return INFINITY;  // the still picture from now on
    if (mediaTime < _run.start) return _run.start;
    double n = static_cast<double>(_run.frames.size());
    double last = _run.repeatCount > 0 ? n * static_cast<double>(_run.repeatCount) : INFINITY;
    // The position (in pictures' shares) where what is shown next changes: the next share, or
    // the end of the run; with one picture only the end changes it.
    double position = std::floor(_run.positionAt(mediaTime));
    double target = _run.frames.size() == 1 ? last : std::min(position + 1, last);
    if (!std::isfinite(target)) return INFINITY;
    // The time of that position, by the inverse of positionAt; then settled to the first
    // representable time that shows something else (rounding may put the estimate a few units
    // of the last place either side).
    int shown = frameIndexAt(mediaTime);
    auto changed = [&](double t) { return frameIndexAt(t) != shown || _run.endsAt(t); };
    double next = _run.start + (target - 1e-6) * _run.period / n;
    if (!(next > mediaTime)) next = std::nextafter(mediaTime, INFINITY);
    for (int i = 0; i < 64 && !changed(next); ++i) next = std::nextafter(next, INFINITY);
    for (int i = 0; i < 64; ++i) {
        double earlier = std::nextafter(next, -INFINITY);
        if (!(earlier > mediaTime) || !changed(earlier)) break;
        next = earlier;
    }
    return next;
}

double UIImageView::layerContentsScaleAtTime(CALayer* layer, double mediaTime) {
    (void)layer;
    int i = frameIndexAt(mediaTime);
    return i < 0 ? 0 : _run.frames[static_cast<size_t>(i)]->scale();
}

UIImage* UIImageView::imageAtTime(double mediaTime) {
    int i = frameIndexAt(mediaTime);
    return i < 0 ? _image.get() : _run.frames[static_cast<size_t>(i)].get();
}

CGImage* UIImageView::layerContentsAtTime(CALayer* layer, double mediaTime) {
    int i = frameIndexAt(mediaTime);
    if (i < 0) return layer ? layer->contents() : nullptr;
    return _run.frames[static_cast<size_t>(i)]->uprightCGImage();
}
