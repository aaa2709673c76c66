// SPDX-License-Identifier: BSD-3-Clause
// Hard thresholding of singular values against 2.3 times the noise level.
#include <cmath>

#include "patch/noise.h"

namespace tamrin {

double selectComponents(double* w, int32_t K, int32_t M, double sigma, int32_t* kept) {
    const double t = std::sqrt(static_cast<double>(M - 1));
    int32_t count = 0;
    for (int32_t k = 0; k < K; k++) {
        // NaN compares false, so a NaN singular value is kept.
        if (w[k] / t <= 2.3 * sigma)
            w[k] = 0.0;
        else
            count++;
    }
    if (kept != nullptr) *kept = count;
    return 1.0 / static_cast<double>(count + 1);
}

int32_t keptOfWeight(double weight) {
    // weight is 1 / n rounded (n = kept + 1), and 1 / weight rounded lies
    // within about n * 2^-52 of n: far closer than 1/2 for any n below 2^51.
    return static_cast<int32_t>(std::lround(1.0 / weight) - 1);
}

}  // namespace tamrin
