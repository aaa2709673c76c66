// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, stage 2 for one large patch (216 x 200, 343 x 288): the
// same statements as the bidiagonalisation in fast_reduce.cpp, scheduled for
// a matrix larger than the core's cache.
//
// Step i reflects column i (its sums t_j = sum_k c_k * A[k][j] over the
// rows k >= i, then the column update A[k][j] += f_j * c_k) and then row i
// (the sums s_k = sum_j A[k][j] * r_j over the columns j > i, then the row
// update A[k][j] += s_k * e_j). Done as written, that is four passes over
// the trailing block a step. Here each step makes two:
//   - the column sums, from the top row down, a panel of rows at a time;
//   - one pass from the bottom row up, in blocks of rows, that makes the
//     column update and the row sums of each element while it is in a
//     register, and stores it.
// The row update of step i is left pending: the next step adds s_k * e_j to
// each element where it reads it (its column, its row i + 1, its column
// sums, its own pass). Every element still gets the same operations on the
// same values in the same order, so the results are the same to the bit.
#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Rows of a panel of the sums: their partial sums go to memory and back
// once a panel.
constexpr int64_t kPanel = 32;

// Rows of a block of the bottom-up pass (at least two groups of W): the
// sums of its groups advance together, which keeps their addition chains
// overlapping.
constexpr int kRowBlock = 16;
constexpr int kGroups = kRowBlock / W;

// Lanes j in [l, end) where end = l + a multiple of W covering n.
inline int64_t laneEnd(int64_t l, int64_t n) { return l + (n - l + W - 1) / W * W; }

// The row update of the previous step, not yet stored: the element at row k
// and column j of the trailing block is A[k][j] + sum[k] * e[j].
struct Pending {
    bool on;
    const double* sum;
    const double* e;
};

// t[j + c * W + lane] += sum over k in [k0, k1) of mult[k] * X[k][j + c * W
// + lane], each lane adding in ascending k; with the pending row update
// added to each element first.
template <int C, bool kPending>
inline void panelDots(const double* mult, const double* X, int64_t ldx, int64_t k0, int64_t k1, int64_t j,
                      const Pending& p, double* t) {
    vd acc[C], e[C];
    for (int c = 0; c < C; c++) acc[c] = loadu(t + j + c * W);
    if (kPending)
        for (int c = 0; c < C; c++) e[c] = loadu(p.e + j + c * W);
    for (int64_t k = k0; k < k1; k++) {
        const double s = mult[k];
        const double* row = X + k * ldx + j;
        if (kPending) {
            const double q = p.sum[k];
            for (int c = 0; c < C; c++) acc[c] = acc[c] + s * (loadu(row + c * W) + q * e[c]);
        } else {
            for (int c = 0; c < C; c++) acc[c] = acc[c] + s * loadu(row + c * W);
        }
    }
    for (int c = 0; c < C; c++) storeu(t + j + c * W, acc[c]);
}

template <bool kPending>
void panelsOf(const double* mult, const double* X, int64_t ldx, int64_t k0, int64_t k1, int64_t l, int64_t end,
              const Pending& p, double* t) {
    for (int64_t p0 = k0; p0 < k1; p0 += kPanel) {
        const int64_t p1 = p0 + kPanel < k1 ? p0 + kPanel : k1;
        int64_t j = l;
        for (; j + 4 * W <= end; j += 4 * W) panelDots<4, kPending>(mult, X, ldx, p0, p1, j, p, t);
        for (; j < end; j += W) panelDots<1, kPending>(mult, X, ldx, p0, p1, j, p, t);
    }
}

// t_j = sum over k in [i, m) of c[k] * A[k][j] for the lanes j in [l, end),
// from +0.0, top to bottom. Row i holds its values; the rows below it get
// the pending update as they are read.
void columnDots(const double* c, const double* A, int64_t ldr, int32_t i, int32_t m, int64_t l, int64_t end,
                const Pending& p, double* t) {
    for (int64_t j = l; j < end; j += W) storeu(t + j, vd{});
    panelsOf<false>(c, A, ldr, i, i + 1, l, end, p, t);
    if (p.on)
        panelsOf<true>(c, A, ldr, i + 1, m, l, end, p, t);
    else
        panelsOf<false>(c, A, ldr, i + 1, m, l, end, p, t);
}

// What the bottom-up pass of a step does to each row k of the trailing
// block: v = A[k][j] (+ pending sum[k] * e[j]) (+ f[j] * c[k]), stored, and
// (with r) the row sum of v * r[j] over j in [l, n) into out[k].
struct RowWork {
    Pending pending;
    const double* f;  // column update, or null
    const double* c;
    const double* r;  // row reflection, or null
    double* out;
};

// One element of the bottom-up pass: the pending update (P), then the
// column update (F).
template <bool P, bool F>
inline vd updated(vd v, vd e, vd f, double q, double ck) {
    if (P) v = v + q * e;
    if (F) v = v + f * ck;
    return v;
}

// One row on its own: the update, and (R) its sum added lane after lane.
template <bool P, bool F, bool R>
void oneRow(double* A, int64_t ldr, int64_t k, int64_t l, int64_t end, int32_t n, const RowWork& w) {
    double* row = A + k * ldr;
    const double q = P ? w.pending.sum[k] : 0.0;
    const double ck = F ? w.c[k] : 0.0;
    double s = 0.0;
    for (int64_t j = l; j < end; j += W) {
        const vd v = updated<P, F>(loadu(row + j), P ? loadu(w.pending.e + j) : vd{}, F ? loadu(w.f + j) : vd{},
                                   q, ck);
        storeu(row + j, v);
        if (R) {
            const vd p = v * loadu(w.r + j);
            const int64_t cols = n - j < W ? n - j : W;
            for (int64_t x = 0; x < cols; x++) s = s + p[x];
        }
    }
    if (R) w.out[k] = s;
}

// One chunk of W columns from j for the G groups of W rows from k0: the
// update of every element, and (R) the products v * x transposed so that
// each lane of t[g] adds its own row's products in column order (the first
// cols columns only).
template <int G, bool P, bool F, bool R>
inline void groupChunk(double* A, int64_t ldr, int64_t k0, int64_t j, int64_t cols, const double* q,
                       const double* ck, const RowWork& w, vd* t) {
    const vd e = P ? loadu(w.pending.e + j) : vd{};
    const vd f = F ? loadu(w.f + j) : vd{};
    const vd x = R ? loadu(w.r + j) : vd{};
    for (int g = 0; g < G; g++) {
        vd p[W];
        for (int r = 0; r < W; r++) {
            double* at = A + (k0 + g * W + r) * ldr + j;
            const vd v = updated<P, F>(loadu(at), e, f, q[g * W + r], ck[g * W + r]);
            storeu(at, v);
            if (R) p[r] = v * x;
        }
        if (R) {
            transpose(p);
            vd sum = t[g];
            for (int64_t c = 0; c < cols; c++) sum = sum + p[c];
            t[g] = sum;
        }
    }
}

// Rows [k0, k0 + G * W): the update of every element and (R) the row sums,
// W rows in the lanes of a vector.
template <int G, bool P, bool F, bool R>
void rowGroups(double* A, int64_t ldr, int64_t k0, int64_t l, int64_t end, int32_t n, const RowWork& w) {
    double q[G * W], ck[G * W];
    for (int r = 0; r < G * W; r++) {
        q[r] = P ? w.pending.sum[k0 + r] : 0.0;
        ck[r] = F ? w.c[k0 + r] : 0.0;
    }
    vd t[G];
    for (int g = 0; g < G; g++) t[g] = vd{};
    // Chunks of W real columns, then the last one, which may end past n.
    const int64_t full = l + (n - l) / W * W;
    int64_t j = l;
    for (; j < full; j += W) groupChunk<G, P, F, R>(A, ldr, k0, j, W, q, ck, w, t);
    for (; j < end; j += W) groupChunk<G, P, F, R>(A, ldr, k0, j, n - j, q, ck, w, t);
    if (R)
        for (int r = 0; r < G * W; r++) w.out[k0 + r] = t[r / W][r % W];
}

// The bottom-up pass over rows [l, m), blocks of kRowBlock rows; the
// topmost block may be short: its groups go one at a time, its last rows
// one at a time.
template <bool P, bool F, bool R>
void bottomUp(double* A, int64_t ldr, int32_t l, int32_t m, int64_t end, int32_t n, const RowWork& w) {
    for (int64_t top = l + (m - 1 - l) / kRowBlock * kRowBlock; top >= l; top -= kRowBlock) {
        const int64_t bottom = top + kRowBlock < m ? top + kRowBlock : m;
        if (bottom - top == kRowBlock) {
            rowGroups<kGroups, P, F, R>(A, ldr, top, l, end, n, w);
            continue;
        }
        const int64_t grouped = top + (bottom - top) / W * W;
        for (int64_t k = bottom - 1; k >= grouped; k--) oneRow<P, F, R>(A, ldr, k, l, end, n, w);
        for (int64_t k0 = top; k0 < grouped; k0 += W) rowGroups<1, P, F, R>(A, ldr, k0, l, end, n, w);
    }
}

template <bool P, bool F>
void bottomUp(double* A, int64_t ldr, int32_t l, int32_t m, int64_t end, int32_t n, const RowWork& w) {
    if (w.r)
        bottomUp<P, F, true>(A, ldr, l, m, end, n, w);
    else
        bottomUp<P, F, false>(A, ldr, l, m, end, n, w);
}

// The pass of one step with what it has to do (nothing: no pass).
void bottomUp(double* A, int64_t ldr, int32_t l, int32_t m, int64_t end, int32_t n, const RowWork& w) {
    if (l >= m) return;
    if (w.pending.on) {
        if (w.f)
            bottomUp<true, true>(A, ldr, l, m, end, n, w);
        else
            bottomUp<true, false>(A, ldr, l, m, end, n, w);
    } else if (w.f) {
        bottomUp<false, true>(A, ldr, l, m, end, n, w);
    } else if (w.r) {
        bottomUp<false, false, true>(A, ldr, l, m, end, n, w);
    }
}

// The scaled column reflection of step i up to its sums: scale, the column
// divided by it (in c[i .. m-1]), its pivot, and f_j = t_j / h for the
// columns j > i. Returns the scale (0: no reflection); g receives -sign.
double columnReflection(const double* A, int64_t ldr, int32_t i, int32_t m, int32_t n, const Pending& p,
                        double* c, double* sq, double* t, double* g) {
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
    const int64_t end = laneEnd(l, n);
    columnDots(c, A, ldr, i, m, l, end, p, t);
    for (int64_t j = l; j < end; j += W) storeu(t + j, loadu(t + j) / h);
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
// bound. scratch: column c, its squares, f, the row sums and the copy of e
// that a pending row update reads.
double bidiagonalise(double* A, int64_t ldr, int32_t m, int32_t n, double* w, double* e, double* scratch) {
    double* c = scratch;
    double* sq = c + m + 8;
    double* sums = sq + m + 8;
    double* f = sums + m + 8;
    double* ep = f + ldr + 8;
    Pending pending{false, sums, ep};
    double g = 0.0, scale = 0.0, bound = 0.0;
    for (int32_t i = 0; i < n; i++) {
        const int32_t l = i + 1;
        const int64_t end = laneEnd(l, n);
        // The pending update reaches column i and row i first: the
        // reflections start from them.
        if (pending.on && i < m) {
            for (int64_t k = i; k < m; k++) A[k * ldr + i] = A[k * ldr + i] + sums[k] * ep[i];
            double* ri = A + i * ldr;
            const double q = sums[i];
            for (int64_t j = l; j < end; j += W) storeu(ri + j, loadu(ri + j) + q * loadu(ep + j));
        }
        e[i] = scale * g;
        g = 0.0;
        scale = i < m ? columnReflection(A, ldr, i, m, n, pending, c, sq, f, &g) : 0.0;
        w[i] = scale * g;
        const double columnScale = scale;
        if (columnScale != 0.0) {
            double* ri = A + i * ldr;
            const double ci = c[i];
            for (int64_t j = l; j < end; j += W) storeu(ri + j, loadu(ri + j) + loadu(f + j) * ci);
            ri[i] = c[i] * columnScale;
        }
        g = 0.0;
        scale = i < m && i != n - 1 ? rowReflection(A, ldr, i, n, e, &g) : 0.0;
        RowWork work{pending, columnScale != 0.0 ? f : nullptr, c, scale != 0.0 ? A + i * ldr : nullptr, sums};
        bottomUp(A, ldr, l, m, end, n, work);
        if (columnScale != 0.0)
            for (int64_t k = l; k < m; k++) A[k * ldr + i] = c[k] * columnScale;
        pending.on = scale != 0.0;
        if (pending.on) {
            for (int64_t j = l; j < n; j++) ep[j] = e[j];
            for (int64_t j = n; j < end + W; j++) ep[j] = 0.0;
            for (int32_t k = l; k < n; k++) A[i * ldr + k] *= scale;
        }
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
