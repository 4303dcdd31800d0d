#pragma once
// UIKit geometry additions.

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"

struct BD_EXPORT UIEdgeInsets {
    double top = 0, left = 0, bottom = 0, right = 0;
};
inline UIEdgeInsets UIEdgeInsetsMake(double top, double left, double bottom,
                                     double right) {  // [any-thread]
    return {top, left, bottom, right};
}
inline CGRect UIEdgeInsetsInsetRect(CGRect r, UIEdgeInsets i) {  // [any-thread]
    return CGRectMake(r.origin.x + i.left, r.origin.y + i.top, r.size.width - i.left - i.right,
                      r.size.height - i.top - i.bottom);
}
