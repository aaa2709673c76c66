// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, stages 1 to 4 for a batch of patches.
//
// A group of W patches (the lanes of one vector: eight with AVX-512, four
// with AVX2) shares the lanes of every vector: element (r, c) of the W
// matrices is one vector, and each statement of the plain reduction becomes
// one vector statement whose lane b is the plain statement on patch b. The
// sums of a single patch are long chains of dependent additions, and its
// scale, norm and divisions are scalar; W patches in the lanes run W chains
// at once. A lane whose plain path would skip a block (a zero column or a
// zero diagonal value) computes it too, and every write of the block keeps
// that lane's old value. Large patches, whose W matrices would not stay in
// the cache, are reduced one by one (fast_reduce.cpp).
#include <cstring>

#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Stores v at p: in full, or with Masked only on the lanes of mask.
template <bool Masked>
inline void storeGroup(double* p, LaneMask mask, vd v) {
    if (Masked)
        storeWhere(p, mask, v);
    else
        *reinterpret_cast<vd*>(p) = v;
}

// For the columns j = cols[0 .. J-1]: t_j = sum over k in [d0, k1) of
// A[k][i] * A[k][j] (in k order); f_j from t_j; then A[k][j] += f_j *
// A[k][i] for k in [u0, k1), lanes outside mask unchanged.
template <int J, bool Masked, typename Factor>
inline void columnBlock(double* A, int64_t n, int64_t i, int64_t d0, int64_t u0, int64_t k1, const int32_t* cols,
                        LaneMask mask, Factor factor) {
    const int64_t stride = n * W;
    int64_t at[J];
    for (int q = 0; q < J; q++) at[q] = int64_t{cols[q]} * W;
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    const double* row = A + d0 * stride;
    for (int64_t k = d0; k < k1; k++, row += stride) {
        const vd a = *reinterpret_cast<const vd*>(row + i * W);
        for (int q = 0; q < J; q++) t[q] = t[q] + a * *reinterpret_cast<const vd*>(row + at[q]);
    }
    vd f[J];
    for (int q = 0; q < J; q++) f[q] = factor(t[q]);
    double* out = A + u0 * stride;
    for (int64_t k = u0; k < k1; k++, out += stride) {
        const vd a = *reinterpret_cast<const vd*>(out + i * W);
        for (int q = 0; q < J; q++)
            storeGroup<Masked>(out + at[q], mask, *reinterpret_cast<const vd*>(out + at[q]) + f[q] * a);
    }
}

// Columns per block: with fewer lanes, more columns keep enough sums in flight.
constexpr int kColumnBlock = W == 8 ? 4 : 8;

// columnBlock over the columns cols[0 .. count-1]; columns do not read each other.
template <bool Masked, typename Factor>
void columnRun(double* A, int64_t n, int64_t i, int64_t d0, int64_t u0, int64_t k1, const int32_t* cols,
               int64_t count, LaneMask mask, Factor factor) {
    int64_t q = 0;
    for (; q + kColumnBlock <= count; q += kColumnBlock)
        columnBlock<kColumnBlock, Masked>(A, n, i, d0, u0, k1, cols + q, mask, factor);
    if (count - q >= 4) {
        columnBlock<4, Masked>(A, n, i, d0, u0, k1, cols + q, mask, factor);
        q += 4;
    }
    switch (count - q) {
        case 3:
            columnBlock<3, Masked>(A, n, i, d0, u0, k1, cols + q, mask, factor);
            break;
        case 2:
            columnBlock<2, Masked>(A, n, i, d0, u0, k1, cols + q, mask, factor);
            break;
        case 1:
            columnBlock<1, Masked>(A, n, i, d0, u0, k1, cols + q, mask, factor);
            break;
        default:
            break;
    }
}

template <typename Factor>
void columnReflect(double* A, int64_t n, int64_t i, int64_t d0, int64_t u0, int64_t k1, const int32_t* cols,
                   int64_t count, LaneMask mask, Factor factor) {
    if (everyLane(mask))
        columnRun<false>(A, n, i, d0, u0, k1, cols, count, mask, factor);
    else
        columnRun<true>(A, n, i, d0, u0, k1, cols, count, mask, factor);
}

// Rows j0 .. j0 + J - 1 of the row reflection of step i: t_j = sum over k
// in [l, n) of A[j][k] * A[i][k], then A[j][k] += t_j * e[k].
template <int J, bool Masked>
inline void rowBlock(double* A, int64_t n, int64_t i, int64_t l, int64_t j0, const vd* e, LaneMask mask) {
    const int64_t stride = n * W;
    const vd* ri = reinterpret_cast<const vd*>(A + i * stride);
    vd* rows[J];
    for (int q = 0; q < J; q++) rows[q] = reinterpret_cast<vd*>(A + (j0 + q) * stride);
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    for (int64_t k = l; k < n; k++) {
        const vd r = ri[k];
        for (int q = 0; q < J; q++) t[q] = t[q] + rows[q][k] * r;
    }
    for (int64_t k = l; k < n; k++) {
        const vd ek = e[k];
        for (int q = 0; q < J; q++) storeGroup<Masked>(reinterpret_cast<double*>(rows[q] + k), mask, rows[q][k] + t[q] * ek);
    }
}

// The row reflection of step i for the rows l .. m - 1; rows do not read each other.
template <bool Masked>
void rowReflect(double* A, int64_t m, int64_t n, int64_t i, int64_t l, const vd* e, LaneMask mask) {
    constexpr int J = W == 8 ? 4 : 8;
    int64_t j0 = l;
    for (; j0 + J <= m; j0 += J) rowBlock<J, Masked>(A, n, i, l, j0, e, mask);
    if (J > 4 && j0 + 4 <= m) {
        rowBlock<4, Masked>(A, n, i, l, j0, e, mask);
        j0 += 4;
    }
    for (; j0 < m; j0++) rowBlock<1, Masked>(A, n, i, l, j0, e, mask);
}

// Stage 2: Householder bidiagonalisation of the W matrices.
vd bidiagonalise(double* A, int64_t m, int64_t n, vd* w, vd* e, int32_t* all) {
    for (int32_t j = 0; j < n; j++) all[j] = j;
    vd g = vd{}, scale = vd{}, bound = vd{};
    for (int64_t i = 0; i < n; i++) {
        const int64_t l = i + 1;
        e[i] = scale * g;
        g = vd{};
        vd s = vd{};
        scale = vd{};
        if (i < m) {
            for (int64_t k = i; k < m; k++) scale = scale + absOf(get(A, n, k, i));
            const LaneMask active = nonzeroMask(scale);
            if (anyLane(active)) {
                for (int64_t k = i; k < m; k++) {
                    const vd a = get(A, n, k, i) / scale;
                    putMasked(A, n, k, i, active, a);
                    s = s + a * a;
                }
                const vd f = get(A, n, i, i);
                const vd gg = minusSign(vsqrt(s), f);
                const vd h = f * gg - s;
                putMasked(A, n, i, i, active, f - gg);
                columnReflect(A, n, i, i, i, m, all + l, n - l, active, [h](vd t) { return t / h; });
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
            const LaneMask active = nonzeroMask(scale);
            if (anyLane(active)) {
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
                if (everyLane(active))
                    rowReflect<false>(A, m, n, i, l, e, active);
                else
                    rowReflect<true>(A, m, n, i, l, e, active);
                for (int64_t k = l; k < n; k++) putMasked(A, n, i, k, active, get(A, n, i, k) * scale);
                g = select(maskVector(active), gg, vd{});
            }
        }
        const vd sum = absOf(w[i]) + absOf(e[i]);
        bound = select(bound > sum, bound, sum);
    }
    return bound;
}

// Columns j = cols[0 .. J-1] of V in stage 3: t_j = sum over k in [l, n) of
// A[i][k] * V[k][j], then V[k][j] += t_j * V[k][i].
template <int J, bool Masked>
inline void rightBlock(const double* A, double* V, int64_t n, int64_t i, int64_t l, const int32_t* cols,
                       LaneMask mask) {
    const int64_t stride = n * W;
    int64_t at[J];
    for (int q = 0; q < J; q++) at[q] = int64_t{cols[q]} * W;
    const vd* ai = reinterpret_cast<const vd*>(A + i * stride);
    vd t[J];
    for (int q = 0; q < J; q++) t[q] = vd{};
    const double* row = V + l * stride;
    for (int64_t k = l; k < n; k++, row += stride) {
        const vd a = ai[k];
        for (int q = 0; q < J; q++) t[q] = t[q] + a * *reinterpret_cast<const vd*>(row + at[q]);
    }
    double* out = V + l * stride;
    for (int64_t k = l; k < n; k++, out += stride) {
        const vd v = *reinterpret_cast<const vd*>(out + i * W);
        for (int q = 0; q < J; q++)
            storeGroup<Masked>(out + at[q], mask, *reinterpret_cast<const vd*>(out + at[q]) + t[q] * v);
    }
}

// rightBlock over the columns cols[0 .. count-1].
template <bool Masked>
void rightRun(const double* A, double* V, int64_t n, int64_t i, int64_t l, const int32_t* cols, int64_t count,
              LaneMask mask) {
    int64_t q = 0;
    for (; q + kColumnBlock <= count; q += kColumnBlock) rightBlock<kColumnBlock, Masked>(A, V, n, i, l, cols + q, mask);
    if (kColumnBlock > 4 && q + 4 <= count) {
        rightBlock<4, Masked>(A, V, n, i, l, cols + q, mask);
        q += 4;
    }
    for (; q < count; q++) rightBlock<1, Masked>(A, V, n, i, l, cols + q, mask);
}

// Stage 3: right-hand reflections into the W n x n matrices V, for the
// columns cols[0 .. count-1] (ascending). Column j reads only row i of A at
// the steps i < j and its own earlier values, so the other columns can be
// left out; they are left undefined.
void accumulateRight(const double* A, int64_t n, const vd* e, double* V, const int32_t* cols, int64_t count) {
    vd g = vd{};
    int64_t l = 0;
    int64_t from = count;  // cols[from ..] are the listed columns >= l
    for (int64_t i = n - 1; i >= 0; i--) {
        if (i < n - 1) {
            while (from > 0 && cols[from - 1] >= l) from--;
            const LaneMask active = nonzeroMask(g);
            if (anyLane(active) && from < count) {
                const vd pivot = get(A, n, i, l);
                for (int64_t j = l; j < n; j++) putMasked(V, n, j, i, active, (get(A, n, i, j) / pivot) / g);
                if (everyLane(active))
                    rightRun<false>(A, V, n, i, l, cols + from, count - from, active);
                else
                    rightRun<true>(A, V, n, i, l, cols + from, count - from, active);
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

// Stage 4: left-hand reflections into A, which becomes U, for the columns
// cols[0 .. count-1] (ascending). Column j reads column i of A at step i < j
// as the bidiagonalisation left it (no step before changes it) and its own
// earlier values, so the other columns can be left out; they are left
// undefined.
void accumulateLeft(double* A, int64_t m, int64_t n, const vd* w, const uint8_t* need, const int32_t* cols,
                    int64_t count) {
    int64_t from = count;  // cols[from ..] are the listed columns > i
    for (int64_t i = (m < n ? m : n) - 1; i >= 0; i--) {
        const int64_t l = i + 1;
        while (from > 0 && cols[from - 1] >= l) from--;
        const vd g = w[i];
        for (int64_t j = l; j < n; j++) put(A, n, i, j, vd{});
        const LaneMask active = nonzeroMask(g);
        if (anyLane(active)) {
            const vd inverse = 1.0 / g;
            const vd pivot = get(A, n, i, i);
            columnReflect(A, n, i, l, i, m, cols + from, count - from, active,
                          [pivot, inverse](vd t) { return (t / pivot) * inverse; });
            if (need[i] == 0) continue;
            const vm keep = maskVector(active);
            for (int64_t j = i; j < m; j++) put(A, n, j, i, select(keep, get(A, n, j, i) * inverse, vd{}));
        } else {
            if (need[i] == 0) continue;
            for (int64_t j = i; j < m; j++) put(A, n, j, i, vd{});
        }
        put(A, n, i, i, get(A, n, i, i) + 1.0);
    }
}

// Where group g keeps its bidiagonalised matrices, w and e, and the scratch
// shared by the groups.
struct GroupStore {
    double* A;
    vd* w;
    vd* e;
    double* V;
    vd* means;
};

GroupStore groupStore(FastPatchWork* work, int64_t g) {
    const int64_t M = work->M, N = work->N;
    const int64_t groups = work->batch / W;
    GroupStore store;
    store.A = work->inter + g * (M * N + 2 * N) * W;
    store.w = reinterpret_cast<vd*>(store.A + M * N * W);
    store.e = store.w + N;
    store.V = work->inter + groups * (M * N + 2 * N) * W;
    store.means = reinterpret_cast<vd*>(store.V + N * N * W);
    return store;
}

// Copies columns cols[0 .. count-1] of the W interleaved rows x n
// matrices X into lanes b0 .. b0 + lanes - 1 (column c of lane b at base +
// b * perLane + c * ld), with zero padding rows up to ld.
void spread(const double* X, int64_t rows, int64_t n, const int32_t* cols, int64_t count, double* base,
            int64_t perLane, int64_t ld, int32_t b0, int32_t lanes) {
    for (int64_t q = 0; q < count; q++) {
        const int64_t c = cols[q];
        for (int32_t b = 0; b < lanes; b++)
            std::memset(base + (b0 + b) * perLane + c * ld + rows, 0, sizeof(double) * static_cast<size_t>(ld - rows));
        int64_t r0 = 0;
        for (; r0 + W <= rows; r0 += W) {
            vd p[W];
            for (int r = 0; r < W; r++) p[r] = get(X, n, r0 + r, c);
            transpose(p);
            for (int32_t b = 0; b < lanes; b++) storeu(base + (b0 + b) * perLane + c * ld + r0, p[b]);
        }
        for (; r0 < rows; r0++) {
            const vd v = get(X, n, r0, c);
            for (int32_t b = 0; b < lanes; b++) base[(b0 + b) * perLane + c * ld + r0] = v[b];
        }
    }
}

// Stages 3 and 4 of waiting group g for the columns that one of its lanes
// (those below count) needs, or all of them, and the copy of those columns
// into the lanes.
void accumulate(FastPatchWork* work, int32_t g, int32_t count, bool all) {
    const int32_t M = work->M, N = work->N;
    const GroupStore store = groupStore(work, g);
    const int32_t b0 = W * g;
    const int32_t lanes = count - b0 < W ? count - b0 : W;
    int32_t* cols = work->used;
    uint8_t* need = work->wanted;

    auto collect = [&](const uint8_t* perLane) {
        int32_t listed = 0;
        for (int32_t c = 0; c < N; c++) {
            uint8_t any = all ? 1 : 0;
            for (int32_t b = b0; b < b0 + lanes && any == 0; b++) any = perLane[int64_t{b} * N + c];
            need[c] = any;
            if (any != 0) cols[listed++] = c;
        }
        return listed;
    };
    int32_t listed = collect(work->needV);
    accumulateRight(store.A, N, store.e, store.V, cols, listed);
    spread(store.V, N, N, cols, listed, work->colV, work->laneV, work->ldv, b0, lanes);
    listed = collect(work->needU);
    accumulateLeft(store.A, M, N, store.w, need, cols, listed);
    spread(store.A, M, N, cols, listed, work->colA, work->laneA, work->ldc, b0, lanes);
    work->groupPending[g] = 0;
}

}  // namespace

// Lanes b0 .. b0 + W - 1 of the batch (those past count repeat the first):
// stages 1 and 2; the group waits for stages 3 and 4 (accumulateGroups).
void reduceGroup(FastPatchWork* work, int32_t b0, int32_t count, const double* const* patches) {
    const int64_t M = work->M, N = work->N;
    const GroupStore store = groupStore(work, b0 / W);
    double* A = store.A;
    vd* w = store.w;
    vd* e = store.e;
    vd* means = store.means;
    const double* lane[W];
    for (int q = 0; q < W; q++) lane[q] = patches[b0 + q < count ? b0 + q : b0];

    // Interleave: voxel k of volume c of lane q goes to lane q of (k, c).
    for (int64_t c = 0; c < N; c++) {
        int64_t k0 = 0;
        for (; k0 + W <= M; k0 += W) {
            vd p[W];
            for (int q = 0; q < W; q++) p[q] = loadu(lane[q] + c * M + k0);
            transpose(p);
            for (int r = 0; r < W; r++) put(A, N, k0 + r, c, p[r]);
        }
        for (; k0 < M; k0++) {
            vd v;
            for (int q = 0; q < W; q++) v[q] = lane[q][c * M + k0];
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

    const vd bound = bidiagonalise(A, M, N, w, e, work->used);

    // The per-lane vectors.
    const int32_t lanes = count - b0 < W ? count - b0 : W;
    for (int32_t q = 0; q < lanes; q++) {
        const int64_t b = b0 + q;
        for (int64_t i = 0; i < N; i++) {
            work->w[b * work->laneVec + i] = w[i][q];
            work->e[b * work->laneVec + i] = e[i][q];
            work->means[b * work->laneVec + i] = means[i][q];
        }
        work->bound[b] = bound[q];
        work->laneGroup[b] = b0 / W;
    }
    work->groupPending[b0 / W] = 1;
}

void accumulateGroups(FastPatchWork* work, int32_t count, bool all) {
    for (int32_t b0 = 0; b0 < count; b0 += W)
        if (work->laneGroup[b0] >= 0 && work->groupPending[work->laneGroup[b0]] != 0)
            accumulate(work, work->laneGroup[b0], count, all);
}

void accumulateGroup(FastPatchWork* work, int32_t g) {
    // All W lanes: those past the batch's count are unused.
    if (work->groupPending[g] != 0) accumulate(work, g, W * g + W, true);
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
