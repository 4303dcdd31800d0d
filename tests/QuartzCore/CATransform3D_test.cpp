#include "QuartzCore/CATransform3D.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

using std::numbers::pi;

void expectNear(const CATransform3D& a, const CATransform3D& b, double eps = 1e-12) {
    const double* p = &a.m11;
    const double* q = &b.m11;
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(p[i], q[i], eps) << "element " << i;
}
}  // namespace

TEST(CATransform3D, TranslateIsAppliedBeforeTheExistingTransform) {
    // A scale-2 transform translated by (50, -20): the translation is scaled too.
    CATransform3D t = CATransform3DTranslate(CATransform3DMakeScale(2, 2, 1), 50, -20, 0);
    EXPECT_EQ(t.m41, 100);
    EXPECT_EQ(t.m42, -40);
    EXPECT_EQ(t.m11, 2);
    EXPECT_EQ(t.m22, 2);
    CGPoint p = CATransform3DApplyToPoint(t, {1, 1});
    EXPECT_DOUBLE_EQ(p.x, 102);
    EXPECT_DOUBLE_EQ(p.y, -38);
    // Translating back with the opposite displacement clears the translation.
    CATransform3D back = CATransform3DTranslate(t, -50, 20, 0);
    EXPECT_TRUE(CATransform3DEqualToTransform(back, CATransform3DMakeScale(2, 2, 1)));
}

TEST(CATransform3D, ConcatAppliesTheLeftOperandFirst) {
    CATransform3D s = CATransform3DMakeScale(3, 3, 1);
    CATransform3D t = CATransform3DMakeTranslation(10, 0, 0);
    // scale then translate: x -> 3x + 10
    CGPoint p = CATransform3DApplyToPoint(CATransform3DConcat(s, t), {1, 0});
    EXPECT_DOUBLE_EQ(p.x, 13);
    // translate then scale: x -> 3(x + 10)
    p = CATransform3DApplyToPoint(CATransform3DConcat(t, s), {1, 0});
    EXPECT_DOUBLE_EQ(p.x, 33);
    EXPECT_TRUE(
        CATransform3DIsIdentity(CATransform3DConcat(CATransform3DIdentity, CATransform3DIdentity)));
}

TEST(CATransform3D, RotationsComposeAndMatchTheAffineConvention) {
    CATransform3D z = CATransform3DMakeRotation(pi / 6, 0, 0, 1);
    CGAffineTransform a = CGAffineTransformMakeRotation(pi / 6);
    EXPECT_NEAR(z.m11, a.a, 1e-15);
    EXPECT_NEAR(z.m12, a.b, 1e-15);
    EXPECT_NEAR(z.m21, a.c, 1e-15);
    EXPECT_NEAR(z.m22, a.d, 1e-15);
    // Two turns add up; turning back undoes.
    expectNear(CATransform3DRotate(z, pi / 3, 0, 0, 1), CATransform3DMakeRotation(pi / 2, 0, 0, 1));
    expectNear(CATransform3DRotate(z, -pi / 6, 0, 0, 1), CATransform3DIdentity);
    // The axis length doesn't matter; a zero axis is no rotation.
    expectNear(CATransform3DMakeRotation(0.4, 0, 0, 5), CATransform3DMakeRotation(0.4, 0, 0, 1));
    EXPECT_TRUE(CATransform3DIsIdentity(CATransform3DMakeRotation(1, 0, 0, 0)));
    // Quarter turn about x takes y to z (right-handed, row vectors).
    CATransform3D x = CATransform3DMakeRotation(pi / 2, 1, 0, 0);
    EXPECT_NEAR(x.m23, 1, 1e-15);
    EXPECT_NEAR(x.m32, -1, 1e-15);
}

TEST(CATransform3D, PerspectiveTiltThereAndBackKeepsOnlyThePerspectiveTerm) {
    CATransform3D s = CATransform3DIdentity;
    s.m34 = -0.002;
    s = CATransform3DRotate(s, 0.7853981633974483, 1, 0, 0);
    s = CATransform3DRotate(s, -0.7853981633974483, 1, 0, 0);
    CATransform3D expect = CATransform3DIdentity;
    expect.m34 = -0.002;
    expectNear(s, expect);
    EXPECT_FALSE(CATransform3DIsAffine(s));
}

TEST(CATransform3D, InvertAndAffineRoundTrip) {
    CATransform3D t = CATransform3DTranslate(
        CATransform3DRotate(CATransform3DMakeScale(2, 3, 1), 0.3, 0, 0, 1), 5, 7, 0);
    expectNear(CATransform3DConcat(t, CATransform3DInvert(t)), CATransform3DIdentity);
    // A singular matrix comes back unchanged instead of producing infinities.
    CATransform3D flat = CATransform3DMakeScale(0, 1, 1);
    EXPECT_TRUE(CATransform3DEqualToTransform(CATransform3DInvert(flat), flat));

    EXPECT_TRUE(CATransform3DIsAffine(t));
    CGAffineTransform a = CATransform3DGetAffineTransform(t);
    EXPECT_TRUE(CATransform3DEqualToTransform(CATransform3DMakeAffineTransform(a), t));
    EXPECT_FALSE(CATransform3DIsAffine(CATransform3DMakeScale(1, 1, 2)));
}

TEST(CATransform3D, PointsBehindTheEyeAreReported) {
    CATransform3D t = CATransform3DIdentity;
    t.m14 = -1;  // w = 1 - x
    bool front = true;
    CATransform3DApplyToPoint(t, {2, 0}, &front);
    EXPECT_FALSE(front);
    CGPoint p = CATransform3DApplyToPoint(t, {0.5, 0}, &front);
    EXPECT_TRUE(front);
    EXPECT_DOUBLE_EQ(p.x, 1);
}

TEST(CGGeometry, RectOperations) {
    CGRect a = CGRectMake(0, 0, 10, 10), b = CGRectMake(5, 5, 10, 10);
    EXPECT_EQ(CGRectIntersection(a, b), CGRectMake(5, 5, 5, 5));
    EXPECT_TRUE(CGRectIsNull(CGRectIntersection(a, CGRectMake(20, 20, 1, 1))));
    EXPECT_EQ(CGRectUnion(a, CGRectNull), a);
    EXPECT_EQ(CGRectIntegral(CGRectMake(0.5, 0.5, 1, 1)), CGRectMake(0, 0, 2, 2));
    EXPECT_TRUE(CGRectEqualToRect(CGRectMake(10, 10, -5, -5), CGRectMake(5, 5, 5, 5)));
    EXPECT_TRUE(CGRectContainsPoint(a, {0, 0}));
    EXPECT_FALSE(CGRectContainsPoint(a, {10, 5}));
    EXPECT_TRUE(CGRectIsEmpty(CGRectMake(0, 0, 0, 5)));
    EXPECT_TRUE(CGRectIsEmpty(CGRectMake(0, 0, NAN, 5)));
    EXPECT_TRUE(CGRectIsEmpty(CGRectNull));
    EXPECT_TRUE(CGRectIsNull(CGRectInset(a, 6, 0)));
    EXPECT_DOUBLE_EQ(CGRectGetMidX(CGRectMake(10, 0, -4, 0)), 8);
}

TEST(CGGeometry, AffineTransforms) {
    CGAffineTransform t = CGAffineTransformTranslate(CGAffineTransformMakeScale(2, 2), 50, -20);
    EXPECT_EQ(t.tx, 100);
    EXPECT_EQ(t.ty, -40);
    CGAffineTransform inv = CGAffineTransformInvert(t);
    EXPECT_TRUE(CGAffineTransformIsIdentity(CGAffineTransformConcat(t, inv)));
    CGRect r = CGRectApplyAffineTransform(
        CGRectMake(0, 0, 10, 20), CGAffineTransformMakeRotation(3.14159265358979323846 / 2));
    EXPECT_NEAR(r.origin.x, -20, 1e-9);
    EXPECT_NEAR(r.size.width, 20, 1e-9);
    EXPECT_NEAR(r.size.height, 10, 1e-9);
}
