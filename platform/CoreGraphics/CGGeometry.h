#pragma once
// Plain geometry values shared by every layer of the platform: points, sizes, rectangles and
// 2D affine transforms, in points (doubles). All functions are pure and [any-thread].

#include <cmath>
#include "Foundation/Export.h"

struct BD_EXPORT CGPoint {
    double x = 0, y = 0;
};
struct BD_EXPORT CGSize {
    double width = 0, height = 0;
};
struct BD_EXPORT CGRect {
    CGPoint origin;
    CGSize size;
};

// 2D affine transform in row-vector form: [x y 1] * | a  b  0 |
//                                                   | c  d  0 |
//                                                   | tx ty 1 |
struct BD_EXPORT CGAffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
};

BD_EXPORT bool operator==(const CGPoint& l, const CGPoint& r);  // [any-thread] exact comparison
BD_EXPORT bool operator==(const CGSize& l, const CGSize& r);    // [any-thread]
BD_EXPORT bool operator==(const CGRect& l, const CGRect& r);    // [any-thread]
BD_EXPORT bool operator==(const CGAffineTransform& l, const CGAffineTransform& r);  // [any-thread]
inline bool operator!=(const CGPoint& l, const CGPoint& r) {
    return !(l == r);
}
inline bool operator!=(const CGSize& l, const CGSize& r) {
    return !(l == r);
}
inline bool operator!=(const CGRect& l, const CGRect& r) {
    return !(l == r);
}
inline bool operator!=(const CGAffineTransform& l, const CGAffineTransform& r) {
    return !(l == r);
}

extern BD_EXPORT const CGPoint CGPointZero;  // (0,0)
extern BD_EXPORT const CGSize CGSizeZero;    // 0x0
extern BD_EXPORT const CGRect CGRectZero;    // (0,0,0,0)
extern BD_EXPORT const CGRect CGRectNull;    // the empty set: origin at +infinity, size 0
extern BD_EXPORT const CGRect CGRectInfinite;
extern BD_EXPORT const CGAffineTransform CGAffineTransformIdentity;

// [any-thread] constructors
BD_EXPORT CGPoint CGPointMake(double x, double y);
BD_EXPORT CGSize CGSizeMake(double width, double height);
BD_EXPORT CGRect CGRectMake(double x, double y, double width, double height);

// [any-thread] comparisons
BD_EXPORT bool CGPointEqualToPoint(CGPoint a, CGPoint b);
BD_EXPORT bool CGSizeEqualToSize(CGSize a, CGSize b);
BD_EXPORT bool CGRectEqualToRect(
    CGRect a,
    CGRect b);  // compares the standardized rectangles; all nulls are equal

// [any-thread] accessors; negative sizes are read as their standardized (positive) form
BD_EXPORT double CGRectGetMinX(CGRect r);
BD_EXPORT double CGRectGetMinY(CGRect r);
BD_EXPORT double CGRectGetMaxX(CGRect r);
BD_EXPORT double CGRectGetMaxY(CGRect r);
BD_EXPORT double CGRectGetMidX(CGRect r);
BD_EXPORT double CGRectGetMidY(CGRect r);
BD_EXPORT double CGRectGetWidth(CGRect r);
BD_EXPORT double CGRectGetHeight(CGRect r);

// [any-thread] tests
BD_EXPORT bool CGRectIsNull(CGRect r);
BD_EXPORT bool CGRectIsEmpty(CGRect r);  // null, or zero width or height (also any NaN)
BD_EXPORT bool CGRectIsInfinite(CGRect r);
BD_EXPORT bool CGRectContainsPoint(CGRect r,
                                   CGPoint p);  // min edges inclusive, max edges exclusive
BD_EXPORT bool CGRectContainsRect(CGRect outer, CGRect inner);
BD_EXPORT bool CGRectIntersectsRect(CGRect a, CGRect b);

// [any-thread] operations
BD_EXPORT CGRect CGRectStandardize(CGRect r);  // positive width/height
BD_EXPORT CGRect
CGRectIntegral(CGRect r);  // smallest integral rectangle containing r (null stays null)
BD_EXPORT CGRect CGRectIntersection(CGRect a, CGRect b);  // CGRectNull when they don't meet
BD_EXPORT CGRect CGRectUnion(CGRect a, CGRect b);         // nulls are ignored
BD_EXPORT CGRect CGRectOffset(CGRect r, double dx, double dy);
BD_EXPORT CGRect CGRectInset(CGRect r, double dx,
                             double dy);  // CGRectNull when insetting past empty

// [any-thread] affine transforms
BD_EXPORT CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                                  double ty);
BD_EXPORT CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty);
BD_EXPORT CGAffineTransform CGAffineTransformMakeScale(double sx, double sy);
BD_EXPORT CGAffineTransform
CGAffineTransformMakeRotation(double angle);  // radians, counter-clockwise in y-up
BD_EXPORT CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, double tx,
                                                       double ty);  // translation·t
BD_EXPORT CGAffineTransform CGAffineTransformScale(CGAffineTransform t, double sx,
                                                   double sy);  // scale·t
BD_EXPORT CGAffineTransform CGAffineTransformRotate(CGAffineTransform t,
                                                    double angle);  // rotation·t
BD_EXPORT CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1,
                                                    CGAffineTransform t2);  // t1·t2: t1 first
BD_EXPORT CGAffineTransform
CGAffineTransformInvert(CGAffineTransform t);  // t itself when not invertible
BD_EXPORT bool CGAffineTransformIsIdentity(CGAffineTransform t);
BD_EXPORT bool CGAffineTransformEqualToTransform(CGAffineTransform a, CGAffineTransform b);
BD_EXPORT CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t);
BD_EXPORT CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t);  // linear part only
BD_EXPORT CGRect CGRectApplyAffineTransform(CGRect r,
                                            CGAffineTransform t);  // bounding box of the image
