#include "QuartzCore/CALayer.h"

#include <gtest/gtest.h>

namespace {
Ref<CALayer> makeLayer(CGRect frame) {
    Ref<CALayer> l = adopt(alloc<CALayer>()->init());
    l->setFrame(frame);
    return l;
}

void expectRectNear(CGRect a, CGRect b, double eps = 1e-9) {
    EXPECT_NEAR(a.origin.x, b.origin.x, eps);
    EXPECT_NEAR(a.origin.y, b.origin.y, eps);
    EXPECT_NEAR(a.size.width, b.size.width, eps);
    EXPECT_NEAR(a.size.height, b.size.height, eps);
}
}  // namespace

TEST(CALayer, SetFrameUnderIdentityPlacesPositionAtTheAnchor) {
    Ref<CALayer> l = makeLayer(CGRectMake(10, 20, 200, 300));
    EXPECT_EQ(l->bounds(), CGRectMake(0, 0, 200, 300));
    EXPECT_EQ(l->position(), CGPointMake(110, 170));
    EXPECT_EQ(l->frame(), CGRectMake(10, 20, 200, 300));
    l->setAnchorPoint({0, 0});
    EXPECT_EQ(l->frame(), CGRectMake(110, 170, 200, 300));
    l->setFrame(CGRectMake(1, 2, 3, 4));
    EXPECT_EQ(l->position(), CGPointMake(1, 2));
}

TEST(CALayer, FrameIsTheBoundingBoxOfTheTransformedBounds) {
    Ref<CALayer> l = makeLayer(CGRectMake(0, 0, 320, 480));
    l->setTransform(CATransform3DMakeScale(2, 2, 1));
    // Scaled about the centre anchor.
    EXPECT_EQ(l->frame(), CGRectMake(-160, -240, 640, 960));
    EXPECT_EQ(l->bounds(), CGRectMake(0, 0, 320, 480));
    // Re-placing the scaled frame at the old top-left keeps the bounds unscaled.
    l->setFrame(CGRectMake(0, 0, 640, 960));
    EXPECT_EQ(l->frame(), CGRectMake(0, 0, 640, 960));
    EXPECT_EQ(l->bounds(), CGRectMake(0, 0, 320, 480));
    // Back to scale 1 and the original frame.
    l->setTransform(CATransform3DIdentity);
    l->setFrame(CGRectMake(0, 0, 320, 480));
    EXPECT_EQ(l->frame(), CGRectMake(0, 0, 320, 480));

    // A quarter turn swaps the box's sides.
    Ref<CALayer> r = makeLayer(CGRectMake(0, 0, 100, 50));
    r->setTransform(CATransform3DMakeRotation(3.14159265358979323846 / 2, 0, 0, 1));
    expectRectNear(r->frame(), CGRectMake(25, -25, 50, 100));
    // A 45 degree turn has no unique bounds for a frame: only the position moves.
    r->setTransform(CATransform3DMakeRotation(3.14159265358979323846 / 4, 0, 0, 1));
    CGRect before = r->frame();
    r->setFrame(CGRectMake(0, 0, 10, 10));
    EXPECT_EQ(r->bounds().size, CGSizeMake(100, 50));
    expectRectNear(r->frame(), CGRectMake(0, 0, before.size.width, before.size.height));
}

TEST(CALayer, SublayerTreeOwnershipAndOrder) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 100, 100));
    CALayer* a = alloc<CALayer>()->init();
    CALayer* b = alloc<CALayer>()->init();
    CALayer* c = alloc<CALayer>()->init();
    root->addSublayer(a);
    root->addSublayer(b);
    root->insertSublayer(c, 0);
    a->release();  // root owns them now
    b->release();
    c->release();
    ASSERT_EQ(root->sublayers().size(), 3u);
    EXPECT_EQ(root->sublayers()[0].get(), c);
    EXPECT_EQ(root->sublayers()[2].get(), b);
    EXPECT_EQ(a->superlayer(), root.get());

    root->addSublayer(c);  // moving an own sublayer to the top
    EXPECT_EQ(root->sublayers().size(), 3u);
    EXPECT_EQ(root->sublayers()[2].get(), c);
    root->insertSublayerBelow(c, a);
    EXPECT_EQ(root->indexOfSublayer(c), 0u);

    // A layer can't become its own ancestor.
    a->addSublayer(root);
    EXPECT_EQ(root->superlayer(), nullptr);
    a->addSublayer(a);
    EXPECT_TRUE(a->sublayers().empty());

    // Moving to another parent leaves the old one.
    Ref<CALayer> other = makeLayer(CGRectZero);
    other->addSublayer(b);
    EXPECT_EQ(root->sublayers().size(), 2u);
    EXPECT_EQ(b->superlayer(), other.get());

    Ref<CALayer> keep = retained(a);
    a->removeFromSuperlayer();
    EXPECT_EQ(a->superlayer(), nullptr);
    EXPECT_EQ(root->sublayers().size(), 1u);
    // A kept sublayer survives its parent and loses the back pointer.
    Ref<CALayer> kept = retained(c);
    root = nullptr;
    EXPECT_EQ(kept->superlayer(), nullptr);
}

TEST(CALayer, ConvertPointThroughTransformsAndBoundsOrigin) {
    Ref<CALayer> root = makeLayer(CGRectMake(0, 0, 320, 480));
    Ref<CALayer> child = makeLayer(CGRectMake(10, 20, 100, 100));
    root->addSublayer(child);
    EXPECT_EQ(child->convertPointToLayer({0, 0}, root), CGPointMake(10, 20));
    EXPECT_EQ(child->convertPointFromLayer({10, 20}, root), CGPointMake(0, 0));

    // Scrolling the parent (bounds origin) moves the child the other way.
    root->setBounds(CGRectMake(0, 5, 320, 480));
    EXPECT_EQ(child->convertPointToLayer({0, 0}, root), CGPointMake(10, 20));
    EXPECT_EQ(child->convertPointToLayer({0, 0}, nullptr), CGPointMake(10, 15));

    // A scale about the child's centre (60, 70).
    child->setTransform(CATransform3DMakeScale(2, 2, 1));
    CGPoint p = child->convertPointToLayer({0, 0}, root);
    EXPECT_DOUBLE_EQ(p.x, -40);
    EXPECT_DOUBLE_EQ(p.y, -30);
    CGPoint back = child->convertPointFromLayer(p, root);
    EXPECT_NEAR(back.x, 0, 1e-12);
    EXPECT_NEAR(back.y, 0, 1e-12);

    // The parent's sublayerTransform applies about the parent's anchor.
    child->setTransform(CATransform3DIdentity);
    root->setBounds(CGRectMake(0, 0, 320, 480));
    root->setSublayerTransform(CATransform3DMakeScale(0.5, 0.5, 1));
    p = child->convertPointToLayer({0, 0}, root);
    EXPECT_DOUBLE_EQ(p.x, 160 + (10 - 160) * 0.5);
    EXPECT_DOUBLE_EQ(p.y, 240 + (20 - 240) * 0.5);
    // Between siblings.
    Ref<CALayer> sib = makeLayer(CGRectMake(200, 200, 10, 10));
    root->addSublayer(sib);
    CGPoint q = child->convertPointToLayer({0, 0}, sib);
    EXPECT_NEAR(q.x, (10 - 200), 1e-12);
    EXPECT_NEAR(q.y, (20 - 200), 1e-12);
}

TEST(CALayer, PerspectiveSublayerTransformActsOnTheDepthOfATurnedSublayer) {
    // The sublayer's turn about y gives its edges depth; the parent's perspective then makes
    // the near edge longer than the far one. Flattening each transform on its own would lose
    // that depth and leave both edges equally long.
    Ref<CALayer> parent = makeLayer(CGRectMake(0, 0, 100, 100));
    CATransform3D persp = CATransform3DIdentity;
    persp.m34 = -1.0 / 100;
    parent->setSublayerTransform(persp);
    Ref<CALayer> card = makeLayer(CGRectMake(25, 25, 50, 50));
    card->setTransform(CATransform3DMakeRotation(3.14159265358979323846 / 6, 0, 1, 0));
    parent->addSublayer(card.get());
    auto edge = [&](double x) {
        return card->convertPointToLayer({x, 50}, parent.get()).y -
               card->convertPointToLayer({x, 0}, parent.get()).y;
    };
    EXPECT_GT(edge(0), 55);
    EXPECT_LT(edge(50), 45);
    // And the mapping goes back.
    CGPoint p = card->convertPointToLayer({10, 40}, parent.get());
    CGPoint back = card->convertPointFromLayer(p, parent.get());
    EXPECT_NEAR(back.x, 10, 1e-9);
    EXPECT_NEAR(back.y, 40, 1e-9);
}
