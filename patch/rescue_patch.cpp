// SPDX-License-Identifier: BSD-3-Clause
// rescuePatch: the scaled second attempt for patches whose plain result was
// not finite although their values were.
#include "patch/rescue_patch.h"

#include <cmath>
#include <cstring>

#include "linalg/finite.h"
#include "linalg/pca.h"
#include "patch/noise.h"

namespace tamrin {

int32_t rescuePatch(double* patch, double* U, double* w, double* V, double* means, int32_t M, int32_t N,
                    double correction, double* sigma, double* weight, MessageLog* log) {
    centerPatch(patch, means, M, N);
    const int32_t status = decomposeScaled(patch, U, w, V, M, N, log);
    if (status != 0) return status;
    *sigma = estimateNoise(w, N, M, correction);
    *weight = selectComponents(w, N, M, *sigma, nullptr);
    rebuildPatch(patch, U, w, V, means, M, N);
    if (std::isfinite(*sigma) && allFinite(patch, int64_t{M} * N)) return 0;

    std::memset(w, 0, sizeof(double) * static_cast<std::size_t>(N));
    *sigma = 0.0;
    *weight = 1.0;
    rebuildPatch(patch, U, w, V, means, M, N);
    return 0;
}

}  // namespace tamrin
