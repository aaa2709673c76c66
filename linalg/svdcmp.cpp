// SPDX-License-Identifier: BSD-3-Clause
// svdcmp: singular value decomposition of an m x n matrix on row pointers.
//
// Contract (see svd.h): on return 0, a holds U (m x n), w the singular
// values in non-increasing order and v holds V (n x n), with A = U diag(w) V^T.
// On return -1 (scratch unavailable) nothing has been written.
//
// The plain path that fixes the results: every operation is a separately
// rounded double operation in a fixed order, sums start at 0.0 and run in
// ascending index order, and comparisons are exactly the ones written here.
// The fast kernel is tested bit for bit against this code, so it stays
// plain: one loop per sum, no reordering, no fused operations.
#include <cmath>

#include "linalg/svd.h"
#include "support/alloc.h"

namespace tamrin {
namespace {

// |p| with the sign of q, where only q > 0 counts as positive (0, -0 and NaN
// give -|p|).
inline double signOf(double p, double q) { return q > 0.0 ? std::fabs(p) : -std::fabs(p); }

// Householder reduction to upper bidiagonal form: diagonal in w, superdiagonal
// in e[1..n-1]; a keeps the reflection vectors. Returns the norm bound B.
double bidiagonalise(double** a, int32_t m, int32_t n, double* w, double* e) {
    double g = 0.0, scale = 0.0, bound = 0.0;
    for (int32_t i = 0; i < n; i++) {
        const int32_t l = i + 1;
        e[i] = scale * g;
        g = 0.0;
        double s = 0.0;
        scale = 0.0;
        if (i < m) {
            for (int32_t k = i; k < m; k++) scale += std::fabs(a[k][i]);
            if (scale != 0.0) {
                for (int32_t k = i; k < m; k++) {
                    a[k][i] /= scale;
                    s += a[k][i] * a[k][i];
                }
                double f = a[i][i];
                g = -signOf(std::sqrt(s), f);
                const double h = f * g - s;
                a[i][i] = f - g;
                for (int32_t j = l; j < n; j++) {
                    double t = 0.0;
                    for (int32_t k = i; k < m; k++) t += a[k][i] * a[k][j];
                    f = t / h;
                    for (int32_t k = i; k < m; k++) a[k][j] += f * a[k][i];
                }
                for (int32_t k = i; k < m; k++) a[k][i] *= scale;
            }
        }
        w[i] = scale * g;
        g = 0.0;
        s = 0.0;
        scale = 0.0;
        if (i < m && i != n - 1) {
            for (int32_t k = l; k < n; k++) scale += std::fabs(a[i][k]);
            if (scale != 0.0) {
                for (int32_t k = l; k < n; k++) {
                    a[i][k] /= scale;
                    s += a[i][k] * a[i][k];
                }
                const double f = a[i][l];
                g = -signOf(std::sqrt(s), f);
                const double h = f * g - s;
                a[i][l] = f - g;
                for (int32_t k = l; k < n; k++) e[k] = a[i][k] / h;
                for (int32_t j = l; j < m; j++) {
                    double t = 0.0;
                    for (int32_t k = l; k < n; k++) t += a[j][k] * a[i][k];
                    for (int32_t k = l; k < n; k++) a[j][k] += t * e[k];
                }
                for (int32_t k = l; k < n; k++) a[i][k] *= scale;
            }
        }
        const double sum = std::fabs(w[i]) + std::fabs(e[i]);
        if (!(bound > sum)) bound = sum;
    }
    return bound;
}

// Accumulates the right-hand reflections into v. The g carried from one i to
// the next is e[i + 1], the scale-free row reflection value.
void accumulateRight(double** a, int32_t n, const double* e, double** v) {
    double g = 0.0;
    int32_t l = 0;
    for (int32_t i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            if (g != 0.0) {
                for (int32_t j = l; j < n; j++) v[j][i] = (a[i][j] / a[i][l]) / g;
                for (int32_t j = l; j < n; j++) {
                    double t = 0.0;
                    for (int32_t k = l; k < n; k++) t += a[i][k] * v[k][j];
                    for (int32_t k = l; k < n; k++) v[k][j] += t * v[k][i];
                }
            }
            for (int32_t j = l; j < n; j++) {
                v[i][j] = 0.0;
                v[j][i] = 0.0;
            }
        }
        v[i][i] = 1.0;
        g = e[i];
        l = i;
    }
}

// Accumulates the left-hand reflections into a, which becomes U.
void accumulateLeft(double** a, int32_t m, int32_t n, const double* w) {
    for (int32_t i = (m < n ? m : n) - 1; i >= 0; i--) {
        const int32_t l = i + 1;
        double g = w[i];
        for (int32_t j = l; j < n; j++) a[i][j] = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int32_t j = l; j < n; j++) {
                double t = 0.0;
                for (int32_t k = l; k < m; k++) t += a[k][i] * a[k][j];
                const double f = (t / a[i][i]) * g;
                for (int32_t k = i; k < m; k++) a[k][j] += f * a[k][i];
            }
            for (int32_t j = i; j < m; j++) a[j][i] *= g;
        } else {
            for (int32_t j = i; j < m; j++) a[j][i] = 0.0;
        }
        a[i][i] += 1.0;
    }
}

// Rotates columns c0 and c1 of the rows[0..count-1] by (cs, sn).
inline void rotateColumns(double** rows, int32_t count, int32_t c0, int32_t c1, double cs, double sn) {
    for (int32_t r = 0; r < count; r++) {
        const double p = rows[r][c0];
        const double q = rows[r][c1];
        rows[r][c0] = p * cs + q * sn;
        rows[r][c1] = q * cs - p * sn;
    }
}

// Diagonalises the bidiagonal matrix by implicit-shift QR sweeps, one singular
// value at a time from the last, at most 30 sweeps each.
void diagonalise(double** a, int32_t m, int32_t n, double* w, double* e, double** v, double bound, MessageLog* log) {
    for (int32_t k = n - 1; k >= 0; k--) {
        for (int32_t pass = 0; pass < 30; pass++) {
            // Split search. At l = 0 it always stops without cancellation, so
            // no position before index 0 is consulted.
            int32_t l = k;
            bool cancel = false;
            for (;; l--) {
                if (std::fabs(e[l]) + bound == bound) break;
                if (l == 0) break;
                if (std::fabs(w[l - 1]) + bound == bound) {
                    cancel = true;
                    break;
                }
            }
            if (cancel) {
                double cs = 0.0, sn = 1.0;
                for (int32_t i = l; i <= k; i++) {
                    const double f = sn * e[i];
                    e[i] = cs * e[i];
                    if (std::fabs(f) + bound == bound) break;
                    const double g = w[i];
                    double h = safeHypot(f, g);
                    w[i] = h;
                    h = 1.0 / h;
                    cs = g * h;
                    sn = -(f * h);
                    rotateColumns(a, m, l - 1, i, cs, sn);
                }
            }
            double z = w[k];
            if (l == k) {
                if (z < 0.0) {
                    w[k] = -z;
                    for (int32_t r = 0; r < n; r++) v[r][k] = -v[r][k];
                }
                break;
            }
            if (pass == 29) postMessage(log, "no convergence in 30 svdcmp iterations\n");

            // Shift from the trailing 2 x 2 block.
            double x = w[l];
            double y = w[k - 1];
            double g = e[k - 1];
            double h = e[k];
            double f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((2.0 * h) * y);
            g = safeHypot(f, 1.0);
            f = ((x - z) * (x + z) + h * (y / (f + signOf(g, f)) - h)) / x;

            // Implicit QR sweep over l..k.
            double cs = 1.0, sn = 1.0;
            for (int32_t j = l; j < k; j++) {
                const int32_t i = j + 1;
                g = e[i];
                y = w[i];
                h = sn * g;
                g = cs * g;
                z = safeHypot(f, h);
                e[j] = z;
                cs = f / z;
                sn = h / z;
                f = x * cs + g * sn;
                g = g * cs - x * sn;
                h = y * sn;
                y = y * cs;
                rotateColumns(v, n, j, i, cs, sn);
                z = safeHypot(f, h);
                w[j] = z;
                if (z != 0.0) {
                    z = 1.0 / z;
                    cs = f * z;
                    sn = h * z;
                }
                f = cs * g + sn * y;
                x = cs * y - sn * g;
                rotateColumns(a, m, j, i, cs, sn);
            }
            e[l] = 0.0;
            e[k] = f;
            w[k] = x;
        }
    }
}

// Shell sort of w into non-increasing order (increments ..., 13, 4, 1), moving
// the columns of a and v alongside. Only strictly smaller values are passed.
void sortDescending(double** a, int32_t m, int32_t n, double* w, double** v, double* su, double* sv) {
    int32_t inc = 1;
    do {
        inc = 3 * inc + 1;
    } while (inc <= n);
    do {
        inc /= 3;
        for (int32_t i = inc; i < n; i++) {
            const double sw = w[i];
            for (int32_t k = 0; k < m; k++) su[k] = a[k][i];
            for (int32_t k = 0; k < n; k++) sv[k] = v[k][i];
            int32_t j = i;
            while (w[j - inc] < sw) {
                w[j] = w[j - inc];
                for (int32_t k = 0; k < m; k++) a[k][j] = a[k][j - inc];
                for (int32_t k = 0; k < n; k++) v[k][j] = v[k][j - inc];
                j -= inc;
                if (j < inc) break;
            }
            w[j] = sw;
            for (int32_t k = 0; k < m; k++) a[k][j] = su[k];
            for (int32_t k = 0; k < n; k++) v[k][j] = sv[k];
        }
    } while (inc > 1);
}

// Negates a column pair of U and V when more than (m + n) / 2 of its entries
// are strictly negative.
void fixSigns(double** a, int32_t m, int32_t n, double** v) {
    for (int32_t k = 0; k < n; k++) {
        int32_t negatives = 0;
        for (int32_t r = 0; r < m; r++)
            if (a[r][k] < 0.0) negatives++;
        for (int32_t r = 0; r < n; r++)
            if (v[r][k] < 0.0) negatives++;
        if (negatives > (m + n) / 2) {
            for (int32_t r = 0; r < m; r++) a[r][k] = -a[r][k];
            for (int32_t r = 0; r < n; r++) v[r][k] = -v[r][k];
        }
    }
}

}  // namespace

int32_t svdcmp(double** a, int32_t m, int32_t n, double* w, double** v, MessageLog* log) {
    double* su = static_cast<double*>(coreMalloc(sizeof(double) * static_cast<std::size_t>(m)));
    double* sv = su != nullptr ? static_cast<double*>(coreMalloc(sizeof(double) * static_cast<std::size_t>(n)))
                               : nullptr;
    double* e = sv != nullptr ? static_cast<double*>(coreMalloc(sizeof(double) * static_cast<std::size_t>(n)))
                              : nullptr;
    if (e == nullptr) {
        postMessage(log, "svdcmp(): Unable to allocate vector\n");
        coreFree(sv);
        coreFree(su);
        return -1;
    }

    const double bound = bidiagonalise(a, m, n, w, e);
    accumulateRight(a, n, e, v);
    accumulateLeft(a, m, n, w);
    diagonalise(a, m, n, w, e, v, bound, log);
    sortDescending(a, m, n, w, v, su, sv);
    fixSigns(a, m, n, v);

    coreFree(e);
    coreFree(sv);
    coreFree(su);
    return 0;
}

}  // namespace tamrin
