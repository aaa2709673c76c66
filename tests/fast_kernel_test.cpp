// SPDX-License-Identifier: BSD-3-Clause
// The fast patch kernel against the plain path, bit for bit: rebuilt
// patches, noise levels, weights and messages of many seeded patches of every
// kind and of the usual shapes, on every instruction set the processor has;
// the decomposition itself; and whole series through denoiseVolume.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "fast_kernel_support.h"
#include "linalg/fast_work.h"
#include "linalg/pca.h"
#include "patch/fast_patch.h"
#include "patch/noise.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "test_support.h"

namespace {

using namespace tamrin_test;

// Denoises `count` seeded patches of M x N (N drawn from [nLow, nHigh]) with
// both paths in batches of every size and compares every output bit and the
// messages. Kinds cycle, so that batches mix them.
void compareMany(int32_t isa, int32_t M, int32_t nLow, int32_t nHigh, int32_t count, uint64_t seed) {
    if (!tamrin::fastIsaAvailable(isa)) GTEST_SKIP() << isaName(isa) << " not available here";
    IsaScope scope(isa);
    std::mt19937_64 rng(seed);
    int32_t done = 0, batchSize = 1;
    while (done < count) {
        const int32_t N = nLow + static_cast<int32_t>(rng() % static_cast<uint64_t>(nHigh - nLow + 1));
        tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
        ASSERT_NE(work, nullptr);
        ASSERT_EQ(tamrin::fastPatchWorkIsa(work), isa);
        const int32_t batch = tamrin::fastPatchWorkBatch(work);
        const int32_t size = batchSize++ % batch + 1;

        std::vector<std::vector<double>> inputs(size), fast(size);
        std::vector<double*> pointers(size);
        std::vector<Kind> kinds(size);
        for (int32_t b = 0; b < size; b++) {
            kinds[b] = static_cast<Kind>((done + b) % kKinds);
            inputs[b] = makePatch(kinds[b], M, N, rng);
            fast[b] = inputs[b];
            pointers[b] = fast[b].data();
        }
        std::vector<double> sigma(size), weight(size);
        std::vector<Outcome> plain(size);
        std::size_t plainMessages = 0, fastMessages = 0;
        {
            tamrin_test::CapturedMessages host;
            for (int32_t b = 0; b < size; b++) plain[b] = plainDenoise(inputs[b], M, N, host.log());
            plainMessages = host.messages().size();
        }
        {
            tamrin_test::CapturedMessages host;
            ASSERT_EQ(tamrin::fastDenoisePatches(work, pointers.data(), size, tamrin::noiseCorrection(M, N),
                                                 sigma.data(), weight.data(), host.log()),
                      size);
            fastMessages = host.messages().size();
        }
        tamrin::fastPatchWorkRelease(work);

        ASSERT_EQ(fastMessages, plainMessages) << M << "x" << N << " batch of " << size;
        for (int32_t b = 0; b < size; b++) {
            SCOPED_TRACE(testing::Message() << isaName(isa) << " " << M << "x" << N << " kind " << kinds[b]
                                            << " lane " << b << " of " << size << " patch " << done + b);
            ASSERT_EQ(firstDifference(fast[b], plain[b].patch), -1);
            ASSERT_TRUE(sameBits(sigma[b], plain[b].sigma)) << sigma[b] << " " << plain[b].sigma;
            ASSERT_TRUE(sameBits(weight[b], plain[b].weight)) << weight[b] << " " << plain[b].weight;
        }
        done += size;
    }
}

class FastKernelBits : public testing::TestWithParam<int32_t> {};

// The shapes the worker uses: M = s^3 >= N. Over 100,000 patches per
// instruction set, most of them small; batch sizes cycle through every size
// the work store takes.
TEST_P(FastKernelBits, EightVoxelPatches) { compareMany(GetParam(), 8, 2, 8, 94000, 81); }
TEST_P(FastKernelBits, TwentySevenVoxelPatches) { compareMany(GetParam(), 27, 9, 27, 4000, 82); }
TEST_P(FastKernelBits, SixtyFourByThirty) { compareMany(GetParam(), 64, 30, 30, 1500, 83); }
TEST_P(FastKernelBits, SixtyFourVoxelPatches) { compareMany(GetParam(), 64, 28, 64, 400, 84); }
TEST_P(FastKernelBits, OneHundredTwentyFiveBySixtyFive) { compareMany(GetParam(), 125, 65, 65, 100, 85); }
TEST_P(FastKernelBits, LargePatches) { compareMany(GetParam(), 343, 300, 300, 2, 86); }

INSTANTIATE_TEST_SUITE_P(Isa, FastKernelBits,
                         testing::Values(tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512),
                         [](const testing::TestParamInfo<int32_t>& info) { return std::string(isaName(info.param)); });

// The decomposition itself, every column of U and V, kept or not, for the
// small shapes (the large ones: fast_kernel_large_test.cpp).
TEST(FastKernelDecomposition, MatchesCenterAndDecomposeInEveryArray) {
    uint64_t seed = 90;
    for (auto shape : {std::pair<int32_t, int32_t>{8, 2}, {8, 8}, {27, 14}, {27, 27}, {64, 30}, {125, 65}})
        compareDecompositions(shape.first, shape.second, 3 * kKinds, seed++);
}

// The rebuild reads only the vectors of kept components, and the fast kernel
// computes only what those depend on. Patches at the edge of a zero
// background leave infinities or NaN in the vectors of discarded components
// (and some are rank deficient); their results must still be the plain
// path's, and such vectors must really occur here for this to test anything.
TEST(FastKernelDiscardedComponents, NonFiniteDiscardedVectorsDoNotMatter) {
    const int32_t M = 64, N = 30;
    std::mt19937_64 rng(93);
    std::vector<std::vector<double>> inputs;
    int32_t nonFinite = 0;
    for (int32_t t = 0; t < 320; t++) {
        inputs.push_back(makePatch(t % 2 == 0 ? kSparseVoxels : kRankDeficient, M, N, rng));
        std::vector<double> patch = inputs.back(), U(M * N), w(N), V(N * N), means(N);
        tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
        const double sigma = tamrin::estimateNoise(w.data(), N, M, tamrin::noiseCorrection(M, N));
        tamrin::selectComponents(w.data(), N, M, sigma, nullptr);
        bool found = false;
        for (int32_t j = 0; j < N; j++) {
            if (w[j] != 0.0) continue;
            for (int32_t k = 0; k < M; k++) found |= !std::isfinite(U[j * M + k]);
            for (int32_t i = 0; i < N; i++) found |= !std::isfinite(V[i * N + j]);
        }
        nonFinite += found;
    }
    ASSERT_GE(nonFinite, 5) << "no discarded component with non-finite vectors left to test";
    for (int32_t isa : {tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512}) {
        if (!tamrin::fastIsaAvailable(isa)) continue;
        IsaScope scope(isa);
        tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
        ASSERT_NE(work, nullptr);
        const int32_t batch = tamrin::fastPatchWorkBatch(work);
        for (std::size_t first = 0; first < inputs.size(); first += batch) {
            const int32_t size = static_cast<int32_t>(std::min<std::size_t>(batch, inputs.size() - first));
            std::vector<std::vector<double>> fast(inputs.begin() + first, inputs.begin() + first + size);
            std::vector<double*> pointers;
            for (auto& patch : fast) pointers.push_back(patch.data());
            std::vector<double> sigma(size), weight(size);
            ASSERT_EQ(tamrin::fastDenoisePatches(work, pointers.data(), size, tamrin::noiseCorrection(M, N),
                                                 sigma.data(), weight.data()),
                      size);
            for (int32_t b = 0; b < size; b++) {
                const Outcome plain = plainDenoise(inputs[first + b], M, N);
                SCOPED_TRACE(testing::Message() << isaName(isa) << " patch " << first + b);
                ASSERT_EQ(firstDifference(fast[b], plain.patch), -1);
                ASSERT_TRUE(sameBits(sigma[b], plain.sigma));
                ASSERT_TRUE(sameBits(weight[b], plain.weight));
            }
        }
        tamrin::fastPatchWorkRelease(work);
    }
}

// A finite patch on which the plain decomposition runs out of sweeps for
// one singular value, without producing NaN: the fast path must print the
// message once too, and give the same bits.
TEST(FastKernelMessages, FiniteNonConvergenceIsReportedOnce) {
    // Found by a seeded search over patches whose columns differ in scale
    // by up to 10^300.
    const int32_t M = 8, N = 3;
    const std::vector<double> input = {
        -0x1.bfcbf32b66b3dp-553, -0x1.813b386de7accp-553, 0x1.27977d47c0129p-555, -0x1.6dbf3f7e748f3p-553,
        0x1.f2a919d7c0523p-554, -0x1.d22b743b5d196p-552, 0x1.64d46dd51c4dep-554, -0x1.b85bd9f26ee05p-554,
        -0x1.3211faeea70bfp-749, -0x1.52c3ba6ee8778p-749, -0x1.223cc09b314ep-748, -0x1.0ac89bf8defp-751,
        0x1.c24de10fff478p-752, 0x1.25ed893dda277p-749, 0x1.9d5a061e29088p-754, 0x1.71d798368ecfp-752,
        0x1.245aaf680c2dfp-539, 0x1.4f6a85ace33b9p-539, -0x1.2f0df759eb95cp-541, 0x1.c385e7eaa929cp-538,
        -0x1.db3e0522a07d8p-540, 0x1.cd233a74ff6afp-538, -0x1.0d1de8d451f44p-542, -0x1.317ebab62b99ep-540,
    };
    ASSERT_EQ(input.size(), static_cast<std::size_t>(M * N));
    std::size_t plainMessages = 0;
    Outcome plain;
    {
        tamrin_test::CapturedMessages host;
        plain = plainDenoise(input, M, N, host.log());
        plainMessages = host.messages().size();
    }
    ASSERT_EQ(plainMessages, 1u) << "the plain path no longer fails to converge here; pick another patch";
    for (double v : plain.patch) ASSERT_FALSE(std::isnan(v));
    for (int32_t isa : {tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512}) {
        if (!tamrin::fastIsaAvailable(isa)) continue;
        IsaScope scope(isa);
        tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
        std::vector<double> fast = input;
        double* pointer = fast.data();
        double sigma = 0.0, weight = 0.0;
        tamrin_test::CapturedMessages host;
        ASSERT_EQ(
            tamrin::fastDenoisePatches(work, &pointer, 1, tamrin::noiseCorrection(M, N), &sigma, &weight, host.log()),
            1);
        tamrin::fastPatchWorkRelease(work);
        const auto messages = host.messages();
        ASSERT_EQ(messages.size(), 1u) << isaName(isa);
        EXPECT_EQ(messages[0], "no convergence in 30 svdcmp iterations\n");
        EXPECT_EQ(firstDifference(fast, plain.patch), -1) << isaName(isa);
        EXPECT_TRUE(sameBits(sigma, plain.sigma));
        EXPECT_TRUE(sameBits(weight, plain.weight));
    }
}

// The working store is the only memory the fast path needs: it is obtained
// once, and a failure to obtain it is reported by a null result, after which
// nothing leaks. The patches themselves allocate nothing.
TEST(FastKernelMemory, AllocatesOnlyItsWorkingStore) {
    const int32_t M = 27, N = 20;
    const long long before = tamrin::coreBlocksLive();
    tamrin::injectAllocationFailure(1);
    EXPECT_EQ(tamrin::fastPatchWorkCreate(M, N), nullptr);
    tamrin::injectAllocationFailure(0);
    EXPECT_EQ(tamrin::coreBlocksLive(), before);

    tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
    ASSERT_NE(work, nullptr);
    std::mt19937_64 rng(91);
    std::vector<double> patch = makePatch(kRealistic, M, N, rng);
    const Outcome plain = plainDenoise(patch, M, N);
    double* pointer = patch.data();
    double sigma = 0.0, weight = 0.0;
    tamrin_test::CapturedMessages host;
    tamrin::injectAllocationFailure(1);  // any allocation now would fail and print
    EXPECT_EQ(tamrin::fastDenoisePatches(work, &pointer, 1, tamrin::noiseCorrection(M, N), &sigma, &weight, host.log()),
              1);
    tamrin::injectAllocationFailure(0);
    EXPECT_TRUE(host.messages().empty());
    EXPECT_EQ(firstDifference(patch, plain.patch), -1);
    tamrin::fastPatchWorkRelease(work);
    EXPECT_EQ(tamrin::coreBlocksLive(), before);
}

// A NaN patch goes through the plain path; when that path cannot obtain its
// memory, the batch stops there and says how many patches are done.
TEST(FastKernelMemory, PlainPathFailureStopsTheBatchAtThatPatch) {
    const int32_t M = 8, N = 5;
    tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
    ASSERT_NE(work, nullptr);
    std::mt19937_64 rng(92);
    std::vector<std::vector<double>> patches = {makePatch(kGaussian, M, N, rng), makePatch(kWithNaN, M, N, rng),
                                                makePatch(kGaussian, M, N, rng)};
    const Outcome first = plainDenoise(patches[0], M, N);
    std::vector<double*> pointers = {patches[0].data(), patches[1].data(), patches[2].data()};
    std::vector<double> sigma(3), weight(3);
    tamrin_test::CapturedMessages host;
    tamrin::injectAllocationFailure(1);
    EXPECT_EQ(tamrin::fastDenoisePatches(work, pointers.data(), 3, tamrin::noiseCorrection(M, N), sigma.data(),
                                         weight.data(), host.log()),
              1);
    tamrin::injectAllocationFailure(0);
    EXPECT_EQ(firstDifference(patches[0], first.patch), -1);
    EXPECT_TRUE(sameBits(sigma[0], first.sigma));
    tamrin::fastPatchWorkRelease(work);
}

}  // namespace
