// Fast kernel, stage 5: diagonalisation of up to eight bidiagonal matrices
// together, one per lane.
//
// The evolution of w and e never reads U or V: U and V only receive
// rotations (and V negations) whose parameters come from w and e. So the
// rotations of a sweep step can be applied to U and V later than the step is
// computed, as long as each matrix receives them in the plain order.
//
// The sweep steps of all lanes run together in the lanes of vectors, one
// step per lane and round. A step is a chain of divisions and square roots
// whose latency dominates a single patch; eight independent chains share
// it. The rotations of U and V, bound by multiplication throughput, would
// leave the divider idle, and the step would leave the multipliers idle: so
// the rotations of round t - 1 are applied lane by lane between the stages
// of round t's step, and the two overlap.
//
// Everything else (split search, cancellation, convergence, shift) runs per
// lane in scalar code with the plain statements, as bookkeeping of round
// t - 1 issued after round t's step: a lane that ends a sweep in round t - 1
// is idle in round t, prepares its next sweep meanwhile and joins again in
// round t + 1.
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

// The rotations of one round: lane b rotated columns j[b] and j[b] + 1 of V
// by (cs1[b], sn1[b]) and of U by (cs2[b], sn2[b]); j[b] < 0: no step.
struct Round {
    alignas(64) double cs1[8], sn1[8], cs2[8], sn2[8];
    int32_t j[8];
};

// Applies lane b's rotations of a round to its U and V.
inline void applyLane(FastPatchWork* work, const Round& round, int32_t b) {
    const int64_t j = round.j[b];
    if (j < 0) return;
    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    rotate(V + j * work->ldv, V + (j + 1) * work->ldv, work->ldv, round.cs1[b], round.sn1[b]);
    rotate(U + j * work->ldc, U + (j + 1) * work->ldc, work->ldc, round.cs2[b], round.sn2[b]);
}

enum LaneState { kDone, kSweeping, kEnding, kJoining };

// Where one lane stands: the singular value k, its pass, and within a sweep
// the block start l and the step j.
struct Lane {
    int32_t k, pass, l, j;
    LaneState state;
};

// Runs lane b from the start of a pass until it is ready for its first sweep
// step (returns true, with the shifted f and x) or has no singular value left
// (false): split search, cancellation, convergence, the message count and the
// shift, as in the plain diagonalise.
bool startSweep(FastPatchWork* work, int32_t b, Lane* lane, double* fOut, double* xOut) {
    double* w = work->w + b * work->laneVec;
    double* e = work->e + b * work->laneVec;
    const double bound = work->bound[b];
    double* U = work->colA + b * work->laneA;
    double* V = work->colV + b * work->laneV;
    while (lane->k >= 0) {
        const int32_t k = lane->k;
        int32_t l = k;
        bool cancel = false;
        for (;; l--) {
            if (fabsOf(e[l]) + bound == bound) break;
            if (l == 0) break;
            if (fabsOf(w[l - 1]) + bound == bound) {
                cancel = true;
                break;
            }
        }
        if (cancel) {
            double cs = 0.0, sn = 1.0;
            for (int32_t i = l; i <= k; i++) {
                const double f = sn * e[i];
                e[i] = cs * e[i];
                if (fabsOf(f) + bound == bound) break;
                const double g = w[i];
                double h = hypotOf(f, g);
                w[i] = h;
                h = 1.0 / h;
                cs = g * h;
                sn = -(f * h);
                rotate(U + (l - 1) * work->ldc, U + i * work->ldc, work->ldc, cs, sn);
            }
        }
        const double z = w[k];
        if (l == k) {
            if (z < 0.0) {
                w[k] = -z;
                double* v = V + k * work->ldv;
                for (int64_t r = 0; r < work->ldv; r += W) storeu(v + r, -loadu(v + r));
            }
            lane->k--;
            lane->pass = 0;
            continue;
        }
        if (lane->pass == 29) work->messages[b]++;

        const double x = w[l];
        const double y = w[k - 1];
        double g = e[k - 1];
        const double h = e[k];
        double f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((2.0 * h) * y);
        g = hypotOf(f, 1.0);
        f = ((x - z) * (x + z) + h * (y / (f + signOf(g, f)) - h)) / x;
        *fOut = f;
        *xOut = x;
        lane->l = l;
        lane->j = l;
        return true;
    }
    return false;
}

// Lane values from eight addresses, assembled in registers.
inline Pack gather8(const double* const* at) {
    Pack r;
    for (int i = 0; i < kParts; i++)
        for (int l = 0; l < W; l++) r.v[i][l] = *at[i * W + l];
    return r;
}

}  // namespace

void diagonaliseLanes(FastPatchWork* work, int32_t count) {
    Lane lanes[8];
    // Shifted f and x of the lanes about to join, kept in registers: built
    // from scalar stores, a vector load would wait for them to retire.
    Pack joinF = splat8(1.0), joinX = splat8(1.0);
    int32_t live = 0;
    for (int32_t b = 0; b < count; b++) {
        lanes[b] = Lane{work->N - 1, 0, 0, 0, kDone};
        double f0, x0;
        if (startSweep(work, b, &lanes[b], &f0, &x0)) {
            lanes[b].state = kJoining;
            joinF = select(laneMask(1 << b), splat8(f0), joinF);
            joinX = select(laneMask(1 << b), splat8(x0), joinX);
            live++;
        }
    }

    // Running values of the lanes; lanes without a step hold harmless values.
    Pack f = splat8(1.0), x = splat8(1.0), cs = splat8(1.0), sn = splat8(0.0);
    // Rounds t and t - 1, and the step results of round t - 1 (new e[j],
    // w[j], f and x) for its bookkeeping.
    struct Results {
        alignas(64) double e[8], w[8], f[8], x[8];
    };
    Round rounds[2];
    Results results[2];
    int32_t now = 0;
    for (int b = 0; b < 8; b++) rounds[1].j[b] = -1;
    static const double kZero[2] = {0.0, 0.0};

    while (live > 0) {
        Round& round = rounds[now];
        const Round& last = rounds[now ^ 1];
        Results& current = results[now];
        const Results& previous = results[now ^ 1];

        // Which lanes step in this round (branch-free where it is hot): a
        // sweeping lane goes on while j + 1 < k; a lane that prepared a
        // sweep last round joins with its shifted f and x.
        int joinBits = 0;
        const double* gAt[8];
        const double* yAt[8];
        bool any = false;
        for (int32_t b = 0; b < 8; b++) {
            gAt[b] = yAt[b] = kZero;
            round.j[b] = -1;
            if (b >= count) continue;
            Lane& lane = lanes[b];
            const bool sweeping = lane.state == kSweeping;
            const bool goesOn = sweeping & (lane.j + 1 < lane.k);
            const bool joining = lane.state == kJoining;
            lane.j += goesOn;
            lane.state = joining ? kSweeping : ((sweeping & !goesOn) ? kEnding : lane.state);
            joinBits |= joining << b;
            const bool steps = goesOn | joining;
            any |= steps;
            round.j[b] = steps ? lane.j : -1;
            const int64_t at = b * work->laneVec + lane.j + 1;
            gAt[b] = steps ? work->e + at : kZero;
            yAt[b] = steps ? work->w + at : kZero;
        }

        if (any) {
            if (joinBits != 0) {
                const PackMask join = laneMask(joinBits);
                f = select(join, joinF, f);
                x = select(join, joinX, x);
                cs = select(join, splat8(1.0), cs);
                sn = select(join, splat8(1.0), sn);
            }
            Pack g = gather8(gAt);
            Pack y = gather8(yAt);

            // One sweep step on every lane, in the plain order of operations,
            // with last round's rotations of one lane after each stage.
            Pack h = sn * g;
            g = cs * g;
            const Pack z1 = hypot8(f, h);
            applyLane(work, last, 0);
            cs = f / z1;
            sn = h / z1;
            applyLane(work, last, 1);
            f = x * cs + g * sn;
            g = g * cs - x * sn;
            h = y * sn;
            y = y * cs;
            store8(round.cs1, cs);
            store8(round.sn1, sn);
            applyLane(work, last, 2);
            const Pack z2 = hypot8(f, h);
            applyLane(work, last, 3);
            const PackMask moved = nonzero(z2);
            const Pack inverse = 1.0 / z2;
            applyLane(work, last, 4);
            cs = select(moved, f * inverse, cs);
            sn = select(moved, h * inverse, sn);
            f = cs * g + sn * y;
            x = cs * y - sn * g;
            applyLane(work, last, 5);
            store8(round.cs2, cs);
            store8(round.sn2, sn);
            store8(current.e, z1);
            store8(current.w, z2);
            store8(current.f, f);
            store8(current.x, x);
            applyLane(work, last, 6);
            applyLane(work, last, 7);
        } else {
            for (int32_t b = 0; b < 8; b++) applyLane(work, last, b);
        }

        // Bookkeeping of the previous round, while this round's step computes.
        for (int32_t b = 0; b < count; b++) {
            const int32_t j = last.j[b];
            if (j < 0) continue;
            double* w = work->w + b * work->laneVec;
            double* e = work->e + b * work->laneVec;
            e[j] = previous.e[b];
            w[j] = previous.w[b];
            Lane& lane = lanes[b];
            if (lane.state != kEnding) continue;
            e[lane.l] = 0.0;
            e[lane.k] = previous.f[b];
            w[lane.k] = previous.x[b];
            if (++lane.pass == 30) {
                lane.k--;
                lane.pass = 0;
            }
            double f0, x0;
            if (startSweep(work, b, &lane, &f0, &x0)) {
                lane.state = kJoining;
                joinF = select(laneMask(1 << b), splat8(f0), joinF);
                joinX = select(laneMask(1 << b), splat8(x0), joinX);
            } else {
                lane.state = kDone;
                live--;
            }
        }
        now ^= 1;
    }
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
