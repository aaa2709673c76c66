// SPDX-License-Identifier: BSD-3-Clause
// The mask and the rank map of denoiseSeries: inside a mask every result is
// bit-identical to the run without it, outside it nothing is covered, and a
// position whose patch holds no mask voxel is never decomposed; the rank map
// is the weighted average of the kept counts, costs nothing in the other
// results, and finds the rank of a series of known rank.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "naive_denoise.h"
#include "test_support.h"

using namespace tamrin;
using tamrin_test::Series;

namespace {

struct Result {
    int32_t status = kDenoiseOk;
    std::vector<double> denoised, noise, weight, rank;
};

// A run with the given mask (null: none), with or without a rank map.
Result run(const Series& s, int32_t workers, const std::vector<uint8_t>* mask, bool rank,
           int32_t kernel = kDenoiseKernelFast, MessageLog* log = nullptr) {
    Result r;
    r.denoised.assign(s.data.size(), -1.0);
    r.noise.assign(s.voxels(), -1.0);
    r.weight.assign(s.voxels(), -1.0);
    DenoiseResults into = tamrin_test::resultsInto(r.denoised, r.noise, r.weight);
    if (rank) {
        r.rank.assign(s.voxels(), -1.0);
        into.rank = r.rank.data();
    }
    DenoiseOptions options = tamrin_test::withKernel(kernel);
    options.mask = mask != nullptr ? mask->data() : nullptr;
    options.messages = log;
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers, into, options);
    return r;
}

using tamrin_test::sameBits;

// Masks on the series' grid.
std::vector<uint8_t> ellipsoid(const Series& s, double radius) {
    std::vector<uint8_t> mask(s.voxels());
    for (int32_t z = 0; z < s.Z; z++)
        for (int32_t y = 0; y < s.Y; y++)
            for (int32_t x = 0; x < s.X; x++) {
                const double u = (x + 0.5) / s.X - 0.5, w = (y + 0.5) / s.Y - 0.5, h = (z + 0.5) / s.Z - 0.5;
                mask[x + s.X * (y + int64_t{s.Y} * z)] = u * u + w * w + h * h < radius * radius ? 1 : 0;
            }
    return mask;
}

// Scattered voxels and the grid's corner, first row and last plane: the
// patches at every edge of the grid hold mask voxels. Inside values other
// than 1, as a mask file may hold.
std::vector<uint8_t> touchingEdges(const Series& s, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint8_t> mask(s.voxels());
    for (uint8_t& m : mask) m = random() % 9 == 0 ? static_cast<uint8_t>(1 + random() % 255) : 0;
    mask[0] = 7;
    for (int32_t x = 0; x < s.X; x++) mask[x] = 1;
    for (int64_t k = s.voxels() - int64_t{s.X} * s.Y; k < s.voxels(); k++) mask[k] = 255;
    return mask;
}

std::vector<uint8_t> oneVoxel(const Series& s, int32_t x, int32_t y, int32_t z) {
    std::vector<uint8_t> mask(s.voxels());
    mask[x + s.X * (y + int64_t{s.Y} * z)] = 1;
    return mask;
}

// Inside the mask every result has the bits of the run without it; outside,
// the weight is 0 and the rest NaN.
void expectMaskedLike(const Series& s, const std::vector<uint8_t>& mask, const Result& masked, const Result& plain) {
    ASSERT_EQ(masked.status, kDenoiseOk);
    int64_t wrong = 0;
    for (int64_t k = 0; k < s.voxels(); k++) {
        if (mask[k] != 0) {
            bool same = tamrin_test::sameBits(masked.noise[k], plain.noise[k]) &&
                        tamrin_test::sameBits(masked.weight[k], plain.weight[k]) &&
                        tamrin_test::sameBits(masked.rank[k], plain.rank[k]);
            for (int32_t v = 0; v < s.N; v++)
                same = same && tamrin_test::sameBits(masked.denoised[k + s.voxels() * v], plain.denoised[k + s.voxels() * v]);
            wrong += !same;
        } else {
            bool uncovered = masked.weight[k] == 0.0 && std::isnan(masked.noise[k]) && std::isnan(masked.rank[k]);
            for (int32_t v = 0; v < s.N; v++) uncovered = uncovered && std::isnan(masked.denoised[k + s.voxels() * v]);
            wrong += !uncovered;
        }
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace

TEST(Mask, InsideBitIdenticalOutsideUncovered) {
    struct Shape {
        int32_t X, Y, Z, N;
        bool everywhere;  // noise in the background instead of exact zeros
    } shapes[] = {
        {14, 11, 9, 10, false}, {23, 17, 13, 12, true}, {9, 8, 7, 5, true}, {18, 6, 6, 126, true}, {20, 20, 12, 30, false},
    };
    uint64_t seed = 20;
    for (const Shape& shape : shapes) {
        const Series s = tamrin_test::phantomSeries(shape.X, shape.Y, shape.Z, shape.N, 15.0, seed++, shape.everywhere);
        const std::vector<std::vector<uint8_t>> masks = {
            ellipsoid(s, 0.3), touchingEdges(s, seed), oneVoxel(s, s.X / 2, s.Y / 2, s.Z / 2),
            oneVoxel(s, s.X - 1, 0, s.Z - 1)};
        for (int32_t workers : {1, 3}) {
            const Result plain = run(s, workers, nullptr, true);
            ASSERT_EQ(plain.status, kDenoiseOk);
            for (std::size_t m = 0; m < masks.size(); m++) {
                SCOPED_TRACE(testing::Message() << s.X << "x" << s.Y << "x" << s.Z << "x" << s.N << ", mask " << m
                                                << ", " << workers << " workers");
                expectMaskedLike(s, masks[m], run(s, workers, &masks[m], true), plain);
            }
        }
    }
}

TEST(Mask, BothKernelsAndTheRanklessRunAgree) {
    const Series s = tamrin_test::phantomSeries(16, 13, 10, 9, 10.0, 30, true);
    const std::vector<uint8_t> mask = ellipsoid(s, 0.25);
    const Result plain = run(s, 2, nullptr, true, kDenoiseKernelPlain);
    expectMaskedLike(s, mask, run(s, 2, &mask, true, kDenoiseKernelPlain), plain);
    expectMaskedLike(s, mask, run(s, 2, &mask, true, kDenoiseKernelFast), plain);
    // Without a rank map the other results are the same bits.
    const Result rankless = run(s, 2, &mask, false);
    const Result withRank = run(s, 2, &mask, true);
    EXPECT_TRUE(sameBits(rankless.denoised, withRank.denoised));
    EXPECT_TRUE(sameBits(rankless.noise, withRank.noise));
    EXPECT_TRUE(sameBits(rankless.weight, withRank.weight));
}

TEST(Mask, PositionsOutsideItAreNeverDecomposed) {
    // A NaN far from the mask: without the mask its patches fail to
    // converge and say so; with it they are never decomposed.
    Series s = tamrin_test::phantomSeries(24, 20, 12, 10, 10.0, 31, true);
    s.data[2 + 24 * (3 + 20 * (2 + 12 * 4))] = std::numeric_limits<double>::quiet_NaN();
    const std::vector<uint8_t> mask = oneVoxel(s, 18, 14, 8);
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
        tamrin_test::CapturedMessages host;
        EXPECT_EQ(run(s, 2, &mask, false, kernel, host.log()).status, kDenoiseOk);
        EXPECT_TRUE(host.messages().empty()) << "kernel " << kernel;
        EXPECT_EQ(run(s, 2, nullptr, false, kernel, host.log()).status, kDenoiseOk);
        EXPECT_FALSE(host.messages().empty()) << "kernel " << kernel;
    }
}

TEST(Mask, EmptyMaskIsRefusedAndMaskedPositionsCounted) {
    const Series s = tamrin_test::phantomSeries(12, 10, 8, 9, 10.0, 32, true);
    const std::vector<uint8_t> empty(s.voxels(), 0);
    EXPECT_EQ(run(s, 2, &empty, true).status, kDenoiseEmptyMask);
    EXPECT_EQ(maskedPatchPositions(empty.data(), s.X, s.Y, s.Z, s.N), 0);

    // The count against the patches' own contents, for masks of every kind.
    const int32_t side = patchSide(s.N);
    for (const std::vector<uint8_t>& mask :
         {ellipsoid(s, 0.3), touchingEdges(s, 5), oneVoxel(s, 0, 0, 0), oneVoxel(s, 11, 9, 7),
          std::vector<uint8_t>(s.voxels(), 1)}) {
        int64_t expected = 0;
        for (int32_t z0 = 0; z0 + side <= s.Z; z0++)
            for (int32_t y0 = 0; y0 + side <= s.Y; y0++)
                for (int32_t x0 = 0; x0 + side <= s.X; x0++) {
                    bool holds = false;
                    for (int32_t d = 0; d < side * side * side; d++)
                        holds |= mask[(x0 + d % side) + s.X * ((y0 + d / side % side) + s.Y * (z0 + d / side / side))] != 0;
                    expected += holds;
                }
        EXPECT_EQ(maskedPatchPositions(mask.data(), s.X, s.Y, s.Z, s.N), expected);
    }
    // Thinner than a patch: no position at all.
    const std::vector<uint8_t> full(8 * 8 * 2, 1);
    EXPECT_EQ(maskedPatchPositions(full.data(), 8, 8, 2, 30), 0);
}

TEST(RankMap, KeptCountsAreRecoveredExactlyFromTheWeights) {
    // A run holds an M x N patch matrix with M >= N, so N >= 2^24 would need
    // 2^51 bytes of it: every count below 2^24 is checked, and a sample
    // beyond it up to the largest 32-bit count.
    for (int32_t kept = 0; kept <= (1 << 24); kept++)
        ASSERT_EQ(keptOfWeight(1.0 / static_cast<double>(kept + 1)), kept);
    std::mt19937_64 random(9);
    for (int i = 0; i < 1000000; i++) {
        const int32_t kept = static_cast<int32_t>(random() % 2147483647);
        ASSERT_EQ(keptOfWeight(1.0 / static_cast<double>(kept + 1)), kept);
    }
    for (int32_t kept = 2147483646; kept > 2147483646 - 100000; kept--)
        ASSERT_EQ(keptOfWeight(1.0 / static_cast<double>(kept + 1)), kept);
    // selectComponents's own weights.
    std::vector<double> w(30);
    for (int32_t above = 0; above <= 30; above++) {
        for (int32_t k = 0; k < 30; k++) w[k] = k < above ? 1000.0 - k : 1.0;
        int32_t kept = -1;
        const double weight = selectComponents(w.data(), 30, 64, 1.0, &kept);
        EXPECT_EQ(kept, above);
        EXPECT_EQ(keptOfWeight(weight), kept);
    }
}

TEST(RankMap, EqualsItsDefinitionAndRepeatsBitForBit) {
    // The weighted average of the kept counts, computed position by position
    // with the plain kernels; one worker gives its exact bits.
    const Series s = tamrin_test::phantomSeries(13, 12, 9, 10, 20.0, 33);
    const std::vector<double> expected = tamrin_test::naiveDenoise(s, 1).rank;
    bool someKept = false;
    for (double r : expected) someKept |= r > 0.5;
    EXPECT_TRUE(someKept);
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain})
        EXPECT_TRUE(sameBits(run(s, 1, nullptr, true, kernel).rank, expected)) << "kernel " << kernel;
    const Result a = run(s, 3, nullptr, true), b = run(s, 3, nullptr, true);
    EXPECT_TRUE(sameBits(a.rank, b.rank));
    for (int64_t k = 0; k < s.voxels(); k++) {
        if (std::isnan(expected[k])) {
            EXPECT_TRUE(std::isnan(a.rank[k])) << k;  // uncovered, as in the noise map
            EXPECT_TRUE(std::isnan(a.noise[k])) << k;
        } else {
            EXPECT_NEAR(a.rank[k], expected[k], 1e-12 * expected[k]) << k;
        }
    }
    // The rank map changes nothing else.
    const Result rankless = run(s, 3, nullptr, false);
    EXPECT_TRUE(sameBits(rankless.denoised, a.denoised));
    EXPECT_TRUE(sameBits(rankless.noise, a.noise));
}

TEST(RankMap, FindsTheRankOfASeriesAndNoneInNoise) {
    // A few smooth components (spatial waves of different directions, each
    // with its own course over the volumes) on a baseline, plus small noise.
    const int32_t X = 20, Y = 18, Z = 12, N = 24;
    std::mt19937_64 random(34);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int32_t components : {0, 1, 3, 5}) {
        SCOPED_TRACE(testing::Message() << components << " components");
        Series s{X, Y, Z, N, std::vector<double>(static_cast<std::size_t>(X) * Y * Z * N)};
        for (int32_t v = 0; v < N; v++)
            for (int32_t z = 0; z < Z; z++)
                for (int32_t y = 0; y < Y; y++)
                    for (int32_t x = 0; x < X; x++) {
                        double value = 1000.0 + normal(random);
                        for (int32_t c = 0; c < components; c++) {
                            const double phase = 0.9 * x * std::cos(1.3 * c) + 0.9 * y * std::sin(1.3 * c) + 0.7 * z * (c % 2);
                            value += 200.0 * std::sin(phase + c) * std::cos((c + 1) * 0.25 * v + 0.5 * c);
                        }
                        s.data[x + X * (y + Y * (z + static_cast<int64_t>(Z) * v))] = value;
                    }
        const Result r = run(s, 2, nullptr, true);
        ASSERT_EQ(r.status, kDenoiseOk);
        // Nearly every voxel has the rank (up to the rounding of the
        // average); in pure noise a rare patch keeps one component.
        int64_t near = 0;
        double mean = 0.0;
        for (double rank : r.rank) {
            near += std::fabs(rank - components) < 0.25;
            mean += rank / static_cast<double>(r.rank.size());
        }
        EXPECT_GE(near, static_cast<int64_t>(0.95 * static_cast<double>(r.rank.size()))) << "mean " << mean;
        EXPECT_NEAR(mean, components, 0.05);
    }
}

TEST(RankMap, AllocationFailuresEndCompleteOrReported) {
    const Series s = tamrin_test::phantomSeries(16, 12, 9, 8, 10.0, 35);
    const std::vector<uint8_t> mask = ellipsoid(s, 0.3);
    const Result reference = run(s, 3, &mask, true);
    ASSERT_EQ(reference.status, kDenoiseOk);
    tamrin_test::CapturedMessages host;
    int reported = 0;
    for (long long nth = 1; nth <= 24; nth++) {
        injectAllocationFailure(nth);
        const Result r = run(s, 3, &mask, true);
        injectAllocationFailure(0);
        if (r.status == kDenoiseOk) {
            // Complete: the requested result, or the one-worker one when the
            // job records could not be obtained.
            const Result one = run(s, 1, &mask, true);
            EXPECT_TRUE(sameBits(r.rank, reference.rank) || (nth <= 2 && sameBits(r.rank, one.rank))) << nth;
        } else {
            reported++;
            EXPECT_TRUE(r.status == kDenoiseOutOfMemory || r.status == kDenoisePatchOutOfMemory) << nth;
        }
        EXPECT_EQ(host.liveBlocks(), 0) << "blocks leaked, allocation " << nth;
    }
    EXPECT_GT(reported, 0);
}
