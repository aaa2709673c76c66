// Patch side, noise correction, the median-based noise level and hard thresholding.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tamrin/noise.h"

using namespace tamrin;

TEST(PatchGeometry, SideIsTheSmallestCubeRootCeiling) {
    EXPECT_EQ(patchSide(2), 2);
    EXPECT_EQ(patchSide(8), 2);
    EXPECT_EQ(patchSide(9), 3);
    EXPECT_EQ(patchSide(27), 3);
    EXPECT_EQ(patchSide(30), 4);
    EXPECT_EQ(patchSide(64), 4);  // pow gives slightly less than 4
    EXPECT_EQ(patchSide(65), 5);
    EXPECT_EQ(patchVoxels(30), 64);
    for (int32_t n = 1; n <= 2000; n++) EXPECT_GE(patchVoxels(n), n);
}

TEST(NoiseCorrection, UsesTheVolumeToVoxelRatio) {
    EXPECT_EQ(noiseCorrection(64, 30), 0.26 * (30.0 / 64.0) + 0.9065);
    EXPECT_EQ(noiseCorrection(27, 27), 0.26 + 0.9065);
    EXPECT_EQ(noiseCorrection(125, 65), 0.26 * (65.0 / 125.0) + 0.9065);
}

TEST(EstimateNoise, MedianOfTheValuesAboveTheFloor) {
    const double t = std::sqrt(63.0);
    const double c = noiseCorrection(64, 30);
    // None above 0.001: D = 0, median w[0] / t.
    const double low[] = {0.001, 0.0005, 0.0};
    EXPECT_EQ(estimateNoise(low, 3, 64, c), (0.001 / t) * c);
    // D = 1: mean of the first two scaled values.
    const double two[] = {9.0, 4.0, 0.001, 0.0};
    EXPECT_EQ(estimateNoise(two, 4, 64, c), ((4.0 / t + 9.0 / t) * 0.5) * c);
    // D = 2: the middle one.
    const double three[] = {9.0, 4.0, 2.0, 0.0};
    EXPECT_EQ(estimateNoise(three, 4, 64, c), (4.0 / t) * c);
    // NaN does not count towards D.
    const double withNan[] = {9.0, 4.0, std::numeric_limits<double>::quiet_NaN()};
    EXPECT_EQ(estimateNoise(withNan, 3, 64, c), ((4.0 / t + 9.0 / t) * 0.5) * c);
}

TEST(SelectComponents, ThresholdIsStrictAndNanIsKept) {
    const double t = std::sqrt(63.0);
    const double sigma = 1.5;
    // w[1] / t equals 2.3 * sigma exactly when w[1] = 2.3 * sigma * t rounds back.
    double atThreshold = 2.3 * sigma * t;
    while (atThreshold / t > 2.3 * sigma) atThreshold = std::nextafter(atThreshold, 0.0);
    while (atThreshold / t < 2.3 * sigma) atThreshold = std::nextafter(atThreshold, 1e300);
    ASSERT_EQ(atThreshold / t, 2.3 * sigma);
    double w[] = {100.0, atThreshold, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0};
    int32_t kept = -1;
    const double weight = selectComponents(w, 5, 64, sigma, &kept);
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(weight, 1.0 / 3.0);
    EXPECT_EQ(w[0], 100.0);
    EXPECT_EQ(w[1], 0.0);
    EXPECT_TRUE(std::isnan(w[2]));
    EXPECT_EQ(w[3], 0.0);
}

TEST(SelectComponents, AllBelowTheFloorKeepsNothingWithWeightOne) {
    double w[] = {0.0009, 0.0005, 0.0};
    const double sigma = estimateNoise(w, 3, 64, noiseCorrection(64, 30));
    int32_t kept = -1;
    EXPECT_EQ(selectComponents(w, 3, 64, sigma, &kept), 1.0);
    EXPECT_EQ(kept, 0);
    for (double x : w) EXPECT_EQ(x, 0.0);
}
