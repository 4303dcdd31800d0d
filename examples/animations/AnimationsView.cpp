// Animations: the ready-made layer animations of KZUIAnimation on three views.
//   fade  the moon's opacity goes to 0 and back every 4 s, forever (setAlphaAnimationDuration)
//   slide a tap sends the kite to the tapped point in 0.6 s; it stays there
//         (setTranslateAnimation)
//   tilt  a gesture turns the card's picture in perspective, forwards for odd gesture numbers,
//         backwards for even ones (setPerspectiveEffectAnimation turns a view's sublayers, so
//         the card is a plain view holding its picture)
// Layer animations run on the media clock by themselves: the view needs no frame loop, so it
// overrides the animation operations to start and stop nothing but its own state.

#include <backdrop/Common/ImageCache.h>
#include <backdrop/Common/UIView+KZUIAnimation.h>
#include <backdrop/interface/DeskTopViewEntryPoints.h>
#include <backdrop/platform/UIKit/UIImageView.h>

#include <cmath>

namespace {

class AnimationsView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR(BACKDROP_WALLPAPER_NAME); }
    static NSString* version() { return NSSTR(BACKDROP_WALLPAPER_VERSION); }

    AnimationsView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        ImageCache* cache = ImageCache::sharedInstance();
        setBackgroundImage(cache->imageWithName2x(NSSTR("bg.png")));

        _moon =
            adopt(alloc<UIImageView>()->initWithImage(cache->imageWithName2x(NSSTR("moon.png"))));
        _moon->setCenter(CGPointMake(240, 90));
        addSubview(_moon.get());

        _kite =
            adopt(alloc<UIImageView>()->initWithImage(cache->imageWithName2x(NSSTR("kite.png"))));
        _kite->setCenter(CGPointMake(80, 200));
        addSubview(_kite.get());

        _card = adopt(alloc<UIView>()->initWithFrame(CGRectMake(110, 320, 100, 140)));
        auto picture =
            adopt(alloc<UIImageView>()->initWithImage(cache->imageWithName2x(NSSTR("card.png"))));
        _card->addSubview(picture.get());
        addSubview(_card.get());
        return this;
    }

    // [main-thread] Shown: the moon glows. Hidden or taken away: the glow stops. The base's
    // teardown sends stopAnimating too, after dealloc below has let the moon go: hence the
    // check.
    void startAnimating() override {
        _animating = true;
        KZUIAnimation::setAlphaAnimationDuration(_moon.get(), 4, HUGE_VAL);
    }
    void pauseAnimating() override { stopAnimating(); }
    void resumeAnimating() override { startAnimating(); }
    void stopAnimating() override {
        _animating = false;
        if (_moon) _moon->layer()->removeAnimationForKey(NSSTR(KZUIAnimation::kOpacityKey));
    }
    bool isAnimating() override { return _animating; }

    // [main-thread] A tap inside tapClipRect: the kite slides there.
    void tapActionAtViewPoint(CGPoint point) override {
        KZUIAnimation::setTranslateAnimation(_kite.get(), point, 0.6, 1, false);
    }

    // [main-thread] A gesture the host recognised: the card tilts.
    void gestureAction(int32_t type, CGPoint) override {
        KZUIAnimation::setPerspectiveEffectAnimation(_card.get(), type % 2 == 1, 0.5);
    }

  protected:
    void dealloc() override {
        _moon = nullptr;
        _kite = nullptr;
        _card = nullptr;
        DeskTopView::dealloc();
    }

  private:
    Ref<UIImageView> _moon, _kite;
    Ref<UIView> _card;
    bool _animating = false;
};

}  // namespace

BACKDROP_WALLPAPER(AnimationsView)
