// SPDX-License-Identifier: BSD-3-Clause
// Whole series through denoiseVolume with the fast kernel and with the plain
// one: every voxel of the denoised series and of the noise map, and every
// message, must agree bit for bit, whatever the worker count and the
// instruction set.
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "linalg/fast_work.h"
#include "patch/noise.h"
#include "tamrin/denoise.h"
#include "test_support.h"

namespace {

using tamrin_test::sameBits;

using tamrin_test::Series;

// The project's phantom: an object on an exact-zero background, so that
// background patches are skipped and patches at the edge are partly zero.
Series phantom(int32_t X, int32_t Y, int32_t Z, int32_t N, uint64_t seed) {
    return tamrin_test::phantomSeries(X, Y, Z, N, 15.0, seed);
}

struct Result {
    std::vector<double> denoised, noise;
    std::vector<std::string> messages;
    int32_t status;
    int64_t progress;
};

Result denoise(const Series& s, int32_t workers, int32_t kernel) {
    Result r;
    const std::size_t voxels = static_cast<std::size_t>(s.X) * s.Y * s.Z;
    r.denoised.assign(voxels * s.N, -1.0);
    r.noise.assign(voxels, -1.0);
    std::vector<double> weights(voxels);
    std::atomic<int64_t> progress{0};
    tamrin::DenoiseOptions options = tamrin_test::withKernel(kernel);
    tamrin_test::CapturedMessages host;
    options.progress = &progress;
    options.messages = host.log();
    r.status = tamrin::denoiseSeries(tamrin::seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers,
                                     tamrin_test::resultsInto(r.denoised, r.noise, weights), options);
    r.messages = host.messages();
    r.progress = progress.load();
    return r;
}

void expectSameBits(const std::vector<double>& fast, const std::vector<double>& plain, const char* what) {
    ASSERT_EQ(fast.size(), plain.size());
    for (std::size_t i = 0; i < fast.size(); i++)
        ASSERT_TRUE(sameBits(fast[i], plain[i])) << what << " differs at " << i << ": " << fast[i] << " vs " << plain[i];
}

void compareKernels(const Series& s, int32_t workers) {
    const Result plain = denoise(s, workers, tamrin::kDenoiseKernelPlain);
    ASSERT_EQ(plain.status, tamrin::kDenoiseOk);
    for (int32_t isa : {tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512}) {
        if (!tamrin::fastIsaAvailable(isa)) continue;
        SCOPED_TRACE(testing::Message() << "instruction set " << isa << ", " << workers << " workers");
        const int32_t previous = tamrin::fastLimitIsa(isa);
        const Result fast = denoise(s, workers, tamrin::kDenoiseKernelFast);
        tamrin::fastLimitIsa(previous);
        ASSERT_EQ(fast.status, tamrin::kDenoiseOk);
        expectSameBits(fast.denoised, plain.denoised, "denoised series");
        expectSameBits(fast.noise, plain.noise, "noise map");
        EXPECT_EQ(fast.messages, plain.messages);
        EXPECT_EQ(fast.progress, plain.progress);
    }
}

TEST(FastKernelSeries, ThirtyVolumesOneWorker) {
    const Series s = phantom(19, 17, 11, 30, 7);
    compareKernels(s, 1);
    // The skipped background leaves uncovered voxels, the object covered ones.
    const Result r = denoise(s, 1, tamrin::kDenoiseKernelFast);
    EXPECT_TRUE(std::isnan(r.noise[0]));
    const std::size_t centre = 9 + 19 * (8 + 17 * 5);
    EXPECT_TRUE(std::isfinite(r.noise[centre]) && r.noise[centre] > 0.0);
    EXPECT_EQ(r.progress, int64_t{19 - 3} * (17 - 3) * (11 - 3));
}

TEST(FastKernelSeries, SeveralWorkersAndPatchSides) {
    compareKernels(phantom(14, 23, 9, 30, 8), 3);   // s = 4, slabs along y
    compareKernels(phantom(12, 10, 11, 8, 9), 2);   // s = 2
    compareKernels(phantom(11, 13, 9, 20, 10), 4);  // s = 3
}

TEST(FastKernelSeries, NonFiniteVoxelsTakeThePlainPathWithItsMessages) {
    Series s = phantom(12, 12, 10, 12, 11);
    const std::size_t voxels = static_cast<std::size_t>(s.X) * s.Y * s.Z;
    s.data[6 + 12 * (6 + 12 * 5) + 3 * voxels] = std::numeric_limits<double>::quiet_NaN();
    s.data[4 + 12 * (7 + 12 * 4) + 7 * voxels] = std::numeric_limits<double>::infinity();
    s.data[7 + 12 * (5 + 12 * 6)] = 1e300;
    compareKernels(s, 1);
    compareKernels(s, 2);
    const Result r = denoise(s, 1, tamrin::kDenoiseKernelFast);
    EXPECT_FALSE(r.messages.empty()) << "the NaN patches should fail to converge";
}

TEST(FastKernelSeries, OnlyPatchesSummingToExactlyZeroAreSkipped) {
    Series s = phantom(19, 17, 11, 30, 12);
    const std::size_t X = 19, Y = 17, Z = 11;
    auto at = [&](std::size_t x, std::size_t y, std::size_t z, std::size_t v) { return x + X * (y + Y * (z + Z * v)); };
    // Rows y < 5 become background, so that whole rows of positions hold
    // nothing but what is placed there: two values that cancel (patches
    // holding both sum to exactly 0.0 and are skipped), a negative value
    // alone, a negative zero (its patches sum to 0.0) and a NaN alone.
    for (std::size_t v = 0; v < 30; v++)
        for (std::size_t z = 0; z < Z; z++)
            for (std::size_t y = 0; y < 5; y++)
                for (std::size_t x = 0; x < X; x++) s.data[at(x, y, z, v)] = 0.0;
    s.data[at(1, 1, 1, 2)] = 5.0;
    s.data[at(2, 1, 1, 7)] = -5.0;
    s.data[at(12, 1, 1, 3)] = -7.0;
    s.data[at(17, 0, 9, 0)] = -0.0;
    s.data[at(6, 1, 8, 4)] = std::numeric_limits<double>::quiet_NaN();
    compareKernels(s, 1);
    compareKernels(s, 2);
    const Result r = denoise(s, 1, tamrin::kDenoiseKernelFast);
    // x = 0 is reached only by patches starting at x0 = 0, which hold both
    // cancelling values; x = 5 by the patch at x0 = 2, which holds -5 alone.
    EXPECT_TRUE(std::isnan(r.noise[at(0, 1, 1, 0)]));
    EXPECT_TRUE(std::isfinite(r.noise[at(5, 1, 1, 0)]));
    EXPECT_TRUE(std::isfinite(r.noise[at(12, 1, 1, 0)]));
    // Only the patch at (15, 0, 7) reaches (18, 0, 10), and it holds -0.0.
    EXPECT_TRUE(std::isnan(r.noise[at(18, 0, 10, 0)]));
    // The NaN's patches were decomposed: they fail to converge.
    EXPECT_TRUE(std::isnan(r.denoised[at(6, 1, 8, 0)]));
    EXPECT_FALSE(r.messages.empty());
}

TEST(FastKernelSeries, SinglePrecisionInputGivesTheBitsOfItsDoubles) {
    // Values that are exact in single precision, cancelling ones and a NaN
    // included: the float entry point must give what the same values as
    // doubles give, with either kernel and with one or several workers.
    Series s = phantom(17, 19, 10, 30, 13);
    const std::size_t X = 17, Y = 19, Z = 10;
    std::vector<float> singles(s.data.size());
    for (std::size_t i = 0; i < s.data.size(); i++) singles[i] = static_cast<float>(s.data[i]);
    singles[1 + X * (1 + Y * 1)] = 3.0f;
    singles[2 + X * (1 + Y * (1 + Z * 5))] = -3.0f;
    singles[8 + X * (9 + Y * (5 + Z * 2))] = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < s.data.size(); i++) s.data[i] = singles[i];
    const std::size_t voxels = X * Y * Z;
    for (int32_t kernel : {tamrin::kDenoiseKernelFast, tamrin::kDenoiseKernelPlain})
        for (int32_t workers : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "kernel " << kernel << ", " << workers << " workers");
            const Result fromDoubles = denoise(s, workers, kernel);
            std::vector<double> denoised(voxels * s.N, -1.0), noise(voxels, -1.0), weights(voxels);
            tamrin_test::CapturedMessages host;
            tamrin::DenoiseOptions options = tamrin_test::withKernel(kernel);
            options.messages = host.log();
            ASSERT_EQ(tamrin::denoiseSeries(tamrin::seriesView(singles.data(), s.X, s.Y, s.Z, s.N), workers,
                                            tamrin_test::resultsInto(denoised, noise, weights), options),
                      tamrin::kDenoiseOk);
            expectSameBits(denoised, fromDoubles.denoised, "denoised series");
            expectSameBits(noise, fromDoubles.noise, "noise map");
            EXPECT_EQ(host.messages(), fromDoubles.messages);
        }
}

// Runs `values` (a series of T shaped like s, read through `view`'s type and
// scaling) with the given options, a mask and a rank map, into doubles:
// denoised, noise and rank maps.
template <typename T>
std::vector<double> runTyped(const std::vector<T>& values, tamrin::SeriesView view, const Series& s, int32_t workers,
                             const tamrin::DenoiseOptions& options) {
    const std::size_t voxels = static_cast<std::size_t>(s.X) * s.Y * s.Z;
    std::vector<double> out(voxels * (s.N + 2), -1.0), weights(voxels);
    tamrin::DenoiseResults results;
    results.denoised = out.data();
    results.noise = out.data() + voxels * s.N;
    results.rank = out.data() + voxels * (s.N + 1);
    results.weight = weights.data();
    view.values = values.data();
    view.X = s.X;
    view.Y = s.Y;
    view.Z = s.Z;
    view.N = s.N;
    EXPECT_EQ(tamrin::denoiseSeries(view, workers, results, options), tamrin::kDenoiseOk);
    return out;
}

tamrin::SeriesView ofType(int32_t type) {
    tamrin::SeriesView view;
    view.type = type;
    return view;
}

// A series of T: the phantom's values rounded into T's range, a negative
// value where T has them, and T's extremes in a corner (beyond 2^53 the
// 64-bit ones round to the nearest double); and the same values as doubles.
template <typename T>
void expectIntegerBits(int32_t type) {
    Series s = phantom(13, 11, 9, 12, 16);
    std::vector<T> values(s.data.size());
    const double low = static_cast<double>(std::numeric_limits<T>::lowest());
    const double high = static_cast<double>(std::numeric_limits<T>::max());
    for (std::size_t i = 0; i < values.size(); i++) {
        const double v = std::round(s.data[i] * (high > 200.0 ? 1.0 : 0.5));
        values[i] = v <= low ? std::numeric_limits<T>::lowest() : v >= high ? std::numeric_limits<T>::max()
                                                                             : static_cast<T>(v);
    }
    const std::size_t X = 13, Y = 11, voxels = 13 * 11 * 9;
    values[6 + X * (5 + Y * 4) + voxels * 3] = std::numeric_limits<T>::is_signed ? static_cast<T>(-5) : T(0);
    values[0] = std::numeric_limits<T>::max();
    values[1 + voxels] = std::numeric_limits<T>::lowest();
    for (std::size_t i = 0; i < values.size(); i++) s.data[i] = static_cast<double>(values[i]);

    std::vector<uint8_t> mask(voxels, 0);
    for (std::size_t k = 0; k < voxels; k++) mask[k] = k % X < 8;
    for (int32_t kernel : {tamrin::kDenoiseKernelFast, tamrin::kDenoiseKernelPlain})
        for (int32_t workers : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", kernel " << kernel << ", " << workers
                                            << " workers");
            tamrin::DenoiseOptions options = tamrin_test::withKernel(kernel);
            if (workers > 1) {
                // The mask, and the fill that reads the input for voxels without an estimate.
                options.mask = mask.data();
                options.uncovered = tamrin::kUncoveredInput;
                options.nonFinite = tamrin::kNonFiniteUncover;
            }
            const std::vector<double> fromDoubles = runTyped(s.data, ofType(tamrin::kValuesDouble), s, workers, options);
            expectSameBits(runTyped(values, ofType(type), s, workers, options), fromDoubles,
                           "denoised, noise and rank");
        }
}

TEST(FastKernelSeries, IntegerInputGivesTheBitsOfItsDoubles) {
    expectIntegerBits<int8_t>(tamrin::kValuesInt8);
    expectIntegerBits<uint8_t>(tamrin::kValuesUint8);
    expectIntegerBits<int16_t>(tamrin::kValuesInt16);
    expectIntegerBits<uint16_t>(tamrin::kValuesUint16);
    expectIntegerBits<int32_t>(tamrin::kValuesInt32);
    expectIntegerBits<uint32_t>(tamrin::kValuesUint32);
    expectIntegerBits<int64_t>(tamrin::kValuesInt64);
    expectIntegerBits<uint64_t>(tamrin::kValuesUint64);
}

TEST(FastKernelSeries, ScaledSinglePrecisionInputGivesTheBitsOfItsScaledDoubles) {
    // Single-precision values with a slope and an intercept must give what the
    // doubles value * slope + intercept give: on a background of -0.0 (read
    // as +0.0, which the input fill of the uncovered voxels shows), with a
    // NaN, a value the slope takes past the double range, and both
    // schedulers (a worker per slab, and slabs shared by threads).
    Series s = phantom(13, 11, 9, 12, 21);
    const std::size_t X = 13, Y = 11, voxels = 13 * 11 * 9;
    std::vector<float> singles(s.data.size());
    for (std::size_t i = 0; i < s.data.size(); i++)
        singles[i] = s.data[i] == 0.0 ? -0.0f : static_cast<float>(s.data[i]);
    singles[5 + X * (4 + Y * 4) + voxels * 2] = std::numeric_limits<float>::quiet_NaN();
    singles[7 + X * (6 + Y * 5) + voxels * 6] = std::numeric_limits<float>::max();
    std::vector<uint8_t> mask(voxels, 0);
    for (std::size_t k = 0; k < voxels; k++) mask[k] = k % X < 9;
    const struct {
        double slope, intercept;
    } scalings[] = {{1.0, 0.0}, {0.7, -2.5}, {1e300, 0.0}};
    for (const auto& scaling : scalings) {
        std::vector<double> doubles(singles.size()), unscaled(singles.size());
        for (std::size_t i = 0; i < singles.size(); i++) {
            doubles[i] = static_cast<double>(singles[i]) * scaling.slope + scaling.intercept;
            unscaled[i] = singles[i];
        }
        tamrin::SeriesView scaled = ofType(tamrin::kValuesSingle);
        scaled.scaled = true;
        scaled.slope = scaling.slope;
        scaled.intercept = scaling.intercept;
        for (int32_t kernel : {tamrin::kDenoiseKernelFast, tamrin::kDenoiseKernelPlain})
            for (int32_t workers : {1, 3})
                for (int32_t slabs : {0, 2}) {
                    SCOPED_TRACE(testing::Message() << "slope " << scaling.slope << ", intercept " << scaling.intercept
                                                    << ", kernel " << kernel << ", " << workers << " workers, "
                                                    << slabs << " slabs");
                    tamrin::DenoiseOptions options = tamrin_test::withKernel(kernel);
                    tamrin_test::CapturedMessages host;  // the overflowing slope's
                    options.messages = host.log();
                    options.slabs = slabs;
                    options.mask = workers > 1 ? mask.data() : nullptr;
                    options.uncovered = tamrin::kUncoveredInput;
                    options.nonFinite = tamrin::kNonFiniteUncover;
                    const std::vector<double> fromDoubles =
                        runTyped(doubles, ofType(tamrin::kValuesDouble), s, workers, options);
                    expectSameBits(runTyped(singles, scaled, s, workers, options), fromDoubles,
                                   "denoised, noise and rank");
                    if (scaling.slope == 1.0 && scaling.intercept == 0.0) {
                        // The -0.0 of the background read unscaled would be
                        // given back as it is stored: the scaling is applied.
                        const std::vector<double> stored =
                            runTyped(unscaled, ofType(tamrin::kValuesDouble), s, workers, options);
                        bool signsDiffer = false;
                        for (std::size_t i = 0; i < stored.size(); i++)
                            signsDiffer |= !sameBits(stored[i], fromDoubles[i]);
                        EXPECT_TRUE(signsDiffer);
                    }
                }
    }
}

TEST(FastKernelSeries, ScaledSeriesOfOtherTypesOrBadScalingsAreRefused) {
    Series s = phantom(9, 9, 9, 6, 22);
    std::vector<float> singles(s.data.begin(), s.data.end());
    std::vector<double> out(s.data.size() + 2 * 729), weights(729);
    tamrin::DenoiseResults results;
    results.denoised = out.data();
    results.noise = out.data() + s.data.size();
    results.weight = weights.data();
    const struct {
        int32_t type;
        double slope, intercept;
    } refused[] = {{tamrin::kValuesDouble, 2.0, 0.0},
                   {tamrin::kValuesSingle, 0.0, 1.0},
                   {tamrin::kValuesSingle, std::numeric_limits<double>::infinity(), 0.0},
                   {tamrin::kValuesSingle, 2.0, std::numeric_limits<double>::quiet_NaN()}};
    for (const auto& r : refused) {
        tamrin::SeriesView view{r.type == tamrin::kValuesDouble ? static_cast<const void*>(s.data.data())
                                                                : static_cast<const void*>(singles.data()),
                                r.type, 9, 9, 9, 6};
        view.scaled = true;
        view.slope = r.slope;
        view.intercept = r.intercept;
        EXPECT_EQ(tamrin::denoiseSeries(view, 1, results, tamrin::DenoiseOptions()), tamrin::kDenoiseBadOptions)
            << r.type << " " << r.slope << " " << r.intercept;
    }
}

// Series with many volumes: the large patches (216 x 200 and 343 x 288) in
// batches through denoiseVolume, one and several workers, every output
// value against the plain kernel. The grids are small (the plain kernel
// takes about 0.03 s and 0.1 s a position), with the exact-zero background
// around the object, so that batches come partly filled.
TEST(LargePatchSeries, TwoHundredVolumesWithANonFiniteVoxel) {
    Series s = phantom(11, 9, 8, 200, 14);
    // A NaN in a corner: the one patch that holds it takes the plain path
    // (at about 0.5 s, since its decomposition runs out of sweeps).
    s.data[100 * s.voxels()] = std::numeric_limits<double>::quiet_NaN();
    compareKernels(s, 1);
    compareKernels(s, 3);
    const Result r = denoise(s, 1, tamrin::kDenoiseKernelFast);
    EXPECT_EQ(r.progress, int64_t{11 - 5} * (9 - 5) * (8 - 5));
    EXPECT_TRUE(std::isnan(r.denoised[0]));
}

TEST(LargePatchSeries, TwoHundredEightyEightVolumes) {
    const Series s = phantom(9, 9, 8, 288, 15);
    compareKernels(s, 1);
    compareKernels(s, 2);
}

}  // namespace
