#pragma once
// Small helpers shared by wallpaper views.

#include "CoreGraphics/CGGeometry.h"

// [any-thread] Distance between two points, computed with single-precision rounding: the squared
// distance is formed in double, converted to float, and its float square root widened back. A
// squared distance beyond the largest float (distance above about 1.8e19) gives +infinity.
// A C++ function on purpose: its exported symbol carries its two CGPoint argument types.
__attribute__((visibility("default"))) double distanceForTwoPoints(CGPoint a, CGPoint b);
