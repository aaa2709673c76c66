// rebuildPatch: patch = U * diag(w) * V^T + means, column by column.
#include "tamrin/pca.h"

namespace tamrin {

void rebuildPatch(double* patch, double* U, const double* w, const double* V, const double* means, int32_t M,
                  int32_t N) {
    const int64_t K = M < N ? M : N;
    const int64_t rows = M;
    for (int64_t j = 0; j < K; j++)
        for (int64_t k = 0; k < rows; k++) U[j * rows + k] = U[j * rows + k] * w[j];
    for (int64_t i = 0; i < N; i++) {
        for (int64_t k = 0; k < rows; k++) {
            double sum = 0.0;
            for (int64_t j = 0; j < K; j++) sum += U[j * rows + k] * V[i * K + j];
            patch[i * rows + k] = sum;
        }
    }
    for (int64_t i = 0; i < N; i++)
        for (int64_t k = 0; k < rows; k++) patch[i * rows + k] = patch[i * rows + k] + means[i];
}

}  // namespace tamrin
