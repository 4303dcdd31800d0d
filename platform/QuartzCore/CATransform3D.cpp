#include "QuartzCore/CATransform3D.h"

#include <cmath>

const CATransform3D CATransform3DIdentity = {};

namespace {
using M = double[4][4];

void toArray(const CATransform3D& t, M m) {
    const double* p = &t.m11;
    for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = p[i];
}
CATransform3D fromArray(const M m) {
    CATransform3D t;
    double* p = &t.m11;
    for (int i = 0; i < 16; ++i) p[i] = m[i / 4][i % 4];
    return t;
}
}  // namespace

static_assert(sizeof(CATransform3D) == 16 * sizeof(double),
              "CATransform3D must be 16 packed doubles");

bool operator==(const CATransform3D& a, const CATransform3D& b) {
    const double* p = &a.m11;
    const double* q = &b.m11;
    for (int i = 0; i < 16; ++i)
        if (p[i] != q[i]) return false;
    return true;
}

bool CATransform3DIsIdentity(CATransform3D t) {
    return t == CATransform3DIdentity;
}
bool CATransform3DEqualToTransform(CATransform3D a, CATransform3D b) {
    return a == b;
}

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz) {
    CATransform3D t;
    t.m41 = tx;
    t.m42 = ty;
    t.m43 = tz;
    return t;
}

CATransform3D CATransform3DMakeScale(double sx, double sy, double sz) {
    CATransform3D t;
    t.m11 = sx;
    t.m22 = sy;
    t.m33 = sz;
    return t;
}

CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z) {
    double len = std::sqrt(x * x + y * y + z * z);
    if (!(len > 0) || !std::isfinite(len)) return CATransform3DIdentity;
    x /= len;
    y /= len;
    z /= len;
    double c = std::cos(angle), s = std::sin(angle), k = 1 - c;
    // Row-vector form: the transpose of the usual column-vector rotation matrix.
    CATransform3D t;
    t.m11 = c + k * x * x;
    t.m12 = k * x * y + s * z;
    t.m13 = k * x * z - s * y;
    t.m21 = k * x * y - s * z;
    t.m22 = c + k * y * y;
    t.m23 = k * y * z + s * x;
    t.m31 = k * x * z + s * y;
    t.m32 = k * y * z - s * x;
    t.m33 = c + k * z * z;
    return t;
}

CATransform3D CATransform3DConcat(CATransform3D a, CATransform3D b) {
    M x, y, r;
    toArray(a, x);
    toArray(b, y);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0;
            for (int k = 0; k < 4; ++k) s += x[i][k] * y[k][j];
            r[i][j] = s;
        }
    return fromArray(r);
}

CATransform3D CATransform3DTranslate(CATransform3D t, double tx, double ty, double tz) {
    return CATransform3DConcat(CATransform3DMakeTranslation(tx, ty, tz), t);
}
CATransform3D CATransform3DScale(CATransform3D t, double sx, double sy, double sz) {
    return CATransform3DConcat(CATransform3DMakeScale(sx, sy, sz), t);
}
CATransform3D CATransform3DRotate(CATransform3D t, double angle, double x, double y, double z) {
    return CATransform3DConcat(CATransform3DMakeRotation(angle, x, y, z), t);
}

CATransform3D CATransform3DInvert(CATransform3D t) {
    // Gauss-Jordan elimination with partial pivoting on [t | I].
    M a, inv;
    toArray(t, a);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) inv[i][j] = i == j ? 1 : 0;
    for (int col = 0; col < 4; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        double pv = a[pivot][col];
        if (!(std::fabs(pv) > 1e-300) || !std::isfinite(pv)) return t;
        if (pivot != col)
            for (int j = 0; j < 4; ++j) {
                std::swap(a[pivot][j], a[col][j]);
                std::swap(inv[pivot][j], inv[col][j]);
            }
        for (int j = 0; j < 4; ++j) {
            a[col][j] /= pv;
            inv[col][j] /= pv;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            double f = a[r][col];
            if (f == 0) continue;
            for (int j = 0; j < 4; ++j) {
                a[r][j] -= f * a[col][j];
                inv[r][j] -= f * inv[col][j];
            }
        }
    }
    return fromArray(inv);
}

bool CATransform3DIsAffine(CATransform3D t) {
    return t.m13 == 0 && t.m14 == 0 && t.m23 == 0 && t.m24 == 0 && t.m31 == 0 && t.m32 == 0 &&
           t.m33 == 1 && t.m34 == 0 && t.m43 == 0 && t.m44 == 1;
}

CGAffineTransform CATransform3DGetAffineTransform(CATransform3D t) {
    return {t.m11, t.m12, t.m21, t.m22, t.m41, t.m42};
}

CATransform3D CATransform3DMakeAffineTransform(CGAffineTransform m) {
    CATransform3D t;
    t.m11 = m.a;
    t.m12 = m.b;
    t.m21 = m.c;
    t.m22 = m.d;
    t.m41 = m.tx;
    t.m42 = m.ty;
    return t;
}

CGPoint CATransform3DApplyToPoint(CATransform3D t, CGPoint p, bool* inFront) {
    double x = p.x * t.m11 + p.y * t.m21 + t.m41;
    double y = p.x * t.m12 + p.y * t.m22 + t.m42;
    double w = p.x * t.m14 + p.y * t.m24 + t.m44;
    if (!(w > 0)) {
        if (inFront) *inFront = false;
        return {x, y};
    }
    if (inFront) *inFront = true;
    return {x / w, y / w};
}
