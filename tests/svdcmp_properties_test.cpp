// SPDX-License-Identifier: BSD-3-Clause
// svdcmp on many seeded random matrices: reconstruction, orthogonality,
// ordering and the sign rule, for well- and ill-conditioned and rank-deficient
// input of the shapes the denoiser uses.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "linalg/svd.h"
#include "test_support.h"

using tamrin_test::RowMatrix;

namespace {

enum class Kind { WellConditioned, IllConditioned, RankDeficient };

// Row-major m x n test matrix of the given kind.
std::vector<double> makeMatrix(int32_t m, int32_t n, Kind kind, uint64_t seed) {
    std::vector<double> a = tamrin_test::randomMatrix(m, n, seed);
    if (kind == Kind::IllConditioned) {
        // Column scales spread over twelve orders of magnitude.
        for (int32_t c = 0; c < n; c++) {
            const double scale = std::pow(10.0, -12.0 * c / (n > 1 ? n - 1 : 1));
            for (int32_t r = 0; r < m; r++) a[static_cast<std::size_t>(r) * n + c] *= scale;
        }
    } else if (kind == Kind::RankDeficient) {
        // Product of m x r and r x n factors, r about n / 3.
        const int32_t rank = n / 3 > 0 ? n / 3 : 1;
        const std::vector<double> left = tamrin_test::randomMatrix(m, rank, seed + 1);
        const std::vector<double> right = tamrin_test::randomMatrix(rank, n, seed + 2);
        for (int32_t r = 0; r < m; r++)
            for (int32_t c = 0; c < n; c++) {
                double sum = 0.0;
                for (int32_t q = 0; q < rank; q++)
                    sum += left[static_cast<std::size_t>(r) * rank + q] * right[static_cast<std::size_t>(q) * n + c];
                a[static_cast<std::size_t>(r) * n + c] = sum;
            }
    }
    return a;
}

void checkDecomposition(const std::vector<double>& original, int32_t m, int32_t n, const std::string& label) {
    SCOPED_TRACE(label);
    RowMatrix u = tamrin_test::fromRowMajor(original, m, n);
    RowMatrix v(n, n);
    std::vector<double> w(n);
    tamrin_test::CapturedMessages host;
    ASSERT_EQ(tamrin::svdcmp(u.get(), m, n, w.data(), v.get(), host.log()), 0);
    EXPECT_TRUE(host.messages().empty());

    double norm = 0.0, error = 0.0;
    for (int32_t r = 0; r < m; r++)
        for (int32_t c = 0; c < n; c++) {
            double sum = 0.0;
            for (int32_t j = 0; j < n; j++) sum += u.at(r, j) * w[j] * v.at(c, j);
            const double a = original[static_cast<std::size_t>(r) * n + c];
            norm += a * a;
            error += (a - sum) * (a - sum);
        }
    EXPECT_LE(std::sqrt(error), 1e-12 * std::sqrt(norm));

    for (int32_t i = 0; i < n; i++)
        for (int32_t j = i; j < n; j++) {
            double uu = 0.0, vv = 0.0;
            for (int32_t r = 0; r < m; r++) uu += u.at(r, i) * u.at(r, j);
            for (int32_t r = 0; r < n; r++) vv += v.at(r, i) * v.at(r, j);
            const double expected = i == j ? 1.0 : 0.0;
            EXPECT_NEAR(uu, expected, 1e-12) << "U columns " << i << "," << j;
            EXPECT_NEAR(vv, expected, 1e-12) << "V columns " << i << "," << j;
        }

    for (int32_t j = 0; j < n; j++) {
        EXPECT_GE(w[j], 0.0);
        if (j > 0) {
            EXPECT_GE(w[j - 1], w[j]) << "at " << j;
        }
        int32_t negatives = 0;
        for (int32_t r = 0; r < m; r++) negatives += u.at(r, j) < 0.0;
        for (int32_t r = 0; r < n; r++) negatives += v.at(r, j) < 0.0;
        EXPECT_LE(negatives, (m + n) / 2) << "column pair " << j;
    }
}

}  // namespace

TEST(SvdcmpProperties, RandomMatricesOfPatchShapes) {
    const int32_t shapes[][2] = {{8, 2}, {8, 8}, {27, 27}, {27, 20}, {64, 30}, {64, 64}, {125, 65}, {5, 1}};
    const Kind kinds[] = {Kind::WellConditioned, Kind::IllConditioned, Kind::RankDeficient};
    for (const auto& shape : shapes) {
        for (Kind kind : kinds) {
            const int trials = shape[0] * shape[1] > 4000 ? 3 : 12;
            for (int trial = 0; trial < trials; trial++) {
                const uint64_t seed = 1000u * shape[0] + 10u * shape[1] + 100000u * static_cast<unsigned>(kind) + trial;
                checkDecomposition(makeMatrix(shape[0], shape[1], kind, seed), shape[0], shape[1],
                                   std::to_string(shape[0]) + "x" + std::to_string(shape[1]) + " kind " +
                                       std::to_string(static_cast<int>(kind)) + " trial " + std::to_string(trial));
            }
        }
    }
}

TEST(SvdcmpProperties, ScaledCopiesOfOneMatrixStayAccurate) {
    // The same matrix scaled near the extremes of the double range.
    const std::vector<double> base = tamrin_test::randomMatrix(64, 30, 7);
    for (double scale : {1e-150, 1e-30, 1.0, 1e30, 1e150}) {
        std::vector<double> scaled(base);
        for (double& x : scaled) x *= scale;
        checkDecomposition(scaled, 64, 30, "scale " + std::to_string(scale));
    }
}
