// Plane sets: allocation, release and copy.
#include <gtest/gtest.h>

#include <cmath>

#include "imagedata/imagedata.h"

namespace zemb {
namespace {

TEST(PlaneSets, AllocateZeroFilledPlanesOfTheGivenLength)
{
    BytePlanes bytes = alloc_byte_planes(3, 1000);
    FloatPlanes floats = alloc_float_planes(3, 1000);
    EXPECT_EQ(bytes.length, 1000u);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(bytes[k][i], 0);
            ASSERT_EQ(floats[k][i], 0.0f);
        }
    EXPECT_NE(floats[0], floats[1]) << "planes are separate arrays";
}

TEST(PlaneSets, CopyMovesExactBitsOfEveryPlaneUpToTheLength)
{
    FloatPlanes src = alloc_float_planes(3, 4);
    FloatPlanes dst = alloc_float_planes(3, 4);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 4; ++i) {
            src[k][i] = float(k) + 0.1f * float(i);
            dst[k][i] = -1.0f;
        }
    src[2][0] = -0.0f;
    copy_planes(src, 0, dst);
    EXPECT_EQ(dst[0][0], -1.0f) << "length 0 copies nothing";
    copy_planes(src, 3, dst);
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(dst[k][i], src[k][i]);
    EXPECT_TRUE(std::signbit(dst[2][0]));
    EXPECT_EQ(dst[1][3], -1.0f);
}

}  // namespace
}  // namespace zemb
