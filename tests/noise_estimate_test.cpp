// SPDX-License-Identifier: BSD-3-Clause
// Patch side, noise correction, the median-based noise level and hard thresholding.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "test_support.h"

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

// What the estimate is for: patches of pure Gaussian noise of level sigma,
// decomposed as the worker decomposes them, give sigma back (within a few
// per cent on average; the correction is tuned for typical patch shapes) and
// keep no component.
TEST(NoiseEstimate, PureNoiseGivesItsLevelAndKeepsNothing) {
    const int32_t shapes[][2] = {{27, 20}, {27, 27}, {64, 30}, {64, 64}, {125, 65}};
    const double sigma = 3.0;
    for (const auto& shape : shapes) {
        const int32_t M = shape[0], N = shape[1];
        SCOPED_TRACE(testing::Message() << M << " x " << N);
        std::mt19937_64 rng(static_cast<uint64_t>(M) * 1000 + N);
        std::normal_distribution<double> noise(0.0, sigma);
        std::vector<double> patch(static_cast<std::size_t>(M) * N), U(patch.size()), V(static_cast<std::size_t>(N) * N),
            w(N), means(N);
        double sum = 0.0;
        const int patches = 40;
        for (int p = 0; p < patches; p++) {
            for (double& x : patch) x = 100.0 + noise(rng);
            ASSERT_EQ(centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N), 0);
            const double estimate = estimateNoise(w.data(), N, M, noiseCorrection(M, N));
            EXPECT_GT(estimate, 0.8 * sigma);
            EXPECT_LT(estimate, 1.15 * sigma);
            int32_t kept = -1;
            selectComponents(w.data(), N, M, estimate, &kept);
            EXPECT_EQ(kept, 0);
            sum += estimate;
        }
        EXPECT_NEAR(sum / patches, sigma, 0.1 * sigma);
    }
}

// A few strong components on top of the noise are kept, and barely move the
// estimate, which rests on the median singular value.
TEST(NoiseEstimate, StrongComponentsAreKeptAndLeaveTheLevel) {
    const int32_t shapes[][2] = {{64, 30}, {125, 65}};
    const double sigma = 2.0;
    for (const auto& shape : shapes) {
        const int32_t M = shape[0], N = shape[1];
        SCOPED_TRACE(testing::Message() << M << " x " << N);
        std::mt19937_64 rng(static_cast<uint64_t>(M) * 1000 + N);
        std::normal_distribution<double> noise(0.0, sigma);
        std::uniform_real_distribution<double> phase(0.0, 6.0);
        for (int p = 0; p < 10; p++) {
            // Three components: waves of different frequencies over the
            // voxels, each with its own course over the volumes.
            std::vector<double> patch(static_cast<std::size_t>(M) * N);
            for (int32_t c = 0; c < 3; c++) {
                const double a = phase(rng), b = phase(rng), amplitude = 40.0 / (c + 1);
                for (int32_t v = 0; v < N; v++)
                    for (int32_t k = 0; k < M; k++)
                        patch[static_cast<std::size_t>(v) * M + k] += amplitude *
                                                                       std::cos(6.283 * (c + 1) * k / M + a) *
                                                                       std::cos(6.283 * (c + 1) * v / N + b);
            }
            for (double& x : patch) x += 500.0 + noise(rng);
            std::vector<double> U(patch.size()), V(static_cast<std::size_t>(N) * N), w(N), means(N);
            ASSERT_EQ(centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N), 0);
            const double estimate = estimateNoise(w.data(), N, M, noiseCorrection(M, N));
            EXPECT_GT(estimate, 0.8 * sigma);
            EXPECT_LT(estimate, 1.2 * sigma);
            int32_t kept = -1;
            selectComponents(w.data(), N, M, estimate, &kept);
            EXPECT_EQ(kept, 3);
        }
    }
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
