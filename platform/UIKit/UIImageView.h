#pragma once
// UIImageView: a view that shows a picture, and can play a list of pictures as a flip-book.
// Image views ignore touches by default (userInteractionEnabled false).
//
// The flip-book runs on the media clock: a start notes the time and takes a snapshot of the
// pictures, the duration and the repeat count; what the view shows at any media time follows
// from those, and one main-run-loop timer ends a finite run. The image view is its layer's
// contents source, so layer()->contentsAtTime(t) answers the picture shown at t, also between
// run-loop passes.

#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSArray.h"
#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CALayer.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIView.h"

class BD_EXPORT UIImageView : public UIView, public CALayerContentsSource {
  public:
    UIImageView();  // [main-thread]

    // -initWithImage: [main-thread] sized to the picture, at origin (0, 0); a null picture gives
    // an empty frame.
    [[nodiscard]] virtual UIImageView* initWithImage(UIImage* image);
    [[nodiscard]] UIImageView* initWithFrame(CGRect frame) override;  // [main-thread]

    // -image / -setImage: [main-thread] the still picture, shown whenever the flip-book is not
    // playing; does not resize the view.
    virtual UIImage* image() { return _image.get(); }
    virtual void setImage(UIImage* image);
    // -sizeThatFits: the picture's size in points (the present size without a picture)
    CGSize sizeThatFits(CGSize size) override;

    // Flip-book [main-thread]: the pictures, the seconds one run through the list takes (each
    // picture shown for an equal share; 0 or less: 1/30 s per picture) and the number of runs
    // (0 = endless). Changes take effect at the next start.
    virtual NSArray* animationImages() { return _animationImages.get(); }
    virtual void setAnimationImages(NSArray* animationImages);
    virtual double animationDuration() { return _animationDuration; }
    virtual void setAnimationDuration(double animationDuration);
    virtual long animationRepeatCount() { return _animationRepeatCount; }
    virtual void setAnimationRepeatCount(long animationRepeatCount);
    // -startAnimating [main-thread] plays the list from its first picture, now; also restarts a
    // run in progress. Nothing happens without pictures.
    virtual void startAnimating();
    // -stopAnimating [main-thread] ends the run at once; the still picture shows again.
    virtual void stopAnimating();
    // -isAnimating [main-thread] whether a run is in progress at the present media time.
    virtual bool isAnimating();

    // [main-thread] The picture shown at a media time: a frame of the run in progress, else the
    // still picture (null for none). Times before the run's start show the still picture.
    virtual UIImage* imageAtTime(double mediaTime);
    // CALayerContentsSource [main-thread]: the bitmap of imageAtTime, or the layer's contents
    // when the flip-book is not playing at that time.
    CGImage* layerContentsAtTime(CALayer* layer, double mediaTime) override;
    // Each frame at its own scale (the still picture's is the layer's contentsScale).
    double layerContentsScaleAtTime(CALayer* layer, double mediaTime) override;
    // The time the next frame shows (or the run ends, when that comes first); INFINITY when
    // the flip-book is not playing at mediaTime. [main-thread]
    double layerContentsChangeTimeAfter(CALayer* layer, double mediaTime) override;

  protected:
    void dealloc() override;

    Ref<UIImage> _image;
    Ref<NSArray> _animationImages;
    double _animationDuration = 0;
    long _animationRepeatCount = 0;

  private:
    // The run in progress: its pictures, start, length of one pass and number of passes.
    struct Run {
        std::vector<Ref<UIImage>> frames;
        double start = 0;
        double period = 0;
        long repeatCount = 0;
        // How many pictures' shares have passed at t, nudged forward by a millionth of one: a
        // time on a boundary between two pictures arrives with rounding error of either sign
        // (1000.3 - 1000.0 is 0.2999999999999545) and must show the later picture.
        double positionAt(double t) const {
            return (t - start) * static_cast<double>(frames.size()) / period + 1e-6;
        }
        bool endsAt(double t) const {
            return repeatCount > 0 && positionAt(t) >= static_cast<double>(frames.size()) *
                                                           static_cast<double>(repeatCount);
        }
    };
    int frameIndexAt(double mediaTime);  // -1 when the flip-book shows no frame at that time
    void endRun();

    bool _animating = false;
    Run _run;
    NSRunLoop::TimerId _endTimer = 0;
};
