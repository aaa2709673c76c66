// SPDX-License-Identifier: BSD-3-Clause
// The checks the front ends share: a series' shape, a mask's shape and values.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "driver/checks.h"

using namespace tamrin;

namespace {

SeriesCheck series(std::vector<int64_t> dims) {
    return checkSeriesShape(dims.data(), static_cast<int32_t>(dims.size()));
}

}  // namespace

TEST(SeriesShape, ReasonsInOrderWithTheirFacts) {
    const SeriesCheck fits = series({5, 6, 7, 2});
    EXPECT_EQ(fits.problem, kSeriesFits);
    EXPECT_EQ(fits.extents[0], 5);
    EXPECT_EQ(fits.extents[3], 2);

    const SeriesCheck three = series({5, 6, 7});
    EXPECT_EQ(three.problem, kSeriesNotFourDimensional);
    EXPECT_EQ(three.value, 3);
    EXPECT_EQ(series({5, 6, 7, 2, 1}).problem, kSeriesNotFourDimensional);

    // An extent past 2^31 - 1 is reported before an empty one.
    const SeriesCheck large = series({int64_t{1} << 31, 0, 1, 2});
    EXPECT_EQ(large.problem, kSeriesExtentTooLarge);
    EXPECT_EQ(large.axis, 0);
    EXPECT_EQ(large.value, int64_t{1} << 31);

    const SeriesCheck empty = series({4, 0, 4, 3});
    EXPECT_EQ(empty.problem, kSeriesEmpty);
    EXPECT_EQ(empty.axis, 1);
    const SeriesCheck one = series({4, 4, 4, 1});
    EXPECT_EQ(one.problem, kSeriesTooFewVolumes);
    EXPECT_EQ(one.value, 1);
    EXPECT_EQ(series({4, 4, 4, 0}).problem, kSeriesTooFewVolumes);

    // Whatever fits the check fits the core.
    EXPECT_EQ(series({2000000000, 2000000000, 2000000000, 2}).problem, kSeriesTooManyValues);
}

TEST(MaskShape, TheGridWithTrailingExtentsOfOne) {
    const std::vector<int64_t> exact = {4, 5, 6}, trailing = {4, 5, 6, 1, 1}, short2 = {4, 5}, wrong = {4, 6, 5},
                               volumes = {4, 5, 6, 2};
    EXPECT_EQ(checkMaskShape(exact.data(), 3, 4, 5, 6).problem, kMaskFits);
    EXPECT_EQ(checkMaskShape(trailing.data(), 5, 4, 5, 6).problem, kMaskFits);
    EXPECT_EQ(checkMaskShape(short2.data(), 2, 4, 5, 1).problem, kMaskFits);  // a 4 x 5 x 1 grid
    EXPECT_EQ(checkMaskShape(short2.data(), 2, 4, 5, 6).problem, kMaskWrongShape);
    EXPECT_EQ(checkMaskShape(wrong.data(), 3, 4, 5, 6).problem, kMaskWrongShape);
    EXPECT_EQ(checkMaskShape(volumes.data(), 4, 4, 5, 6).problem, kMaskWrongShape);
}

TEST(MaskValues, EveryTypeInsideWhereNotZeroNanRefusedEmptyRefused) {
    const std::vector<double> doubles = {0.0, -0.0, 2.5, -1.0, 0.0};
    std::vector<uint8_t> bytes(5, 7);
    MaskCheck check = maskFromValues(doubles.data(), kValuesDouble, 5, bytes.data());
    EXPECT_EQ(check.problem, kMaskFits);
    EXPECT_EQ(check.inside, 2);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0, 1, 1, 0}));

    const std::vector<float> singles = {0.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f};
    check = maskFromValues(singles.data(), kValuesSingle, 4, nullptr);
    EXPECT_EQ(check.problem, kMaskHoldsNaN);
    EXPECT_EQ(check.at, 2);

    const std::vector<int16_t> shorts = {0, -3, 0};
    EXPECT_EQ(maskFromValues(shorts.data(), kValuesInt16, 3, bytes.data()).inside, 1);
    EXPECT_EQ(bytes[1], 1);
    const std::vector<uint64_t> zeros(6, 0);
    EXPECT_EQ(maskFromValues(zeros.data(), kValuesUint64, 6, nullptr).problem, kMaskEmpty);
    const std::vector<int8_t> minus = {-128};
    EXPECT_EQ(maskFromValues(minus.data(), kValuesInt8, 1, nullptr).inside, 1);
    EXPECT_EQ(maskFromValues(minus.data(), 99, 1, nullptr).problem, kMaskBadType);
}
