#pragma once
// AnimateDemoView: the sample wallpaper. Over the base's background it shows a pumpkin picture,
// a white square, a gray bar and a flip-book of up to 31 jack-o'-lantern frames, all taken from
// the shared ImageCache. Its animation operations drive the flip-book (so the base's frame loop
// never runs), a touch replays the flip-book, and doAnimating moves the pumpkin down a point.

#include <cstdint>

#include "Foundation/NSSet.h"
#include "UIKit/UIImageView.h"
#include "UIKit/UITouch.h"
#include "interface/DeskTopView.h"

class AnimateDemoView : public DeskTopView {
  public:
    // -initWithFrame: [main-thread] builds the scene and starts one run of the flip-book.
    [[nodiscard]] AnimateDemoView* initWithFrame(CGRect frame) override;

    // -doAnimating [main-thread] stops the flip-book, logs "doAnimating" and moves the pumpkin's
    // centre to x 30 and one point down, back to 0 after 499.
    void doAnimating() override;
    // -touchesBegan:withEvent: [main-thread] any touch becomes gesture 2 at its location.
    void touchesBegan(NSSet* touches, UIEvent* withEvent) override;
    // -gestureAction:atPoint: [main-thread] type 2 starts the flip-book when it is idle; other
    // types do nothing.
    void gestureAction(int32_t type, CGPoint atPoint) override;
    // The animation operations drive animateView [main-thread].
    bool isAnimating() override;
    void startAnimating() override;
    void pauseAnimating() override;
    void resumeAnimating() override;
    void stopAnimating() override;

    // Properties [main-thread], strong references.
    virtual UIImageView* downImageView() { return _downImageView.get(); }
    virtual void setDownImageView(UIImageView* downImageView) {
        _downImageView = retained(downImageView);
    }
    virtual UIImageView* animateView() { return _animateView.get(); }
    virtual void setAnimateView(UIImageView* animateView) { _animateView = retained(animateView); }

  protected:
    // Teardown [main-thread]: logs "dealloc", stops and drops the flip-book, drops the pumpkin,
    // then the base teardown.
    void dealloc() override;

  private:
    Ref<UIImageView> _downImageView;
    Ref<UIImageView> _animateView;
};
