// distanceForTwoPoints: single-precision rounding of the result and the exported C++ symbol.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Common/KZUICommonDefine.h"

TEST(distanceForTwoPoints, ExactAndRoundedValues) {
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(0, 0), CGPointMake(3, 4)), 5.0);
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(3, 4), CGPointMake(0, 0)), 5.0);
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(-7.5, 2), CGPointMake(-7.5, 2)), 0.0);
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(0, 0), CGPointMake(0.1, 0)), 0.10000000149011612);
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(0, 0), CGPointMake(1, 1)), 1.4142135381698608);
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(1, 1), CGPointMake(0, 0)), 1.4142135381698608);
}

TEST(distanceForTwoPoints, BeyondTheFloatRangeIsInfinite) {
    EXPECT_EQ(distanceForTwoPoints(CGPointMake(0, 0), CGPointMake(1e20, 0)),
              std::numeric_limits<double>::infinity());
    double d = distanceForTwoPoints(CGPointMake(0, 0), CGPointMake(1e19, 0));
    EXPECT_EQ(d, double(1e19f));
    EXPECT_LT(d, 1e19);
}

TEST(distanceForTwoPoints, ExportedWithItsArgumentTypes) {
    using Fn = double (*)(CGPoint, CGPoint);
    void* sym = dlsym(RTLD_DEFAULT, "_Z20distanceForTwoPoints7CGPointS_");
    ASSERT_NE(sym, nullptr);
    EXPECT_EQ(reinterpret_cast<Fn>(sym)(CGPointMake(0, 0), CGPointMake(3, 4)), 5.0);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "distanceForTwoPoints"), nullptr);
}
