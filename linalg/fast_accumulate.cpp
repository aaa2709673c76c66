// Fast kernel, stages 3 and 4 of a large patch once its rebuild knows which
// columns of U and V it reads.
//
// reduceLane leaves a large patch's lane after the bidiagonalisation: the
// Householder columns in colA (column-major, as the bidiagonalisation left
// the matrix), its first n rows in colV (row-major), and the lane waiting.
// Column j of U depends only on Householder columns i <= j and its own
// earlier values, column j of V only on rows i < j and its own values; so
// the accumulation runs for the listed columns alone (those markLane asked
// for, a few in the usual patch), their values side by side in the lanes of
// vectors, each lane going through exactly the plain statements of its
// column. Columns not listed are left undefined.
#include <cstring>
#include <type_traits>

#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Vectors of listed columns that go through the steps together.
constexpr int kChunk = 8;

// The columns jq as C integer vectors; returns the largest.
template <int C>
inline int64_t lanesOf(const int64_t* jq, vm* lane) {
    int64_t last = -1;
    for (int c = 0; c < C; c++) {
        std::memcpy(&lane[c], jq + c * W, sizeof(vm));
        for (int q = 0; q < W; q++) last = jq[c * W + q] > last ? jq[c * W + q] : last;
    }
    return last;
}

// Column j of V, for the C * W columns jq (lane q; -1 for an unused lane),
// in Y (row-major, stride ldy): after step j it is 1 at row j and 0 below;
// step i < j, when g = e[i + 1] is not 0, adds t * u_k to rows k > i, with
// u_k = (A[i][k] / A[i][i + 1]) / g and t = sum over k > i of A[i][k] *
// V[k][j]; every step i < j then clears row i. R: the rows of A (stride ldv).
template <int C>
void rightColumns(const double* R, int64_t ldv, int32_t n, const double* e, const int64_t* jq, double* Y, int64_t ldy,
                  double* u) {
    vm lane[C];
    const int64_t last = lanesOf<C>(jq, lane);
    for (int64_t k = 0; k < n; k++)
        for (int c = 0; c < C; c++) storeu(Y + k * ldy + c * W, select(lane[c] == k, splat(1.0), vd{}));
    for (int64_t i = last - 1; i >= 0; i--) {
        const int64_t l = i + 1;
        vm later[C];
        for (int c = 0; c < C; c++) later[c] = lane[c] > i;
        const double g = e[l];
        if (g != 0.0) {
            const double* ri = R + i * ldv;
            for (int64_t k = l; k < n; k++) u[k] = (ri[k] / ri[l]) / g;
            vd t[C];
            for (int c = 0; c < C; c++) t[c] = vd{};
            for (int64_t k = l; k < n; k++) {
                const double s = ri[k];
                for (int c = 0; c < C; c++) t[c] = t[c] + s * loadu(Y + k * ldy + c * W);
            }
            for (int64_t k = l; k < n; k++)
                for (int c = 0; c < C; c++) {
                    const vd y = loadu(Y + k * ldy + c * W);
                    storeu(Y + k * ldy + c * W, select(later[c], y + t[c] * u[k], y));
                }
        }
        for (int c = 0; c < C; c++) storeu(Y + i * ldy + c * W, select(later[c], vd{}, loadu(Y + i * ldy + c * W)));
    }
}

// Column j of U, for the C * W columns jq (-1: unused lane), in Y: it starts
// as Householder column j (rows j and below; H holds the columns, stride
// ldc). Step j scales it by g = 1 / w[j] (or clears it when w[j] is 0) and
// adds 1 at row j; step i < j first clears row i and, when w[i] is not 0,
// adds f * H[k][i] to rows k >= i, f = (t / H[i][i]) * (1 / w[i]) and t =
// sum over k > i of H[k][i] * U[k][j].
template <int C>
void leftColumns(const double* H, int64_t ldc, int32_t m, const double* w, const int64_t* jq, double* Y,
                 int64_t ldy) {
    vm lane[C];
    const int64_t last = lanesOf<C>(jq, lane);
    for (int64_t k = 0; k < m; k++)
        for (int c = 0; c < C; c++)
            for (int q = 0; q < W; q++) {
                const int64_t j = jq[c * W + q];
                Y[k * ldy + c * W + q] = j >= 0 && k >= j ? H[j * ldc + k] : 0.0;
            }
    for (int64_t i = last; i >= 0; i--) {
        vm later[C], own[C];
        for (int c = 0; c < C; c++) {
            later[c] = lane[c] > i;
            own[c] = lane[c] == i;
        }
        for (int c = 0; c < C; c++) storeu(Y + i * ldy + c * W, select(later[c], vd{}, loadu(Y + i * ldy + c * W)));
        const bool reflect = w[i] != 0.0;
        const double g = reflect ? 1.0 / w[i] : 0.0;
        const double* hi = H + i * ldc;
        if (reflect && i < last) {
            vd f[C];
            for (int c = 0; c < C; c++) f[c] = vd{};
            for (int64_t k = i + 1; k < m; k++) {
                const double s = hi[k];
                for (int c = 0; c < C; c++) f[c] = f[c] + s * loadu(Y + k * ldy + c * W);
            }
            for (int c = 0; c < C; c++) f[c] = (f[c] / hi[i]) * g;
            for (int64_t k = i; k < m; k++) {
                const double s = hi[k];
                for (int c = 0; c < C; c++) {
                    const vd y = loadu(Y + k * ldy + c * W);
                    storeu(Y + k * ldy + c * W, select(later[c], y + f[c] * s, y));
                }
            }
        }
        for (int64_t k = i; k < m; k++)
            for (int c = 0; c < C; c++) {
                const vd y = loadu(Y + k * ldy + c * W);
                storeu(Y + k * ldy + c * W, select(own[c], reflect ? y * g : vd{}, y));
            }
        for (int c = 0; c < C; c++) {
            const vd y = loadu(Y + i * ldy + c * W);
            storeu(Y + i * ldy + c * W, select(own[c], y + 1.0, y));
        }
    }
}

// Runs body<C>(first lane, jq) over the listed columns cols[0 .. count-1] in
// chunks of at most kChunk vectors, jq padded with -1.
template <typename Body>
void inChunks(const int32_t* cols, int32_t count, Body body) {
    for (int32_t q0 = 0; q0 < count; q0 += kChunk * W) {
        int64_t jq[kChunk * W];
        const int32_t left = count - q0;
        const int32_t vectors = left >= kChunk * W ? kChunk : (left + W - 1) / W;
        for (int32_t q = 0; q < vectors * W; q++) jq[q] = q < left ? cols[q0 + q] : -1;
        switch (vectors) {
            case 8: body(std::integral_constant<int, 8>{}, q0, jq); break;
            case 7: body(std::integral_constant<int, 7>{}, q0, jq); break;
            case 6: body(std::integral_constant<int, 6>{}, q0, jq); break;
            case 5: body(std::integral_constant<int, 5>{}, q0, jq); break;
            case 4: body(std::integral_constant<int, 4>{}, q0, jq); break;
            case 3: body(std::integral_constant<int, 3>{}, q0, jq); break;
            case 2: body(std::integral_constant<int, 2>{}, q0, jq); break;
            default: body(std::integral_constant<int, 1>{}, q0, jq); break;
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
    const double* w = work->reflectW + b * work->laneVec;
    const double* e = work->reflectE + b * work->laneVec;
    int32_t* cols = work->used;
    double* Y = work->rowA;

    int32_t count = listColumns(work->needV + int64_t{b} * N, N, all, cols);
    int64_t ldy = (count + W - 1) / W * W;
    inChunks(cols, count, [&](auto C, int32_t q0, const int64_t* jq) {
        rightColumns<decltype(C)::value>(V, work->ldv, N, e, jq, Y + q0, ldy, work->scratch);
    });
    // The rows of A in V are read to the end; now the columns take their place.
    for (int32_t q = 0; q < count; q++) {
        double* column = V + int64_t{cols[q]} * work->ldv;
        for (int64_t k = 0; k < N; k++) column[k] = Y[k * ldy + q];
    }

    count = listColumns(work->needU + int64_t{b} * N, N, all, cols);
    ldy = (count + W - 1) / W * W;
    inChunks(cols, count, [&](auto C, int32_t q0, const int64_t* jq) {
        leftColumns<decltype(C)::value>(U, work->ldc, M, w, jq, Y + q0, ldy);
    });
    for (int32_t q = 0; q < count; q++) {
        double* column = U + int64_t{cols[q]} * work->ldc;
        for (int64_t k = 0; k < M; k++) column[k] = Y[k * ldy + q];
    }
    work->laneWaits[b] = 0;
}

}  // namespace

void accumulateLanes(FastPatchWork* work, int32_t count, bool all) {
#if defined(__AVX512F__)
    accumulateGroups(work, count, all);
#endif
    for (int32_t b = 0; b < count; b++)
        if (work->laneWaits[b] != 0) accumulateLane(work, b, all);
}

void completeLane(FastPatchWork* work, int32_t b) {
#if defined(__AVX512F__)
    if (work->laneGroup[b] >= 0) accumulateGroup(work, work->laneGroup[b]);
#endif
    if (work->laneWaits[b] != 0) accumulateLane(work, b, true);
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
