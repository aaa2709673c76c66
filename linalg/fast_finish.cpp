// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, after the diagonalisation: ordering by descending singular
// value, the sign convention and the rebuild of the thresholded patch.
#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Number of entries below zero among rows values (padding rows never are).
inline int64_t negatives(const double* p, int64_t rows) {
    vm count = vm{};
    for (int64_t r = 0; r < rows; r += W) count -= loadu(p + r) < 0.0;
    int64_t total = 0;
    for (int i = 0; i < W; i++) total += count[i];
    return total;
}

// The sign convention: a column pair of U and V with more entries below zero
// than half their rows (M + N) is negated.
inline void orientPair(double* u, int64_t ldc, double* v, int64_t ldv, int64_t rows) {
    if (negatives(u, ldc) + negatives(v, ldv) > rows / 2) {
        for (int64_t r = 0; r < ldc; r += W) storeu(u + r, -loadu(u + r));
        for (int64_t r = 0; r < ldv; r += W) storeu(v + r, -loadu(v + r));
    }
}

}  // namespace

void sortLane(FastPatchWork* work, int32_t b) {
    const int32_t n = work->N;
    double* w = work->w + b * work->laneVec;
    int32_t* order = work->order + int64_t{b} * n;
    for (int32_t j = 0; j < n; j++) order[j] = j;
    // Shell sort with increments ..., 13, 4, 1, on w and the column numbers;
    // only strictly smaller values are passed, so the columns end where the
    // plain path's sort moves them.
    int32_t inc = 1;
    do {
        inc = 3 * inc + 1;
    } while (inc <= n);
    do {
        inc /= 3;
        for (int32_t i = inc; i < n; i++) {
            const double sw = w[i];
            if (!(w[i - inc] < sw)) continue;
            const int32_t column = order[i];
            int32_t j = i;
            while (w[j - inc] < sw) {
                w[j] = w[j - inc];
                order[j] = order[j - inc];
                j -= inc;
                if (j < inc) break;
            }
            w[j] = sw;
            order[j] = column;
        }
    } while (inc > 1);
}

void selectLane(FastPatchWork* work, int32_t b) {
    const int32_t N = work->N;
    const double* w = work->w + b * work->laneVec;
    const int32_t* order = work->order + int64_t{b} * N;
    // Components to add: those whose w[j] is not zero, as in rebuildPatch.
    // Only their columns of U and V are read, so only what those depend on
    // is computed.
    uint8_t* wanted = work->wanted;
    for (int32_t c = 0; c < N; c++) wanted[c] = 0;
    for (int32_t j = 0; j < N; j++)
        if (w[j] != 0.0) wanted[order[j]] = 1;
    markLane(work, b, wanted);
}

bool rebuildLane(FastPatchWork* work, int32_t b, double* patch) {
    const int32_t M = work->M, N = work->N;
    const int64_t ldc = work->ldc, ldv = work->ldv;
    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    const double* w = work->w + b * work->laneVec;
    const double* means = work->means + b * work->laneVec;
    const int32_t* order = work->order + int64_t{b} * N;

    int32_t* used = work->used;
    int32_t count = 0;
    replayLane(work, b);

    for (int32_t j = 0; j < N; j++) {
        if (w[j] == 0.0) continue;
        const int64_t c = order[j];
        used[count++] = static_cast<int32_t>(c);
        double* u = U + c * ldc;
        double* v = V + c * ldv;
        // The majority sign of the column pair, then the scaling.
        orientPair(u, ldc, v, ldv, M + N);
        const double s = w[j];
        for (int64_t r = 0; r < ldc; r += W) storeu(u + r, loadu(u + r) * s);
    }

    vm nan = vm{};
    for (int64_t i = 0; i < N; i++) {
        double* out = patch + i * M;
        const double mean = means[i];
        for (int64_t k = 0; k < M; k += W) {
            vd sum = vd{};
            for (int32_t q = 0; q < count; q++) {
                const int64_t j = used[q];
                sum = sum + loadu(U + j * ldc + k) * V[j * ldv + i];
            }
            const vd value = sum + mean;
            if (k + W <= M) {
                nan |= value != value;
                storeu(out + k, value);
            } else {
                for (int64_t r = 0; r < M - k; r++) {
                    out[k + r] = value[r];
                    if (value[r] != value[r]) nan[0] = -1;
                }
            }
        }
    }
    for (int i = 0; i < W; i++)
        if (nan[i] != 0) return false;
    return true;
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
