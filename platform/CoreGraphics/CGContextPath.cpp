#include <cmath>
#include <numbers>

#include "CoreGraphics/CGContextPrivate.h"

// User space to device pixels, and paths: segments in device space, arcs as cubic Béziers, and
// the path calls of the C interface.

using std::numbers::pi;

namespace bd {
namespace cg {

CGPoint toDevice(ContextImpl& c, double x, double y) {
    return CGPointApplyAffineTransform(CGPointMake(x, y), c.g().ctm);
}

// The bitmap's pixels (y down) to device space, for a bitmap drawn upright into rect.
CGAffineTransform imageToDevice(ContextImpl& c, CGRect rect, CGImageRef image) {
    rect = CGRectStandardize(rect);
    double w = double(image->width()), h = double(image->height());
    CGAffineTransform place =
        CGAffineTransformMake(rect.size.width / w, 0, 0, -rect.size.height / h, rect.origin.x,
                              rect.origin.y + rect.size.height);
    return CGAffineTransformConcat(place, c.g().ctm);
}

// Whether m moves pixels by whole pixels without scaling; the offset goes to dx, dy.
bool wholePixelShift(CGAffineTransform m, int& dx, int& dy) {
    if (std::fabs(m.a - 1) > kEpsilon || std::fabs(m.d - 1) > kEpsilon ||
        std::fabs(m.b) > kEpsilon || std::fabs(m.c) > kEpsilon)
        return false;
    double rx = std::round(m.tx), ry = std::round(m.ty);
    if (!(std::fabs(m.tx - rx) <= 1e-6 && std::fabs(m.ty - ry) <= 1e-6)) return false;
    if (std::fabs(rx) > 1e9 || std::fabs(ry) > 1e9) return false;
    dx = int(rx), dy = int(ry);
    return true;
}

IRect transformedBounds(CGRect r, CGAffineTransform m) {
    return bd::pixelBounds(CGRectApplyAffineTransform(r, m));
}

// The device rectangle a user rectangle covers exactly, when it covers whole pixels.
bool wholePixelRect(ContextImpl& c, CGRect rect, IRect& out) {
    const CGAffineTransform& t = c.g().ctm;
    if (std::fabs(t.b) > kEpsilon || std::fabs(t.c) > kEpsilon) return false;
    CGRect d = CGRectStandardize(CGRectApplyAffineTransform(CGRectStandardize(rect), t));
    double v[4] = {d.origin.x, d.origin.y, d.origin.x + d.size.width, d.origin.y + d.size.height};
    for (double x : v)
        if (!(std::fabs(x - std::round(x)) <= 1e-6) || std::fabs(x) > 1e9) return false;
    out = IRect{int(std::round(v[0])), int(std::round(v[1])), int(std::round(v[2])),
                int(std::round(v[3]))};
    return true;
}

std::vector<PathSegment> rectPath(ContextImpl& c, CGRect r) {
    r = CGRectStandardize(r);
    double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
    std::vector<PathSegment> p(5);
    p[0] = {PathSegment::Move, {toDevice(c, x0, y0)}};
    p[1] = {PathSegment::Line, {toDevice(c, x1, y0)}};
    p[2] = {PathSegment::Line, {toDevice(c, x1, y1)}};
    p[3] = {PathSegment::Line, {toDevice(c, x0, y1)}};
    p[4] = {PathSegment::Close, {}};
    return p;
}

// Whether a path is one axis-aligned rectangle on whole pixels (as CGContextAddRect makes).
bool pathIsPixelRect(const std::vector<PathSegment>& p, IRect& out) {
    if (p.size() != 5 || p[0].op != PathSegment::Move || p[4].op != PathSegment::Close)
        return false;
    for (int i = 1; i < 4; ++i)
        if (p[i].op != PathSegment::Line) return false;
    double xs[4], ys[4];
    for (int i = 0; i < 4; ++i) {
        double x = p[i].p[0].x, y = p[i].p[0].y;
        xs[i] = std::round(x), ys[i] = std::round(y);
        if (!(std::fabs(x - xs[i]) <= 1e-6 && std::fabs(y - ys[i]) <= 1e-6) || std::fabs(x) > 1e9 ||
            std::fabs(y) > 1e9)
            return false;
    }
    bool horizontalFirst = ys[0] == ys[1] && xs[1] == xs[2] && ys[2] == ys[3] && xs[3] == xs[0];
    bool verticalFirst = xs[0] == xs[1] && ys[1] == ys[2] && xs[2] == xs[3] && ys[3] == ys[0];
    if (!horizontalFirst && !verticalFirst) return false;
    out = IRect{int(std::round(std::min(xs[0], xs[2]))), int(std::round(std::min(ys[0], ys[2]))),
                int(std::round(std::max(xs[0], xs[2]))), int(std::round(std::max(ys[0], ys[2])))};
    return true;
}

bd::Sampling sampling(ContextImpl& c, CGImageRef image) {
    return c.g().interpolation == kCGInterpolationNone || !image->shouldInterpolate()
               ? bd::Sampling::Nearest
               : bd::Sampling::Smooth;
}

void addSegment(ContextImpl& c, PathSegment s) {
    c.path.push_back(s);
    if (s.op == PathSegment::Move) {
        c.hasCurrent = true;
        c.current = c.start = s.p[0];
    } else if (s.op == PathSegment::Close) {
        c.current = c.start;
    } else {
        c.current = s.p[s.op == PathSegment::Curve ? 2 : 0];
    }
}

void moveTo(ContextImpl& c, CGPoint user) {
    addSegment(c, {PathSegment::Move, {toDevice(c, user.x, user.y)}});
}
void lineTo(ContextImpl& c, CGPoint user) {
    if (!c.hasCurrent) return;
    addSegment(c, {PathSegment::Line, {toDevice(c, user.x, user.y)}});
}
void curveTo(ContextImpl& c, CGPoint c1, CGPoint c2, CGPoint end) {
    if (!c.hasCurrent) return;
    addSegment(c, {PathSegment::Curve,
                   {toDevice(c, c1.x, c1.y), toDevice(c, c2.x, c2.y), toDevice(c, end.x, end.y)}});
}

CGPoint currentUserPoint(ContextImpl& c) {
    if (!c.hasCurrent) return CGPointZero;
    return CGPointApplyAffineTransform(c.current, CGAffineTransformInvert(c.g().ctm));
}

// An arc of the circle (cx, cy, radius) from angle a0 through the signed sweep, as cubic
// Béziers of at most a quarter turn each. The current point must be the arc's start.
void arcCurves(ContextImpl& c, double cx, double cy, double radius, double a0, double sweep) {
    int parts = std::max(1, int(std::ceil(std::fabs(sweep) / (pi / 2) - 1e-9)));
    if (parts > 8) parts = 8;
    double step = sweep / parts;
    double k = 4.0 / 3.0 * std::tan(step / 4);
    for (int i = 0; i < parts; ++i) {
        double p0 = a0 + step * i, p1 = p0 + step;
        double c0 = std::cos(p0), s0 = std::sin(p0), c1 = std::cos(p1), s1 = std::sin(p1);
        curveTo(c, CGPointMake(cx + radius * (c0 - k * s0), cy + radius * (s0 + k * c0)),
                CGPointMake(cx + radius * (c1 + k * s1), cy + radius * (s1 - k * c1)),
                CGPointMake(cx + radius * c1, cy + radius * s1));
    }
}

}  // namespace cg
}  // namespace bd

using bd::ContextImpl;
using bd::PathSegment;
using namespace bd::cg;

// --- path -------------------------------------------------------------------------------------

void CGContextBeginPath(CGContextRef c) {
    if (!c) return;
    c->impl().path.clear();
    c->impl().hasCurrent = false;
}
void CGContextMoveToPoint(CGContextRef c, double x, double y) {
    if (c) moveTo(c->impl(), CGPointMake(x, y));
}
void CGContextAddLineToPoint(CGContextRef c, double x, double y) {
    if (c) lineTo(c->impl(), CGPointMake(x, y));
}
void CGContextAddCurveToPoint(CGContextRef c, double cp1x, double cp1y, double cp2x, double cp2y,
                              double x, double y) {
    if (c) curveTo(c->impl(), CGPointMake(cp1x, cp1y), CGPointMake(cp2x, cp2y), CGPointMake(x, y));
}
void CGContextAddQuadCurveToPoint(CGContextRef c, double cpx, double cpy, double x, double y) {
    if (!c || !c->impl().hasCurrent) return;
    CGPoint p0 = currentUserPoint(c->impl());
    curveTo(c->impl(), CGPointMake(p0.x + 2.0 / 3 * (cpx - p0.x), p0.y + 2.0 / 3 * (cpy - p0.y)),
            CGPointMake(x + 2.0 / 3 * (cpx - x), y + 2.0 / 3 * (cpy - y)), CGPointMake(x, y));
}
void CGContextAddRect(CGContextRef c, CGRect rect) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    for (const PathSegment& s : rectPath(ci, rect)) addSegment(ci, s);
}
void CGContextAddArc(CGContextRef c, double x, double y, double radius, double startAngle,
                     double endAngle, int clockwise) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    CGPoint start =
        CGPointMake(x + radius * std::cos(startAngle), y + radius * std::sin(startAngle));
    if (ci.hasCurrent)
        lineTo(ci, start);
    else
        moveTo(ci, start);
    double sweep = endAngle - startAngle;
    if (!std::isfinite(sweep)) return;
    const double turn = 2 * pi;
    if (clockwise) {
        if (sweep <= -turn)
            sweep = -turn;
        else
            while (sweep > 0) sweep -= turn;
    } else {
        if (sweep >= turn)
            sweep = turn;
        else
            while (sweep < 0) sweep += turn;
    }
    arcCurves(ci, x, y, radius, startAngle, sweep);
}
void CGContextAddArcToPoint(CGContextRef c, double x1, double y1, double x2, double y2,
                            double radius) {
    if (!c) return;
    ContextImpl& ci = c->impl();
    CGPoint corner = CGPointMake(x1, y1);
    if (!ci.hasCurrent) {
        moveTo(ci, corner);
        return;
    }
    CGPoint p0 = currentUserPoint(ci);
    double v0x = p0.x - x1, v0y = p0.y - y1, v2x = x2 - x1, v2y = y2 - y1;
    double l0 = std::hypot(v0x, v0y), l2 = std::hypot(v2x, v2y);
    double cross = v0x * v2y - v0y * v2x;
    if (radius == 0 || !(l0 > 0) || !(l2 > 0) || !(std::fabs(cross) > 1e-12 * l0 * l2)) {
        lineTo(ci, corner);
        return;
    }
    double u0x = v0x / l0, u0y = v0y / l0, u2x = v2x / l2, u2y = v2y / l2;
    double cosT = u0x * u2x + u0y * u2y;  // the angle between the two rays at the corner
    double sinT = std::fabs(cross) / (l0 * l2);
    double t = radius * (1 + cosT) / sinT;  // corner to the tangent points: r / tan(θ/2)
    double bx = u0x + u2x, by = u0y + u2y, bl = std::hypot(bx, by);
    double d = radius / std::sqrt((1 - cosT) / 2);  // corner to the centre: r / sin(θ/2)
    if (!std::isfinite(t) || !std::isfinite(d) || !(bl > 0)) {
        lineTo(ci, corner);
        return;
    }
    CGPoint t0 = CGPointMake(x1 + u0x * t, y1 + u0y * t);
    CGPoint t2 = CGPointMake(x1 + u2x * t, y1 + u2y * t);
    double cx = x1 + bx / bl * d, cy = y1 + by / bl * d;
    lineTo(ci, t0);
    double a0 = std::atan2(t0.y - cy, t0.x - cx), a1 = std::atan2(t2.y - cy, t2.x - cx);
    double sweep = a1 - a0;  // the shorter way round: the arc inside the corner
    if (sweep > pi) sweep -= 2 * pi;
    if (sweep < -pi) sweep += 2 * pi;
    arcCurves(ci, cx, cy, std::fabs(radius), a0, sweep);
}
void CGContextClosePath(CGContextRef c) {
    if (c && c->impl().hasCurrent) addSegment(c->impl(), {PathSegment::Close, {}});
}
bool CGContextIsPathEmpty(CGContextRef c) {
    return !c || c->impl().path.empty();
}
CGPoint CGContextGetPathCurrentPoint(CGContextRef c) {
    return c ? currentUserPoint(c->impl()) : CGPointZero;
}
