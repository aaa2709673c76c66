// SPDX-License-Identifier: BSD-3-Clause
// Patch geometry, noise level from the median singular value, and the factor
// that corrects it.
#include <cmath>

#include "patch/noise.h"

namespace tamrin {

int32_t patchSide(int32_t N) { return static_cast<int32_t>(std::ceil(std::pow(static_cast<double>(N), 1.0 / 3.0))); }

int32_t patchVoxels(int32_t N) {
    const int32_t s = patchSide(N);
    return s * s * s;
}

double noiseCorrection(int32_t M, int32_t N) {
    return 0.26 * (static_cast<double>(N) / static_cast<double>(M)) + 0.9065;
}

double estimateNoise(const double* w, int32_t K, int32_t M, double correction) {
    // D: index of the last singular value above the floor (0 when none is).
    int32_t D = 0;
    for (int32_t k = 0; k < K; k++)
        if (w[k] > 0.001) D = k;
    const double t = std::sqrt(static_cast<double>(M - 1));
    const double h = static_cast<double>(D + 1) * 0.5;
    const int32_t i = static_cast<int32_t>(std::floor(static_cast<double>(D) * 0.5));
    const double median = h == std::floor(h) ? (w[i + 1] / t + w[i] / t) * 0.5 : w[i] / t;
    return median * correction;
}

}  // namespace tamrin
