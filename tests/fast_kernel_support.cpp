// SPDX-License-Identifier: BSD-3-Clause
#include "fast_kernel_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "test_support.h"

namespace tamrin_test {

std::vector<double> makePatch(Kind kind, int32_t M, int32_t N, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const std::size_t size = static_cast<std::size_t>(M) * N;
    std::vector<double> p(size);
    auto gaussian = [&](double scale, double offset) {
        for (double& v : p) v = offset + scale * normal(rng);
    };
    switch (kind) {
        case kRealistic:
            return tamrin_test::realisticPatch(M, N, 1 + static_cast<int32_t>(rng() % 5), 1.0 + 20.0 * uniform(rng),
                                               rng());
        case kGaussian:
            gaussian(std::pow(10.0, 6.0 * uniform(rng) - 3.0), 100.0 * normal(rng));
            break;
        case kRankDeficient: {
            const int32_t rank = 1 + static_cast<int32_t>(rng() % 3);
            std::vector<double> b(static_cast<std::size_t>(M) * rank), c(static_cast<std::size_t>(rank) * N);
            for (double& v : b) v = normal(rng);
            for (double& v : c) v = normal(rng);
            for (int32_t i = 0; i < N; i++)
                for (int32_t k = 0; k < M; k++) {
                    double sum = 7.0;
                    for (int32_t r = 0; r < rank; r++) sum += b[k * rank + r] * c[r * N + i];
                    p[static_cast<std::size_t>(i) * M + k] = sum;
                }
            break;
        }
        case kIntegers:
            for (double& v : p) v = static_cast<double>(rng() % 4);
            break;
        case kConstantColumns:
            for (int32_t i = 0; i < N; i++) {
                const double value = normal(rng);
                for (int32_t k = 0; k < M; k++) p[static_cast<std::size_t>(i) * M + k] = value;
            }
            break;
        case kConstant:
            for (double& v : p) v = 3.25;
            break;
        case kDuplicateColumns:
            gaussian(1.0, 0.0);
            for (int32_t i = 1; i < N; i += 2)
                std::memcpy(&p[static_cast<std::size_t>(i) * M], &p[static_cast<std::size_t>(i - 1) * M], sizeof(double) * M);
            break;
        case kMixedScales:
            gaussian(1.0, 0.0);
            for (int32_t i = 0; i < N; i++) {
                const double scale = std::pow(10.0, 300.0 * uniform(rng) - 150.0);
                for (int32_t k = 0; k < M; k++) p[static_cast<std::size_t>(i) * M + k] *= scale;
            }
            break;
        case kHuge:
            gaussian(1e300, 0.0);
            break;
        case kTiny:
            gaussian(1e-310, 0.0);
            break;
        case kSpike:
            gaussian(1.0, 10.0);
            p[rng() % size] = 1e200;
            break;
        case kWithNaN:
            gaussian(1.0, 0.0);
            p[rng() % size] = std::numeric_limits<double>::quiet_NaN();
            break;
        case kWithInf:
            gaussian(1.0, 0.0);
            p[rng() % size] = (rng() % 2 ? 1.0 : -1.0) * std::numeric_limits<double>::infinity();
            break;
        case kSparseVoxels: {
            std::fill(p.begin(), p.end(), 0.0);
            const int32_t voxels = 1 + static_cast<int32_t>(rng() % 5);
            for (int32_t q = 0; q < voxels; q++) {
                const int32_t k = static_cast<int32_t>(rng() % static_cast<uint64_t>(M));
                for (int32_t i = 0; i < N; i++) p[static_cast<std::size_t>(i) * M + k] = 800.0 + 100.0 * normal(rng);
            }
            if (rng() % 4 == 0) {  // or a single value
                std::fill(p.begin(), p.end(), 0.0);
                p[rng() % size] = 800.0 + 100.0 * normal(rng);
            }
            break;
        }
        default:
            break;
    }
    return p;
}

Outcome plainDenoise(std::vector<double> patch, int32_t M, int32_t N, tamrin::MessageLog* log) {
    std::vector<double> U(static_cast<std::size_t>(M) * N), w(N), V(static_cast<std::size_t>(N) * N), means(N);
    EXPECT_EQ(tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N, log), 0);
    Outcome out;
    out.sigma = tamrin::estimateNoise(w.data(), N, M, tamrin::noiseCorrection(M, N));
    out.weight = tamrin::selectComponents(w.data(), N, M, out.sigma, nullptr);
    tamrin::rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
    out.patch = std::move(patch);
    return out;
}

long firstDifference(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!sameBits(a[i], b[i])) return static_cast<long>(i);
    return -1;
}

IsaScope::IsaScope(int32_t isa) : previous_(tamrin::fastLimitIsa(isa)) {}
IsaScope::~IsaScope() { tamrin::fastLimitIsa(previous_); }

const char* isaName(int32_t isa) {
    return isa == tamrin::kFastIsaAvx512 ? "avx512" : isa == tamrin::kFastIsaAvx2 ? "avx2" : "baseline";
}

int32_t fastDecomposition(tamrin::FastPatchWork* work, int32_t isa, const std::vector<double>& input, double* patch,
                          double* U, double* w, double* V, double* means) {
    const tamrin::FastStages& stages = tamrin::fastStages(isa);
    const int32_t M = work->M, N = work->N;
    work->messages[0] = 0;
    const double* one = input.data();
    stages.reduceLanes(work, 1, &one, 1);
    stages.diagonaliseLanes(work, 1);
    if (stages.accumulateLanes != nullptr) stages.accumulateLanes(work, 1, true);
    stages.replayLane(work, 0);
    stages.sortLane(work, 0);
    for (int32_t j = 0; j < N; j++) {
        const int32_t c = work->order[j];
        const double* u = work->colA + c * work->ldc;
        const double* v = work->colV + c * work->ldv;
        int32_t negative = 0;
        for (int32_t k = 0; k < M; k++) negative += u[k] < 0.0;
        for (int32_t i = 0; i < N; i++) negative += v[i] < 0.0;
        // IEEE negation, as the plain path's (0 becomes -0).
        const bool flip = negative > (M + N) / 2;
        for (int32_t k = 0; k < M; k++) U[j * M + k] = flip ? -u[k] : u[k];
        for (int32_t i = 0; i < N; i++) V[i * N + j] = flip ? -v[i] : v[i];
        w[j] = work->w[j];
    }
    for (int32_t i = 0; i < N; i++) {
        means[i] = work->means[i];
        for (int32_t k = 0; k < M; k++) patch[i * M + k] = input[static_cast<std::size_t>(i) * M + k] - means[i];
    }
    return work->messages[0];
}

long firstMismatch(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!sameBits(a[i], b[i]) && !(std::isnan(a[i]) && std::isnan(b[i]))) return static_cast<long>(i);
    return -1;
}

void compareDecompositions(int32_t M, int32_t N, int32_t trials, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::size_t mn = static_cast<std::size_t>(M) * N, nn = static_cast<std::size_t>(N) * N;
    for (int32_t trial = 0; trial < trials; trial++) {
        const Kind kind = static_cast<Kind>(trial % kKinds);
        const std::vector<double> input = makePatch(kind, M, N, rng);
        if (kind == kWithNaN || kind == kWithInf) continue;
        std::vector<double> p1 = input, U1(mn), w1(N), V1(nn), m1(N);
        std::size_t plainMessages = 0;
        {
            CapturedMessages host;
            ASSERT_EQ(
                tamrin::centerAndDecompose(p1.data(), U1.data(), w1.data(), V1.data(), m1.data(), M, N, host.log()),
                0);
            plainMessages = host.messages().size();
        }
        for (int32_t isa : {tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512}) {
            if (!tamrin::fastIsaAvailable(isa)) continue;
            SCOPED_TRACE(testing::Message() << isaName(isa) << " " << M << "x" << N << " kind " << kind);
            IsaScope scope(isa);
            tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
            ASSERT_NE(work, nullptr);
            std::vector<double> p2(mn), U2(mn), w2(N), V2(nn), m2(N);
            const int32_t fastMessages =
                fastDecomposition(work, isa, input, p2.data(), U2.data(), w2.data(), V2.data(), m2.data());
            tamrin::fastPatchWorkRelease(work);
            EXPECT_EQ(static_cast<std::size_t>(fastMessages), plainMessages);
            EXPECT_EQ(firstMismatch(p2, p1), -1) << "centred patch";
            EXPECT_EQ(firstMismatch(U2, U1), -1) << "U";
            EXPECT_EQ(firstMismatch(w2, w1), -1) << "w";
            EXPECT_EQ(firstMismatch(V2, V1), -1) << "V";
            EXPECT_EQ(firstMismatch(m2, m1), -1) << "means";
        }
    }
}

}  // namespace tamrin_test
