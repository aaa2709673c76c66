// SPDX-License-Identifier: BSD-3-Clause
// Shared by the fast kernel's tests: seeded patches of every kind, the
// plain path's results for them, bit comparisons, the instruction-set cap,
// and the kernel's full decomposition of one patch from its stages.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "linalg/fast_kernel.h"
#include "tamrin/messages.h"

namespace tamrin_test {

// What a patch is made of.
enum Kind {
    kRealistic,      // smooth components plus noise
    kGaussian,       // independent values at a random scale and offset
    kRankDeficient,  // rank 1 to 3 plus a constant
    kIntegers,       // small integers: ties and exact cancellations
    kConstantColumns,
    kConstant,
    kDuplicateColumns,
    kMixedScales,  // columns 10^-150 .. 10^150 apart
    kHuge,         // around 1e300: overflows inside the decomposition
    kTiny,         // denormals
    kSpike,        // one value far above the rest
    kWithNaN,
    kWithInf,
    kSparseVoxels,  // one to five voxels, zero elsewhere: the edge of a zero background
    kKinds
};

// An M x N patch (column-contiguous) of the given kind.
std::vector<double> makePatch(Kind kind, int32_t M, int32_t N, std::mt19937_64& rng);

// Results of the per-patch plain path for one patch.
struct Outcome {
    std::vector<double> patch;
    double sigma = 0.0, weight = 0.0;
};
Outcome plainDenoise(std::vector<double> patch, int32_t M, int32_t N, tamrin::MessageLog* log = nullptr);

// Index of the first value whose bits differ, or -1.
long firstDifference(const std::vector<double>& a, const std::vector<double>& b);

// The same, counting two NaN as equal: the fast kernel gives NaN exactly
// where the plain path does (only the payload may differ), which is why whole
// patches with NaN results can be handed to the plain path.
long firstMismatch(const std::vector<double>& a, const std::vector<double>& b);

// Caps the kernel at one instruction set for the lifetime of the object.
class IsaScope {
public:
    explicit IsaScope(int32_t isa);
    ~IsaScope();

private:
    int32_t previous_;
};

const char* isaName(int32_t isa);

// The fast kernel's decomposition of one finite patch in the plain path's
// layouts: its stages run as a batch of one, with U and V accumulated in full
// and every rotation replayed, and the columns are taken in sorted order with
// the sign convention (a column pair of U and V with more than (M + N) / 2
// entries below zero is negated), as centerAndDecompose leaves them. Returns
// the convergence messages the kernel held back.
int32_t fastDecomposition(tamrin::FastPatchWork* work, int32_t isa, const std::vector<double>& input, double* patch,
                          double* U, double* w, double* V, double* means);

// The decomposition itself against centerAndDecompose, in all five arrays
// and the message count, on every instruction set the processor has, for
// `trials` finite seeded M x N patches of every kind (non-finite ones never
// reach the fast stages). The plain path runs once per patch.
void compareDecompositions(int32_t M, int32_t N, int32_t trials, uint64_t seed);

}  // namespace tamrin_test
