// Centring, decomposition and rebuild of patch matrices.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "tamrin/alloc.h"
#include "tamrin/pca.h"
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
    int32_t decompose() { return centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N); }
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
        tamrin_test::CapturedHost host;
        PatchArrays p(M, N, values);
        tamrin::injectAllocationFailure(which);
        const long long before = tamrin::kernelBlocksLive();
        const int32_t status = p.decompose();
        tamrin::injectAllocationFailure(0);
        EXPECT_EQ(tamrin::kernelBlocksLive(), before) << "working store leaked";
        EXPECT_EQ(host.messages().size(), which > M + N + 3 ? 1u : 0u);
        EXPECT_EQ(status, -1) << "allocation " << which;
        for (double x : p.U) EXPECT_EQ(x, 0.0);
        for (double x : p.w) EXPECT_EQ(x, 0.0);
        for (double x : p.V) EXPECT_EQ(x, 0.0);
        p.rebuild();
        for (int32_t i = 0; i < N; i++) EXPECT_EQ(p.patch[static_cast<std::size_t>(i) * M], p.means[i]);
    }
}
