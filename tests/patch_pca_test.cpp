// SPDX-License-Identifier: BSD-3-Clause
// Centring, decomposition and rebuild of patch matrices.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "support/alloc.h"
#include "test_support.h"

using tamrin::centerAndDecompose;
using tamrin::rebuildPatch;

namespace {

struct PatchArrays {
    int32_t M, N;
    std::vector<double> patch, U, w, V, means;
    PatchArrays(int32_t m, int32_t n, std::vector<double> values)
        : M(m), N(n), patch(std::move(values)), U(static_cast<std::size_t>(m) * n, -1.0), w(n, -1.0),
          V(static_cast<std::size_t>(n) * n, -1.0), means(n, -1.0) {}
    int32_t decompose(tamrin::MessageLog* log = nullptr) {
        return centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N, log);
    }
    void rebuild() { rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N); }
};

}  // namespace

TEST(PatchPca, MeansDivideByTheVoxelCountAndCentreInPlace) {
    std::vector<double> values(16);
    for (int k = 0; k < 8; k++) {
        values[k] = 3.0;
        values[8 + k] = k + 1.0;
    }
    PatchArrays p(8, 2, values);
    ASSERT_EQ(p.decompose(), 0);
    EXPECT_EQ(p.means[0], 3.0);
    EXPECT_EQ(p.means[1], 4.5);
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(p.patch[k], 0.0);
        EXPECT_EQ(p.patch[8 + k], k + 1.0 - 4.5);
    }
    // Only the second column varies: one non-zero singular value, sqrt(sum of squares).
    EXPECT_NEAR(p.w[0], std::sqrt(42.0), 1e-13);
    EXPECT_EQ(p.w[1], 0.0);
}

TEST(PatchPca, FullRankRoundTripReproducesThePatch) {
    for (auto shape : {std::pair<int32_t, int32_t>{8, 2}, {8, 8}, {27, 27}, {64, 30}, {125, 65}}) {
        const auto values = tamrin_test::realisticPatch(shape.first, shape.second, 3, 5.0, 11);
        PatchArrays p(shape.first, shape.second, values);
        ASSERT_EQ(p.decompose(), 0);
        const std::vector<double> w = p.w, V = p.V, means = p.means;
        p.rebuild();
        for (std::size_t i = 0; i < values.size(); i++) EXPECT_NEAR(p.patch[i], values[i], 1e-10) << i;
        EXPECT_EQ(p.w, w);
        EXPECT_EQ(p.V, V);
        EXPECT_EQ(p.means, means);
    }
}

TEST(PatchPca, ZeroedComponentsRebuildAsMeansAndZeroTheirVectors) {
    const int32_t M = 64, N = 30;
    PatchArrays p(M, N, tamrin_test::realisticPatch(M, N, 3, 5.0, 12));
    ASSERT_EQ(p.decompose(), 0);
    std::fill(p.w.begin(), p.w.end(), 0.0);
    p.rebuild();
    for (int32_t i = 0; i < N; i++)
        for (int32_t k = 0; k < M; k++) EXPECT_EQ(p.patch[static_cast<std::size_t>(i) * M + k], p.means[i]);
    for (double u : p.U) EXPECT_EQ(u, 0.0);
}

TEST(PatchPca, FailedDecompositionLeavesZerosAndReportsIt) {
    const int32_t M = 27, N = 20;
    const auto values = tamrin_test::realisticPatch(M, N, 2, 5.0, 13);
    // Allocation 1..M+N+3 is the working store; the next three are svdcmp's scratch.
    for (long long which : {1LL, 2LL, 10LL, 1LL + M, 2LL + M, 3LL + M + N, 4LL + M + N, 5LL + M + N, 6LL + M + N}) {
        tamrin_test::CapturedMessages host;
        PatchArrays p(M, N, values);
        tamrin::injectAllocationFailure(which);
        const int32_t status = p.decompose(host.log());
        tamrin::injectAllocationFailure(0);
        EXPECT_EQ(host.liveBlocks(), 0) << "working store leaked";
        EXPECT_EQ(host.messages().size(), which > M + N + 3 ? 1u : 0u);
        EXPECT_EQ(status, -1) << "allocation " << which;
        for (double x : p.U) EXPECT_EQ(x, 0.0);
        for (double x : p.w) EXPECT_EQ(x, 0.0);
        for (double x : p.V) EXPECT_EQ(x, 0.0);
        p.rebuild();
        for (int32_t i = 0; i < N; i++) EXPECT_EQ(p.patch[static_cast<std::size_t>(i) * M], p.means[i]);
    }
}

TEST(PatchPcaScaled, TinyPatchesDecomposeLikeTheirScaledUpCopies) {
    const int32_t M = 27, N = 20;
    std::vector<double> values = tamrin_test::realisticPatch(M, N, 3, 5.0, 14);
    // Centre first and bring the largest magnitude into [0.5, 1), as the scaled path does.
    PatchArrays plain(M, N, values);
    ASSERT_EQ(plain.decompose(), 0);
    double largest = 0.0;
    for (double x : plain.patch) largest = std::fmax(largest, std::fabs(x));
    int exponent = 0;
    std::frexp(largest, &exponent);
    std::vector<double> unit(plain.patch.size());
    for (std::size_t i = 0; i < unit.size(); i++) unit[i] = std::ldexp(plain.patch[i], -exponent);

    PatchArrays reference(M, N, unit);
    ASSERT_EQ(tamrin::decomposePatch(reference.patch.data(), reference.U.data(), reference.w.data(),
                                     reference.V.data(), M, N),
              0);
    for (int shift : {0, -600, -1000}) {
        SCOPED_TRACE(shift);
        PatchArrays tiny(M, N, unit);
        for (double& x : tiny.patch) x = std::ldexp(x, shift);
        // The plain decomposition of the tiniest copy overflows inside.
        ASSERT_EQ(tamrin::decomposeScaled(tiny.patch.data(), tiny.U.data(), tiny.w.data(), tiny.V.data(), M, N), 0);
        EXPECT_TRUE(tiny.U == reference.U);
        EXPECT_TRUE(tiny.V == reference.V);
        for (int32_t j = 0; j < N; j++) EXPECT_EQ(tiny.w[j], std::ldexp(reference.w[j], shift));
    }
}

TEST(PatchPcaScaled, DenormalPatchThatBreaksThePlainPathIsFinite) {
    // A constant patch of a value near the underflow limit: centring leaves
    // rounding residue in the denormal range.
    const int32_t M = 8, N = 8;
    std::vector<double> values(M * N, -1.4526061569202767e-296);
    PatchArrays plain(M, N, values);
    plain.decompose();
    bool plainFinite = true;
    for (double x : plain.U) plainFinite = plainFinite && std::isfinite(x);
    EXPECT_FALSE(plainFinite) << "this case no longer breaks the plain path; pick another";

    PatchArrays scaled(M, N, values);
    scaled.decompose();  // centres
    scaled.patch = plain.patch;
    for (std::size_t i = 0; i < values.size(); i++) scaled.patch[i] = values[i] - plain.means[i / M];
    ASSERT_EQ(tamrin::decomposeScaled(scaled.patch.data(), scaled.U.data(), scaled.w.data(), scaled.V.data(), M, N), 0);
    for (double x : scaled.U) EXPECT_TRUE(std::isfinite(x));
    for (double x : scaled.V) EXPECT_TRUE(std::isfinite(x));
    for (double x : scaled.w) EXPECT_TRUE(std::isfinite(x));
}
