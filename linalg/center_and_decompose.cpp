// SPDX-License-Identifier: BSD-3-Clause
// centerAndDecompose: subtract each volume's mean over the patch, then decompose.
#include "linalg/pca.h"

namespace tamrin {

void centerPatch(double* patch, double* means, int32_t M, int32_t N) {
    const int64_t rows = M;
    for (int64_t i = 0; i < N; i++) {
        double sum = 0.0;
        for (int64_t k = 0; k < rows; k++) sum += patch[i * rows + k];
        means[i] = sum / static_cast<double>(M);
    }
    for (int64_t i = 0; i < N; i++)
        for (int64_t k = 0; k < rows; k++) patch[i * rows + k] = patch[i * rows + k] - means[i];
}

int32_t centerAndDecompose(double* patch, double* U, double* w, double* V, double* means, int32_t M, int32_t N,
                           MessageLog* log) {
    centerPatch(patch, means, M, N);
    return decomposePatch(patch, U, w, V, M, N, log);
}

}  // namespace tamrin
