#pragma once
// Plain geometry values shared by every layer of the platform: points, sizes, rectangles and
// 2D affine transforms, in points (doubles). All functions are pure and [any-thread].

#include <cmath>

struct CGPoint {
    double x = 0, y = 0;
};
struct CGSize {
    double width = 0, height = 0;
};
struct CGRect {
    CGPoint origin;
    CGSize size;
};

// 2D affine transform in row-vector form: [x y 1] * | a  b  0 |
//                                                   | c  d  0 |
//                                                   | tx ty 1 |
struct CGAffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
};

bool operator==(const CGPoint& l, const CGPoint& r);  // [any-thread] exact comparison
bool operator==(const CGSize& l, const CGSize& r);    // [any-thread]
bool operator==(const CGRect& l, const CGRect& r);    // [any-thread]
bool operator==(const CGAffineTransform& l, const CGAffineTransform& r);  // [any-thread]
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

extern const CGPoint CGPointZero;  // (0,0)
extern const CGSize CGSizeZero;    // 0x0
extern const CGRect CGRectZero;    // (0,0,0,0)
extern const CGRect CGRectNull;    // the empty set: origin at +infinity, size 0
extern const CGRect CGRectInfinite;
extern const CGAffineTransform CGAffineTransformIdentity;

// [any-thread] constructors
CGPoint CGPointMake(double x, double y);
CGSize CGSizeMake(double width, double height);
CGRect CGRectMake(double x, double y, double width, double height);

// [any-thread] comparisons
bool CGPointEqualToPoint(CGPoint a, CGPoint b);
bool CGSizeEqualToSize(CGSize a, CGSize b);
bool CGRectEqualToRect(CGRect a,
                       CGRect b);  // compares the standardized rectangles; all nulls are equal

// [any-thread] accessors; negative sizes are read as their standardized (positive) form
double CGRectGetMinX(CGRect r);
double CGRectGetMinY(CGRect r);
double CGRectGetMaxX(CGRect r);
double CGRectGetMaxY(CGRect r);
double CGRectGetMidX(CGRect r);
double CGRectGetMidY(CGRect r);
double CGRectGetWidth(CGRect r);
double CGRectGetHeight(CGRect r);

// [any-thread] tests
bool CGRectIsNull(CGRect r);
bool CGRectIsEmpty(CGRect r);  // null, or zero width or height (also any NaN)
bool CGRectIsInfinite(CGRect r);
bool CGRectContainsPoint(CGRect r, CGPoint p);  // min edges inclusive, max edges exclusive
bool CGRectContainsRect(CGRect outer, CGRect inner);
bool CGRectIntersectsRect(CGRect a, CGRect b);

// [any-thread] operations
CGRect CGRectStandardize(CGRect r);  // positive width/height
CGRect CGRectIntegral(CGRect r);     // smallest integral rectangle containing r (null stays null)
CGRect CGRectIntersection(CGRect a, CGRect b);  // CGRectNull when they don't meet
CGRect CGRectUnion(CGRect a, CGRect b);         // nulls are ignored
CGRect CGRectOffset(CGRect r, double dx, double dy);
CGRect CGRectInset(CGRect r, double dx, double dy);  // CGRectNull when insetting past empty

// [any-thread] affine transforms
CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                        double ty);
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty);
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy);
CGAffineTransform CGAffineTransformMakeRotation(
    double angle);  // radians, counter-clockwise in y-up
CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, double tx,
                                             double ty);  // translation·t
CGAffineTransform CGAffineTransformScale(CGAffineTransform t, double sx, double sy);  // scale·t
CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, double angle);         // rotation·t
CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1,
                                          CGAffineTransform t2);  // t1·t2: t1 first
CGAffineTransform CGAffineTransformInvert(CGAffineTransform t);   // t itself when not invertible
bool CGAffineTransformIsIdentity(CGAffineTransform t);
bool CGAffineTransformEqualToTransform(CGAffineTransform a, CGAffineTransform b);
CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t);
CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t);  // linear part only
CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t);  // bounding box of the image
