#include "UIKit/UIImageView.h"

#include "Foundation/NSArray.h"
#include "UIKit/UIImage.h"

UIImageView::UIImageView() {
    _userInteractionEnabled = false;
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
    // Clear the flag directly: a subclass's stopAnimating would run on torn-down state.
    _animating = false;
    _animationImages = nullptr;
    _image = nullptr;
    UIView::dealloc();
}

void UIImageView::setImage(UIImage* image) {
    BD_ASSERT_MAIN_THREAD();
    _image = image;
    _layer->setContents(image ? image->CGImage() : nullptr);
    _layer->setContentsScale(image ? image->scale() : 1.0);
}

CGSize UIImageView::sizeThatFits(CGSize size) {
    if (!_image) return UIView::sizeThatFits(size);
    return _image->size();
}

void UIImageView::setAnimationImages(NSArray* animationImages) {
    BD_ASSERT_MAIN_THREAD();
    _animationImages = animationImages;
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
    if (!_animationImages || _animationImages->count() == 0) return;
    _animating = true;
}

void UIImageView::stopAnimating() {
    BD_ASSERT_MAIN_THREAD();
    _animating = false;
}
