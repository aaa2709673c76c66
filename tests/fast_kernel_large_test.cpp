// SPDX-License-Identifier: BSD-3-Clause
// The fast kernel against the plain path on the large patches of series with
// many volumes (216 x 200 for N = 200, 343 x 288 for N = 288), bit for bit:
// rebuilt patches, noise levels, weights and messages of seeded patches of
// every kind, on every instruction set the processor has, and the full
// decomposition. The plain path takes about a tenth of a second for one
// 343 x 288 patch, so it runs once per patch and the counts stay modest.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fast_kernel_support.h"
#include "linalg/fast_work.h"
#include "patch/fast_patch.h"
#include "patch/noise.h"
#include "test_support.h"

namespace {

using namespace tamrin_test;

// Kinds on which the plain path converges in its usual few sweeps.
const std::vector<Kind> kUsualKinds = {kRealistic,       kGaussian,  kRankDeficient,    kIntegers,
                                       kConstantColumns, kConstant,  kDuplicateColumns, kMixedScales,
                                       kSpike,           kSparseVoxels};

// `count` seeded M x N patches through the plain path once and through the
// fast kernel on each instruction set in batches of every size up to the
// work store's: every output bit and the message count. Every tenth patch
// is of the next of the `rare` kinds, whose singular values run out of
// sweeps (huge and tiny values, NaN and Inf): several times the cost, and
// NaN results take the plain path in the fast kernel too.
void compareLarge(int32_t M, int32_t N, int32_t count, uint64_t seed, const std::vector<Kind>& rare) {
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> inputs(count);
    std::vector<Kind> kinds(count);
    std::vector<Outcome> plain(count);
    std::vector<std::size_t> plainMessages(count);
    for (int32_t b = 0, usual = 0, unusual = 0; b < count; b++) {
        kinds[b] = b % 10 == 9 && !rare.empty() ? rare[unusual++ % rare.size()] : kUsualKinds[usual++ % kUsualKinds.size()];
        inputs[b] = makePatch(kinds[b], M, N, rng);
        CapturedMessages host;
        plain[b] = plainDenoise(inputs[b], M, N, host.log());
        plainMessages[b] = host.messages().size();
    }
    const double correction = tamrin::noiseCorrection(M, N);
    int32_t tested = 0;
    for (int32_t isa : {tamrin::kFastIsaBaseline, tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512}) {
        if (!tamrin::fastIsaAvailable(isa)) continue;
        IsaScope scope(isa);
        tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
        ASSERT_NE(work, nullptr);
        const int32_t batch = tamrin::fastPatchWorkBatch(work);
        for (int32_t first = 0, size = batch; first < count; first += size, size = size % batch + 1) {
            const int32_t lanes = size < count - first ? size : count - first;
            std::vector<std::vector<double>> fast(inputs.begin() + first, inputs.begin() + first + lanes);
            std::vector<double*> pointers;
            for (auto& patch : fast) pointers.push_back(patch.data());
            std::vector<double> sigma(lanes), weight(lanes);
            CapturedMessages host;
            ASSERT_EQ(tamrin::fastDenoisePatches(work, pointers.data(), lanes, correction, sigma.data(), weight.data(),
                                                 host.log()),
                      lanes);
            std::size_t expected = 0;
            for (int32_t b = 0; b < lanes; b++) expected += plainMessages[first + b];
            ASSERT_EQ(host.messages().size(), expected) << isaName(isa) << " batch at " << first;
            for (int32_t b = 0; b < lanes; b++) {
                SCOPED_TRACE(testing::Message() << isaName(isa) << " " << M << "x" << N << " kind " << kinds[first + b]
                                                << " patch " << first + b << " lane " << b << " of " << lanes);
                ASSERT_EQ(firstDifference(fast[b], plain[first + b].patch), -1);
                ASSERT_TRUE(sameBits(sigma[b], plain[first + b].sigma));
                ASSERT_TRUE(sameBits(weight[b], plain[first + b].weight));
            }
            tested += lanes;
        }
        tamrin::fastPatchWorkRelease(work);
    }
    EXPECT_GE(tested, count);
}

// The plain path takes about 0.03 s for a usual 216 x 200 patch and 0.3 s for
// a rare one, 0.1 s and 1 s at 343 x 288 (on a quiet core of the 2-core
// test machine). Non-finite input takes the same route whatever the size
// (the plain path), so NaN and Inf patches are only among the smaller ones.
TEST(LargePatchBits, TwoHundredAndSixteenByTwoHundred) {
    compareLarge(216, 200, 130, 101, {kWithNaN, kHuge, kWithInf, kTiny});
}
TEST(LargePatchBits, ThreeHundredFortyThreeByTwoHundredEightyEight) {
    compareLarge(343, 288, 32, 102, {kHuge, kTiny});
}

// The decomposition, every column of U and V: the large patches accumulate
// only the columns they read, and in full only when asked (as here).
TEST(LargePatchDecomposition, MatchesCenterAndDecomposeInEveryArray) {
    compareDecompositions(216, 200, kKinds, 103);
    compareDecompositions(343, 288, 6, 104);  // the first six kinds: the usual ones
}

}  // namespace
