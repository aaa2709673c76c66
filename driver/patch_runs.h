// SPDX-License-Identifier: BSD-3-Clause
// Denoising the patches of given positions of a series, for the slab worker
// and the shared scheduler: a batch with the fast kernel, or one patch with
// the plain kernel, each with the scaled second attempt for patches whose
// finite values gave a result that is not finite.
#pragma once

#include <cmath>
#include <cstdint>

#include "denoise_job.h"
#include "linalg/finite.h"
#include "linalg/pca.h"
#include "patch/fast_patch.h"
#include "patch/noise.h"
#include "patch/rescue_patch.h"
#include "series_patches.h"

namespace tamrin {

// A patch whose values were all finite (so their total is) must not leave a
// non-finite result: that is the arithmetic breaking down, not the data.
inline bool needsRescue(double total, const double* patch, int64_t count, double sigma) {
    if (!std::isfinite(total)) return false;
    return !std::isfinite(sigma) || !allFinite(patch, count);
}

// Where a run's decomposition messages go: the call's log, or stderr.
inline MessageLog* messagesOf(const DenoiseOptions* options) { return options != nullptr ? options->messages : nullptr; }

inline bool cancelRequested(const DenoiseOptions* options) {
    return options != nullptr && options->cancel != nullptr && options->cancel->load(std::memory_order_relaxed);
}

inline void addProgress(const DenoiseOptions* options, int64_t positions) {
    if (positions > 0 && options != nullptr && options->progress != nullptr)
        options->progress->fetch_add(positions, std::memory_order_relaxed);
}

// Arrays of one patch's decomposition (U: M*N, V: N*N, w and means: N): the
// plain kernel's, and the second attempt's.
struct PatchArrays {
    double *U = nullptr, *V = nullptr, *w = nullptr, *means = nullptr;
};

// Lays out PatchArrays for M x N patches in `block` (M*N + N*N + 2N doubles).
inline PatchArrays patchArraysIn(double* block, int64_t M, int64_t N) {
    PatchArrays a;
    a.U = block;
    a.V = a.U + N * M;
    a.w = a.V + N * N;
    a.means = a.w + N;
    return a;
}

// Denoises the patches at at[b] (b < count <= the work store's batch), whose
// running totals are totals[b], into patches[b] with the fast kernel: their
// reconstructions, noise levels sigma[b] and weights weight[b]. Returns the
// number done: count, or the index of the first patch whose decomposition
// found no memory.
template <typename In>
int32_t denoiseBatch(FastPatchWork* work, const PatchArrays& rescue, In input, const Geometry& geo,
                     const int64_t (*at)[3], const double* totals, int32_t count, double* const* patches,
                     double* sigma, double* weight, double correction, MessageLog* log) {
    if (count == 0) return 0;
    const int64_t size = int64_t{geo.M} * geo.N;
    copyPatches(input, geo, at, count, patches);
    int32_t done = fastDenoisePatches(work, patches, count, correction, sigma, weight, log);
    for (int32_t i = 0; i < done; i++) {
        if (!needsRescue(totals[i], patches[i], size, sigma[i])) continue;
        extractPatch(input, geo, at[i][0], at[i][1], at[i][2], patches[i]);
        if (rescuePatch(patches[i], rescue.U, rescue.w, rescue.V, rescue.means, geo.M, geo.N, correction, &sigma[i],
                        &weight[i], log) != 0)
            return i;
    }
    return done;
}

// Denoises the patch at `at` with the plain kernel into patch (M*N doubles),
// its noise level and weight into *sigma and *weight. Returns 1 when it was
// denoised, 0 when its values sum to exactly 0.0 (it is skipped: background)
// and -1 when its decomposition found no memory.
template <typename In>
int32_t denoisePlain(const PatchArrays& a, In input, const Geometry& geo, const int64_t* at, double* patch,
                     double* sigma, double* weight, double correction, MessageLog* log) {
    // Exact-zero patches (background) are skipped; NaN is not.
    const double total = extractPatch(input, geo, at[0], at[1], at[2], patch);
    if (total == 0.0) return 0;
    if (centerAndDecompose(patch, a.U, a.w, a.V, a.means, geo.M, geo.N, log) != 0) return -1;
    *sigma = estimateNoise(a.w, geo.N, geo.M, correction);
    *weight = selectComponents(a.w, geo.N, geo.M, *sigma, nullptr);
    rebuildPatch(patch, a.U, a.w, a.V, a.means, geo.M, geo.N);
    if (needsRescue(total, patch, int64_t{geo.M} * geo.N, *sigma)) {
        extractPatch(input, geo, at[0], at[1], at[2], patch);
        if (rescuePatch(patch, a.U, a.w, a.V, a.means, geo.M, geo.N, correction, sigma, weight, log) != 0) return -1;
    }
    return 1;
}

}  // namespace tamrin
