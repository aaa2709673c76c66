// SPDX-License-Identifier: BSD-3-Clause
// Noise estimate and hard-threshold component selection of one patch. The
// patch geometry (patchSide, patchVoxels) is in tamrin/denoise.h.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// 0.26 * (N / M) + 0.9065: corrects the median singular value into a noise level.
double noiseCorrection(int32_t M, int32_t N);

// Noise level of a patch from the median of its singular values above 0.001
// (w non-increasing, K values), each scaled by 1 / sqrt(M - 1).
double estimateNoise(const double* w, int32_t K, int32_t M, double noiseCorrection);

// Zeroes every w[k] whose scaled value w[k] / sqrt(M - 1) does not exceed
// 2.3 * sigma, stores the number kept in *kept (when not null) and returns the
// patch weight 1 / (kept + 1).
double selectComponents(double* w, int32_t K, int32_t M, double sigma, int32_t* kept);

// The number of components kept by a patch whose weight 1 / (kept + 1)
// selectComponents returned: exact for every count a patch can have.
int32_t keptOfWeight(double weight);

}  // namespace tamrin
