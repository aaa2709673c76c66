// SPDX-License-Identifier: BSD-3-Clause
// The fast per-patch denoiser: chains the decomposition kernel's stages with
// the noise estimate and the component selection over a batch of patches,
// and falls back to the plain path for patches whose results contain NaN.
//
// Why that fallback is exact: the fast path performs the plain operations on
// the same operands, so every value it computes is NaN exactly when the plain
// one is, takes the same branches, and equals it bit for bit when it is not
// NaN. Only the sign and payload of a NaN depend on the operand order the
// compiler picked for a commutative operation. A patch whose results are free
// of NaN is therefore exact; the others are recomputed by the plain path.
// Convergence messages are held back per patch and printed once its result
// is accepted, so a recomputed patch prints only the plain path's.
#include "fast_patch.h"

#include <cstring>

#include "linalg/fast_kernel.h"
#include "linalg/finite.h"
#include "linalg/pca.h"
#include "noise.h"

namespace tamrin {
namespace {

void postMessages(FastPatchWork* work, int32_t b, MessageLog* log) {
    for (int32_t i = 0; i < work->messages[b]; i++) postMessage(log, "no convergence in 30 svdcmp iterations\n");
    work->messages[b] = 0;
}

// The plain path for one patch, on the work store's plain arrays.
int32_t plainDenoise(FastPatchWork* work, double* patch, double correction, double* sigma, double* weight,
                     MessageLog* log) {
    const int32_t M = work->M, N = work->N;
    const int32_t status = centerAndDecompose(patch, work->plainU, work->plainW, work->plainV, work->plainMeans, M, N, log);
    if (status != 0) return status;
    *sigma = estimateNoise(work->plainW, N, M, correction);
    *weight = selectComponents(work->plainW, N, M, *sigma, nullptr);
    rebuildPatch(patch, work->plainU, work->plainW, work->plainV, work->plainMeans, M, N);
    return 0;
}

}  // namespace

int32_t fastDenoisePatches(FastPatchWork* work, double* const* patches, int32_t count, double correction,
                           double* sigma, double* weight, MessageLog* log) {
    const int32_t M = work->M, N = work->N;
    const int64_t size = int64_t{M} * N;
    const FastStages& stages = fastStages(work->isa);

    // Lanes for the finite patches, in order; -1 for the others.
    int32_t lane[kFastMaxBatch];
    const double* inputs[kFastMaxBatch];
    int32_t lanes = 0;
    for (int32_t b = 0; b < count; b++) {
        lane[b] = -1;
        if (!allFinite(patches[b], size)) continue;
        lane[b] = lanes;
        std::memcpy(work->original + lanes * size, patches[b], sizeof(double) * static_cast<size_t>(size));
        work->messages[lanes] = 0;
        inputs[lanes++] = patches[b];
    }
    if (lanes > 0) {
        // A group of few patches is cheaper one by one.
        stages.reduceLanes(work, lanes, inputs, fastLaneWidth(work->isa) / 2);
        stages.diagonaliseLanes(work, lanes);
        // The components each patch keeps, and so the columns of U and V
        // that its rebuild needs, before U and V of reduced groups are made.
        for (int32_t b = 0; b < count; b++) {
            const int32_t l = lane[b];
            if (l < 0) continue;
            stages.sortLane(work, l);
            double* w = work->w + l * work->laneVec;
            sigma[b] = estimateNoise(w, N, M, correction);
            weight[b] = selectComponents(w, N, M, sigma[b], nullptr);
            stages.selectLane(work, l);
        }
        stages.accumulateLanes(work, lanes, false);
    }

    for (int32_t b = 0; b < count; b++) {
        const int32_t l = lane[b];
        if (l >= 0) {
            if (stages.rebuildLane(work, l, patches[b]) && sigma[b] == sigma[b] && weight[b] == weight[b]) {
                postMessages(work, l, log);
                continue;
            }
            work->messages[l] = 0;
            std::memcpy(patches[b], work->original + l * size, sizeof(double) * static_cast<size_t>(size));
        }
        if (plainDenoise(work, patches[b], correction, &sigma[b], &weight[b], log) != 0) return b;
    }
    return count;
}

}  // namespace tamrin
