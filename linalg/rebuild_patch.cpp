// SPDX-License-Identifier: BSD-3-Clause
// rebuildPatch: patch = U * diag(w) * V^T + means, column by column.
//
// A component whose w[j] is zero contributes nothing: its vector in U is set
// to zeros and it is left out of the sums. For finite vectors this gives the
// same bits as multiplying through (the products are +-0.0, and adding +-0.0
// to a sum that starts at +0.0 never changes it). It matters when the
// decomposition left infinities or NaN in the vectors of a vanishing
// component, which a near-empty patch at the edge of a zero background
// produces: 0 * Inf would otherwise turn the whole patch into NaN.
#include "linalg/pca.h"

namespace tamrin {

void rebuildPatch(double* patch, double* U, const double* w, const double* V, const double* means, int32_t M,
                  int32_t N) {
    const int64_t K = M < N ? M : N;
    const int64_t rows = M;
    for (int64_t j = 0; j < K; j++)
        for (int64_t k = 0; k < rows; k++) U[j * rows + k] = w[j] == 0.0 ? 0.0 : U[j * rows + k] * w[j];
    for (int64_t i = 0; i < N; i++) {
        for (int64_t k = 0; k < rows; k++) {
            double sum = 0.0;
            for (int64_t j = 0; j < K; j++)
                if (w[j] != 0.0) sum += U[j * rows + k] * V[i * K + j];
            patch[i * rows + k] = sum;
        }
    }
    for (int64_t i = 0; i < N; i++)
        for (int64_t k = 0; k < rows; k++) patch[i * rows + k] = patch[i * rows + k] + means[i];
}

}  // namespace tamrin
