// FlipBook: a UIImageView plays eight pictures of a package as a flip-book, once, when the host
// starts the wallpaper; a tap moves it to the tapped point and plays it again. The view runs
// this animation of its own instead of the base's frame loop, so it overrides the four
// animation operations and isAnimating (doAnimating is then called only by hosts that ask).

#include <backdrop/Common/ImageCache.h>
#include <backdrop/interface/DeskTopViewEntryPoints.h>
#include <backdrop/platform/Foundation/NSArray.h>
#include <backdrop/platform/UIKit/UIImageView.h>

#include <string>

namespace {

class FlipBookView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR(BACKDROP_WALLPAPER_NAME); }
    static NSString* version() { return NSSTR(BACKDROP_WALLPAPER_VERSION); }

    FlipBookView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        ImageCache* cache = ImageCache::sharedInstance();
        // The package replaces what the cache holds: load it before any plain file.
        cache->setResourceData(NSSTR("frames.pkg"));
        NSMutableArray* frames = NSMutableArray::arrayWithCapacity(8);
        for (int i = 0; i < 8; ++i) {
            std::string file = "frame" + std::to_string(i) + ".png";
            frames->addObject(cache->imageWithName(NSString::stringWithUTF8String(file.c_str())));
        }
        setBackgroundImage(cache->imageWithName2x(NSSTR("bg.png")));

        // Package pictures are 120 x 120 points on every screen (scale 1).
        _flower = adopt(alloc<UIImageView>()->initWithFrame(CGRectMake(100, 200, 120, 120)));
        _flower->setAnimationImages(frames);
        _flower->setAnimationDuration(1.2);   // eight pictures in 1.2 s
        _flower->setAnimationRepeatCount(1);  // then it rests on its last picture
        _flower->setImage(as<UIImage>(frames->lastObject()));
        addSubview(_flower.get());
        return this;
    }

    // [main-thread] The host shows, hides, shows again and takes away the wallpaper. The base's
    // teardown sends stopAnimating too, after dealloc below has let the flower go: hence the
    // checks.
    void startAnimating() override {
        if (_flower) _flower->startAnimating();
    }
    void pauseAnimating() override { stopAnimating(); }
    void resumeAnimating() override { startAnimating(); }
    void stopAnimating() override {
        if (_flower) _flower->stopAnimating();
    }
    bool isAnimating() override { return _flower && _flower->isAnimating(); }

    // [main-thread] A tap inside tapClipRect, in view points: the flower opens there.
    void tapActionAtViewPoint(CGPoint point) override {
        _flower->stopAnimating();
        _flower->setCenter(point);
        _flower->startAnimating();
    }

  protected:
    void dealloc() override {
        stopAnimating();
        _flower = nullptr;
        DeskTopView::dealloc();
    }

  private:
    Ref<UIImageView> _flower;
};

}  // namespace

BACKDROP_WALLPAPER(FlipBookView)
