#include "CoreGraphics/CGGeometry.h"

#include <algorithm>
#include <limits>

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}

const CGPoint CGPointZero = {0, 0};
const CGSize CGSizeZero = {0, 0};
const CGRect CGRectZero = {{0, 0}, {0, 0}};
const CGRect CGRectNull = {{kInf, kInf}, {0, 0}};
const CGRect CGRectInfinite = {
    {-std::numeric_limits<double>::max() / 2, -std::numeric_limits<double>::max() / 2},
    {std::numeric_limits<double>::max(), std::numeric_limits<double>::max()}};
const CGAffineTransform CGAffineTransformIdentity = {1, 0, 0, 1, 0, 0};

bool operator==(const CGPoint& l, const CGPoint& r) {
    return l.x == r.x && l.y == r.y;
}
bool operator==(const CGSize& l, const CGSize& r) {
    return l.width == r.width && l.height == r.height;
}
bool operator==(const CGRect& l, const CGRect& r) {
    return l.origin == r.origin && l.size == r.size;
}
bool operator==(const CGAffineTransform& l, const CGAffineTransform& r) {
    return l.a == r.a && l.b == r.b && l.c == r.c && l.d == r.d && l.tx == r.tx && l.ty == r.ty;
}

CGPoint CGPointMake(double x, double y) {
    return {x, y};
}
CGSize CGSizeMake(double width, double height) {
    return {width, height};
}
CGRect CGRectMake(double x, double y, double width, double height) {
    return {{x, y}, {width, height}};
}

bool CGPointEqualToPoint(CGPoint a, CGPoint b) {
    return a == b;
}
bool CGSizeEqualToSize(CGSize a, CGSize b) {
    return a == b;
}
bool CGRectEqualToRect(CGRect a, CGRect b) {
    bool an = CGRectIsNull(a), bn = CGRectIsNull(b);
    if (an || bn) return an == bn;
    return CGRectStandardize(a) == CGRectStandardize(b);
}

CGRect CGRectStandardize(CGRect r) {
    if (CGRectIsNull(r)) return r;
    if (r.size.width < 0) {
        r.origin.x += r.size.width;
        r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
        r.origin.y += r.size.height;
        r.size.height = -r.size.height;
    }
    return r;
}

double CGRectGetMinX(CGRect r) {
    return CGRectStandardize(r).origin.x;
}
double CGRectGetMinY(CGRect r) {
    return CGRectStandardize(r).origin.y;
}
double CGRectGetMaxX(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.x + r.size.width;
}
double CGRectGetMaxY(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.y + r.size.height;
}
double CGRectGetMidX(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.x + r.size.width / 2;
}
double CGRectGetMidY(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.y + r.size.height / 2;
}
double CGRectGetWidth(CGRect r) {
    return std::fabs(r.size.width);
}
double CGRectGetHeight(CGRect r) {
    return std::fabs(r.size.height);
}

bool CGRectIsNull(CGRect r) {
    return std::isinf(r.origin.x) || std::isinf(r.origin.y);
}
bool CGRectIsEmpty(CGRect r) {
    if (CGRectIsNull(r)) return true;
    // written so that NaN sizes count as empty
    return !(r.size.width != 0 && r.size.height != 0 && !std::isnan(r.size.width) &&
             !std::isnan(r.size.height));
}
bool CGRectIsInfinite(CGRect r) {
    return r == CGRectInfinite;
}

bool CGRectContainsPoint(CGRect r, CGPoint p) {
    if (CGRectIsEmpty(r)) return false;
    r = CGRectStandardize(r);
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

bool CGRectContainsRect(CGRect outer, CGRect inner) {
    if (CGRectIsNull(inner)) return true;
    if (CGRectIsNull(outer)) return false;
    outer = CGRectStandardize(outer);
    inner = CGRectStandardize(inner);
    return inner.origin.x >= outer.origin.x && inner.origin.y >= outer.origin.y &&
           CGRectGetMaxX(inner) <= CGRectGetMaxX(outer) &&
           CGRectGetMaxY(inner) <= CGRectGetMaxY(outer);
}

bool CGRectIntersectsRect(CGRect a, CGRect b) {
    return !CGRectIsNull(CGRectIntersection(a, b));
}

CGRect CGRectIntegral(CGRect r) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    double x0 = std::floor(r.origin.x), y0 = std::floor(r.origin.y);
    double x1 = std::ceil(r.origin.x + r.size.width), y1 = std::ceil(r.origin.y + r.size.height);
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

CGRect CGRectIntersection(CGRect a, CGRect b) {
    if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectNull;
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    double x0 = std::max(a.origin.x, b.origin.x), y0 = std::max(a.origin.y, b.origin.y);
    double x1 = std::min(CGRectGetMaxX(a), CGRectGetMaxX(b));
    double y1 = std::min(CGRectGetMaxY(a), CGRectGetMaxY(b));
    if (!(x1 >= x0 && y1 >= y0)) return CGRectNull;  // also catches NaN
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

CGRect CGRectUnion(CGRect a, CGRect b) {
    if (CGRectIsNull(a)) return CGRectStandardize(b);
    if (CGRectIsNull(b)) return CGRectStandardize(a);
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    double x0 = std::min(a.origin.x, b.origin.x), y0 = std::min(a.origin.y, b.origin.y);
    double x1 = std::max(CGRectGetMaxX(a), CGRectGetMaxX(b));
    double y1 = std::max(CGRectGetMaxY(a), CGRectGetMaxY(b));
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

CGRect CGRectOffset(CGRect r, double dx, double dy) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}

CGRect CGRectInset(CGRect r, double dx, double dy) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    r.origin.x += dx;
    r.origin.y += dy;
    r.size.width -= 2 * dx;
    r.size.height -= 2 * dy;
    if (!(r.size.width >= 0 && r.size.height >= 0)) return CGRectNull;
    return r;
}

CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                        double ty) {
    return {a, b, c, d, tx, ty};
}
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty) {
    return {1, 0, 0, 1, tx, ty};
}
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy) {
    return {sx, 0, 0, sy, 0, 0};
}
CGAffineTransform CGAffineTransformMakeRotation(double angle) {
    double s = std::sin(angle), c = std::cos(angle);
    return {c, s, -s, c, 0, 0};
}

CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1, CGAffineTransform t2) {
    return {t1.a * t2.a + t1.b * t2.c,           t1.a * t2.b + t1.b * t2.d,
            t1.c * t2.a + t1.d * t2.c,           t1.c * t2.b + t1.d * t2.d,
            t1.tx * t2.a + t1.ty * t2.c + t2.tx, t1.tx * t2.b + t1.ty * t2.d + t2.ty};
}
CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, double tx, double ty) {
    return CGAffineTransformConcat(CGAffineTransformMakeTranslation(tx, ty), t);
}
CGAffineTransform CGAffineTransformScale(CGAffineTransform t, double sx, double sy) {
    return CGAffineTransformConcat(CGAffineTransformMakeScale(sx, sy), t);
}
CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, double angle) {
    return CGAffineTransformConcat(CGAffineTransformMakeRotation(angle), t);
}
CGAffineTransform CGAffineTransformInvert(CGAffineTransform t) {
    double det = t.a * t.d - t.b * t.c;
    if (det == 0 || !std::isfinite(det)) return t;
    double ia = t.d / det, ib = -t.b / det, ic = -t.c / det, id = t.a / det;
    return {ia, ib, ic, id, -(t.tx * ia + t.ty * ic), -(t.tx * ib + t.ty * id)};
}
bool CGAffineTransformIsIdentity(CGAffineTransform t) {
    return t == CGAffineTransformIdentity;
}
bool CGAffineTransformEqualToTransform(CGAffineTransform a, CGAffineTransform b) {
    return a == b;
}

CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t) {
    return {p.x * t.a + p.y * t.c + t.tx, p.x * t.b + p.y * t.d + t.ty};
}
CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t) {
    return {s.width * t.a + s.height * t.c, s.width * t.b + s.height * t.d};
}
CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    CGPoint p[4] = {CGPointApplyAffineTransform(r.origin, t),
                    CGPointApplyAffineTransform({CGRectGetMaxX(r), r.origin.y}, t),
                    CGPointApplyAffineTransform({r.origin.x, CGRectGetMaxY(r)}, t),
                    CGPointApplyAffineTransform({CGRectGetMaxX(r), CGRectGetMaxY(r)}, t)};
    double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
    for (auto& q : p) {
        x0 = std::min(x0, q.x);
        x1 = std::max(x1, q.x);
        y0 = std::min(y0, q.y);
        y1 = std::max(y1, q.y);
    }
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}
