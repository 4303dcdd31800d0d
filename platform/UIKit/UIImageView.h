#pragma once
// UIImageView: a view that shows a picture, and can play a list of pictures as a flip-book.
// Image views ignore touches by default (userInteractionEnabled false).

#include "Foundation/NSArray.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIView.h"

class UIImageView : public UIView {
  public:
    UIImageView();

    // -initWithImage: [main-thread] sized to the picture, at origin (0, 0); a null picture gives
    // an empty frame.
    virtual UIImageView* initWithImage(UIImage* image);
    UIImageView* initWithFrame(CGRect frame) override;  // [main-thread]

    // -image / -setImage: [main-thread] the still picture; does not resize the view. The layer
    // shows its bitmap.
    virtual UIImage* image() { return _image.get(); }
    virtual void setImage(UIImage* image);
    // -sizeThatFits: the picture's size in points (the present size without a picture)
    CGSize sizeThatFits(CGSize size) override;

    // Flip-book [main-thread]: the pictures, the seconds one run through the list takes and the
    // number of runs (0 = endless).
    virtual NSArray* animationImages() { return _animationImages.get(); }
    virtual void setAnimationImages(NSArray* animationImages);
    virtual double animationDuration() { return _animationDuration; }
    virtual void setAnimationDuration(double animationDuration);
    virtual long animationRepeatCount() { return _animationRepeatCount; }
    virtual void setAnimationRepeatCount(long animationRepeatCount);
    // Start and stop the flip-book; here they only keep the flag, the run loop driver comes
    // with the frame clock.
    virtual void startAnimating();
    virtual void stopAnimating();
    virtual bool isAnimating() { return _animating; }

  protected:
    void dealloc() override;

    Ref<UIImage> _image;
    Ref<NSArray> _animationImages;
    double _animationDuration = 0;
    long _animationRepeatCount = 0;
    bool _animating = false;
};
