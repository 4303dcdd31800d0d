// A small wallpaper for the host's tests: a background picture drawn in code, and a square
// that the view's own frame loop moves one point right per frame (so a test can count frames
// in the pictures). A tap turns the square red and puts it at the tap; gesture 1 turns it blue.

#include <cmath>
#include <memory>

#include "Foundation/NSBundle.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"

namespace {

// Diagonal bands of teal and sand, 40 points wide, at the screen's scale.
UIImage* backgroundPicture(CGSize points, double scale) {
    size_t w = size_t(std::lround(points.width * scale)),
           h = size_t(std::lround(points.height * scale));
    if (!w || !h) return nullptr;
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    uint32_t* p = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            bool band = int((x + y) / (40 * scale)) % 2;
            p[y * w + x] = band ? 0xFF2A7F7Fu : 0xFFD8C9A0u;
        }
    Ref<CGImage> img = adopt(bd::createARGB32Image(w, h, px));
    return UIImage::imageWithCGImage(img.get(), scale, UIImageOrientationUp);
}

class TestWallpaperView : public DeskTopView {
  public:
    TestWallpaperView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        setBackgroundImage(backgroundPicture(frame.size, UIScreen::mainScreen()->scale()));
        _square = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 100, 40, 40)));
        _square->setBackgroundColor(UIColor::whiteColor());
        addSubview(_square.get());
        return this;
    }
    void doAnimating() override {
        CGPoint c = _square->center();
        c.x = std::fmod(c.x + 1, bounds().size.width);
        _square->setCenter(c);
    }
    void tapActionAtViewPoint(CGPoint point) override {
        _square->setBackgroundColor(UIColor::redColor());
        _square->setCenter(point);
    }
    void gestureAction(int32_t type, CGPoint atPoint) override {
        (void)atPoint;
        if (type == 1) _square->setBackgroundColor(UIColor::colorWithRed(0, 0, 1, 1));
    }

  protected:
    void dealloc() override {
        _square = nullptr;
        DeskTopView::dealloc();
    }

  private:
    Ref<UIView> _square;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) DeskTopView* getDeskTopViewInstance(
    NSBundle* bundle) {
    (void)bundle;
    CGRect screen = UIScreen::mainScreen()->bounds();
    DeskTopView* v = alloc<TestWallpaperView>()->initWithFrame(
        CGRectMake(0, 0, screen.size.width, screen.size.height));
    if (v) v->autorelease();
    return v;
}
