// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, stages 1 to 4 for one patch: column means and centring,
// Householder bidiagonalisation, accumulation of the right-hand reflections
// into V and of the left-hand ones into U.
//
// The matrix is kept row-major here, so that the column updates and the
// sums t_j = sum_k A[k][i] * A[k][j] of all columns j run in the lanes of
// vectors: each lane adds its own products in the plain order. The row
// reflection sums t_j = sum_k A[j][k] * A[i][k] are per row: W rows are
// multiplied together, the products are transposed in registers and added
// in column order. Sums that start over at every i (the scale and s of each
// reflection) stay scalar.
#include <cstring>

#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// t[c] = sum over k in [k0, k1) of mult[k * ms] * X[k * ldx + j0 + c * W + lane],
// each lane adding in ascending k from +0.0.
template <int C>
inline void laneDots(const double* mult, int64_t ms, const double* X, int64_t ldx, int32_t k0, int32_t k1, int64_t j0,
                     vd* t) {
    vd acc[C];
    for (int c = 0; c < C; c++) acc[c] = vd{};
    for (int64_t k = k0; k < k1; k++) {
        const double s = mult[k * ms];
        const double* row = X + k * ldx + j0;
        for (int c = 0; c < C; c++) acc[c] = acc[c] + s * loadu(row + c * W);
    }
    for (int c = 0; c < C; c++) t[c] = acc[c];
}

// X[k][j0 + c * W + lane] += f[c] * mult[k * ms] for k in [k0, k1).
template <int C>
inline void laneUpdates(const double* mult, int64_t ms, double* X, int64_t ldx, int32_t k0, int32_t k1, int64_t j0,
                        const vd* f) {
    for (int64_t k = k0; k < k1; k++) {
        const double s = mult[k * ms];
        double* row = X + k * ldx + j0;
        for (int c = 0; c < C; c++) storeu(row + c * W, loadu(row + c * W) + f[c] * s);
    }
}

// How the multiplier of a column update follows from its sum t.
enum class Factor { Plain, DivideBy, DivideThenScale };

// For every column j in [l, n) of X: t_j = sum over k in [dk0, k1) of
// dmult[k] * X[k][j]; f_j from t_j; X[k][j] += f_j * umult[k] for k in
// [uk0, k1). Columns do not read each other, so all of them run at once.
template <int C>
inline void columnGroup(const double* dmult, int64_t dms, const double* umult, int64_t ums, double* X, int64_t ldx,
                        int32_t dk0, int32_t uk0, int32_t k1, int64_t j0, Factor factor, double p, double q) {
    vd f[C];
    laneDots<C>(dmult, dms, X, ldx, dk0, k1, j0, f);
    for (int c = 0; c < C; c++) {
        if (factor == Factor::DivideBy)
            f[c] = f[c] / p;
        else if (factor == Factor::DivideThenScale)
            f[c] = (f[c] / p) * q;
    }
    laneUpdates<C>(umult, ums, X, ldx, uk0, k1, j0, f);
}

void columnSweep(const double* dmult, int64_t dms, const double* umult, int64_t ums, double* X, int64_t ldx,
                 int32_t dk0, int32_t uk0, int32_t k1, int32_t l, int32_t n, Factor factor, double p, double q) {
    for (int64_t j0 = l; j0 < n; j0 += 4 * W) {
        const int64_t chunks = (n - j0 + W - 1) / W;
        switch (chunks >= 4 ? 4 : chunks) {
            case 4:
                columnGroup<4>(dmult, dms, umult, ums, X, ldx, dk0, uk0, k1, j0, factor, p, q);
                break;
            case 3:
                columnGroup<3>(dmult, dms, umult, ums, X, ldx, dk0, uk0, k1, j0, factor, p, q);
                break;
            case 2:
                columnGroup<2>(dmult, dms, umult, ums, X, ldx, dk0, uk0, k1, j0, factor, p, q);
                break;
            default:
                columnGroup<1>(dmult, dms, umult, ums, X, ldx, dk0, uk0, k1, j0, factor, p, q);
                break;
        }
    }
}

// Row reflection of step i for the rows j in [r0, r1): t_j = sum over k in
// [l, n) of A[j][k] * A[i][k], then A[j][k] += t_j * e[k]. W rows make a
// group: their products are transposed so that each lane adds its row's
// products in column order. The sums of up to G groups advance together,
// which keeps their addition chains overlapping. Groups that run past r1
// read the rows below (or the zero padding rows past m) and drop their sums.
template <int G>
void rowBlocks(double* A, int64_t ldr, int32_t i, int32_t l, int64_t r0, int64_t r1, int32_t n, const double* e) {
    const double* ri = A + i * ldr;
    for (int64_t j0 = r0; j0 < r1; j0 += G * W) {
        const int64_t groups = (r1 - j0 + W - 1) / W < G ? (r1 - j0 + W - 1) / W : G;
        vd t[G];
        for (int q = 0; q < G; q++) t[q] = vd{};
        for (int64_t k = l; k < n; k += W) {
            const vd x = loadu(ri + k);
            const int64_t cols = n - k < W ? n - k : W;
            for (int64_t q = 0; q < groups; q++) {
                vd p[W];
                const double* rows = A + (j0 + q * W) * ldr + k;
                for (int r = 0; r < W; r++) p[r] = loadu(rows + r * ldr) * x;
                transpose(p);
                vd sum = t[q];
                for (int64_t c = 0; c < cols; c++) sum = sum + p[c];
                t[q] = sum;
            }
        }
        const int64_t rows = r1 - j0 < G * W ? r1 - j0 : G * W;
        for (int64_t r = 0; r < rows; r++) {
            double* row = A + (j0 + r) * ldr;
            const double tr = t[r / W][r % W];
            for (int64_t k = l; k < n; k += W) storeu(row + k, loadu(row + k) + tr * loadu(e + k));
        }
    }
}

// Householder reduction to bidiagonal form (w, e[1..n-1]); returns the norm bound.
// col and sq: scratch of m + W doubles each.
double bidiagonalise(double* A, int64_t ldr, int32_t m, int32_t n, double* w, double* e, double* col, double* sq) {
    double g = 0.0, scale = 0.0, bound = 0.0;
    for (int32_t i = 0; i < n; i++) {
        const int32_t l = i + 1;
        e[i] = scale * g;
        g = 0.0;
        double s = 0.0;
        scale = 0.0;
        if (i < m) {
            // Column i, rows i .. m-1, as a contiguous copy c[i .. m-1]; the
            // lanes past m hold zeros.
            double* ci = A + i;
            double* c = col;
            for (int64_t k = i; k < m; k++) c[k] = ci[k * ldr];
            for (int64_t k = m; k < m + W; k++) c[k] = 0.0;
            for (int64_t k = i; k < m; k++) scale += fabsOf(c[k]);
            if (scale != 0.0) {
                for (int64_t k = i; k < m; k += W) storeu(c + k, loadu(c + k) / scale);
                for (int64_t k = i; k < m; k += W) {
                    const vd v = loadu(c + k);
                    storeu(sq + k, v * v);
                }
                for (int64_t k = i; k < m; k++) s += sq[k];
                const double f = c[i];
                g = -signOf(__builtin_sqrt(s), f);
                const double h = f * g - s;
                c[i] = f - g;
                columnSweep(c, 1, c, 1, A, ldr, i, i, m, l, n, Factor::DivideBy, h, 0.0);
                for (int64_t k = i; k < m; k += W) storeu(c + k, loadu(c + k) * scale);
                for (int64_t k = i; k < m; k++) ci[k * ldr] = c[k];
            }
        }
        w[i] = scale * g;
        g = 0.0;
        s = 0.0;
        scale = 0.0;
        if (i < m && i != n - 1) {
            double* ri = A + i * ldr;
            for (int32_t k = l; k < n; k++) scale += fabsOf(ri[k]);
            if (scale != 0.0) {
                for (int32_t k = l; k < n; k++) {
                    ri[k] /= scale;
                    s += ri[k] * ri[k];
                }
                const double f = ri[l];
                g = -signOf(__builtin_sqrt(s), f);
                const double h = f * g - s;
                ri[l] = f - g;
                for (int32_t k = l; k < n; k++) e[k] = ri[k] / h;
                rowBlocks<8>(A, ldr, i, l, l, m, n, e);
                for (int32_t k = l; k < n; k++) ri[k] *= scale;
            }
        }
        const double sum = fabsOf(w[i]) + fabsOf(e[i]);
        if (!(bound > sum)) bound = sum;
    }
    return bound;
}

// Right-hand reflections into the row-major n x n matrix V.
void accumulateRight(const double* A, int64_t ldr, int32_t n, const double* e, double* V) {
    double g = 0.0;
    int32_t l = 0;
    for (int32_t i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            if (g != 0.0) {
                const double* ri = A + i * ldr;
                for (int32_t j = l; j < n; j++) V[j * ldr + i] = (ri[j] / ri[l]) / g;
                columnSweep(ri, 1, V + i, ldr, V, ldr, l, l, n, l, n, Factor::Plain, 0.0, 0.0);
            }
            for (int32_t j = l; j < n; j++) {
                V[i * ldr + j] = 0.0;
                V[j * ldr + i] = 0.0;
            }
        }
        V[i * ldr + i] = 1.0;
        g = e[i];
        l = i;
    }
}

// Left-hand reflections into A, which becomes U.
void accumulateLeft(double* A, int64_t ldr, int32_t m, int32_t n, const double* w) {
    for (int32_t i = (m < n ? m : n) - 1; i >= 0; i--) {
        const int32_t l = i + 1;
        double g = w[i];
        double* ci = A + i;
        for (int32_t j = l; j < n; j++) A[i * ldr + j] = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            columnSweep(ci, ldr, ci, ldr, A, ldr, l, i, m, l, n, Factor::DivideThenScale, ci[i * ldr], g);
            for (int64_t j = i; j < m; j++) ci[j * ldr] *= g;
        } else {
            for (int64_t j = i; j < m; j++) ci[j * ldr] = 0.0;
        }
        ci[i * ldr] += 1.0;
    }
}

}  // namespace

// dst[c * ldd + r] = src[r * lds + c] for r < rows and c < cols.
void transposeInto(const double* src, int64_t lds, double* dst, int64_t ldd, int32_t rows, int32_t cols) {
    int64_t r0 = 0;
    for (; r0 + W <= rows; r0 += W) {
        int64_t c0 = 0;
        for (; c0 + W <= cols; c0 += W) {
            vd p[W];
            for (int r = 0; r < W; r++) p[r] = loadu(src + (r0 + r) * lds + c0);
            transpose(p);
            for (int c = 0; c < W; c++) storeu(dst + (c0 + c) * ldd + r0, p[c]);
        }
        for (; c0 < cols; c0++)
            for (int64_t r = r0; r < r0 + W; r++) dst[c0 * ldd + r] = src[r * lds + c0];
    }
    for (; r0 < rows; r0++)
        for (int64_t c = 0; c < cols; c++) dst[c * ldd + r0] = src[r0 * lds + c];
}

void reduceLane(FastPatchWork* work, int32_t b, const double* patch) {
    const int32_t M = work->M, N = work->N;
    const int64_t ldr = work->ldr;
    double* A = work->rowA;
    double* means = work->means + b * work->laneVec;
    double* w = work->w + b * work->laneVec;
    double* e = work->e + b * work->laneVec;

    // Row form of the patch, with zero padding columns.
    transposeInto(patch, M, A, ldr, N, M);
    for (int64_t k = 0; k < M; k++) std::memset(A + k * ldr + N, 0, sizeof(double) * static_cast<size_t>(ldr - N));

    // Column means, each lane one column adding its voxels in order, then centring.
    for (int64_t i0 = 0; i0 < N; i0 += W) {
        vd sum = vd{};
        for (int64_t k = 0; k < M; k++) sum = sum + loadu(A + k * ldr + i0);
        storeu(means + i0, sum / static_cast<double>(M));
    }
    for (int64_t k = 0; k < M; k++)
        for (int64_t i0 = 0; i0 < N; i0 += W) storeu(A + k * ldr + i0, loadu(A + k * ldr + i0) - loadu(means + i0));

    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    work->laneWaits[b] = 0;
    if (int64_t{M} * N > kFastLargePatch) {
        // Stages 3 and 4 wait until the rebuild knows which columns it reads
        // (fast_accumulate.cpp): the Householder columns go to U, the first
        // N rows of the matrix to V, w and e (which the diagonalisation
        // changes) to reflectW and reflectE.
        work->bound[b] = bidiagonaliseLarge(A, ldr, M, N, w, e, work->scratch);
        transposeInto(A, ldr, U, work->ldc, M, N);
        for (int64_t c = 0; c < N; c++) {
            std::memcpy(V + c * work->ldv, A + c * ldr, sizeof(double) * static_cast<size_t>(N));
            std::memset(U + c * work->ldc + M, 0, sizeof(double) * static_cast<size_t>(work->ldc - M));
            std::memset(V + c * work->ldv + N, 0, sizeof(double) * static_cast<size_t>(work->ldv - N));
        }
        std::memcpy(work->reflectW + b * work->laneVec, w, sizeof(double) * static_cast<size_t>(N));
        std::memcpy(work->reflectE + b * work->laneVec, e, sizeof(double) * static_cast<size_t>(N));
        work->laneWaits[b] = 1;
        return;
    }
    work->bound[b] = bidiagonalise(A, ldr, M, N, w, e, work->scratch, work->scratch + work->ldc + 8);
    accumulateRight(A, ldr, N, e, work->rowV);
    accumulateLeft(A, ldr, M, N, w);

    // Column form for the rotations, with zero padding rows.
    transposeInto(A, ldr, U, work->ldc, M, N);
    transposeInto(work->rowV, ldr, V, work->ldv, N, N);
    for (int64_t c = 0; c < N; c++) {
        std::memset(U + c * work->ldc + M, 0, sizeof(double) * static_cast<size_t>(work->ldc - M));
        std::memset(V + c * work->ldv + N, 0, sizeof(double) * static_cast<size_t>(work->ldv - N));
    }
}

void reduceLanes(FastPatchWork* work, int32_t count, const double* const* patches, int32_t together) {
    for (int32_t b = 0; b < count; b++) work->laneGroup[b] = -1;
    for (int32_t b0 = 0; b0 < count; b0 += W) {
        const int32_t lanes = count - b0 < W ? count - b0 : W;
        if (work->inter != nullptr && lanes >= together) {
            reduceGroup(work, b0, count, patches);
            continue;
        }
        for (int32_t b = b0; b < b0 + lanes; b++) reduceLane(work, b, patches[b]);
    }
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
