#include "Common/KZUICommonDefine.h"

#include <cmath>

double distanceForTwoPoints(CGPoint a, CGPoint b) {
    double dx = a.x - b.x;
    double dy = a.y - b.y;
    double s = dx * dx + dy * dy;
    return double(std::sqrt(float(s)));
}
