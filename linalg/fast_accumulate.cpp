// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, stages 3 and 4 of a large patch once its rebuild knows which
// columns of U and V it reads.
//
// reduceLane leaves a large patch's lane after the bidiagonalisation: the
// Householder columns in colA (column-major, as the bidiagonalisation left
// the matrix), its first n rows in colV (row-major), and the lane waiting.
// Column j of U depends only on Householder columns i <= j and its own
// earlier values, column j of V only on rows i < j and its own values; so
// the accumulation runs for the listed columns alone (those markLane asked
// for: from a tenth to two thirds of them in the usual patch), their values
// side by side in the lanes of vectors, each lane going through exactly the
// plain statements of its column. A step skips the columns it does not
// reach. Columns not listed are left undefined.
#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Vectors of listed columns whose sums advance together.
constexpr int kChunk = 8;

// How the multiplier of a column update follows from its sum t.
enum class Factor { Plain, DivideThenScale };

// One step of an accumulation on C vectors of listed columns (Y, row-major,
// stride ldy): t = sum over k in [d0, k1) of a[k] * Y[k] (each lane in
// ascending k), f from t, then Y[k] += f * b[k] for k in [u0, k1). With
// Masked, only the lanes set in mask change (the first vector only).
template <int C, bool Masked>
void stepColumns(const double* a, const double* b, double* Y, int64_t ldy, int64_t d0, int64_t u0, int64_t k1,
                 Factor factor, double p, double q, vm mask) {
    vd f[C];
    for (int c = 0; c < C; c++) f[c] = vd{};
    for (int64_t k = d0; k < k1; k++) {
        const double s = a[k];
        const double* row = Y + k * ldy;
        for (int c = 0; c < C; c++) f[c] = f[c] + s * loadu(row + c * W);
    }
    if (factor == Factor::DivideThenScale)
        for (int c = 0; c < C; c++) f[c] = (f[c] / p) * q;
    for (int64_t k = u0; k < k1; k++) {
        const double s = b[k];
        double* row = Y + k * ldy;
        for (int c = 0; c < C; c++) {
            const vd y = loadu(row + c * W);
            const vd updated = y + f[c] * s;
            storeu(row + c * W, Masked && c == 0 ? select(mask, updated, y) : updated);
        }
    }
}

// stepColumns over the listed lanes from `from` to `count`: the vector that
// holds `from` changes only from there on; the others in chunks of up to
// kChunk vectors (lanes past count are scratch).
void stepListed(const double* a, const double* b, double* Y, int64_t ldy, int64_t d0, int64_t u0, int64_t k1,
                Factor factor, double p, double q, int32_t from, int32_t count) {
    int32_t q0 = from / W * W;
    if (q0 < from) {
        vm mask;
        for (int l = 0; l < W; l++) mask[l] = q0 + l >= from ? -1 : 0;
        stepColumns<1, true>(a, b, Y + q0, ldy, d0, u0, k1, factor, p, q, mask);
        q0 += W;
    }
    for (; q0 < count; q0 += kChunk * W) {
        const int32_t vectors = (count - q0 + W - 1) / W;
        double* Yq = Y + q0;
        switch (vectors >= kChunk ? kChunk : vectors) {
            case 8: stepColumns<8, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 7: stepColumns<7, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 6: stepColumns<6, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 5: stepColumns<5, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 4: stepColumns<4, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 3: stepColumns<3, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            case 2: stepColumns<2, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
            default: stepColumns<1, false>(a, b, Yq, ldy, d0, u0, k1, factor, p, q, vm{}); break;
        }
    }
}

// Columns cols[0 .. count-1] (ascending) of V into Y (n rows, stride ldy).
// Column j after its own step is 1 at row j and 0 below; step i < j, when
// g = e[i + 1] is not 0, adds t * u_k to rows k > i, with u_k = (A[i][k] /
// A[i][i + 1]) / g and t = sum over k > i of A[i][k] * V[k][j]; every step
// i < j then clears row i. R: the first n rows of A (stride ldv).
void rightColumns(const double* R, int64_t ldv, int32_t n, const double* e, const int32_t* cols, int32_t count,
                  double* Y, int64_t ldy, double* u) {
    for (int64_t k = 0; k < n; k++)
        for (int64_t q = 0; q < ldy; q++) Y[k * ldy + q] = q < count && cols[q] == k ? 1.0 : 0.0;
    int32_t from = count;  // lanes from `from` on hold columns j > i
    for (int64_t i = cols[count - 1] - 1; i >= 0; i--) {
        while (from > 0 && cols[from - 1] > i) from--;
        const int64_t l = i + 1;
        const double g = e[l];
        if (g != 0.0) {
            const double* ri = R + i * ldv;
            for (int64_t k = l; k < n; k++) u[k] = (ri[k] / ri[l]) / g;
            stepListed(ri, u, Y, ldy, l, l, n, Factor::Plain, 0.0, 0.0, from, count);
        }
        for (int32_t q = from; q < count; q++) Y[i * ldy + q] = 0.0;
    }
}

// Columns cols[0 .. count-1] (ascending) of U into Y (m rows, stride ldy).
// Column j starts as Householder column j (rows j and below; H holds the
// columns, stride ldc). Step j scales it by g = 1 / w[j] (or clears it when
// w[j] is 0) and adds 1 at row j; step i < j first clears row i and, when
// w[i] is not 0, adds f * H[k][i] to rows k >= i, with f = (t / H[i][i]) *
// (1 / w[i]) and t = sum over k > i of H[k][i] * U[k][j].
void leftColumns(const double* H, int64_t ldc, int32_t m, const double* w, const int32_t* cols, int32_t count,
                 double* Y, int64_t ldy) {
    for (int64_t k = 0; k < m; k++)
        for (int64_t q = 0; q < ldy; q++) Y[k * ldy + q] = 0.0;
    for (int32_t q = 0; q < count; q++)
        for (int64_t k = cols[q]; k < m; k++) Y[k * ldy + q] = H[cols[q] * ldc + k];
    int32_t from = count;
    for (int64_t i = cols[count - 1]; i >= 0; i--) {
        while (from > 0 && cols[from - 1] > i) from--;
        for (int32_t q = from; q < count; q++) Y[i * ldy + q] = 0.0;
        const bool reflect = w[i] != 0.0;
        const double g = reflect ? 1.0 / w[i] : 0.0;
        const double* hi = H + i * ldc;
        if (reflect && from < count) stepListed(hi, hi, Y, ldy, i + 1, i, m, Factor::DivideThenScale, hi[i], g, from, count);
        if (from > 0 && cols[from - 1] == i) {
            double* own = Y + (from - 1);
            for (int64_t k = i; k < m; k++) own[k * ldy] = reflect ? own[k * ldy] * g : 0.0;
            own[i * ldy] += 1.0;
        }
    }
}

// Lists the columns c with need[c] != 0 (all of them when `all`).
int32_t listColumns(const uint8_t* need, int32_t n, bool all, int32_t* cols) {
    int32_t count = 0;
    for (int32_t c = 0; c < n; c++)
        if (all || need[c] != 0) cols[count++] = c;
    return count;
}

// Stages 3 and 4 of waiting lane b for the listed columns.
void accumulateLane(FastPatchWork* work, int32_t b, bool all) {
    const int32_t M = work->M, N = work->N;
    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    int32_t* cols = work->used;
    double* Y = work->rowA;

    int32_t count = listColumns(work->needV + int64_t{b} * N, N, all, cols);
    int64_t ldy = (count + W - 1) / W * W;
    if (count > 0) {
        rightColumns(V, work->ldv, N, work->reflectE + b * work->laneVec, cols, count, Y, ldy, work->scratch);
        // The rows of A in V are read to the end; now the columns take their place.
        for (int32_t q = 0; q < count; q++) {
            double* column = V + int64_t{cols[q]} * work->ldv;
            for (int64_t k = 0; k < N; k++) column[k] = Y[k * ldy + q];
        }
    }
    count = listColumns(work->needU + int64_t{b} * N, N, all, cols);
    ldy = (count + W - 1) / W * W;
    if (count > 0) {
        leftColumns(U, work->ldc, M, work->reflectW + b * work->laneVec, cols, count, Y, ldy);
        for (int32_t q = 0; q < count; q++) {
            double* column = U + int64_t{cols[q]} * work->ldc;
            for (int64_t k = 0; k < M; k++) column[k] = Y[k * ldy + q];
        }
    }
    work->laneWaits[b] = 0;
}

}  // namespace

void accumulateLanes(FastPatchWork* work, int32_t count, bool all) {
    accumulateGroups(work, count, all);
    for (int32_t b = 0; b < count; b++)
        if (work->laneWaits[b] != 0) accumulateLane(work, b, all);
}

void completeLane(FastPatchWork* work, int32_t b) {
    if (work->laneGroup[b] >= 0) accumulateGroup(work, work->laneGroup[b]);
    if (work->laneWaits[b] != 0) accumulateLane(work, b, true);
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
