// SPDX-License-Identifier: BSD-3-Clause
// svdcmp on small matrices whose results are known exactly, its diagnostics,
// and its behaviour when scratch cannot be obtained.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "linalg/svd.h"
#include "support/alloc.h"
#include "test_support.h"

using tamrin::safeHypot;
using tamrin::svdcmp;
using tamrin_test::CapturedMessages;
using tamrin_test::RowMatrix;

namespace {

struct Result {
    RowMatrix u;
    std::vector<double> w;
    RowMatrix v;
    int32_t status;
};

Result decompose(const RowMatrix& a, tamrin::MessageLog* log = nullptr) {
    Result r{a, std::vector<double>(a.rows[0].size(), -7.0), RowMatrix(static_cast<int32_t>(a.rows[0].size()),
                                                                         static_cast<int32_t>(a.rows[0].size()), -7.0),
             0};
    r.status = svdcmp(r.u.get(), r.u.m(), static_cast<int32_t>(r.w.size()), r.w.data(), r.v.get(), log);
    return r;
}

RowMatrix matrix(std::initializer_list<std::initializer_list<double>> rows) {
    RowMatrix a(static_cast<int32_t>(rows.size()), static_cast<int32_t>(rows.begin()->size()));
    int32_t r = 0;
    for (const auto& row : rows) {
        int32_t c = 0;
        for (double x : row) a.at(r, c++) = x;
        r++;
    }
    return a;
}

}  // namespace

TEST(SafeHypot, MatchesPythagorasAndAvoidsOverflowAndUnderflow) {
    EXPECT_EQ(safeHypot(3.0, 4.0), 5.0);
    EXPECT_EQ(safeHypot(-4.0, 3.0), 5.0);
    EXPECT_EQ(safeHypot(0.0, 0.0), 0.0);
    EXPECT_EQ(safeHypot(0.0, -2.5), 2.5);
    EXPECT_DOUBLE_EQ(safeHypot(3e300, 4e300), 5e300);
    EXPECT_DOUBLE_EQ(safeHypot(3e-300, 4e-300), 5e-300);
    // Equal magnitudes take the second branch: Q * sqrt(1 + 1).
    EXPECT_EQ(safeHypot(2.0, -2.0), 2.0 * std::sqrt(2.0));
}

TEST(SvdcmpExact, OneByOneMatrices) {
    Result pos = decompose(matrix({{2.5}}));
    EXPECT_EQ(pos.status, 0);
    EXPECT_EQ(pos.u.at(0, 0), 1.0);
    EXPECT_EQ(pos.w[0], 2.5);
    EXPECT_EQ(pos.v.at(0, 0), 1.0);

    Result neg = decompose(matrix({{-2.5}}));
    EXPECT_EQ(neg.u.at(0, 0), -1.0);
    EXPECT_EQ(neg.w[0], 2.5);
    EXPECT_EQ(neg.v.at(0, 0), 1.0);

    Result zero = decompose(matrix({{0.0}}));
    EXPECT_EQ(zero.u.at(0, 0), 1.0);
    EXPECT_EQ(zero.w[0], 0.0);
    EXPECT_EQ(zero.v.at(0, 0), 1.0);
}

TEST(SvdcmpExact, ZeroMatrixGivesIdentityColumnsAndNoMessage) {
    CapturedMessages host;
    Result r = decompose(RowMatrix(3, 2, 0.0), host.log());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.w, (std::vector<double>{0.0, 0.0}));
    for (int32_t i = 0; i < 3; i++)
        for (int32_t j = 0; j < 2; j++) EXPECT_EQ(r.u.at(i, j), i == j ? 1.0 : 0.0) << i << "," << j;
    for (int32_t i = 0; i < 2; i++)
        for (int32_t j = 0; j < 2; j++) EXPECT_EQ(r.v.at(i, j), i == j ? 1.0 : 0.0);
    EXPECT_TRUE(host.messages().empty());
}

TEST(SvdcmpExact, IdentityKeepsTheMinusSignsAllowedByTheMajorityRule) {
    Result r = decompose(matrix({{1.0, 0.0}, {0.0, 1.0}}));
    EXPECT_EQ(r.w, (std::vector<double>{1.0, 1.0}));
    for (int32_t i = 0; i < 2; i++)
        for (int32_t j = 0; j < 2; j++) {
            EXPECT_EQ(r.u.at(i, j), i == j ? -1.0 : 0.0);
            EXPECT_EQ(r.v.at(i, j), i == j ? -1.0 : 0.0);
        }
}

TEST(SvdcmpExact, SingleColumns) {
    Result r = decompose(matrix({{3.0}, {4.0}}));
    EXPECT_NEAR(r.w[0], 5.0, 1e-15);
    EXPECT_NEAR(r.u.at(0, 0), 0.6, 1e-15);
    EXPECT_NEAR(r.u.at(1, 0), 0.8, 1e-15);
    EXPECT_EQ(r.v.at(0, 0), 1.0);

    // A zero pivot counts as non-positive: g = +1, and the result is exact.
    Result z = decompose(matrix({{0.0}, {1.0}}));
    EXPECT_EQ(z.w[0], 1.0);
    EXPECT_EQ(z.u.at(0, 0), 0.0);
    EXPECT_EQ(z.u.at(1, 0), 1.0);
    EXPECT_EQ(z.v.at(0, 0), 1.0);
}

TEST(SvdcmpOrdering, AscendingDiagonalIsReversedWithItsColumns) {
    for (int32_t n : {4, 13}) {
        RowMatrix a(n, n);
        for (int32_t i = 0; i < n; i++) a.at(i, i) = i + 1.0;
        Result r = decompose(a);
        for (int32_t j = 0; j < n; j++) {
            const int32_t source = n - 1 - j;
            EXPECT_EQ(r.w[j], source + 1.0) << "n=" << n;
            EXPECT_EQ(std::fabs(r.u.at(source, j)), 1.0);
            EXPECT_EQ(std::fabs(r.v.at(source, j)), 1.0);
            // U and V agree in sign because the diagonal is positive.
            EXPECT_EQ(r.u.at(source, j), r.v.at(source, j));
        }
    }
}

TEST(SvdcmpOrdering, EqualValuesKeepTheirShellSortOrder) {
    // w = (0, 1, 0, 0, 1) after diagonalisation: the two ones end up in front,
    // the later one first.
    RowMatrix a(5, 5);
    a.at(1, 1) = 1.0;
    a.at(4, 4) = 1.0;
    Result r = decompose(a);
    EXPECT_EQ(r.w, (std::vector<double>{1.0, 1.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(std::fabs(r.u.at(4, 0)), 1.0);
    EXPECT_EQ(std::fabs(r.u.at(1, 1)), 1.0);
}

TEST(SvdcmpLayout, ScatteredRowsGiveTheSameBitsAsContiguousRows) {
    const int32_t m = 12, n = 7;
    const std::vector<double> values = tamrin_test::randomMatrix(m, n, 99);
    RowMatrix scattered = tamrin_test::fromRowMajor(values, m, n);
    std::vector<double> block(values);
    std::vector<double*> rows(m);
    for (int32_t r = 0; r < m; r++) rows[r] = block.data() + static_cast<std::size_t>(r) * n;
    std::vector<double> vBlock(static_cast<std::size_t>(n) * n);
    std::vector<double*> vRows(n);
    for (int32_t r = 0; r < n; r++) vRows[r] = vBlock.data() + static_cast<std::size_t>(r) * n;
    std::vector<double> w(n);

    Result s = decompose(scattered);
    ASSERT_EQ(svdcmp(rows.data(), m, n, w.data(), vRows.data()), 0);
    for (int32_t r = 0; r < m; r++)
        for (int32_t c = 0; c < n; c++) EXPECT_TRUE(tamrin_test::sameBits(s.u.at(r, c), rows[r][c]));
    for (int32_t c = 0; c < n; c++) EXPECT_TRUE(tamrin_test::sameBits(s.w[c], w[c]));
    for (int32_t r = 0; r < n; r++)
        for (int32_t c = 0; c < n; c++) EXPECT_TRUE(tamrin_test::sameBits(s.v.at(r, c), vRows[r][c]));
}

TEST(SvdcmpFailure, EachScratchRequestFailingLeavesEverythingUntouched) {
    const int32_t m = 9, n = 4;
    const RowMatrix original = tamrin_test::fromRowMajor(tamrin_test::randomMatrix(m, n, 5), m, n);
    for (int which = 1; which <= 3; which++) {
        CapturedMessages host;
        RowMatrix a(original);
        RowMatrix v(n, n, 42.0);
        std::vector<double> w(n, 42.0);
        tamrin::injectAllocationFailure(which);
        const int32_t status = svdcmp(a.get(), m, n, w.data(), v.get(), host.log());
        tamrin::injectAllocationFailure(0);
        EXPECT_EQ(host.liveBlocks(), 0) << "scratch leaked when request " << which << " failed";
        EXPECT_EQ(status, -1);
        EXPECT_EQ(host.messages(), std::vector<std::string>{"svdcmp(): Unable to allocate vector\n"});
        EXPECT_EQ(a.rows, original.rows);
        EXPECT_EQ(w, std::vector<double>(n, 42.0));
        EXPECT_EQ(v.rows, RowMatrix(n, n, 42.0).rows);
    }
}

TEST(SvdcmpNonFinite, ReturnsWithAtMostOneMessagePerSingularValue) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double huge = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::vector<std::vector<double>> specials = {
        {nan}, {inf}, {-inf}, {nan, inf, -inf}, {huge, -huge}, {tiny, -tiny, 1e-310}, {huge, tiny}, {1e308, 1e308}};
    const int32_t m = 8, n = 5;
    int caseIndex = 0;
    for (const auto& special : specials) {
        for (uint64_t seed = 0; seed < 4; seed++) {
            std::vector<double> values = tamrin_test::randomMatrix(m, n, seed + 100 * caseIndex);
            std::mt19937_64 rng(seed);
            for (double x : special) values[rng() % values.size()] = x;
            if (seed == 3)  // a matrix made only of special values
                for (std::size_t i = 0; i < values.size(); i++) values[i] = special[i % special.size()];
            CapturedMessages host;
            RowMatrix a = tamrin_test::fromRowMajor(values, m, n);
            RowMatrix v(n, n);
            std::vector<double> w(n);
            EXPECT_EQ(svdcmp(a.get(), m, n, w.data(), v.get(), host.log()), 0);
            const auto messages = host.messages();
            EXPECT_LE(messages.size(), static_cast<std::size_t>(n));
            for (const auto& text : messages) EXPECT_EQ(text, "no convergence in 30 svdcmp iterations\n");
        }
        caseIndex++;
    }
}
