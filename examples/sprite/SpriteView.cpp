// Sprite: one picture moved by the base's frame loop. The base's startAnimating runs a loop
// thread that has the main thread call doAnimating about 40 times a second; the view moves its
// ball a step each frame and turns it once a second with timeComeWithInterval.

#include <backdrop/Common/ImageCache.h>
#include <backdrop/interface/DeskTopViewEntryPoints.h>
#include <backdrop/platform/UIKit/UIImageView.h>

#include <cmath>

namespace {

class SpriteView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR(BACKDROP_WALLPAPER_NAME); }
    static NSString* version() { return NSSTR(BACKDROP_WALLPAPER_VERSION); }

    SpriteView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        ImageCache* cache = ImageCache::sharedInstance();  // bound to this bundle
        // Both are plain files drawn at 2x: on a @2x screen bg.png is 320 x 568 points and
        // ball.png 48 x 48.
        setBackgroundImage(cache->imageWithName2x(NSSTR("bg.png")));
        _ball =
            adopt(alloc<UIImageView>()->initWithImage(cache->imageWithName2x(NSSTR("ball.png"))));
        _ball->setCenter(CGPointMake(60, 120));
        addSubview(_ball.get());
        return this;
    }

    // [main-thread] One frame: a step along the course, bouncing off the edges; once a second
    // (and on the first frame: timeComeWithInterval is true on its first call) a new course.
    void doAnimating() override {
        if (timeComeWithInterval(1.0)) {
            ++_turns;
            _angle = 0.6 + 1.3 * _turns;  // a turn each second, the same every run
        }
        CGSize size = bounds().size;
        CGPoint c = _ball->center();
        c.x += 3 * std::cos(_angle);
        c.y += 3 * std::sin(_angle);
        if (c.x < 24 || c.x > size.width - 24) _angle = M_PI - _angle;
        if (c.y < 24 || c.y > size.height - 24) _angle = -_angle;
        c.x = std::fmin(std::fmax(c.x, 24), size.width - 24);
        c.y = std::fmin(std::fmax(c.y, 24), size.height - 24);
        _ball->setCenter(c);
    }

  protected:
    void dealloc() override {
        _ball = nullptr;
        DeskTopView::dealloc();
    }

  private:
    Ref<UIImageView> _ball;
    double _angle = 0;
    int _turns = 0;
};

}  // namespace

BACKDROP_WALLPAPER(SpriteView)
