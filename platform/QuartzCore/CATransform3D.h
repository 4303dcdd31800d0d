#pragma once
// CATransform3D: a 4x4 matrix of doubles in row order. Points are row vectors transformed as
// v·M, so the translation sits in m41..m43 and m34 carries the perspective term. All functions
// are pure values and [any-thread].

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"

struct BD_EXPORT CATransform3D {
    double m11 = 1, m12 = 0, m13 = 0, m14 = 0;
    double m21 = 0, m22 = 1, m23 = 0, m24 = 0;
    double m31 = 0, m32 = 0, m33 = 1, m34 = 0;
    double m41 = 0, m42 = 0, m43 = 0, m44 = 1;
};

BD_EXPORT bool operator==(const CATransform3D& a, const CATransform3D& b);  // [any-thread] exact
inline bool operator!=(const CATransform3D& a, const CATransform3D& b) {
    return !(a == b);
}

extern BD_EXPORT const CATransform3D CATransform3DIdentity;

BD_EXPORT bool CATransform3DIsIdentity(CATransform3D t);                         // [any-thread]
BD_EXPORT bool CATransform3DEqualToTransform(CATransform3D a, CATransform3D b);  // [any-thread]

BD_EXPORT CATransform3D CATransform3DMakeTranslation(double tx, double ty,
                                                     double tz);                  // [any-thread]
BD_EXPORT CATransform3D CATransform3DMakeScale(double sx, double sy, double sz);  // [any-thread]
// [any-thread] Rotation by angle radians about the axis (x, y, z); a zero axis gives identity.
// About (0,0,1) it matches CGAffineTransformMakeRotation: m11 = cos, m12 = sin, m21 = -sin.
BD_EXPORT CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z);

// [any-thread] translation(tx,ty,tz)·t: the translation is applied before t.
BD_EXPORT CATransform3D CATransform3DTranslate(CATransform3D t, double tx, double ty, double tz);
// [any-thread] scale(sx,sy,sz)·t
BD_EXPORT CATransform3D CATransform3DScale(CATransform3D t, double sx, double sy, double sz);
// [any-thread] rotation(angle about (x,y,z))·t
BD_EXPORT CATransform3D CATransform3DRotate(CATransform3D t, double angle, double x, double y,
                                            double z);
// [any-thread] a·b: a is applied first, then b.
BD_EXPORT CATransform3D CATransform3DConcat(CATransform3D a, CATransform3D b);
// [any-thread] The inverse; t itself when t is not invertible.
BD_EXPORT CATransform3D CATransform3DInvert(CATransform3D t);

// [any-thread] Whether t is exactly a 2D affine transform (no z or perspective terms).
BD_EXPORT bool CATransform3DIsAffine(CATransform3D t);
// [any-thread] The affine part {m11, m12, m21, m22, m41, m42}.
BD_EXPORT CGAffineTransform CATransform3DGetAffineTransform(CATransform3D t);
// [any-thread]
BD_EXPORT CATransform3D CATransform3DMakeAffineTransform(CGAffineTransform m);

// [any-thread] Maps the point (x, y, 0) through t with the perspective divide. When the point
// lands at or behind the eye (w <= 0) *inFront (if given) is set false and the result is the
// undivided x, y.
BD_EXPORT CGPoint CATransform3DApplyToPoint(CATransform3D t, CGPoint p, bool* inFront = nullptr);
