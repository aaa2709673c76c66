// Fast kernel, stages 1 to 4 for a batch of patches.
//
// With AVX-512, eight patches share the lanes of every vector: element (r, c)
// of the eight matrices is one vector, and each statement of the plain
// reduction becomes one vector statement whose lane b is the plain statement
// on patch b. The sums of a single patch are long chains of dependent
// additions; eight patches in the lanes run eight chains at once. A lane
// whose plain path would skip a block (a zero column or a zero diagonal
// value) computes it too, and every write of the block keeps that lane's old
// value. Other builds reduce the patches one by one (fast_reduce.cpp).
#include <cstring>

#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {

#if defined(__AVX512F__)
namespace {

// Eight interleaved matrices: element (r, c) at X + (r * cols + c) * 8.
inline vd get(const double* X, int64_t cols, int64_t r, int64_t c) {
    return *reinterpret_cast<const vd*>(X + (r * cols + c) * 8);
}
inline void put(double* X, int64_t cols, int64_t r, int64_t c, vd v) {
    *reinterpret_cast<vd*>(X + (r * cols + c) * 8) = v;
}
// Writes v where mask is set and leaves the other lanes.
inline void putMasked(double* X, int64_t cols, int64_t r, int64_t c, __mmask8 mask, vd v) {
    _mm512_mask_store_pd(X + (r * cols + c) * 8, mask, reinterpret_cast<__m512d>(v));
}
inline __mmask8 nonzeroMask(vd v) { return _mm512_cmp_pd_mask(reinterpret_cast<__m512d>(v), _mm512_setzero_pd(), _CMP_NEQ_UQ); }
// The same mask as a vector, for selects.
inline vm maskVector(__mmask8 mask) {
    return reinterpret_cast<vm>(_mm512_maskz_mov_epi64(mask, _mm512_set1_epi64(-1)));
}
inline vd absOf(vd v) { return select(vm{} + INT64_MAX, v, vd{}); }
// -sign(p, q): |p| when q > 0, -|p| otherwise, negated.
inline vd minusSign(vd p, vd q) {
    const vd a = absOf(p);
    return -select(q > 0.0, a, -a);
}

// For columns j0 .. j0 + J - 1: t_j = sum over k in [d0, k1) of A[k][i] *
// A[k][j] (in k order); f_j from t_j; then A[k][j] += f_j * A[k][i] for k in
// [u0, k1), lanes outside mask unchanged.
template <int J, typename Factor>
inline void columnBlock(double* A, int64_t n, int64_t i, int64_t d0, int64_t u0, int64_t k1, int64_t j0,
                        __mmask8 mask, Factor factor) {
    const int64_t stride = n * 8;
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    const double* row = A + d0 * stride;
    for (int64_t k = d0; k < k1; k++, row += stride) {
        const vd a = *reinterpret_cast<const vd*>(row + i * 8);
        const vd* x = reinterpret_cast<const vd*>(row + j0 * 8);
        for (int q = 0; q < J; q++) t[q] = t[q] + a * x[q];
    }
    vd f[J];
    for (int q = 0; q < J; q++) f[q] = factor(t[q]);
    double* out = A + u0 * stride;
    for (int64_t k = u0; k < k1; k++, out += stride) {
        const vd a = *reinterpret_cast<const vd*>(out + i * 8);
        double* x = out + j0 * 8;
        for (int q = 0; q < J; q++) {
            const vd v = *reinterpret_cast<const vd*>(x + q * 8) + f[q] * a;
            _mm512_mask_store_pd(x + q * 8, mask, reinterpret_cast<__m512d>(v));
        }
    }
}

// columnBlock over all columns j in [l, n); columns do not read each other.
template <typename Factor>
void columnReflect(double* A, int64_t n, int64_t i, int64_t d0, int64_t u0, int64_t k1, int64_t l, __mmask8 mask,
                   Factor factor) {
    int64_t j0 = l;
    for (; j0 + 4 <= n; j0 += 4) columnBlock<4>(A, n, i, d0, u0, k1, j0, mask, factor);
    switch (n - j0) {
        case 3:
            columnBlock<3>(A, n, i, d0, u0, k1, j0, mask, factor);
            break;
        case 2:
            columnBlock<2>(A, n, i, d0, u0, k1, j0, mask, factor);
            break;
        case 1:
            columnBlock<1>(A, n, i, d0, u0, k1, j0, mask, factor);
            break;
        default:
            break;
    }
}

// Rows j0 .. j0 + J - 1 of the row reflection of step i: t_j = sum over k
// in [l, n) of A[j][k] * A[i][k], then A[j][k] += t_j * e[k].
template <int J>
inline void rowBlock(double* A, int64_t n, int64_t i, int64_t l, int64_t j0, const vd* e, __mmask8 mask) {
    const int64_t stride = n * 8;
    const vd* ri = reinterpret_cast<const vd*>(A + i * stride);
    vd* rows[J];
    for (int q = 0; q < J; q++) rows[q] = reinterpret_cast<vd*>(A + (j0 + q) * stride);
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    for (int64_t k = l; k < n; k++) {
        const vd r = ri[k];
        for (int q = 0; q < J; q++) t[q] = t[q] + rows[q][k] * r;
    }
    for (int q = 0; q < J; q++)
        for (int64_t k = l; k < n; k++) {
            const vd v = rows[q][k] + t[q] * e[k];
            _mm512_mask_store_pd(reinterpret_cast<double*>(rows[q] + k), mask, reinterpret_cast<__m512d>(v));
        }
}

// Stage 2: Householder bidiagonalisation of the eight matrices.
vd bidiagonalise(double* A, int64_t m, int64_t n, vd* w, vd* e) {
    vd g = vd{}, scale = vd{}, bound = vd{};
    for (int64_t i = 0; i < n; i++) {
        const int64_t l = i + 1;
        e[i] = scale * g;
        g = vd{};
        vd s = vd{};
        scale = vd{};
        if (i < m) {
            for (int64_t k = i; k < m; k++) scale = scale + absOf(get(A, n, k, i));
            const __mmask8 active = nonzeroMask(scale);
            if (active != 0) {
                for (int64_t k = i; k < m; k++) {
                    const vd a = get(A, n, k, i) / scale;
                    putMasked(A, n, k, i, active, a);
                    s = s + a * a;
                }
                const vd f = get(A, n, i, i);
                const vd gg = minusSign(vsqrt(s), f);
                const vd h = f * gg - s;
                putMasked(A, n, i, i, active, f - gg);
                columnReflect(A, n, i, i, i, m, l, active, [h](vd t) { return t / h; });
                for (int64_t k = i; k < m; k++) putMasked(A, n, k, i, active, get(A, n, k, i) * scale);
                g = select(maskVector(active), gg, vd{});
            }
        }
        w[i] = scale * g;
        g = vd{};
        s = vd{};
        scale = vd{};
        if (i < m && i != n - 1) {
            for (int64_t k = l; k < n; k++) scale = scale + absOf(get(A, n, i, k));
            const __mmask8 active = nonzeroMask(scale);
            if (active != 0) {
                for (int64_t k = l; k < n; k++) {
                    const vd a = get(A, n, i, k) / scale;
                    putMasked(A, n, i, k, active, a);
                    s = s + a * a;
                }
                const vd f = get(A, n, i, l);
                const vd gg = minusSign(vsqrt(s), f);
                const vd h = f * gg - s;
                putMasked(A, n, i, l, active, f - gg);
                for (int64_t k = l; k < n; k++) e[k] = select(maskVector(active), get(A, n, i, k) / h, e[k]);
                // Rows j >= l; rows do not read each other.
                int64_t j0 = l;
                for (; j0 + 4 <= m; j0 += 4) rowBlock<4>(A, n, i, l, j0, e, active);
                for (; j0 < m; j0++) rowBlock<1>(A, n, i, l, j0, e, active);
                for (int64_t k = l; k < n; k++) putMasked(A, n, i, k, active, get(A, n, i, k) * scale);
                g = select(maskVector(active), gg, vd{});
            }
        }
        const vd sum = absOf(w[i]) + absOf(e[i]);
        bound = select(bound > sum, bound, sum);
    }
    return bound;
}

// Columns j0 .. j0 + J - 1 of V in stage 3: t_j = sum over k in [l, n) of
// A[i][k] * V[k][j], then V[k][j] += t_j * V[k][i].
template <int J>
inline void rightBlock(const double* A, double* V, int64_t n, int64_t i, int64_t l, int64_t j0, __mmask8 mask) {
    const int64_t stride = n * 8;
    const vd* ai = reinterpret_cast<const vd*>(A + i * stride);
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    const double* row = V + l * stride;
    for (int64_t k = l; k < n; k++, row += stride) {
        const vd a = ai[k];
        const vd* x = reinterpret_cast<const vd*>(row + j0 * 8);
        for (int q = 0; q < J; q++) t[q] = t[q] + a * x[q];
    }
    double* out = V + l * stride;
    for (int64_t k = l; k < n; k++, out += stride) {
        const vd v = *reinterpret_cast<const vd*>(out + i * 8);
        double* x = out + j0 * 8;
        for (int q = 0; q < J; q++) {
            const vd y = *reinterpret_cast<const vd*>(x + q * 8) + t[q] * v;
            _mm512_mask_store_pd(x + q * 8, mask, reinterpret_cast<__m512d>(y));
        }
    }
}

// Stage 3: right-hand reflections into the eight n x n matrices V.
void accumulateRight(const double* A, int64_t n, const vd* e, double* V) {
    vd g = vd{};
    int64_t l = 0;
    for (int64_t i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            const __mmask8 active = nonzeroMask(g);
            if (active != 0) {
                const vd pivot = get(A, n, i, l);
                for (int64_t j = l; j < n; j++) putMasked(V, n, j, i, active, (get(A, n, i, j) / pivot) / g);
                int64_t j0 = l;
                for (; j0 + 4 <= n; j0 += 4) rightBlock<4>(A, V, n, i, l, j0, active);
                for (; j0 < n; j0++) rightBlock<1>(A, V, n, i, l, j0, active);
            }
            for (int64_t j = l; j < n; j++) {
                put(V, n, i, j, vd{});
                put(V, n, j, i, vd{});
            }
        }
        put(V, n, i, i, vd{} + 1.0);
        g = e[i];
        l = i;
    }
}

// Stage 4: left-hand reflections into A, which becomes U.
void accumulateLeft(double* A, int64_t m, int64_t n, const vd* w) {
    for (int64_t i = (m < n ? m : n) - 1; i >= 0; i--) {
        const int64_t l = i + 1;
        const vd g = w[i];
        for (int64_t j = l; j < n; j++) put(A, n, i, j, vd{});
        const __mmask8 active = nonzeroMask(g);
        if (active != 0) {
            const vd inverse = 1.0 / g;
            const vd pivot = get(A, n, i, i);
            columnReflect(A, n, i, l, i, m, l, active, [pivot, inverse](vd t) { return (t / pivot) * inverse; });
            const vm keep = maskVector(active);
            for (int64_t j = i; j < m; j++) put(A, n, j, i, select(keep, get(A, n, j, i) * inverse, vd{}));
        } else {
            for (int64_t j = i; j < m; j++) put(A, n, j, i, vd{});
        }
        put(A, n, i, i, get(A, n, i, i) + 1.0);
    }
}

// Lanes b0 .. b0 + 7 of the batch (those past count repeat the first).
void reduceGroup(FastPatchWork* work, int32_t b0, int32_t count, const double* const* patches) {
    const int64_t M = work->M, N = work->N;
    double* A = work->inter;
    double* V = A + M * N * 8;
    vd* w = reinterpret_cast<vd*>(V + N * N * 8);
    vd* e = w + N;
    vd* means = e + N;
    const double* lane[8];
    for (int q = 0; q < 8; q++) lane[q] = patches[b0 + q < count ? b0 + q : b0];

    // Interleave: voxel k of volume c of lane q goes to lane q of (k, c).
    for (int64_t c = 0; c < N; c++) {
        int64_t k0 = 0;
        for (; k0 + 8 <= M; k0 += 8) {
            vd p[8];
            for (int q = 0; q < 8; q++) p[q] = loadu(lane[q] + c * M + k0);
            transpose(p);
            for (int r = 0; r < 8; r++) put(A, N, k0 + r, c, p[r]);
        }
        for (; k0 < M; k0++) {
            vd v;
            for (int q = 0; q < 8; q++) v[q] = lane[q][c * M + k0];
            put(A, N, k0, c, v);
        }
    }

    // Stage 1: column means, then centring.
    for (int64_t c = 0; c < N; c++) {
        vd sum = vd{};
        for (int64_t k = 0; k < M; k++) sum = sum + get(A, N, k, c);
        means[c] = sum / static_cast<double>(M);
    }
    for (int64_t k = 0; k < M; k++)
        for (int64_t c = 0; c < N; c++) put(A, N, k, c, get(A, N, k, c) - means[c]);

    const vd bound = bidiagonalise(A, M, N, w, e);
    accumulateRight(A, N, e, V);
    accumulateLeft(A, M, N, w);

    // Back to one column-major U and V per lane, and the per-lane vectors.
    const int32_t lanes = count - b0 < 8 ? count - b0 : 8;
    const int64_t ldc = work->ldc, ldv = work->ldv;
    for (int32_t q = 0; q < lanes; q++) {
        const int64_t b = b0 + q;
        double* U = work->colA + b * work->laneA;
        double* Vb = work->colV + b * work->laneV;
        for (int64_t c = 0; c < N; c++) {
            std::memset(U + c * ldc + M, 0, sizeof(double) * static_cast<size_t>(ldc - M));
            std::memset(Vb + c * ldv + N, 0, sizeof(double) * static_cast<size_t>(ldv - N));
        }
        for (int64_t i = 0; i < N; i++) {
            work->w[b * work->laneVec + i] = w[i][q];
            work->e[b * work->laneVec + i] = e[i][q];
            work->means[b * work->laneVec + i] = means[i][q];
        }
        work->bound[b] = bound[q];
    }
    auto spread = [lanes, b0](const double* X, int64_t rows, int64_t cols, double* base, int64_t perLane, int64_t ld) {
        for (int64_t c = 0; c < cols; c++) {
            int64_t r0 = 0;
            for (; r0 + 8 <= rows; r0 += 8) {
                vd p[8];
                for (int r = 0; r < 8; r++) p[r] = get(X, cols, r0 + r, c);
                transpose(p);
                for (int32_t q = 0; q < lanes; q++) storeu(base + (b0 + q) * perLane + c * ld + r0, p[q]);
            }
            for (; r0 < rows; r0++) {
                const vd v = get(X, cols, r0, c);
                for (int32_t q = 0; q < lanes; q++) base[(b0 + q) * perLane + c * ld + r0] = v[q];
            }
        }
    };
    spread(A, M, N, work->colA, work->laneA, ldc);
    spread(V, N, N, work->colV, work->laneV, ldv);
}

}  // namespace
#endif

void reduceLanes(FastPatchWork* work, int32_t count, const double* const* patches, int32_t together) {
    for (int32_t b0 = 0; b0 < count; b0 += 8) {
        const int32_t lanes = count - b0 < 8 ? count - b0 : 8;
#if defined(__AVX512F__)
        if (work->inter != nullptr && lanes >= together) {
            reduceGroup(work, b0, count, patches);
            continue;
        }
#else
        (void)together;
#endif
        for (int32_t b = b0; b < b0 + lanes; b++) reduceLane(work, b, patches[b]);
    }
}

bool allFinite(const double* p, int64_t count) {
    // x - x is 0 for finite x and NaN for NaN and infinities.
    vd sum = vd{};
    int64_t i = 0;
    for (; i + W <= count; i += W) {
        const vd v = loadu(p + i);
        sum = sum + (v - v);
    }
    bool finite = true;
    for (int k = 0; k < W; k++) finite &= sum[k] == 0.0;
    for (; i < count; i++) finite &= p[i] - p[i] == 0.0;
    return finite;
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
