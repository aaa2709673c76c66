// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel: replay of the diagonalisation's rotations on a lane's U and
// V from its lane log (see fast_diagonalise.cpp), in full or only as far as
// the columns the rebuild reads depend on.
#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Rotates columns p and q (rows values each) by (cs, sn), as the plain
// rotateColumns does row by row.
inline void rotate(double* p, double* q, int64_t rows, double cs, double sn) {
    for (int64_t r = 0; r < rows; r += W) {
        const vd x = loadu(p + r);
        const vd y = loadu(q + r);
        storeu(p + r, x * cs + y * sn);
        storeu(q + r, y * cs - x * sn);
    }
}

// Rotates columns j0 .. j0 + count of X in a chain: (j0, j0 + 1) by (cs[0],
// sn[0]), then (j0 + 1, j0 + 2) by (cs[4], sn[4]) and so on (the parameters
// of one step are four doubles apart); each element sees the plain sequence
// of operations. R vectors of rows at a time keep R independent chains in
// flight.
template <int R>
inline int64_t chainRows(double* X, int64_t ld, int64_t r0, int64_t j0, int32_t count, const double* cs,
                         const double* sn) {
    for (; r0 + R * W <= ld; r0 += R * W) {
        vd p[R];
        for (int q = 0; q < R; q++) p[q] = loadu(X + j0 * ld + r0 + q * W);
        for (int32_t t = 0; t < count; t++) {
            double* next = X + (j0 + t + 1) * ld + r0;
            double* done = next - ld;
            const double c = cs[4 * t], s = sn[4 * t];
            for (int q = 0; q < R; q++) {
                const vd y = loadu(next + q * W);
                storeu(done + q * W, p[q] * c + y * s);
                p[q] = y * c - p[q] * s;
            }
        }
        for (int q = 0; q < R; q++) storeu(X + (j0 + count) * ld + r0 + q * W, p[q]);
    }
    return r0;
}

inline void rotateChain(double* X, int64_t ld, int64_t j0, int32_t count, const double* cs, const double* sn) {
    int64_t r = chainRows<8>(X, ld, 0, j0, count, cs, sn);
    r = chainRows<4>(X, ld, r, j0, count, cs, sn);
    chainRows<1>(X, ld, r, j0, count, cs, sn);
}

}  // namespace

// Applies lane b's log entries first .. last - 1 forward, each as far as its
// useU and useV say.
void applyEntries(FastPatchWork* work, int32_t b, int64_t first, int64_t last) {
    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    const LaneEntry* entries = work->entries + b * work->entryCapacity;
    const double* params = work->params + b * work->paramCapacity;
    for (int64_t q = first; q < last; q++) {
        const LaneEntry& entry = entries[q];
        const double* p = params + entry.at;
        if (entry.count > 0) {
            if (entry.useV > 0) rotateChain(V, work->ldv, entry.j0, entry.useV, p, p + 1);
            if (entry.useU > 0) rotateChain(U, work->ldc, entry.j0, entry.useU, p + 2, p + 3);
        } else if (entry.count == 0) {
            if (entry.useU > 0) rotate(U + entry.j0 * work->ldc, U + entry.c1 * work->ldc, work->ldc, p[0], p[1]);
        } else if (entry.useV > 0) {
            double* v = V + entry.j0 * work->ldv;
            for (int64_t r = 0; r < work->ldv; r += W) storeu(v + r, -loadu(v + r));
        }
    }
}

void markLane(FastPatchWork* work, int32_t b, const uint8_t* wanted) {
    // Backwards through the log: a rotation is needed when either of its
    // columns is needed after it, and then both are needed before it. A run
    // rotates (j0, j0 + 1), (j0 + 1, j0 + 2), ...: with m the last column of
    // j0 .. j0 + count needed after it, its first m - j0 + 1 steps (at most
    // count) are needed and feed columns j0 .. j0 + use.
    const int32_t N = work->N;
    uint8_t* needU = work->needU + int64_t{b} * N;
    uint8_t* needV = work->needV + int64_t{b} * N;
    for (int32_t c = 0; c < N; c++) needU[c] = needV[c] = wanted[c];
    auto prefix = [](uint8_t* need, int32_t j0, int32_t count) {
        int32_t m = j0 + count;
        while (m >= j0 && need[m] == 0) m--;
        if (m < j0) return 0;
        const int32_t use = m - j0 + 1 < count ? m - j0 + 1 : count;
        for (int32_t c = j0; c <= j0 + use; c++) need[c] = 1;
        return use;
    };
    LaneEntry* log = work->entries + b * work->entryCapacity;
    for (int64_t q = work->entryCount[b] - 1; q >= 0; q--) {
        LaneEntry& entry = log[q];
        if (entry.count > 0) {
            entry.useV = prefix(needV, entry.j0, entry.count);
            entry.useU = prefix(needU, entry.j0, entry.count);
        } else if (entry.count == 0) {
            entry.useU = needU[entry.j0] | needU[entry.c1];
            if (entry.useU) needU[entry.j0] = needU[entry.c1] = 1;
        } else {
            entry.useV = needV[entry.j0];
        }
    }
}

void replayLane(FastPatchWork* work, int32_t b) {
    applyEntries(work, b, 0, work->entryCount[b]);
    work->entryCount[b] = 0;
    work->paramCount[b] = 0;
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
