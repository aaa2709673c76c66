// SPDX-License-Identifier: BSD-3-Clause
// decomposePatch: adapter from the column-contiguous patch layout to the
// row-pointer matrices of svdcmp, and back.
//
// The working store (M + N rows of K doubles, their two pointer arrays and the
// singular value vector) is obtained per call and released before return.
// When it cannot be obtained, or svdcmp fails, U, w and V are zeroed and -1 is
// returned, so that nothing uninitialised ever leaves this routine.
#include <cstring>

#include "linalg/pca.h"
#include "linalg/svd.h"
#include "support/alloc.h"

namespace tamrin {
namespace {

// Frees the first `count` rows and then the pointer array itself.
void releaseRows(double** rows, int32_t count) {
    if (rows == nullptr) return;
    for (int32_t r = 0; r < count; r++) coreFree(rows[r]);
    coreFree(rows);
}

// Obtains `count` row pointers and rows of `width` doubles. On failure releases
// what it obtained and returns nullptr.
double** obtainRows(int32_t count, int32_t width) {
    double** rows = static_cast<double**>(coreMalloc(sizeof(double*) * static_cast<std::size_t>(count)));
    if (rows == nullptr) return nullptr;
    for (int32_t r = 0; r < count; r++) {
        rows[r] = static_cast<double*>(coreMalloc(sizeof(double) * static_cast<std::size_t>(width)));
        if (rows[r] == nullptr) {
            releaseRows(rows, r);
            return nullptr;
        }
    }
    return rows;
}

}  // namespace

int32_t decomposePatch(const double* patch, double* U, double* w, double* V, int32_t M, int32_t N, MessageLog* log) {
    const int32_t K = M < N ? M : N;
    const int64_t rows = M;

    double** A = obtainRows(M, K);
    double* wv = A != nullptr ? static_cast<double*>(coreMalloc(sizeof(double) * static_cast<std::size_t>(K)))
                              : nullptr;
    double** B = wv != nullptr ? obtainRows(N, K) : nullptr;

    int32_t status = -1;
    if (B != nullptr) {
        for (int32_t i = 0; i < N; i++)
            for (int32_t k = 0; k < M; k++) A[k][i] = patch[i * rows + k];
        status = svdcmp(A, M, N, wv, B, log);
    }

    if (status == 0) {
        for (int64_t j = 0; j < K; j++)
            for (int32_t k = 0; k < M; k++) U[j * rows + k] = A[k][j];
        for (int32_t j = 0; j < K; j++) w[j] = wv[j];
        for (int64_t i = 0; i < N; i++)
            for (int32_t j = 0; j < K; j++) V[i * K + j] = B[i][j];
    } else {
        std::memset(U, 0, sizeof(double) * static_cast<std::size_t>(K) * static_cast<std::size_t>(M));
        std::memset(w, 0, sizeof(double) * static_cast<std::size_t>(K));
        std::memset(V, 0, sizeof(double) * static_cast<std::size_t>(N) * static_cast<std::size_t>(K));
    }

    if (A != nullptr) releaseRows(A, M);
    coreFree(wv);
    if (B != nullptr) releaseRows(B, N);
    return status;
}

}  // namespace tamrin
