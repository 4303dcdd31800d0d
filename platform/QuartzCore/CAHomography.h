#pragma once
// Flattened layer-to-layer mappings, shared by the layer geometry and the renderer. A layer's
// content lies in its plane z = 0, so a 4x4 transform restricted to that plane is a 3x3
// homography over row vectors [x y 1]; a chain of layers composes as a product of these.

#include <cmath>

#include "CoreGraphics/CGGeometry.h"
#include "QuartzCore/CATransform3D.h"

class CALayer;

namespace bd {

struct H3 {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

    // The 4x4 transform with its z row and column dropped.
    static H3 flatten(const CATransform3D& t) {
        H3 h;
        h.m[0][0] = t.m11, h.m[0][1] = t.m12, h.m[0][2] = t.m14;
        h.m[1][0] = t.m21, h.m[1][1] = t.m22, h.m[1][2] = t.m24;
        h.m[2][0] = t.m41, h.m[2][1] = t.m42, h.m[2][2] = t.m44;
        return h;
    }
    static H3 affine(double a, double b, double c, double d, double tx, double ty) {
        H3 h;
        h.m[0][0] = a, h.m[0][1] = b;
        h.m[1][0] = c, h.m[1][1] = d;
        h.m[2][0] = tx, h.m[2][1] = ty;
        return h;
    }
    static H3 translation(double tx, double ty) { return affine(1, 0, 0, 1, tx, ty); }

    // this, then o
    H3 operator*(const H3& o) const {
        H3 r;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                r.m[i][j] = m[i][0] * o.m[0][j] + m[i][1] * o.m[1][j] + m[i][2] * o.m[2][j];
        return r;
    }
    // False (out untouched) when the mapping is singular or not finite.
    bool inverse(H3* out) const {
        const auto& a = m;
        double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
        double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
        double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
        double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
        if (!(std::fabs(det) > 1e-300) || !std::isfinite(det)) return false;
        H3& r = *out;
        r.m[0][0] = c00 / det;
        r.m[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
        r.m[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
        r.m[1][0] = c01 / det;
        r.m[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
        r.m[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
        r.m[2][0] = c02 / det;
        r.m[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
        r.m[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
        return true;
    }
    bool finite() const {
        for (auto& row : m)
            for (double v : row)
                if (!std::isfinite(v)) return false;
        return true;
    }
    // The homogeneous image of (x, y): X, Y and W.
    void project(double x, double y, double* X, double* Y, double* W) const {
        *X = x * m[0][0] + y * m[1][0] + m[2][0];
        *Y = x * m[0][1] + y * m[1][1] + m[2][1];
        *W = x * m[0][2] + y * m[1][2] + m[2][2];
    }
    // The image of p; *ok tells whether it lies in front of the viewer (w > 0). Behind the
    // viewer the unprojected point comes back.
    CGPoint apply(CGPoint p, bool* ok = nullptr) const {
        double x, y, w;
        project(p.x, p.y, &x, &y, &w);
        if (ok) *ok = w > 0;
        if (!(w > 0)) return {x, y};
        return {x / w, y / w};
    }
};

// [main-thread] A layer's bounds space -> its superlayer's bounds space, for the given transform
// of the layer (about its anchor point, then moved to its position) and sublayer transform of
// the superlayer (about the superlayer's anchor point; none when super is null). The two are
// composed in 3D before the result is flattened into the superlayer's plane, so a perspective
// sublayer transform acts on the depth that a sublayer's rotation gives it.
H3 layerToSuperlayer(CALayer* l, const CATransform3D& transform, CALayer* super,
                     const CATransform3D& superSublayerTransform);

}  // namespace bd
