#include "UIKit/UIView.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/NSArray.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIImageView.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIScrollView.h"

namespace {
template <class V = UIView>
Ref<V> makeView(CGRect frame) {
    return adopt(static_cast<V*>(alloc<V>()->initWithFrame(frame)));
}

// Counts teardowns so tests see that the tree lets go of its views.
int gDeallocs = 0;
class CountingView : public UIView {
  protected:
    void dealloc() override {
        ++gDeallocs;
        UIView::dealloc();
    }
};
}  // namespace

TEST(UIView, GeometryGoesThroughTheLayer) {
    NSAutoreleasePool pool;
    Ref<UIView> v = makeView(CGRectMake(10, 20, 200, 300));
    EXPECT_EQ(v->frame(), CGRectMake(10, 20, 200, 300));
    EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 200, 300));
    EXPECT_EQ(v->center(), CGPointMake(110, 170));
    EXPECT_EQ(v->layer()->delegate(), v.get());
    v->setCenter({0, 0});
    EXPECT_EQ(v->frame(), CGRectMake(-100, -150, 200, 300));
    v->setAlpha(0.25);
    EXPECT_FLOAT_EQ(v->layer()->opacity(), 0.25f);
    v->setClipsToBounds(true);
    EXPECT_TRUE(v->layer()->masksToBounds());
    v->setBackgroundColor(UIColor::redColor());
    EXPECT_EQ(v->layer()->backgroundColor(), (CALayerColor{1, 0, 0, 1}));
    v->setBackgroundColor(nullptr);
    EXPECT_EQ(v->layer()->backgroundColor().alpha, 0);
    EXPECT_TRUE(v->isUserInteractionEnabled());
    EXPECT_EQ(v->contentMode(), UIViewContentModeScaleToFill);
}

TEST(UIView, ScaleTransformAboutTopLeftThroughSetFrame) {
    // What a wallpaper's setScale: does: transform, then re-place the frame at the old origin.
    NSAutoreleasePool pool;
    Ref<UIView> v = makeView(CGRectMake(50, 60, 320, 480));
    Ref<UIView> bg = makeView(v->bounds());
    bg->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
    v->addSubview(bg);
    for (double s : {2.0, 2.0, 1.0, 0.5}) {
        CGPoint origin = v->frame().origin;
        v->layer()->setTransform(CATransform3DMakeScale(s, s, 1));
        CGSize size = v->frame().size;
        v->setFrame(CGRectMake(origin.x, origin.y, size.width, size.height));
        EXPECT_EQ(v->frame(), CGRectMake(50, 60, 320 * s, 480 * s)) << s;
        EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 320, 480)) << s;
        EXPECT_EQ(bg->frame(), CGRectMake(0, 0, 320, 480))
            << s;  // bounds unchanged: no autoresizing
    }
}

TEST(UIView, AutoresizingFollowsTheSuperviewsSize) {
    NSAutoreleasePool pool;
    Ref<UIView> parent = makeView(CGRectMake(0, 0, 100, 100));
    Ref<UIView> fill = makeView(CGRectMake(0, 0, 100, 100));
    Ref<UIView> bar = makeView(CGRectMake(0, 0, 100, 20));
    Ref<UIView> fixed = makeView(CGRectMake(10, 10, 30, 30));
    Ref<UIView> centred = makeView(CGRectMake(40, 40, 20, 20));
    Ref<UIView> pinnedRight = makeView(CGRectMake(70, 70, 20, 20));
    fill->setAutoresizingMask(18);
    bar->setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
    centred->setAutoresizingMask(
        UIViewAutoresizingFlexibleLeftMargin | UIViewAutoresizingFlexibleRightMargin |
        UIViewAutoresizingFlexibleTopMargin | UIViewAutoresizingFlexibleBottomMargin);
    pinnedRight->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                     UIViewAutoresizingFlexibleTopMargin);
    for (auto* v : {fill.get(), bar.get(), fixed.get(), centred.get(), pinnedRight.get()})
        parent->addSubview(v);

    parent->setFrame(CGRectMake(0, 0, 200, 300));
    EXPECT_EQ(fill->frame(), CGRectMake(0, 0, 200, 300));
    EXPECT_EQ(bar->frame(), CGRectMake(0, 0, 200, 20));
    EXPECT_EQ(fixed->frame(), CGRectMake(10, 10, 30, 30));
    EXPECT_EQ(centred->frame(), CGRectMake(90, 140, 20, 20));
    EXPECT_EQ(pinnedRight->frame(), CGRectMake(170, 270, 20, 20));

    // Grandchildren follow through the chain.
    Ref<UIView> inner = makeView(fill->bounds());
    inner->setAutoresizingMask(18);
    fill->addSubview(inner);
    parent->setBounds(CGRectMake(0, 0, 50, 60));
    EXPECT_EQ(inner->frame(), CGRectMake(0, 0, 50, 60));

    // Turned off: nothing moves.
    parent->setAutoresizesSubviews(false);
    parent->setFrame(CGRectMake(0, 0, 500, 500));
    EXPECT_EQ(fill->frame(), CGRectMake(0, 0, 50, 60));
}

TEST(UIView, SubviewOrderAndLayerOrderAgree) {
    NSAutoreleasePool pool;
    Ref<UIView> p = makeView(CGRectMake(0, 0, 10, 10));
    Ref<UIView> a = makeView(CGRectZero), b = makeView(CGRectZero), c = makeView(CGRectZero);
    p->addSubview(a);
    p->addSubview(b);
    p->insertSubview(c, 0);
    auto order = [&] {
        std::vector<UIView*> v;
        for (NSObject* o : *p->subviews()) v.push_back(as<UIView>(o));
        for (size_t i = 0; i < v.size(); ++i)
            EXPECT_EQ(p->layer()->sublayers()[i].get(), v[i]->layer());
        EXPECT_EQ(p->layer()->sublayers().size(), v.size());
        return v;
    };
    EXPECT_EQ(order(), (std::vector<UIView*>{c, a, b}));
    p->bringSubviewToFront(c);
    EXPECT_EQ(order(), (std::vector<UIView*>{a, b, c}));
    p->insertSubviewBelow(c, a);
    EXPECT_EQ(order(), (std::vector<UIView*>{c, a, b}));
    p->insertSubviewAbove(c, a);
    EXPECT_EQ(order(), (std::vector<UIView*>{a, c, b}));
    p->sendSubviewToBack(b);
    EXPECT_EQ(order(), (std::vector<UIView*>{b, a, c}));
    a->removeFromSuperview();
    EXPECT_EQ(order(), (std::vector<UIView*>{b, c}));
    EXPECT_EQ(a->superview(), nullptr);
    EXPECT_EQ(a->layer()->superlayer(), nullptr);

    // No cycles.
    c->addSubview(p);
    EXPECT_EQ(p->superview(), nullptr);
    // Moving between parents.
    a->addSubview(b);
    EXPECT_EQ(b->superview(), a.get());
    EXPECT_EQ(order(), (std::vector<UIView*>{c}));
    b->setTag(7);
    EXPECT_EQ(a->viewWithTag(7), b.get());
    EXPECT_EQ(a->viewWithTag(8), nullptr);
}

TEST(UIView, TeardownReleasesTheSubtree) {
    gDeallocs = 0;
    {
        NSAutoreleasePool pool;
        Ref<UIView> p = makeView(CGRectMake(0, 0, 10, 10));
        for (int i = 0; i < 3; ++i) {
            CountingView* v =
                static_cast<CountingView*>(alloc<CountingView>()->initWithFrame(CGRectZero));
            p->addSubview(v);
            v->release();
        }
        Ref<CountingView> kept =
            adopt(static_cast<CountingView*>(alloc<CountingView>()->initWithFrame(CGRectZero)));
        p->addSubview(kept);
        p = nullptr;
        EXPECT_EQ(gDeallocs, 3);
        EXPECT_EQ(kept->superview(), nullptr);
        EXPECT_EQ(kept->layer()->superlayer(), nullptr);
    }
    EXPECT_EQ(gDeallocs, 4);
}

TEST(UIView, ConvertPointUsesEveryTransform) {
    NSAutoreleasePool pool;
    Ref<UIView> root = makeView(CGRectMake(0, 0, 320, 480));
    Ref<UIView> mid = makeView(CGRectMake(100, 100, 100, 100));
    Ref<UIView> leaf = makeView(CGRectMake(10, 10, 20, 20));
    root->addSubview(mid);
    mid->addSubview(leaf);
    EXPECT_EQ(leaf->convertPointToView({0, 0}, root), CGPointMake(110, 110));
    EXPECT_EQ(root->convertPointToView({110, 110}, leaf), CGPointMake(0, 0));
    EXPECT_EQ(leaf->convertPointFromView({110, 110}, root), CGPointMake(0, 0));
    EXPECT_EQ(leaf->convertRectToView(leaf->bounds(), nullptr), CGRectMake(110, 110, 20, 20));

    mid->setTransform(CGAffineTransformMakeScale(2, 2));  // about mid's centre (150, 150)
    CGPoint p = leaf->convertPointToView({0, 0}, root);
    EXPECT_DOUBLE_EQ(p.x, 150 + (10 - 50) * 2);
    EXPECT_DOUBLE_EQ(p.y, 150 + (10 - 50) * 2);
    CGPoint back = leaf->convertPointFromView(p, root);
    EXPECT_NEAR(back.x, 0, 1e-12);
    EXPECT_NEAR(back.y, 0, 1e-12);
}

TEST(UIKit, ScrollViewImageViewColourScreen) {
    NSAutoreleasePool pool;
    Ref<UIScrollView> s = makeView<UIScrollView>(CGRectMake(0, 0, 320, 480));
    EXPECT_TRUE(s->isScrollEnabled());
    EXPECT_TRUE(s->bounces());
    s->setScrollEnabled(false);
    s->setBounces(false);
    s->setShowsVerticalScrollIndicator(false);
    EXPECT_FALSE(s->isScrollEnabled());
    EXPECT_FALSE(s->bounces());
    EXPECT_FALSE(s->showsVerticalScrollIndicator());
    EXPECT_TRUE(s->showsHorizontalScrollIndicator());
    s->setContentOffset({0, 40});
    EXPECT_EQ(s->bounds(), CGRectMake(0, 40, 320, 480));
    EXPECT_EQ(s->frame(), CGRectMake(0, 0, 320, 480));

    Ref<UIImageView> iv = makeView<UIImageView>(CGRectMake(0, 0, 5, 5));
    EXPECT_FALSE(iv->isUserInteractionEnabled());
    Ref<UIImageView> empty = adopt(alloc<UIImageView>()->initWithImage(nullptr));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->frame(), CGRectZero);
    EXPECT_EQ(empty->image(), nullptr);
    iv->startAnimating();  // nothing to play
    EXPECT_FALSE(iv->isAnimating());
    iv->setAnimationImages(NSArray::arrayWithObjects({UIColor::whiteColor()}));
    iv->startAnimating();  // a list without pictures plays nothing either
    EXPECT_FALSE(iv->isAnimating());
    std::shared_ptr<uint8_t[]> pixel(new uint8_t[4]());
    CGImageRef one = bd::createARGB32Image(1, 1, pixel);
    iv->setAnimationImages(NSArray::arrayWithObjects({UIImage::imageWithCGImage(one)}));
    CGImageRelease(one);
    iv->setAnimationDuration(1.5);
    iv->setAnimationRepeatCount(1);
    iv->startAnimating();
    EXPECT_TRUE(iv->isAnimating());
    iv->stopAnimating();
    EXPECT_FALSE(iv->isAnimating());

    double r, g, b, a;
    EXPECT_TRUE(UIColor::grayColor()->getRed(&r, &g, &b, &a));
    EXPECT_EQ(r, 0.5);
    EXPECT_EQ(a, 1);
    UIColor::clearColor()->getRed(nullptr, nullptr, nullptr, &a);
    EXPECT_EQ(a, 0);
    UIColor::colorWithRed(2, -1, NAN, 0.5)->getRed(&r, &g, &b, &a);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g, 0);
    EXPECT_EQ(b, 0);
    EXPECT_TRUE(UIColor::whiteColor()->isEqual(UIColor::colorWithWhite(1, 1)));

    UIScreen* screen = UIScreen::mainScreen();
    EXPECT_EQ(screen, UIScreen::mainScreen());
    EXPECT_EQ(screen->bounds(), CGRectMake(0, 0, 320, 568));
    EXPECT_EQ(screen->scale(), 2);
    screen->setScale(-1);
    EXPECT_EQ(screen->scale(), 2);
}

TEST(UIView, HitTestFindsTheFrontmostInteractiveView) {
    NSAutoreleasePool pool;
    Ref<UIView> root = makeView(CGRectMake(0, 0, 100, 100));
    Ref<UIView> back = makeView(CGRectMake(0, 0, 50, 50));
    Ref<UIView> front = makeView(CGRectMake(25, 25, 50, 50));
    root->addSubview(back);
    root->addSubview(front);
    EXPECT_EQ(root->hitTest({30, 30}, nullptr), front.get());
    EXPECT_EQ(root->hitTest({10, 10}, nullptr), back.get());
    EXPECT_EQ(root->hitTest({90, 10}, nullptr), root.get());
    EXPECT_EQ(root->hitTest({-1, 10}, nullptr), nullptr);
    front->setUserInteractionEnabled(false);
    EXPECT_EQ(root->hitTest({30, 30}, nullptr), back.get());
    back->setHidden(true);
    EXPECT_EQ(root->hitTest({30, 30}, nullptr), root.get());
    root->setAlpha(0);
    EXPECT_EQ(root->hitTest({30, 30}, nullptr), nullptr);
}

TEST(UIView, SizeToFitKeepsTheTopLeftCorner) {
    NSAutoreleasePool pool;
    Ref<UIView> v = makeView(CGRectMake(10, 20, 30, 40));
    v->sizeToFit();
    EXPECT_EQ(v->frame(), CGRectMake(10, 20, 30, 40));
    Ref<UIImageView> iv = makeView<UIImageView>(CGRectMake(5, 6, 7, 8));
    iv->sizeToFit();  // no picture: unchanged
    EXPECT_EQ(iv->frame(), CGRectMake(5, 6, 7, 8));
}

namespace {
// A w x h opaque ARGB32 bitmap, made in memory. Caller owns it.
CGImageRef makeBitmap(size_t w, size_t h) {
    std::vector<uint32_t> px(w * h, 0xff336699u);
    CGDataProviderRef dp = CGDataProviderCreateWithCopyOfData(px.data(), px.size() * 4);
    CGColorSpaceRef cs = CGColorSpaceCreateDeviceRGB();
    CGImageRef img = CGImageCreate(w, h, 8, 32, w * 4, cs, kBDBitmapInfoARGB32, dp, nullptr, false,
                                   kCGRenderingIntentDefault);
    CGColorSpaceRelease(cs);
    CGDataProviderRelease(dp);
    return img;
}
}  // namespace

TEST(UIImageView, InitWithImageSizesToThePictureAndTheLayerKeepsTheBitmap) {
    NSAutoreleasePool pool;
    CGImageRef bitmap = makeBitmap(40, 30);
    ASSERT_TRUE(bitmap);
    UIImage* image = UIImage::imageWithCGImage(bitmap, 2.0, UIImageOrientationUp);
    ASSERT_TRUE(image);
    Ref<UIImageView> iv = adopt(alloc<UIImageView>()->initWithImage(image));
    ASSERT_TRUE(iv);
    EXPECT_EQ(iv->frame(), CGRectMake(0, 0, 20, 15));  // points, at scale 2
    EXPECT_EQ(iv->image(), image);
    EXPECT_EQ(iv->layer()->contents(), bitmap);
    int before = bitmap->retainCount();
    iv->setImage(nullptr);
    EXPECT_EQ(iv->layer()->contents(), nullptr);
    EXPECT_LT(bitmap->retainCount(), before);
    EXPECT_EQ(iv->frame(), CGRectMake(0, 0, 20, 15));  // setImage doesn't resize

    iv->setFrame(CGRectMake(3, 4, 100, 100));
    iv->setImage(image);
    iv->sizeToFit();
    EXPECT_EQ(iv->frame(), CGRectMake(3, 4, 20, 15));
    CGImageRelease(bitmap);
}

TEST(UIView, LayerTranslationDisplacesTheShownCentre) {
    // A view is shown displaced from its centre by (m41, m42) of its layer transform, also
    // when the transform scales (the translation is applied before the scale).
    NSAutoreleasePool pool;
    Ref<UIView> root = makeView(CGRectMake(0, 0, 320, 480));
    Ref<UIView> v = makeView(CGRectMake(50, 50, 100, 100));  // centre (100, 100)
    root->addSubview(v);
    CALayer* l = v->layer();
    l->setTransform(CATransform3DTranslate(l->transform(), 50, -20, 0));
    EXPECT_EQ(v->center(), CGPointMake(100, 100));
    EXPECT_EQ(v->convertPointToView({50, 50}, root), CGPointMake(150, 80));

    l->setTransform(CATransform3DTranslate(CATransform3DMakeScale(2, 2, 1), 50, -20, 0));
    CATransform3D t = l->transform();
    EXPECT_EQ(t.m41, 100);
    EXPECT_EQ(t.m42, -40);
    EXPECT_EQ(v->convertPointToView({50, 50}, root), CGPointMake(200, 60));
    EXPECT_EQ(v->frame(), CGRectMake(100, -40, 200, 200));
}
