// Fast kernel, stage 2 for one large patch (216 x 200, 343 x 288): the
// same statements as the bidiagonalisation in fast_reduce.cpp, scheduled for
// a matrix larger than the core's cache.
//
// Every step is two passes over the trailing block of the row-major matrix.
// First the sums t_j = sum_k A[k][i] * A[k][j] of all columns j (each lane
// adds its products in the plain order, over k ascending), from the top row
// down, panel by panel (kPanel rows for all columns, the partial sums kept in
// memory between panels). Then one pass from the bottom row up, in blocks of
// kRowBlock rows small enough for the first-level cache: the column update
// A[k][j] += f_j * A[k][i] of the block, then its row reflection sums and
// updates (each row its own, so rows may go in any order). The next step's
// sums start at the top, where that pass ended: the rows passed last are
// still in the cache.
#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Rows of a panel of the sums: their partial sums go to memory and back
// once a panel.
constexpr int64_t kPanel = 32;

// Lanes j in [l, end) where end = l + a multiple of W covering n.
inline int64_t laneEnd(int64_t l, int64_t n) { return l + (n - l + W - 1) / W * W; }

// t[j + c * W + lane] += sum over k in [k0, k1) of mult[k * ms] *
// X[k][j + c * W + lane], each lane adding in ascending k.
template <int C>
inline void panelDots(const double* mult, int64_t ms, const double* X, int64_t ldx, int64_t k0, int64_t k1,
                      int64_t j, double* t) {
    vd acc[C];
    for (int c = 0; c < C; c++) acc[c] = loadu(t + j + c * W);
    for (int64_t k = k0; k < k1; k++) {
        const double s = mult[k * ms];
        const double* row = X + k * ldx + j;
        for (int c = 0; c < C; c++) acc[c] = acc[c] + s * loadu(row + c * W);
    }
    for (int c = 0; c < C; c++) storeu(t + j + c * W, acc[c]);
}

// t_j = sum over k in [k0, k1) of mult[k * ms] * X[k][j] for the lanes j in
// [l, laneEnd(l, n)), from +0.0, top to bottom a panel at a time.
void columnDots(const double* mult, int64_t ms, const double* X, int64_t ldx, int64_t k0, int64_t k1, int64_t l,
                int64_t n, double* t) {
    const int64_t end = laneEnd(l, n);
    for (int64_t j = l; j < end; j += W) storeu(t + j, vd{});
    for (int64_t p0 = k0; p0 < k1; p0 += kPanel) {
        const int64_t p1 = p0 + kPanel < k1 ? p0 + kPanel : k1;
        int64_t j = l;
        for (; j + 4 * W <= end; j += 4 * W) panelDots<4>(mult, ms, X, ldx, p0, p1, j, t);
        for (; j < end; j += W) panelDots<1>(mult, ms, X, ldx, p0, p1, j, t);
    }
}

// X[k][j] += f_j * mult[k * ms] for the lanes j in [l, laneEnd(l, n)), one row.
inline void updateRow(double* row, double s, int64_t l, int64_t end, const double* f) {
    for (int64_t j = l; j < end; j += W) storeu(row + j, loadu(row + j) + loadu(f + j) * s);
}

// The scaled column reflection of step i up to its sums: scale, the column
// divided by it (in c[i .. m-1]), its pivot, and f_j = t_j / h for the
// columns j > i. Returns the scale (0: no reflection); g receives -sign.
double columnReflection(const double* A, int64_t ldr, int32_t i, int32_t m, int32_t n, double* c, double* sq,
                        double* t, double* g) {
    const double* ci = A + i;
    for (int64_t k = i; k < m; k++) c[k] = ci[k * ldr];
    for (int64_t k = m; k < m + W; k++) c[k] = 0.0;
    double scale = 0.0;
    for (int64_t k = i; k < m; k++) scale += fabsOf(c[k]);
    if (scale == 0.0) return 0.0;
    for (int64_t k = i; k < m; k += W) storeu(c + k, loadu(c + k) / scale);
    for (int64_t k = i; k < m; k += W) {
        const vd v = loadu(c + k);
        storeu(sq + k, v * v);
    }
    double s = 0.0;
    for (int64_t k = i; k < m; k++) s += sq[k];
    const double f = c[i];
    *g = -signOf(__builtin_sqrt(s), f);
    const double h = f * *g - s;
    c[i] = f - *g;
    const int32_t l = i + 1;
    columnDots(c, 1, A, ldr, i, m, l, n, t);
    for (int64_t j = l; j < laneEnd(l, n); j += W) storeu(t + j, loadu(t + j) / h);
    return scale;
}

// The row reflection of step i up to its sweep: scale, row i divided by it,
// its pivot and e[k] = A[i][k] / h. Returns the scale (0: no reflection);
// g receives -sign.
double rowReflection(double* A, int64_t ldr, int32_t i, int32_t n, double* e, double* g) {
    const int32_t l = i + 1;
    double* ri = A + i * ldr;
    double scale = 0.0;
    for (int32_t k = l; k < n; k++) scale += fabsOf(ri[k]);
    if (scale == 0.0) return 0.0;
    double s = 0.0;
    for (int32_t k = l; k < n; k++) {
        ri[k] /= scale;
        s += ri[k] * ri[k];
    }
    const double f = ri[l];
    *g = -signOf(__builtin_sqrt(s), f);
    const double h = f * *g - s;
    ri[l] = f - *g;
    for (int32_t k = l; k < n; k++) e[k] = ri[k] / h;
    return scale;
}

// Householder reduction to bidiagonal form (w, e[1..n-1]); returns the norm
// bound. Per step: the column sums (top down), then one pass from the bottom
// up in blocks of kRowBlock rows: column update, column i scaled back, row
// reflection.
double bidiagonalise(double* A, int64_t ldr, int32_t m, int32_t n, double* w, double* e, double* scratch) {
    double* c = scratch;
    double* sq = c + m + 8;
    double* f = sq + m + 8;
    double g = 0.0, scale = 0.0, bound = 0.0;
    for (int32_t i = 0; i < n; i++) {
        const int32_t l = i + 1;
        e[i] = scale * g;
        g = 0.0;
        scale = i < m ? columnReflection(A, ldr, i, m, n, c, sq, f, &g) : 0.0;
        w[i] = scale * g;
        const double columnScale = scale;
        const int64_t end = laneEnd(l, n);
        // Row i first: the row reflection starts from it.
        if (columnScale != 0.0) {
            updateRow(A + i * ldr, c[i], l, end, f);
            A[i * ldr + i] = c[i] * columnScale;
        }
        g = 0.0;
        scale = i < m && i != n - 1 ? rowReflection(A, ldr, i, n, e, &g) : 0.0;
        if (columnScale != 0.0 || scale != 0.0) {
            for (int64_t top = l + (m - 1 - l) / kRowBlock * kRowBlock; top >= l; top -= kRowBlock) {
                const int64_t bottom = top + kRowBlock < m ? top + kRowBlock : m;
                if (columnScale != 0.0)
                    for (int64_t k = bottom - 1; k >= top; k--) {
                        updateRow(A + k * ldr, c[k], l, end, f);
                        A[k * ldr + i] = c[k] * columnScale;
                    }
                if (scale != 0.0) rowSweep(A, ldr, i, l, top, bottom, n, e);
            }
        }
        if (scale != 0.0)
            for (int32_t k = l; k < n; k++) A[i * ldr + k] *= scale;
        const double sum = fabsOf(w[i]) + fabsOf(e[i]);
        if (!(bound > sum)) bound = sum;
    }
    return bound;
}

}  // namespace

double bidiagonaliseLarge(double* A, int64_t ldr, int32_t m, int32_t n, double* w, double* e, double* scratch) {
    return bidiagonalise(A, ldr, m, n, w, e, scratch);
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
